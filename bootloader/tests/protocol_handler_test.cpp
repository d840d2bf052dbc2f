// The packet handler: packets in, packets out, through recording send routines,
// on the simulated bus with the flash model.
#include "bootloader/tests/protocol_harness.h"

namespace {
using namespace ptest;

constexpr uint32_t W = bl::kFlashWindow;

TEST(PacketChecksum, MatchesRfc1071OnLittleEndianWords) {
  for (size_t n : {0u, 1u, 2u, 7u, 8u, 9u, 1031u, 1032u}) {
    Bytes b = pattern(n, static_cast<uint32_t>(n));
    EXPECT_EQ(bl::checksum(b.data(), static_cast<uint32_t>(n)), ref_checksum(b.data(), n)) << n;
  }
  EXPECT_EQ(bl::checksum(nullptr, 0), 0xFFFF);
  const uint8_t odd[3] = {0x01, 0x02, 0x03};  // 0x0201 + 0x03
  EXPECT_EQ(bl::checksum(odd, 3), static_cast<uint16_t>(~0x0204));
  // Long runs of 0xFFFF words push the sum past bit 31 and fold on the way.
  Bytes ff(300000, 0xFF);
  ff[5] = 0x12;
  EXPECT_EQ(bl::checksum(ff.data(), static_cast<uint32_t>(ff.size())), ref_checksum(ff.data(), ff.size()));
}

class Protocol : public LoaderTest {};

TEST_F(Protocol, ConnectRepliesWithANewIdAndKeepsItPerPeer) {
  Bytes req = packet(1000, 0x4242, 7);
  EXPECT_EQ(handle(req), 1000);
  ASSERT_EQ(sent_log().size(), 1u);
  const Sent& r = sent_log()[0];
  EXPECT_EQ(r.via, 'n');
  EXPECT_EQ(r.peer, net_peer(1));
  EXPECT_EQ(r.bytes.size(), 8u);
  EXPECT_EQ(r.code(), 2000u);
  EXPECT_EQ(r.seq(), 7u);
  EXPECT_TRUE(r.checksum_ok());
  const uint16_t id = static_cast<uint16_t>(r.conn());
  ASSERT_EQ(bl::g_state.conns.count, 1u);
  const bl::ConnRecord& rec = bl::g_state.conns.records[0];
  EXPECT_EQ(rec.id, id);
  EXPECT_EQ(rec.last_seq, 0u);          // the connect reply changes no sequence state
  EXPECT_EQ(rec.last_reply_len, 0u);    // and is not stored
  EXPECT_EQ(rec.pacing_rate, kNetRate);

  EXPECT_EQ(connect(net_peer(1)), id);  // the same peer again: the same record
  const uint16_t other = connect(serial_peer(), send_serial, kSerialRate);
  EXPECT_NE(other, id);
  EXPECT_EQ(bl::g_state.conns.count, 2u);
  EXPECT_EQ(sent_log().back().via, 's');
}

TEST_F(Protocol, ConnectionIdsComeFromTheTimerAndAreRedrawnOnAClash) {
  const uint16_t first = connect(net_peer(1));
  // Make the next OSCR read give the first id again.
  const uint32_t step = static_cast<uint32_t>(board.timer.step());
  board.timer.write32(sim::OsTimer::OSCR, 0x50000u + first - step);
  const uint16_t second = connect(net_peer(2));
  EXPECT_NE(second, first);
  EXPECT_EQ(second, static_cast<uint16_t>(first + step));
}

TEST_F(Protocol, TableGrowsByFiveAndKeepsItsRecords) {
  std::vector<uint16_t> ids;
  for (uint8_t i = 0; i < 12; ++i) {
    ids.push_back(connect(net_peer(i)));
    ASSERT_EQ(reply(2000, ids.back(), 1).code(), 2000u);  // a stored reply per record
  }
  EXPECT_EQ(bl::g_state.conns.count, 12u);
  EXPECT_EQ(bl::g_state.conns.capacity, 15u);
  for (uint8_t i = 0; i < 12; ++i) {
    EXPECT_EQ(bl::g_state.conns.records[i].id, ids[i]);
    for (uint8_t j = 0; j < i; ++j) EXPECT_NE(ids[i], ids[j]);
    // The copied records still answer a repeat with their stored reply.
    Sent again = reply(2000, ids[i], 1);
    EXPECT_EQ(again.peer, net_peer(i));
    EXPECT_EQ(again.conn(), ids[i]);
  }
}

TEST_F(Protocol, ConnectIsRefusedWhenTheTableCannotGrow) {
  const uint16_t a = connect(net_peer(1));
  for (uint8_t i = 2; i <= 5; ++i) connect(net_peer(i));  // capacity 5 is full
  std::vector<void*> taken;
  while (void* p = bl::heap_alloc(1024)) taken.push_back(p);
  size_t before = sent_log().size();
  EXPECT_EQ(handle(packet(1000, 0, 0), net_peer(6)), 1000);
  EXPECT_EQ(sent_log().size(), before);  // no reply, nothing broken
  EXPECT_EQ(bl::g_state.conns.count, 5u);
  EXPECT_EQ(reply(2000, a, 1).code(), 2000u);
  for (void* p : taken) bl::heap_free(p);
  EXPECT_NE(connect(net_peer(6)), 0xFFFFu);
  EXPECT_EQ(bl::g_state.conns.count, 6u);
}

TEST_F(Protocol, DropsShortUnknownAndDamagedPacketsWithoutAReply) {
  const uint16_t id = connect();
  Bytes bad = packet(2000, id, 1);
  bad[2] ^= 1;
  Bytes unknown = packet(2000, static_cast<uint16_t>(id + 1), 1);
  Bytes seven = packet(2000, id, 1);
  seven.resize(7);
  for (const Bytes& p : {bad, unknown, seven, Bytes{}}) {
    size_t before = sent_log().size();
    EXPECT_EQ(handle(p), 0);
    EXPECT_EQ(sent_log().size(), before);
  }
  // A damaged connect creates nothing either.
  Bytes conn = packet(1000, 0, 0);
  conn[3] ^= 0x80;
  EXPECT_EQ(handle(conn, net_peer(9)), 0);
  EXPECT_EQ(bl::g_state.conns.count, 1u);
  // None of them moved the sequence state: sequence 1 is still new.
  EXPECT_EQ(reply(2000, id, 1).code(), 2000u);
}

TEST_F(Protocol, SequenceZeroAfterConnectIsARepeatWithoutStoredReply) {
  const uint16_t id = connect();
  int32_t result = -1;
  auto out = request(1500, id, 0, u32s({100}), &result);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].code(), 2004u);
  EXPECT_EQ(out[0].bytes.size(), 8u);
  EXPECT_TRUE(out[0].checksum_ok());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(bl::g_state.conns.records[0].transfer, nullptr);  // not executed
  EXPECT_EQ(bl::g_state.conns.records[0].announced, 0);
}

