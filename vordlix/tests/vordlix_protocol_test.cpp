// The library against the test peer, on both transports: connect, requests and
// replies, resends, time limits, block transfers, option texts, memory reads.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <vector>

#include "vordlix/tests/peer_fixture.h"

namespace vordlix::testing {
namespace {

using testpeer::Fault;
using testpeer::Packet;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The log behind the connect (which a loaded machine may have sent twice).
std::vector<Packet> AfterConnect(const std::vector<Packet>& log) {
  std::size_t i = 0;
  while (i < log.size() && log[i].command == 1000) ++i;
  return std::vector<Packet>(log.begin() + static_cast<std::ptrdiff_t>(i), log.end());
}

std::vector<Packet> Executed(const std::vector<Packet>& log) {
  std::vector<Packet> out;
  for (const auto& p : log)
    if (!p.repeat) out.push_back(p);
  return out;
}

TEST_P(VordlixPeerTest, ConnectThenRequestsNumberedFromOneWithTheConnectionId) {
  ASSERT_NE(Open(), 0);
  uint16_t reply = 2000;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, nullptr, 0, 0, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  reply = 1003;
  VORDLIX_SENDCMD(handle_, &reply, nullptr, 0, 0, kLimitMs);
  EXPECT_EQ(reply, 0xFFFF);  // the peer, like a loader, does not serve 1003
  EXPECT_EQ(VORDLIX_CLOSE(handle_), VORDLIX_OK);
  handle_ = 0;
  ASSERT_TRUE(peer_->WaitFor([](const auto& log) { return !log.empty() && log.back().command == 1001; }, kLimitMs));

  const auto all = peer_->Log();
  EXPECT_EQ(all[0].command, 1000);
  EXPECT_EQ(all[0].sequence, 0);
  const auto log = AfterConnect(all);
  ASSERT_EQ(log.size(), 3u);
  const uint16_t id = 0x5101;  // the peer's first connection id
  const uint16_t commands[] = {2000, 1003, 1001};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(log[i].command, commands[i]);
    EXPECT_EQ(log[i].connection, id);
    EXPECT_EQ(log[i].sequence, i + 1);
    EXPECT_TRUE(log[i].checksum_ok);
  }
  EXPECT_EQ(peer_->Connections(), 0);  // the disconnect removed the record
}

TEST_P(VordlixPeerTest, ReplyDataIsCopiedNulTerminatedWithinTheBufferSize) {
  ASSERT_NE(Open(), 0);
  peer_->SetReply(1100, {2000, {'a', 'b', 'c'}});
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  uint16_t reply = 1100;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, buf, sizeof buf, 0, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], 'x');  // nothing written beyond the reply and its NUL

  // A reply with no data leaves an empty text, not the request.
  std::strcpy(buf, "req");
  reply = 2000;
  VORDLIX_SENDCMD(handle_, &reply, buf, sizeof buf, 4, kLimitMs);
  EXPECT_EQ(reply, 2000);
  EXPECT_STREQ(buf, "");
}

TEST_P(VordlixPeerTest, OversizeReplyFailsWithoutOverrun) {
  ASSERT_NE(Open(), 0);
  peer_->SetReply(1100, {2000, std::vector<uint8_t>(20, 'v')});
  struct {
    char buf[8];
    char guard[8];
  } area;
  std::memset(&area, 'g', sizeof area);
  uint16_t reply = 1100;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, area.buf, sizeof area.buf, 0, kLimitMs), VORDLIX_E_OVERFLOW);
  EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
  EXPECT_EQ(std::string(area.buf), "vvvvvvv");
  EXPECT_EQ(std::string(area.guard, 8), "gggggggg");

  // Exactly filling the buffer is fine when the reply brings its own NUL.
  peer_->SetReply(1100, {2000, {'1', '2', '3', 0}});
  reply = 1100;
  char four[4];
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, four, 4, 0, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  EXPECT_STREQ(four, "123");
}

// Each fault costs one lost or useless answer; the library recovers by resending
// the same packet (same sequence number) and the peer answers the repeat from its
// stored reply, without executing the command twice.
struct FaultCase {
  const char* name;
  Fault fault;
  int delay_ms;
};

