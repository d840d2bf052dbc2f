// Fuzzes libvordlix's receive path: what a hostile terminal sends back to the
// protocol core, as datagrams or as bytes on a serial line, while the core
// connects, sends commands, collects memory reads and hands over a block.
//
// Input: a mode byte, then records [flags][length u16 LE][bytes].
//   mode 0x01   serial line: the bytes go through the frame reader; else each
//               record is one datagram
//   flags 0x01  fix the packet's checksum (after the two below)
//   flags 0x02  put the request's connection id field into bytes 4 and 5
//   flags 0x04  put the request's sequence number into bytes 6 and 7
//   flags 0x08  serial: wrap the bytes as a frame with a valid frame checksum
//   flags 0x10  serial: silence before the bytes (a partial frame is dropped)
//   flags 0x80  the last answer to the current send; later records answer the next
// The core runs on the transport's clock: time passes only while it waits with
// nothing left to read, so time limits cost nothing.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "vordlix/src/session.h"
#include "vordlix/src/transport.h"
#include "vordlix/src/wire.h"

namespace {

using vordlix::Transport;
namespace wire = vordlix::wire;

struct Record {
  uint8_t flags;
  std::vector<uint8_t> bytes;
};

class HostileTransport : public Transport {
 public:
  HostileTransport(bool serial, std::vector<Record> records) : serial_(serial), records_(std::move(records)) {}

  Clock::time_point Now() const override { return now_; }

  bool Send(const uint8_t* packet, std::size_t n) override {
    if (n >= wire::kHeaderSize) {
      connection_ = wire::Get16(packet + 4);
      sequence_ = wire::Get16(packet + 6);
    }
    // The answers to this send: records up to and including one flagged 0x80.
    answers_.clear();
    while (next_ < records_.size()) {
      const Record& r = records_[next_++];
      answers_.push_back(r);
      if (r.flags & 0x80) break;
    }
    answer_ = 0;
    return ++sends_ < 4096;
  }

  int Receive(std::vector<uint8_t>* packet, int timeout_ms) override {
    for (;;) {
      if (serial_ && reader_.Next(packet)) return 1;
      if (answer_ >= answers_.size()) {
        now_ += std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 1);
        return 0;
      }
      Record r = answers_[answer_++];
      Patch(&r.bytes, r.flags);
      if (!serial_) {
        *packet = std::move(r.bytes);
        return 1;
      }
      if (r.flags & 0x10) reader_.Skip();
      if (r.flags & 0x08) r.bytes = wire::BuildFrame(r.bytes.data(), std::min<std::size_t>(r.bytes.size(), 0xFFFF));
      reader_.Feed(r.bytes.data(), r.bytes.size());
    }
  }

  std::size_t MaxData() const override { return serial_ ? 2032 : 1024; }
  int ResendIntervalMs(std::size_t) const override { return 150; }
  void Flush() override { reader_.Clear(); }

 private:
  void Patch(std::vector<uint8_t>* p, uint8_t flags) const {
    if (p->size() < wire::kHeaderSize) return;
    if (flags & 0x02) wire::Put16(p->data() + 4, connection_);
    if (flags & 0x04) wire::Put16(p->data() + 6, sequence_);
    if (flags & 0x01) wire::Seal(p->data(), p->size());
  }

  bool serial_;
  std::vector<Record> records_;
  std::size_t next_ = 0;
  std::vector<Record> answers_;
  std::size_t answer_ = 0;
  uint16_t connection_ = 0, sequence_ = 0;
  int sends_ = 0;
  wire::FrameReader reader_;
  Clock::time_point now_ = Clock::now();
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool serial = data[0] & 0x01;
  std::vector<Record> records;
  for (size_t at = 1; at + 3 <= size && records.size() < 256;) {
    const uint8_t flags = data[at];
    const size_t n = std::min<size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
    records.push_back({flags, std::vector<uint8_t>(data + at + 3, data + at + 3 + n)});
    at += 3 + n;
  }
  vordlix::Session session(std::make_unique<HostileTransport>(serial, std::move(records)), 1);
  if (!session.Connect(500)) return 0;

  // The calls the programs make: a version, an option read, memory reads into a
  // buffer that fits and one that does not, a block hand-over.
  struct Call {
    uint16_t command;
    std::vector<uint8_t> request;
    size_t size;
  };
  const Call calls[] = {
      {1100, {}, 32},
      {11, {'N', 'a', 'm', 'e', 0}, 200},
      {111, {0, 0, 0x80, 0xFF, 0, 0x10, 0, 0}, 4096},
      {111, {0, 0, 0x80, 0xFF, 0, 0x10, 0, 0}, 16},
      {12, {'A', '=', '1', 0}, 100},
  };
  for (const Call& c : calls) {
    // Exactly size bytes, so that any write beyond them is caught.
    std::vector<uint8_t> buffer(c.size);
    if (!c.request.empty()) std::memcpy(buffer.data(), c.request.data(), std::min(c.request.size(), buffer.size()));
    uint16_t reply = c.command;
    session.Command(&reply, buffer.data(), buffer.size(), buffer.data(), c.request.size(), 400);
  }
  std::vector<uint8_t> block(3000, 0x5A);
  const uint8_t params[8] = {};
  uint16_t reply = 110;
  session.CommandData(&reply, block.data(), block.size(), params, sizeof params, 800);
  session.Disconnect();
  return 0;
}