TEST_F(Protocol, RepeatedRequestGetsTheStoredReplyAndIsNotExecutedAgain) {
  const uint16_t id = connect();
  uint16_t seq = 1;
  ASSERT_EQ(reply(1500, id, seq++, u32s({3000})).code(), 2000u);
  Sent first = reply(1501, id, seq, pattern(1000, 1));
  EXPECT_EQ(first.code(), 2000u);
  int32_t result = 0;
  auto again = request(1501, id, seq, pattern(1000, 1), &result);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].bytes, first.bytes);
  EXPECT_EQ(result, 1501);
  EXPECT_EQ(bl::g_state.conns.records[0].received, 1000);  // appended once
  // A chunk that skips a sequence number is refused and stores nothing.
  EXPECT_EQ(reply(1501, id, seq + 2, pattern(10, 2)).code(), 2001u);
  EXPECT_EQ(bl::g_state.conns.records[0].received, 1000);
  // The refusal was answered through the normal path: it is the new last reply.
  EXPECT_EQ(reply(1501, id, seq + 2, pattern(10, 2)).code(), 2001u);
}

TEST_F(Protocol, ChunksThatDoNotFitOrHaveNoBufferAreRefused) {
  const uint16_t id = connect();
  EXPECT_EQ(reply(1501, id, 1, pattern(4, 1)).code(), 2001u);  // no buffer
  ASSERT_EQ(reply(1500, id, 2, u32s({1500})).code(), 2000u);
  EXPECT_EQ(reply(1501, id, 3, pattern(1024, 2)).code(), 2000u);
  EXPECT_EQ(reply(1501, id, 4, pattern(477, 3)).code(), 2001u);  // 476 bytes left
  EXPECT_EQ(reply(1501, id, 5, pattern(476, 3)).code(), 2000u);
  EXPECT_EQ(reply(1501, id, 6, {}).code(), 2000u);  // an empty chunk always fits
  EXPECT_EQ(bl::g_state.conns.records[0].received, 1500);
  Bytes want = pattern(1024, 2);
  Bytes tail = pattern(476, 3);
  want.insert(want.end(), tail.begin(), tail.end());
  EXPECT_EQ(Bytes(bl::g_state.conns.records[0].transfer, bl::g_state.conns.records[0].transfer + 1500), want);
}