TEST_P(VordlixPeerTest, LostOrWrongRepliesAreRecoveredBySendingTheSameSequenceAgain) {
  const FaultCase cases[] = {
      {"dropped reply", Fault::kDropReply, 0},
      {"wrong sequence number", Fault::kWrongSequence, 0},
      {"wrong connection id", Fault::kWrongConnection, 0},
      {"late reply", Fault::kLate, 400},
  };
  ASSERT_NE(Open(), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    peer_->ClearLog();
    peer_->InjectFault(c.fault, 12, 1, c.delay_ms);
    char text[100] = "Volume=5";
    uint16_t reply = 12;
    EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, text, sizeof text, 9, kLimitMs), VORDLIX_OK);
    EXPECT_EQ(reply, 2000);
    // Executed once; sent at least twice with its sequence number. (Repeats of an
    // earlier case arriving late carry their own, older sequence number.)
    const auto log = peer_->Log();
    const auto executed = Executed(log);
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].command, 12);
    const auto same = std::count_if(log.begin(), log.end(),
                                    [&](const Packet& p) { return p.sequence == executed[0].sequence; });
    EXPECT_GE(same, 2);
  }
}

TEST_P(VordlixPeerTest, NoReplyYetIsWaitedOutAndTheSameRequestSentAgain) {
  ASSERT_NE(Open(), 0);
  auto calls = std::make_shared<int>(0);  // the handler may outlive this body
  peer_->SetHandler([calls](const Packet& p) -> std::optional<testpeer::Reply> {
    if (p.command != 1100) return std::nullopt;
    return ++*calls < 3 ? testpeer::Reply{2004, {}} : testpeer::Reply{2000, {'o', 'k'}};
  });
  char buf[8];
  uint16_t reply = 1100;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, buf, sizeof buf, 0, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  EXPECT_STREQ(buf, "ok");
  const auto log = AfterConnect(peer_->Log());
  ASSERT_EQ(log.size(), 3u);  // three sends of one request
  EXPECT_EQ(log[0].sequence, log[2].sequence);
}

// A terminal that answers 2004 to every send, and one that answers nothing: the
// request goes out at most every 20 ms, also in the call's last milliseconds, and
// the call ends at its time limit.
TEST_P(VordlixPeerTest, RequestIsNeverResentMoreOftenThanEvery20Ms) {
  ASSERT_NE(Open(), 0);
  peer_->SetHandler([](const Packet& p) -> std::optional<testpeer::Reply> {
    if (p.command == 1100) return testpeer::Reply{2004, {}};
    return std::nullopt;
  });
  const int32_t limit = 300;
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "no answer" : "2004 to every send");
    peer_->SetSilent(silent);
    peer_->ClearLog();
    char buf[8];
    uint16_t reply = 1100;
    const auto t0 = Clock::now();
    EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, buf, sizeof buf, 0, limit), VORDLIX_E_TIMEOUT);
    const auto elapsed = MsSince(t0);
    EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
    EXPECT_GE(elapsed, limit);
    EXPECT_LT(elapsed, limit + 1000);
    // Let sends still on their way arrive before counting.
    peer_->WaitFor([](const auto&) { return false; }, 50);
    const auto log = peer_->Log();
    EXPECT_GE(log.size(), silent ? 1u : 5u);
    EXPECT_LE(log.size(), static_cast<std::size_t>(limit / 20 + 1));
  }
}

TEST_P(VordlixPeerTest, StaleReplyOfTheLastRequestIsNotTakenForTheCurrentOne) {
  ASSERT_NE(Open(), 0);
  peer_->SetReply(1100, {2000, {'o', 'l', 'd'}});
  char buf[16];
  uint16_t reply = 1100;
  VORDLIX_SENDCMD(handle_, &reply, buf, sizeof buf, 0, kLimitMs);
  ASSERT_STREQ(buf, "old");
  peer_->SetReply(1100, {2000, {'n', 'e', 'w'}});
  peer_->InjectFault(Fault::kStaleReply, 1100);
  reply = 1100;
  VORDLIX_SENDCMD(handle_, &reply, buf, sizeof buf, 0, kLimitMs);
  EXPECT_EQ(reply, 2000);
  EXPECT_STREQ(buf, "new");
}

