// The server core on its own: packets in, packets out, no sockets. Records,
// drops, repeats with the stored reply or 2004, the transfer buffer, 110's error
// codes, the 111 stream, the option commands and scripted replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/terminal/packet_codec.h"
#include "sim/terminal/server_core.h"

namespace {

using namespace sim::terminal;
namespace p = sim::terminal::packet;
using Verdict = ServerCore::Verdict;

class RecordingTerminal : public Terminal {
 public:
  OptionStore& Options() override { return options; }
  uint16_t StoreBlock(uint32_t target, uint32_t parameter, const Bytes& block) override {
    stored.push_back({target, parameter, block});
    return store_error;
  }
  void ReadMemory(uint32_t address, uint8_t* out, uint32_t n) override {
    for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(address + i);
  }
  struct Stored {
    uint32_t target, parameter;
    Bytes block;
  };
  OptionStore options;
  std::vector<Stored> stored;
  uint16_t store_error = 0;
};

struct Decoded {
  uint16_t code, field, sequence;
  Bytes data;
};

Decoded Decode(const Bytes& b) {
  EXPECT_GE(b.size(), 8u);
  EXPECT_TRUE(p::ChecksumValid(b.data(), b.size()));
  return {p::Get16(&b[0]), p::Get16(&b[4]), p::Get16(&b[6]), Bytes(b.begin() + 8, b.end())};
}

Bytes U32s(std::initializer_list<uint32_t> values) {
  Bytes out;
  for (uint32_t v : values) {
    out.resize(out.size() + 4);
    p::Put32(&out[out.size() - 4], v);
  }
  return out;
}

Bytes Text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

class CoreTest : public ::testing::Test {
 protected:
  ServerCore::Outcome Send(uint16_t cmd, const Bytes& data = {}, const PeerKey& from = "A",
                           std::optional<uint16_t> seq = std::nullopt, std::optional<uint16_t> conn = std::nullopt) {
    const uint16_t s = seq ? *seq : ++sequence;
    const Bytes pk = p::Build(cmd, conn.value_or(id), s, data);
    return core.Handle(from, pk.data(), pk.size());
  }
  void Connect(const PeerKey& from = "A") {
    const Bytes pk = p::Build(p::kCmdConnect, 0, 0, {});
    auto out = core.Handle(from, pk.data(), pk.size());
    ASSERT_EQ(out.verdict, Verdict::kConnect);
    id = Decode(out.reply).field;
    sequence = 0;
  }
  RecordingTerminal terminal;
  ServerCore core{terminal};
  uint16_t id = 0;
  uint16_t sequence = 0;
};

TEST_F(CoreTest, ConnectsKeepOneRecordPerPeerAndDisconnectRemovesIt) {
  Connect("A");
  const uint16_t a = id;
  EXPECT_EQ(a, 0x5101);
  Connect("A");
  EXPECT_EQ(id, a) << "a reconnect reuses the record";
  Connect("B");
  EXPECT_NE(id, a);
  EXPECT_EQ(core.Connections(), 2);
  auto out = Send(p::kCmdDisconnect, {}, "B");
  EXPECT_EQ(out.verdict, Verdict::kDisconnect);
  EXPECT_TRUE(out.reply.empty() && out.stream.empty());
  EXPECT_EQ(core.Connections(), 1);
  EXPECT_EQ(Send(2000, {}, "B").verdict, Verdict::kDrop) << "the record is gone";
  // A request naming A's record from another peer is A's: the reply goes to A.
  id = a;
  sequence = 0;
  out = Send(2000, {}, "C");
  EXPECT_EQ(out.to, "A");
  EXPECT_EQ(Decode(out.reply).field, a);
}

TEST_F(CoreTest, BadPacketsAreDroppedWithoutAnAnswer) {
  Connect();
  Bytes good = p::Build(2000, id, 1, {1, 2, 3});
  Bytes bad_sum = good;
  bad_sum[10] ^= 1;
  const Bytes unknown = p::Build(2000, id + 1, 1, {});
  const std::vector<Bytes> cases = {Bytes(good.begin(), good.begin() + 7), bad_sum, unknown, {}};
  for (const Bytes& b : cases) {
    auto out = core.Handle("A", b.data(), b.size());
    EXPECT_EQ(out.verdict, Verdict::kDrop);
    EXPECT_TRUE(out.reply.empty() && out.stream.empty());
  }
  EXPECT_EQ(core.Handle("A", good.data(), good.size()).verdict, Verdict::kExecute);
}

TEST_F(CoreTest, RepeatsAreAnsweredWithoutExecuting) {
  Connect();
  // Sequence 0 right after a connect repeats the new record's 0: 2004, nothing done.
  auto out = Send(p::kCmdSetOption, Text("Voices=1"), "A", 0);
  EXPECT_EQ(out.verdict, Verdict::kRepeat);
  ASSERT_EQ(out.stream.size(), 1u);
  EXPECT_EQ(Decode(out.stream[0]).code, p::kReplyNoStoredReply);
  EXPECT_EQ(terminal.options.Writes("Voices"), 0u);

  out = Send(p::kCmdSetOption, Text("Voices=2"));
  const Bytes first = out.reply;
  EXPECT_EQ(Decode(first).code, 2000);
  out = Send(p::kCmdSetOption, Text("Voices=2"), "A", sequence);
  EXPECT_EQ(out.verdict, Verdict::kRepeat);
  ASSERT_EQ(out.stream.size(), 1u);
  EXPECT_EQ(out.stream[0], first) << "the stored reply, byte for byte";
  EXPECT_EQ(terminal.options.Writes("Voices"), 1u) << "applied once";

  // A scripted 2004 is not stored: the resend runs.
  const Bytes pk = p::Build(p::kCmdSetOption, id, ++sequence, Text("Voices=3"));
  out = core.Handle("A", pk.data(), pk.size(), Reply{p::kReplyNoStoredReply, {}});
  EXPECT_EQ(Decode(out.reply).code, p::kReplyNoStoredReply);
  out = core.Handle("A", pk.data(), pk.size());
  EXPECT_EQ(out.verdict, Verdict::kExecute);
  EXPECT_EQ(terminal.options.Get("Voices"), "3");
}

TEST_F(CoreTest, ABlockInChunksIsStoredBy110) {
  Connect();
  Bytes image(20464);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(Decode(Send(p::kCmdTransferSize, U32s({20464})).reply).code, 2000);
  for (std::size_t off = 0; off < image.size(); off += 1024) {
    const Bytes chunk(image.begin() + off, image.begin() + std::min(off + 1024, image.size()));
    ASSERT_EQ(Decode(Send(p::kCmdTransferChunk, chunk).reply).code, 2000);
    // The same chunk again (same sequence number): the stored 2000, nothing appended.
    auto again = Send(p::kCmdTransferChunk, chunk, "A", sequence);
    ASSERT_EQ(again.verdict, Verdict::kRepeat);
  }
  auto out = Send(p::kCmdStore, U32s({0, 0}));
  EXPECT_EQ(Decode(out.reply).code, 2000);
  ASSERT_EQ(terminal.stored.size(), 1u);
  EXPECT_EQ(terminal.stored[0].block, image);
  ASSERT_TRUE(out.block.has_value());
  EXPECT_EQ(out.block->announced, 20464u);
  // The block stays for a second 110 until 1502 releases it.
  EXPECT_EQ(Decode(Send(p::kCmdStore, U32s({3, 1})).reply).code, 2000);
  EXPECT_EQ(terminal.stored.size(), 2u);
  EXPECT_EQ(terminal.stored[1].target, 3u);
  EXPECT_EQ(terminal.stored[1].parameter, 1u);
  EXPECT_EQ(Decode(Send(p::kCmdTransferRelease).reply).code, 2000);
  auto refused = Decode(Send(p::kCmdStore, U32s({0, 0})).reply);
  EXPECT_EQ(refused.code, 2001);
  EXPECT_EQ(refused.field, 1);
}

TEST_F(CoreTest, ChunksThatCannotBeTakenAreRefused) {
  Connect();
  EXPECT_EQ(Decode(Send(p::kCmdTransferChunk, Bytes(4)).reply).code, 2001) << "no buffer";
  Send(p::kCmdTransferSize, U32s({6}));
  EXPECT_EQ(Decode(Send(p::kCmdTransferChunk, Bytes(7)).reply).code, 2001) << "too large";
  sequence += 1;  // skips one: last + 2
  EXPECT_EQ(Decode(Send(p::kCmdTransferChunk, Bytes(2)).reply).code, 2001) << "out of sequence";
  EXPECT_EQ(Decode(Send(p::kCmdTransferChunk, Bytes(2, 9)).reply).code, 2000);
  EXPECT_EQ(Decode(Send(p::kCmdTransferChunk, Bytes(4, 8)).reply).code, 2000);
  EXPECT_EQ(Decode(Send(p::kCmdTransferChunk, Bytes(1)).reply).code, 2001) << "full";
  Send(p::kCmdStore, U32s({0, 0}));
  ASSERT_EQ(terminal.stored.size(), 1u);
  EXPECT_EQ(terminal.stored[0].block, (Bytes{9, 9, 8, 8, 8, 8}));
}

TEST_F(CoreTest, Command110ErrorCodes) {
  struct Case {
    const char* what;
    std::vector<std::pair<uint16_t, Bytes>> before;
    uint16_t store_error;
    uint16_t code, field;
  };
  const Case cases[] = {
      {"nothing announced", {}, 0, 2001, 1},
      {"announced 0", {{p::kCmdTransferSize, U32s({0})}}, 0, 2001, 1},
      {"announced, too large to hold", {{p::kCmdTransferSize, U32s({0x7FFFFFFF})}}, 0, 2001, 2},
      {"announced, no chunk", {{p::kCmdTransferSize, U32s({4})}}, 0, 2001, 3},
      {"complete, write failed", {{p::kCmdTransferSize, U32s({2})}, {p::kCmdTransferChunk, Bytes(2)}}, 4, 2001, 4},
      {"complete, bad target", {{p::kCmdTransferSize, U32s({2})}, {p::kCmdTransferChunk, Bytes(2)}}, 5, 2001, 5},
      {"complete", {{p::kCmdTransferSize, U32s({2})}, {p::kCmdTransferChunk, Bytes(2)}}, 0, 2000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    core.Reset();
    Connect();
    for (const auto& [cmd, data] : c.before) Send(cmd, data);
    terminal.store_error = c.store_error;
    const Decoded r = Decode(Send(p::kCmdStore, U32s({0, 0})).reply);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.field, c.code == 2000 ? id : c.field);
  }
}

TEST_F(CoreTest, MemoryReadStreamsChunksThenStoresOnlyTheFinalReply) {
  Connect();
  auto out = Send(p::kCmdMemoryRead, U32s({0x100, 2500}));
  ASSERT_EQ(out.stream.size(), 4u);
  const Decoded announce = Decode(out.stream[0]);
  EXPECT_EQ(announce.code, 1500);
  EXPECT_EQ(announce.data, U32s({2500, 1024}));
  const std::size_t sizes[] = {1024, 1024, 452};
  for (int i = 0; i < 3; ++i) {
    const Decoded c = Decode(out.stream[1 + i]);
    EXPECT_EQ(c.code, 1501);
    EXPECT_EQ(c.field, i);
    EXPECT_EQ(c.sequence, sequence);
    ASSERT_EQ(c.data.size(), sizes[i]);
    EXPECT_EQ(c.data[0], static_cast<uint8_t>(0x100 + 1024 * i));
  }
  const Decoded final_reply = Decode(out.reply);
  EXPECT_EQ(final_reply.code, 2000);
  EXPECT_EQ(final_reply.field, 2);
  // A repeat gets the final 2000 only.
  auto again = Send(p::kCmdMemoryRead, U32s({0x100, 2500}), "A", sequence);
  ASSERT_EQ(again.stream.size(), 1u);
  EXPECT_EQ(again.stream[0], out.reply);
  // More than any block the terminal holds: refused, nothing streamed.
  out = Send(p::kCmdMemoryRead, U32s({0, ServerCore::kMaxBlock + 1}));
  EXPECT_TRUE(out.stream.empty());
  EXPECT_EQ(Decode(out.reply).code, 2001);
  // Length 0: the announce, then 2000 with the connection id.
  out = Send(p::kCmdMemoryRead, U32s({0, 0}));
  EXPECT_EQ(out.stream.size(), 1u);
  EXPECT_EQ(Decode(out.reply).field, id);
}

TEST_F(CoreTest, OptionsVersionAndUnknownCommands) {
  Connect();
  terminal.options.Preset("ShowCheckIn", "1");
  Decoded r = Decode(Send(p::kCmdGetOption, Text("ShowCheckIn")).reply);
  EXPECT_EQ(r.code, 2000);
  EXPECT_EQ(r.data, Text("ShowCheckIn=1")) << "the name, one separator byte, the value";
  EXPECT_EQ(Decode(Send(p::kCmdGetOption, Text("Nope")).reply).code, 2001);
  EXPECT_EQ(Decode(Send(p::kCmdSetOption, Text("NoEquals")).reply).code, 2001);
  EXPECT_EQ(Decode(Send(p::kCmdSetOption, Text("A=b=c")).reply).code, 2000);
  EXPECT_EQ(terminal.options.Get("A"), "b=c");
  r = Decode(Send(p::kCmdVersion).reply);
  EXPECT_EQ(r.data, Text("BLDR Apr 14 2004"));
  EXPECT_EQ(Decode(Send(2000).reply).code, 2000);
  for (uint16_t cmd : {1003, 1004, 65, 1016})
    EXPECT_EQ(Decode(Send(cmd).reply).code, 0xFFFF) << cmd;
}

}  // namespace