TEST_F(Protocol, ImageTransferWritesTheBootLoaderArea) {
  const uint16_t id = connect();
  uint16_t seq = 1;
  Bytes image = pattern(20464, 42);
  transfer(id, seq, image);  // 1500, then 20 chunks, the last of 1,008 bytes
  EXPECT_EQ(seq, 22);
  Sent r = reply(110, id, seq, u32s({0, 0}));
  EXPECT_EQ(r.code(), 2000u);
  EXPECT_EQ(r.conn(), id);
  EXPECT_EQ(flash_bytes(0, image.size()), image);
  // The buffer stays for another use until 1502.
  EXPECT_NE(bl::g_state.conns.records[0].transfer, nullptr);
  EXPECT_EQ(reply(1502, id, ++seq).code(), 2000u);
  EXPECT_EQ(bl::g_state.conns.records[0].transfer, nullptr);
  Sent none = reply(110, id, ++seq, u32s({0, 0}));
  EXPECT_EQ(none.code(), 2001u);
  EXPECT_EQ(none.conn(), 1u);
}

struct WriteCase {
  const char* name;
  uint32_t target, param, size;
  uint32_t error;        // 0: written
  uint32_t offset;       // where the data (after any header) lands
  uint16_t magic, high;  // header of targets 1 to 3; magic 0: none
};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class Write110 : public Protocol, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(Write110, TargetsAndTheirLimits) {
  const WriteCase& c = GetParam();
  const uint16_t id = connect();
  uint16_t seq = 1;
  Bytes data = pattern(c.size, c.size);
  transfer(id, seq, data);
  board.flash.clear_counters();
  Sent r = reply(110, id, seq, u32s({c.target, c.param}));
  if (c.error) {
    EXPECT_EQ(r.code(), 2001u);
    EXPECT_EQ(r.conn(), c.error);
    EXPECT_EQ(board.flash.counters().writes, 0u);
    return;
  }
  EXPECT_EQ(r.code(), 2000u);
  EXPECT_EQ(r.conn(), id);
  if (c.magic) {
    Bytes header = flash_bytes(c.offset - 8, 8);
    EXPECT_EQ(le16(header, 0), c.magic);
    EXPECT_EQ(le16(header, 2), c.high);
    EXPECT_EQ(le32(header, 4), c.size);
  }
  EXPECT_EQ(flash_bytes(c.offset, c.size), data);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, Write110,
    ::testing::Values(
        WriteCase{"t0", 0, 0, 5000, 0, 0, 0, 0},
        WriteCase{"t0_large", 0, 0, 400000, 0, 0, 0, 0},
        WriteCase{"t1_at_limit", 1, 0xA0008123u, 196599, 0, 0x10008, 0x010B, 0xA000},
        WriteCase{"t1_over_limit", 1, 0xA0000000u, 196600, 5, 0, 0, 0},
        WriteCase{"t2", 2, 0x80010000u, 4000, 0, 0x10008, 0x000B, 0x8001},
        WriteCase{"t2_over_limit", 2, 0, 196600, 5, 0, 0, 0},
        WriteCase{"t3_flag_set", 3, 7, 3000, 0, 0x40008, 0x050B, 1},
        WriteCase{"t3_flag_clear", 3, 0, 3000, 0, 0x40008, 0x050B, 0},
        WriteCase{"t4_whole_sector", 4, 0, 8192, 0, 0x1FA000, 0, 0},
        WriteCase{"t4_over_sector", 4, 0, 8193, 5, 0, 0, 0},
        WriteCase{"t5_whole_sector", 5, 0, 65536, 0, 0x80000, 0, 0},
        WriteCase{"t5_over_sector", 5, 0, 65537, 5, 0, 0, 0},
        WriteCase{"t6", 6, 0, 70000, 0, 0x90000, 0, 0},
        WriteCase{"t7_offset", 7, 0x1F0000, 0x10000, 0, 0x1F0000, 0, 0},
        WriteCase{"t7_window", 7, 0xFF9F0000u, 0x10000, 0, 0x1F0000, 0, 0},
        WriteCase{"t7_past_end", 7, 0x1F0001, 0x10000, 5, 0, 0, 0},
        WriteCase{"t7_between", 7, 0x00900000, 16, 5, 0, 0, 0},
        WriteCase{"t7_beyond_part", 7, 0x7FFFF0, 16, 5, 0, 0, 0},
        WriteCase{"t7_window_wraps", 7, 0xFFFFFFF0u, 0x20, 5, 0, 0, 0},
        WriteCase{"t100_below_ram", 100, 0x9FFFFFFFu, 16, 5, 0, 0, 0},
        WriteCase{"t100_flash_window", 100, 0xFF800000u, 16, 5, 0, 0, 0},
        WriteCase{"unknown_8", 8, 0, 16, 5, 0, 0, 0},
        WriteCase{"unknown_101", 101, 0, 16, 5, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Protocol, WriteRefusalsBeforeAnyData) {
  const uint16_t id = connect();
  EXPECT_EQ(reply(110, id, 1, u32s({0, 0})).conn(), 1u);  // nothing announced
  EXPECT_EQ(reply(1500, id, 2, u32s({20464})).code(), 2000u);
  Sent r = reply(110, id, 3, u32s({0, 0}));  // announced, nothing received
  EXPECT_EQ(r.code(), 2001u);
  EXPECT_EQ(r.conn(), 3u);
  EXPECT_EQ(reply(1500, id, 4, u32s({0xFFFFFFFFu})).code(), 2000u);  // negative size
  EXPECT_EQ(reply(110, id, 5, u32s({0, 0})).conn(), 1u);
}

TEST_F(Protocol, TransferTooLargeForTheHeapLeavesNoBuffer) {
  const uint16_t id = connect();
  EXPECT_EQ(reply(1500, id, 1, u32s({0x7FFFFFFF})).code(), 2000u);
  EXPECT_EQ(bl::g_state.conns.records[0].transfer, nullptr);
  EXPECT_EQ(reply(1501, id, 2, pattern(16, 1)).code(), 2001u);
  EXPECT_EQ(reply(110, id, 3, u32s({0, 0})).conn(), 2u);
  EXPECT_EQ(reply(1016, id, 4, u32s({0xA0010000u})).code(), 2001u);
}

TEST_F(Protocol, TargetHundredCopiesToRamAndJumps) {
  const uint16_t id = connect();
  uint16_t seq = 1;
  Bytes code = pattern(3000, 9);
  transfer(id, seq, code);
  size_t before = sent_log().size();
  try {
    handle(packet(110, id, seq, u32s({100, 0xA0200000u})));
    FAIL() << "no jump";
  } catch (const bl::hw::LeaveLoader& leave) {
    EXPECT_EQ(leave.kind, bl::hw::LeaveLoader::Jump);
    EXPECT_EQ(leave.addr, 0xA0200000u);
  }
  EXPECT_EQ(sent_log().size(), before);  // no reply
  EXPECT_EQ(Bytes(board.sdram.data() + 0x200000, board.sdram.data() + 0x200000 + 3000), code);
}

TEST_F(Protocol, RunCommandCopiesTheBufferAndJumpsOrRefuses) {
  const uint16_t id = connect();
  EXPECT_EQ(reply(1016, id, 1, u32s({0xA0300000u})).code(), 2001u);  // no buffer
  uint16_t seq = 2;
  Bytes code = pattern(100, 5);
  transfer(id, seq, code);
  try {
    handle(packet(1016, id, seq, u32s({0xA0300000u})));
    FAIL() << "no jump";
  } catch (const bl::hw::LeaveLoader& leave) {
    EXPECT_EQ(leave.kind, bl::hw::LeaveLoader::Jump);
    EXPECT_EQ(leave.addr, 0xA0300000u);
  }
  EXPECT_EQ(Bytes(board.sdram.data() + 0x300000, board.sdram.data() + 0x300000 + 100), code);
}

// Requests shorter than their command needs are refused, never executed on
// the stale bytes that follow them in the receive buffer (0xEE here).
struct ShortCase {
  uint16_t cmd;
  size_t data;
  uint32_t code, bytes45;  // bytes45: 0 = the connection id
};
void PrintTo(const ShortCase& c, std::ostream* os) {
  *os << "command " << c.cmd << " with " << c.data << " data bytes";
}

class ShortRequest : public Protocol, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortRequest, IsRefused) {
  const ShortCase& c = GetParam();
  const uint16_t id = connect();
  uint16_t seq = 1;
  transfer(id, seq, pattern(64, 1));
  board.flash.clear_counters();
  Bytes data = u32s({0, 0});
  data.resize(c.data);
  int32_t result = 0;
  auto out = request(c.cmd, id, seq, data, &result);  // a jump would throw here
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].code(), c.code);
  EXPECT_EQ(out[0].conn(), c.bytes45 ? c.bytes45 : id);
  EXPECT_EQ(board.flash.counters().writes, 0u);
  EXPECT_EQ(bl::g_state.conns.records[0].announced, 64);  // 1500 changed nothing
  EXPECT_EQ(bl::g_state.conns.records[0].received, 64);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShortRequest,
                         ::testing::Values(ShortCase{110, 0, 2001, 5}, ShortCase{110, 7, 2001, 5},
                                           ShortCase{111, 4, 2001, 0}, ShortCase{111, 7, 2001, 0},
                                           ShortCase{1016, 3, 2001, 0}, ShortCase{1500, 0, 2001, 0},
                                           ShortCase{1500, 3, 2001, 0}));

