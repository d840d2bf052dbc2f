#include "vordlix/src/session.h"

#include <algorithm>
#include <cstring>

#include <vordlix/vordlix.h>
#include "vordlix/src/wire.h"

namespace vordlix {
namespace {

using namespace std::chrono;

// Internal result of Exchange: a memory read whose stream arrived incomplete.
constexpr int32_t kIncomplete = 1;
// The least time between two sends of one request, and the pause before resending
// after a 2004 (the peer holds no stored reply yet).
constexpr auto kMinResendGap = milliseconds(20);
// The longest wait between two sends of one request.
constexpr int kMaxResendIntervalMs = 1000;

// Milliseconds from now until t, rounded up: a wait never ends before t, so a loop
// that waits for t does not spin through its last millisecond.
int WaitMs(Session::Clock::time_point now, Session::Clock::time_point t) {
  if (t <= now) return 0;
  return static_cast<int>(ceil<milliseconds>(t - now).count());
}

// A memory read's reply stream: 1500 announce (length, chunk size), 1501 chunks
// with their index in bytes 4 and 5, then the final reply.
struct MemoryRead {
  std::size_t cap = 0;  // the caller's buffer: nothing larger is ever allocated
  bool announced = false;
  bool too_large = false;
  uint64_t total = 0;
  uint64_t chunk = 0;
  std::vector<uint8_t> bytes;
  std::vector<bool> have;

