// The protocol core over a scripted transport: replies a peer would never send
// (hostile announces, malformed packets) must neither crash nor allocate at will.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "vordlix/src/session.h"
#include <vordlix/vordlix.h>
#include "vordlix/src/wire.h"

namespace vordlix {
namespace {

// Answers each sent packet with the packets a script builds from it, at once, on
// a clock of its own: time passes only while Receive waits with nothing to give.
class ScriptedTransport : public Transport {
 public:
  using Script = std::function<std::vector<std::vector<uint8_t>>(const wire::Header&)>;
  explicit ScriptedTransport(Script script) : script_(std::move(script)) {}
  Clock::time_point Now() const override { return now_; }
  bool Send(const uint8_t* packet, std::size_t n) override {
    wire::Header h;
    wire::ParseHeader(packet, n, &h);
    ++sent;
    send_times.push_back(now_);
    for (auto& p : script_(h)) queue_.push_back(std::move(p));
    return true;
  }
  int Receive(std::vector<uint8_t>* packet, int timeout_ms) override {
    if (queue_.empty()) {
      now_ += std::chrono::milliseconds(timeout_ms);
      return 0;
    }
    *packet = std::move(queue_.front());
    queue_.pop_front();
    return 1;
  }
  Clock::time_point start() const { return start_; }
  std::size_t MaxData() const override { return 1024; }
  int ResendIntervalMs(std::size_t) const override { return 5; }
  void Flush() override {}
  int sent = 0;
  std::vector<Clock::time_point> send_times;