TEST_F(Protocol, MemoryReadOfNothingAnnouncesZero) {
  const uint16_t id = connect();
  auto out = request(111, id, 1, u32s({W, 0}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].code(), 1500u);
  EXPECT_EQ(out[0].bytes.size(), 16u);
  EXPECT_EQ(le32(out[0].bytes, 8), 0u);
  EXPECT_EQ(le32(out[0].bytes, 12), 1024u);
  EXPECT_EQ(out[0].conn(), id);
  EXPECT_EQ(out[0].seq(), 1u);
  EXPECT_EQ(out[1].code(), 2000u);
  EXPECT_EQ(out[1].conn(), id);
  for (const Sent& s : out) EXPECT_TRUE(s.checksum_ok());
}

TEST_F(Protocol, MemoryReadSendsChunksWithIndexes) {
  Bytes content = pattern(2500, 77);
  board.flash.set_contents(0x1000, content);
  const uint16_t id = connect();
  auto out = request(111, id, 1, u32s({W + 0x1000, 2500}));
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].code(), 1500u);
  EXPECT_EQ(le32(out[0].bytes, 8), 2500u);
  EXPECT_EQ(le32(out[0].bytes, 12), 1024u);
  const size_t sizes[] = {1024, 1024, 452};
  Bytes got;
  for (size_t i = 0; i < 3; ++i) {
    const Sent& c = out[1 + i];
    EXPECT_EQ(c.code(), 1501u);
    EXPECT_EQ(c.conn(), i);
    EXPECT_EQ(c.seq(), 1u);
    EXPECT_EQ(c.bytes.size(), sizes[i] + 8);
    EXPECT_TRUE(c.checksum_ok());
    got.insert(got.end(), c.bytes.begin() + 8, c.bytes.end());
  }
  EXPECT_EQ(got, content);
  EXPECT_EQ(out[4].code(), 2000u);
  EXPECT_EQ(out[4].conn(), 2u);
  EXPECT_EQ(out[4].bytes.size(), 8u);
  // A repeat gets only the stored final reply.
  auto again = request(111, id, 1, u32s({W + 0x1000, 2500}));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].bytes, out[4].bytes);
}