  void Announce(const std::vector<uint8_t>& p) {
    if (p.size() < wire::kHeaderSize + 8) return;
    total = wire::Get32(&p[8]);
    chunk = wire::Get32(&p[12]);
    // A length that is negative as the loader compares it means no data.
    if (static_cast<int32_t>(total) < 0) total = 0;
    announced = chunk > 0 || total == 0;
    if (!announced) return;
    too_large = total > cap;
    if (too_large) return;
    bytes.assign(total, 0);
    have.assign(chunk ? (total + chunk - 1) / chunk : 0, false);
  }
  void Chunk(const std::vector<uint8_t>& p, uint16_t index) {
    if (!announced || too_large || index >= have.size()) return;
    const std::size_t off = static_cast<std::size_t>(index) * chunk;
    const std::size_t want = std::min<std::size_t>(chunk, total - off);
    if (p.size() - wire::kHeaderSize != want) return;
    std::memcpy(&bytes[off], &p[wire::kHeaderSize], want);
    have[index] = true;
  }
  bool Complete() const {
    return announced && !too_large && std::all_of(have.begin(), have.end(), [](bool b) { return b; });
  }
};

}  // namespace

Session::Session(std::unique_ptr<Transport> transport, int32_t device_id)
    : transport_(std::move(transport)), device_id_(device_id) {}

uint16_t Session::NextSequence() {
  // Requests after the connect count 1, 2, 3...; 0 belongs to the connect.
  last_sequence_ = static_cast<uint16_t>(last_sequence_ == 0xFFFF ? 1 : last_sequence_ + 1);
  return last_sequence_;
}

bool Session::Connect(int timeout_ms) {
  const auto deadline = transport_->Now() + milliseconds(timeout_ms);
  transport_->Flush();
  // The connection id field of a connect is free. A terminal whose record with that
  // id last answered sequence 0 treats the connect as a repeat and says 2004; a
  // different id then gets past its repeat check.
  uint16_t probe_id = 0;
  std::vector<uint8_t> request = wire::BuildPacket(wire::kCmdConnect, probe_id, 0, nullptr, 0);
  const auto interval = std::max<Clock::duration>(milliseconds(transport_->ResendIntervalMs(request.size())),
                                                  kMinResendGap);
  auto next_send = transport_->Now();
  std::vector<uint8_t> in;
  for (;;) {
    const auto now = transport_->Now();
    if (now >= deadline) return false;
    if (now >= next_send) {
      if (!transport_->Send(request.data(), request.size())) return false;
      next_send = now + interval;
    }
    const int r = transport_->Receive(&in, WaitMs(now, std::min(next_send, deadline)));
    if (r < 0) return false;
    if (r == 0) continue;
    wire::Header h;
    if (!wire::ParseHeader(in.data(), in.size(), &h) || !wire::ChecksumValid(in.data(), in.size())) continue;
    if (h.sequence != 0) continue;
    if (h.command == wire::kReplyOk) {
      connection_ = h.connection;
      last_sequence_ = 0;
      return true;
    }
    if (h.command == wire::kReplyNoStoredReply) {
      ++probe_id;
      request = wire::BuildPacket(wire::kCmdConnect, probe_id, 0, nullptr, 0);
      next_send = transport_->Now() + kMinResendGap;
    }
    // Anything else with sequence 0 is an old stored reply; the connect reply follows it.
  }
}

int32_t Session::Exchange(uint16_t command, const uint8_t* data, std::size_t n, Clock::time_point deadline,
                          Answer* out, std::size_t read_cap, Clock::time_point not_before) {
  const uint16_t seq = NextSequence();
  const std::vector<uint8_t> request = wire::BuildPacket(command, connection_, seq, data, n);
  MemoryRead read;
  read.cap = read_cap;
  std::vector<uint8_t> in;
  // The first resend comes soon (a lost datagram); later ones back off, so that a
  // terminal busy with a long flash write is not flooded with repeats. No two sends
  // come closer than kMinResendGap, whatever arrives meanwhile.
  const int base = transport_->ResendIntervalMs(request.size());
  Clock::duration interval = std::max<Clock::duration>(milliseconds(base), kMinResendGap);
  const Clock::duration longest = std::max<Clock::duration>(milliseconds(std::max(base, kMaxResendIntervalMs)),
                                                            kMinResendGap);
  auto next_send = std::max(transport_->Now(), not_before);
  for (;;) {
    const auto now = transport_->Now();
    if (now >= deadline) return VORDLIX_E_TIMEOUT;
    if (now >= next_send) {
      if (!transport_->Send(request.data(), request.size())) return VORDLIX_E_IO;
      next_send = now + interval;
      interval = std::min(interval * 2, longest);
    }
    const int r = transport_->Receive(&in, WaitMs(now, std::min(next_send, deadline)));
    if (r < 0) return VORDLIX_E_IO;
    if (r == 0) continue;
    wire::Header h;
    if (!wire::ParseHeader(in.data(), in.size(), &h) || !wire::ChecksumValid(in.data(), in.size())) continue;
    if (h.sequence != seq) continue;  // a late reply to an earlier request
    if (command == wire::kCmdMemoryRead) {
      if (h.command == wire::kCmdTransferSize && h.connection == connection_) {
        read = MemoryRead();
        read.cap = read_cap;
        read.Announce(in);
        continue;
      }
      if (h.command == wire::kCmdTransferChunk) {
        read.Chunk(in, h.connection);
        continue;
      }
    }
    // Bytes 4 and 5 name the connection, except in a refused 110 (error code) and
    // in the final reply of a memory read (last chunk index).
    const bool id_free = (command == wire::kCmdMemoryRead && h.command == wire::kReplyOk &&
                          in.size() == wire::kHeaderSize) ||
                         (command == 110 && h.command == wire::kReplyRefused);
    if (!id_free && h.connection != connection_) continue;
    if (h.command == wire::kReplyNoStoredReply) {
      next_send = transport_->Now() + kMinResendGap;
      continue;
    }
    out->code = h.command;
    if (command == wire::kCmdMemoryRead && h.command == wire::kReplyOk && in.size() == wire::kHeaderSize) {
      // The loader's final reply: the data is what the stream carried. A repeat of
      // the request gets only this final reply, so a stream with gaps is read anew.
      if (read.too_large) return VORDLIX_E_OVERFLOW;
      if (!read.Complete()) return kIncomplete;
      out->data = std::move(read.bytes);
      return VORDLIX_OK;
    }
    out->data.assign(in.begin() + wire::kHeaderSize, in.end());
    return VORDLIX_OK;
  }
}

int32_t Session::Command(uint16_t* reply, uint8_t* buffer, std::size_t size, const uint8_t* request,
                         std::size_t request_length, int timeout_ms) {
  const uint16_t command = *reply;
  *reply = VORDLIX_REPLY_FAILED;
  if (request_length > transport_->MaxData()) return VORDLIX_E_TOO_LONG;
  // The request may sit in the caller's buffer, which the reply overwrites.
  const std::vector<uint8_t> data(request, request + request_length);
  const auto deadline = transport_->Now() + milliseconds(timeout_ms);
  Answer answer;
  int32_t r = Exchange(command, data.data(), data.size(), deadline, &answer, size);
  // A memory read that arrived with gaps is read again, no sooner than a resend.
  while (r == kIncomplete && transport_->Now() < deadline)
    r = Exchange(command, data.data(), data.size(), deadline, &answer, size, transport_->Now() + kMinResendGap);
  if (r == kIncomplete) r = VORDLIX_E_TIMEOUT;
  if (r != VORDLIX_OK) return r;

  const std::vector<uint8_t>& d = answer.data;
  if (size > 0) {
    // Text replies end with a NUL within the buffer; a reply that does not fit is a
    // failure, never a silent cut.
    const bool fits = d.size() < size || (command == wire::kCmdMemoryRead && d.size() == size) ||
                      (d.size() == size && d.back() == 0);
    const std::size_t copy = fits ? d.size() : size - 1;
    if (copy) std::memcpy(buffer, d.data(), copy);
    if (copy < size) buffer[copy] = 0;
    if (!fits) return VORDLIX_E_OVERFLOW;
  }
  *reply = answer.code;
  return VORDLIX_OK;
}

int32_t Session::CommandData(uint16_t* reply, const uint8_t* data, std::size_t length, const uint8_t* params,
                             std::size_t params_length, int timeout_ms) {
  const uint16_t command = *reply;
  *reply = VORDLIX_REPLY_FAILED;
  if (params_length > transport_->MaxData() || length > 0x7FFFFFFF) return VORDLIX_E_TOO_LONG;
  const auto deadline = transport_->Now() + milliseconds(timeout_ms);
  Answer answer;
  uint8_t size_field[4];
  wire::Put32(size_field, static_cast<uint32_t>(length));
  int32_t r = Exchange(wire::kCmdTransferSize, size_field, sizeof size_field, deadline, &answer);
  if (r != VORDLIX_OK) return r;
  if (answer.code != wire::kReplyOk) {
    *reply = answer.code;
    return VORDLIX_OK;
  }
  const std::size_t chunk = transport_->MaxData();
  for (std::size_t off = 0; off < length; off += chunk) {
    const std::size_t k = std::min(chunk, length - off);
    r = Exchange(wire::kCmdTransferChunk, data + off, k, deadline, &answer);
    if (r != VORDLIX_OK) return r;
    if (answer.code != wire::kReplyOk) {
      *reply = answer.code;  // a refused chunk: the block would not arrive whole
      return VORDLIX_OK;
    }
  }
  r = Exchange(command, params, params_length, deadline, &answer);
  if (r != VORDLIX_OK) return r;
  *reply = answer.code;
  return VORDLIX_OK;
}

void Session::Disconnect() {
  const std::vector<uint8_t> request =
      wire::BuildPacket(wire::kCmdDisconnect, connection_, NextSequence(), nullptr, 0);
  transport_->Send(request.data(), request.size());
}

}  // namespace vordlix