TEST_P(VordlixPeerTest, SilentPeerFailsWithinTheTimeLimit) {
  ASSERT_NE(Open(), 0);
  peer_->SetSilent(true);
  uint16_t reply = 1003;
  auto t0 = Clock::now();
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, nullptr, 0, 0, 400), VORDLIX_E_TIMEOUT);
  EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
  EXPECT_GE(MsSince(t0), 390);
  EXPECT_LT(MsSince(t0), 2000);
  // Resent meanwhile, always with the same sequence number.
  // connect + at least two tries (the peer may log the last one a moment later)
  ASSERT_TRUE(peer_->WaitFor([](const auto& log) { return AfterConnect(log).size() >= 2; }, kLimitMs));
  const auto log = AfterConnect(peer_->Log());
  for (const auto& p : log) EXPECT_EQ(p.sequence, log[0].sequence);

  // The block transfer's time limit covers the whole call.
  std::vector<uint8_t> block(5000, 1);
  uint8_t params[8] = {};
  reply = 110;
  t0 = Clock::now();
  EXPECT_EQ(VORDLIX_SENDCMDDATA(handle_, &reply, block.data(), 5000, params, 8, 300), VORDLIX_E_TIMEOUT);
  EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
  EXPECT_LT(MsSince(t0), 2000);

  // Once the peer answers again, the connection goes on.
  peer_->SetSilent(false);
  reply = 2000;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, nullptr, 0, 0, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
}

TEST_P(VordlixPeerTest, NobodyAnsweringTheConnectGivesHandleZeroInTime) {
  peer_->SetSilent(true);
  const auto t0 = Clock::now();
  EXPECT_EQ(Open(300), 0);
  EXPECT_LT(MsSince(t0), 2000);
}

TEST_P(VordlixPeerTest, BlockOf20464BytesArrivesWholeAndInOrder) {
  ASSERT_NE(Open(), 0);
  std::vector<uint8_t> image(20464);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  const uint8_t params[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  // One chunk reply is lost on the way: the resend must not append it twice.
  peer_->InjectFault(Fault::kDropReply, 1501, 3);
  uint16_t reply = 110;
  EXPECT_EQ(VORDLIX_SENDCMDDATA(handle_, &reply, image.data(), static_cast<int32_t>(image.size()), params, 8, 10000),
            VORDLIX_OK);
  EXPECT_EQ(reply, 2000);

  const auto transfers = peer_->Transfers();
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_EQ(transfers[0].command, 110);
  EXPECT_EQ(transfers[0].announced, 20464u);
  EXPECT_EQ(transfers[0].block, image);
  EXPECT_EQ(transfers[0].params, std::vector<uint8_t>(8, 0));

  // 1500, then chunks with consecutive sequence numbers, then 110.
  const auto log = Executed(AfterConnect(peer_->Log()));
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0].command, 1500);
  EXPECT_EQ(log.back().command, 110);
  const std::size_t max_chunk = GetParam() == Line::kUdp ? 1024 : 2032;
  for (std::size_t i = 1; i + 1 < log.size(); ++i) {
    EXPECT_EQ(log[i].command, 1501);
    EXPECT_EQ(log[i].sequence, log[i - 1].sequence + 1);
    EXPECT_LE(log[i].data.size(), max_chunk);
  }
  EXPECT_EQ(log.size() - 2, (20464 + max_chunk - 1) / max_chunk);
}