 private:
  const Clock::time_point start_ = Clock::now();
  Clock::time_point now_ = start_;
  Script script_;
  std::deque<std::vector<uint8_t>> queue_;
};

std::vector<uint8_t> Packet(uint16_t code, uint16_t field, uint16_t seq, std::vector<uint8_t> data = {}) {
  return wire::BuildPacket(code, field, seq, data.data(), data.size());
}

std::vector<uint8_t> Announce(uint32_t total, uint32_t chunk) {
  std::vector<uint8_t> d(8);
  wire::Put32(&d[0], total);
  wire::Put32(&d[4], chunk);
  return d;
}

constexpr uint16_t kId = 0x4242;

std::unique_ptr<Session> Connected(ScriptedTransport::Script after_connect, ScriptedTransport** raw) {
  auto t = std::make_unique<ScriptedTransport>([after_connect](const wire::Header& h) {
    if (h.command == wire::kCmdConnect) return std::vector<std::vector<uint8_t>>{Packet(2000, kId, h.sequence)};
    return after_connect(h);
  });
  *raw = t.get();
  auto s = std::make_unique<Session>(std::move(t), 0);
  EXPECT_TRUE(s->Connect(500));
  EXPECT_EQ(s->connection(), kId);
  return s;
}

TEST(VordlixSessionTest, HostileMemoryReadAnnouncesAreRefusedWithoutAllocating) {
  struct Case {
    const char* name;
    uint32_t total, chunk;
  } cases[] = {
      {"2 GB", 0x7FFFFFFF, 1024},
      {"larger than the buffer", 4096, 1024},
      {"chunk size that wraps the count", 4096, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTransport* t;
    auto s = Connected(
        [&](const wire::Header& h) {
          return std::vector<std::vector<uint8_t>>{Packet(1500, kId, h.sequence, Announce(c.total, c.chunk)),
                                                   Packet(1501, 0, h.sequence, std::vector<uint8_t>(1024, 1)),
                                                   Packet(2000, 0, h.sequence)};
        },
        &t);
    std::vector<uint8_t> buf(100);
    uint16_t reply = 111;
    // Refused at the final reply, not read again and again until the time limit.
    EXPECT_EQ(s->Command(&reply, buf.data(), buf.size(), Announce(0, 4096).data(), 8, 2000), VORDLIX_E_OVERFLOW);
    EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
    EXPECT_EQ(t->sent, 2);
  }
}

TEST(VordlixSessionTest, OddChunkSizesStillCollectExactlyTheAnnouncedBytes) {
  ScriptedTransport* t;
  std::vector<uint8_t> data(50);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  auto s = Connected(
      [&](const wire::Header& h) {
        return std::vector<std::vector<uint8_t>>{Packet(1500, kId, h.sequence, Announce(50, 0xFFFFFFFF)),
                                                 Packet(1501, 0, h.sequence, data), Packet(2000, 0, h.sequence)};
      },
      &t);
  std::vector<uint8_t> buf(100, 0xEE);
  uint16_t reply = 111;
  EXPECT_EQ(s->Command(&reply, buf.data(), buf.size(), Announce(0, 50).data(), 8, 2000), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
  EXPECT_EQ(buf[50], 0);
}

TEST(VordlixSessionTest, MalformedAndForeignPacketsAreIgnored) {
  ScriptedTransport* t;
  auto s = Connected(
      [](const wire::Header& h) {
        auto bad_sum = Packet(2000, kId, h.sequence, {'b', 'a', 'd'});
        bad_sum[2] ^= 0xFF;
        return std::vector<std::vector<uint8_t>>{
            {1, 2, 3},                                              // shorter than a header
            bad_sum,                                                // checksum wrong
            Packet(2000, kId + 1, h.sequence, {'i', 'd'}),          // another connection
            Packet(2000, kId, static_cast<uint16_t>(h.sequence - 1), {'o', 'l', 'd'}),  // an older request
            Packet(2000, kId, h.sequence, {'o', 'k'}),
        };
      },
      &t);
  char buf[16];
  uint16_t reply = 1100;
  EXPECT_EQ(s->Command(&reply, reinterpret_cast<uint8_t*>(buf), sizeof buf, nullptr, 0, 500), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  EXPECT_STREQ(buf, "ok");
  EXPECT_EQ(t->sent, 2);  // the connect and one request: no resend was needed
}

// Answers that call for another send at once: still no two sends within 20 ms,
// and the call ends at its limit, not before and not much after.
TEST(VordlixSessionTest, AnswersThatAskForAnotherSendArePacedTo20Ms) {
  using std::chrono::milliseconds;
  struct Case {
    const char* name;
    uint16_t command;
    std::function<std::vector<std::vector<uint8_t>>(const wire::Header&)> answer;
  } cases[] = {
      {"2004 to every send", 1100,
       [](const wire::Header& h) { return std::vector<std::vector<uint8_t>>{Packet(2004, kId, h.sequence)}; }},
      {"memory read with a gap every time", 111,
       [](const wire::Header& h) {
         return std::vector<std::vector<uint8_t>>{Packet(1500, kId, h.sequence, Announce(2048, 1024)),
                                                  Packet(1501, 1, h.sequence, std::vector<uint8_t>(1024, 7)),
                                                  Packet(2000, 1, h.sequence)};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTransport* t;
    auto s = Connected(c.answer, &t);
    const auto start = t->Now();
    t->send_times.clear();
    std::vector<uint8_t> buf(4096);
    uint16_t reply = c.command;
    EXPECT_EQ(s->Command(&reply, buf.data(), buf.size(), Announce(0, 2048).data(), c.command == 111 ? 8 : 0, 300),
              VORDLIX_E_TIMEOUT);
    EXPECT_GE(t->Now() - start, milliseconds(300));
    EXPECT_LT(t->Now() - start, milliseconds(302));
    ASSERT_GE(t->send_times.size(), 10u);
    for (std::size_t i = 1; i < t->send_times.size(); ++i)
      EXPECT_GE(t->send_times[i] - t->send_times[i - 1], milliseconds(20)) << "send " << i;
  }
  // The connect too: a terminal that says 2004 to every connect is asked again after 20 ms.
  auto t = std::make_unique<ScriptedTransport>(
      [](const wire::Header& h) { return std::vector<std::vector<uint8_t>>{Packet(2004, 0, h.sequence)}; });
  auto* raw = t.get();
  Session s(std::move(t), 0);
  EXPECT_FALSE(s.Connect(200));
  EXPECT_EQ(raw->send_times.size(), 10u);
  for (std::size_t i = 1; i < raw->send_times.size(); ++i)
    EXPECT_GE(raw->send_times[i] - raw->send_times[i - 1], milliseconds(20)) << "send " << i;
}

TEST(VordlixSessionTest, ConnectAnswered2004TriesAnotherConnectionIdField) {
  std::vector<uint16_t> ids;
  auto t = std::make_unique<ScriptedTransport>([&ids](const wire::Header& h) {
    ids.push_back(h.connection);
    // A record whose id is 0 and whose last sequence number is 0 takes the connect
    // for a repeat and has no stored reply.
    if (h.connection == 0) return std::vector<std::vector<uint8_t>>{Packet(2004, 0, h.sequence)};
    return std::vector<std::vector<uint8_t>>{Packet(2000, 0x77, h.sequence)};
  });
  Session s(std::move(t), 0);
  ASSERT_TRUE(s.Connect(500));
  EXPECT_EQ(s.connection(), 0x77);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[1], 0);
}

}  // namespace
}  // namespace vordlix