TEST_F(Protocol, MemoryReadPacesChunksOnTheSerialLine) {
  // 10,240,000 / rate µs after each chunk: 88 µs on serial, 0 on the network.
  const uint16_t net = connect(net_peer(1));
  const uint16_t ser = connect(serial_peer(), send_serial, kSerialRate);
  double t0 = board.timer.elapsed_ms();
  request(111, net, 1, u32s({0xA0000000u, 10 * 1024}));
  double net_ms = board.timer.elapsed_ms() - t0;
  t0 = board.timer.elapsed_ms();
  auto out = request(111, ser, 1, u32s({0xA0000000u, 10 * 1024}));
  double ser_ms = board.timer.elapsed_ms() - t0;
  EXPECT_EQ(out.size(), 12u);
  EXPECT_EQ(out[5].via, 's');
  EXPECT_GE(ser_ms, 10 * 0.0875);
  EXPECT_LT(net_ms, 10 * 0.0875);
}

TEST_F(Protocol, MemoryReadOfSdramThroughItsLowAlias) {
  Bytes content = pattern(300, 3);
  board.sdram.write(0xA0010000u, content.data(), 300);
  const uint16_t id = connect();
  auto out = request(111, id, 1, u32s({0x10000, 300}));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(Bytes(out[1].bytes.begin() + 8, out[1].bytes.end()), content);
}