TEST_P(VordlixPeerTest, RefusedTransferGivesTheRefusalsReplyCode) {
  ASSERT_NE(Open(), 0);
  std::vector<uint8_t> block(3000, 5);
  uint8_t params[8] = {};
  peer_->SetReply(1501, {2001, {}});
  uint16_t reply = 110;
  EXPECT_EQ(VORDLIX_SENDCMDDATA(handle_, &reply, block.data(), 3000, params, 8, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2001);
  // Nothing after the refused chunk.
  const auto log = peer_->Log();
  EXPECT_EQ(log.back().command, 1501);

  // A refused 110 carries an error code where the connection id stands: still its reply.
  peer_->SetReply(1501, {});
  peer_->SetHandler(nullptr);
  peer_->ClearLog();
  uint16_t code = 1502;
  VORDLIX_SENDCMD(handle_, &code, nullptr, 0, 0, kLimitMs);  // release the block
  code = 110;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &code, params, 8, 8, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(code, 2001);
}

TEST_P(VordlixPeerTest, OptionCommandsCarryTextsBothWays) {
  ASSERT_NE(Open(), 0);
  peer_->SetOption("ShowCheckIn", "1");
  char buf[200] = {};
  std::strcpy(buf, "ShowCheckIn");
  uint16_t reply = 11;
  VORDLIX_SENDCMD(handle_, &reply, buf, 200, 12, kLimitMs);
  EXPECT_EQ(reply, 2000);
  // The reply holds the name, one separator byte and the value.
  EXPECT_STREQ(buf, "ShowCheckIn=1");
  EXPECT_STREQ(buf + 12, "1");

  char set[100] = "~DeviceName=5A3B593A";
  reply = 12;
  VORDLIX_SENDCMD(handle_, &reply, set, 100, 21, kLimitMs);
  EXPECT_EQ(reply, 2000);
  EXPECT_EQ(peer_->GetOption("~DeviceName"), "5A3B593A");
  const auto log = peer_->Log();
  EXPECT_EQ(std::string(log.back().data.begin(), log.back().data.end()), std::string("~DeviceName=5A3B593A", 21));

  // A request longer than the buffer size (a masked text in a larger work area) is
  // sent whole; the reply still stays within the buffer size.
  char work[400] = {};
  std::string masked = "~OEMVendor=" + std::string(150, 'A');
  std::memcpy(work, masked.data(), masked.size());
  reply = 12;
  VORDLIX_SENDCMD(handle_, &reply, work, 100, static_cast<int32_t>(masked.size() + 1), kLimitMs);
  EXPECT_EQ(reply, 2000);
  EXPECT_EQ(peer_->GetOption("~OEMVendor"), std::string(150, 'A'));

  // An unknown option: the peer's refusal, and the text is empty.
  std::strcpy(buf, "Nope");
  reply = 11;
  VORDLIX_SENDCMD(handle_, &reply, buf, 200, 5, kLimitMs);
  EXPECT_EQ(reply, 2001);
  EXPECT_STREQ(buf, "");
}

TEST_P(VordlixPeerTest, MemoryReadIsCollectedIntoTheBuffer) {
  ASSERT_NE(Open(), 0);
  std::vector<uint8_t> memory(4096);
  std::iota(memory.begin(), memory.end(), 0);
  for (auto& b : memory) b = static_cast<uint8_t>(b * 13);
  peer_->SetMemory(memory);

  std::vector<uint8_t> buf(3000, 0xEE);
  uint8_t req[8];
  const uint32_t addr = 100, len = 2500;
  std::memcpy(req, &addr, 4);
  std::memcpy(req + 4, &len, 4);
  std::memcpy(buf.data(), req, 8);
  uint16_t reply = 111;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, buf.data(), 3000, 8, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 2500, memory.begin() + 100));
  EXPECT_EQ(buf[2500], 0);

  // A lost chunk: the read is made again, with a new sequence number.
  peer_->ClearLog();
  peer_->InjectFault(Fault::kDropChunk);
  std::fill(buf.begin(), buf.end(), 0);
  std::memcpy(buf.data(), req, 8);
  reply = 111;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, buf.data(), 3000, 8, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 2500, memory.begin() + 100));
  const auto executed = Executed(peer_->Log());
  ASSERT_EQ(executed.size(), 2u);
  EXPECT_EQ(executed[1].sequence, executed[0].sequence + 1);

  // More than the buffer holds: a failure, nothing beyond the buffer.
  std::vector<uint8_t> small(1000);
  std::memcpy(small.data(), req, 8);
  reply = 111;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, small.data(), 1000, 8, kLimitMs), VORDLIX_E_OVERFLOW);
  EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
}

INSTANTIATE_TEST_SUITE_P(Lines, VordlixPeerTest, ::testing::Values(Line::kUdp, Line::kSerial), LineName);

}  // namespace
}  // namespace vordlix::testing