TEST_F(Protocol, RequestWithAnotherPeersIdRunsOnThatPeersRecord) {
  const uint16_t a = connect(net_peer(1), send_net, kNetRate);
  const uint16_t b = connect(serial_peer(), send_serial, kSerialRate);
  ASSERT_NE(a, b);
  // B's transport hands over a packet that carries A's id.
  size_t before = sent_log().size();
  handle(packet(1500, a, 1, u32s({32})), serial_peer(), send_serial, kSerialRate);
  ASSERT_EQ(sent_log().size(), before + 1);
  const Sent& r = sent_log().back();
  EXPECT_EQ(r.via, 'n');
  EXPECT_EQ(r.peer, net_peer(1));
  EXPECT_EQ(r.code(), 2000u);
  EXPECT_EQ(bl::g_state.conns.records[0].announced, 32);
  EXPECT_EQ(bl::g_state.conns.records[1].announced, 0);
}

TEST_F(Protocol, UnservedCommandsAnswerFfffAndRestartCommandAsksForARestart) {
  const uint16_t id = connect();
  uint16_t seq = 1;
  for (uint16_t cmd : {1003, 11, 12, 65, 0, 109, 112, 1002, 1017, 1503, 65535}) {
    int32_t result = 0;
    auto out = request(cmd, id, seq++, pattern(12, cmd), &result);
    ASSERT_EQ(out.size(), 1u) << cmd;
    EXPECT_EQ(out[0].code(), 0xFFFFu) << cmd;
    EXPECT_EQ(out[0].bytes.size(), 8u);
    EXPECT_TRUE(out[0].checksum_ok());
    EXPECT_EQ(result, cmd);
  }
  int32_t result = 0;
  auto out = request(1004, id, seq, {}, &result);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].code(), 0xFFFFu);
  EXPECT_EQ(result, 1004);
  // A repeated 1004 gets the stored reply and the restart again.
  out = request(1004, id, seq, {}, &result);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(result, 1004);
}

TEST_F(Protocol, VersionAndNop) {
  const uint16_t id = connect();
  Sent v = reply(1100, id, 1);
  EXPECT_EQ(v.code(), 2000u);
  ASSERT_EQ(v.bytes.size(), 25u);
  EXPECT_EQ(std::string(v.bytes.begin() + 8, v.bytes.end()), std::string("BLDR Apr 14 2004\0", 17));
  EXPECT_TRUE(v.checksum_ok());
  Sent nop = reply(2000, id, 2, pattern(5, 1));
  EXPECT_EQ(nop.code(), 2000u);
  EXPECT_EQ(nop.bytes.size(), 8u);
}

TEST_F(Protocol, DisconnectRemovesTheRecordAndFreesItsBuffer) {
  const size_t free_at_start = bl::heap_largest_free();
  const uint16_t a = connect(net_peer(1));
  const uint16_t b = connect(net_peer(2));
  const uint16_t c = connect(net_peer(3));
  ASSERT_EQ(reply(1500, b, 1, u32s({50000})).code(), 2000u);
  ASSERT_EQ(reply(2000, c, 1).code(), 2000u);
  EXPECT_TRUE(request(1001, b, 2).empty());  // no reply
  EXPECT_EQ(bl::g_state.conns.count, 2u);
  EXPECT_TRUE(request(2000, b, 3).empty());  // b's id is gone
  EXPECT_EQ(bl::g_state.conns.records[0].id, a);
  EXPECT_EQ(bl::g_state.conns.records[1].id, c);
  EXPECT_EQ(reply(2000, c, 1).peer, net_peer(3));  // c moved down with its stored reply
  EXPECT_TRUE(request(1001, a, 1).empty());
  EXPECT_TRUE(request(1001, c, 2).empty());
  EXPECT_EQ(bl::g_state.conns.count, 0u);
  // Only the table's array is still held.
  EXPECT_GE(bl::heap_largest_free() + 5 * sizeof(bl::ConnRecord) + 64, free_at_start);
}

TEST_F(Protocol, RepeatedConnectResendsTheStoredReplyAndIsCompletedAgain) {
  const uint16_t id = connect();
  Sent stored = reply(2000, id, 5);
  size_t before = sent_log().size();
  // A connect carrying the record's id and its last sequence number meets the
  // repeat check first.
  EXPECT_EQ(handle(packet(1000, id, 5)), 1000);
  ASSERT_EQ(sent_log().size(), before + 2);
  EXPECT_EQ(sent_log()[before].bytes, stored.bytes);
  EXPECT_EQ(sent_log()[before + 1].conn(), id);  // the connect reply
  EXPECT_EQ(bl::g_state.conns.count, 1u);
}

class FlashTroubles : public Protocol {};

TEST_F(FlashTroubles, FailedFlashWriteGivesErrorFour) {
  const uint16_t id = connect();
  uint16_t seq = 1;
  board.flash.set_contents(0x10, {0x00});
  board.flash.fail_program(0x10, -1);
  transfer(id, seq, pattern(64, 1));
  Sent r = reply(110, id, seq, u32s({0, 0}));
  EXPECT_EQ(r.code(), 2001u);
  EXPECT_EQ(r.conn(), 4u);
}

TEST_F(FlashTroubles, NoRoomForTheHeaderBlockGivesErrorFour) {
  const uint16_t id = connect();
  uint16_t seq = 1;
  transfer(id, seq, pattern(100000, 1));
  std::vector<void*> taken;  // leave less than the 100,008-byte block
  while (bl::heap_largest_free() >= 100008)
    taken.push_back(bl::heap_alloc(bl::heap_largest_free() - 90000));
  board.flash.clear_counters();
  Sent r = reply(110, id, seq, u32s({1, 0xA0000000u}));
  EXPECT_EQ(r.code(), 2001u);
  EXPECT_EQ(r.conn(), 4u);
  EXPECT_EQ(board.flash.counters().writes, 0u);
  for (void* p : taken) bl::heap_free(p);
  EXPECT_EQ(reply(110, id, seq + 1, u32s({1, 0xA0000000u})).code(), 2000u);
}

class UnknownPart : public LoaderTest {
 protected:
  UnknownPart() : LoaderTest(0x1234) {}
};

TEST_F(UnknownPart, EveryWriteFailsWithErrorFour) {
  const uint16_t id = connect();
  uint16_t seq = 1;
  transfer(id, seq, pattern(64, 1));
  board.flash.clear_counters();
  for (uint32_t target : {0u, 1u, 3u, 4u, 5u, 6u}) {
    Sent r = reply(110, id, seq++, u32s({target, 0}));
    EXPECT_EQ(r.code(), 2001u);
    EXPECT_EQ(r.conn(), 4u) << target;
  }
  EXPECT_EQ(board.flash.counters().writes, 0u);
}

}  // namespace
