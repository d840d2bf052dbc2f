#include "sim/terminal/server_core.h"

#include <algorithm>
#include <cstring>

#include "sim/terminal/packet_codec.h"

namespace sim::terminal {

namespace p = packet;

void Terminal::ReadMemory(uint32_t, uint8_t* out, uint32_t n) { std::memset(out, 0, n); }

uint16_t Terminal::WriteOption(const std::string& text) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos) return p::kReplyRefused;
  return Options().Set(text.substr(0, eq), text.substr(eq + 1)) ? p::kReplyOk : p::kReplyRefused;
}

ServerCore::ServerCore(Terminal& terminal, uint16_t first_connection_id)
    : terminal_(terminal), next_id_(first_connection_id) {}

ServerCore::Record* ServerCore::ById(uint16_t id) {
  for (auto& r : records_)
    if (r.id == id) return &r;
  return nullptr;
}

const ServerCore::Record* ServerCore::ById(uint16_t id) const {
  for (const auto& r : records_)
    if (r.id == id) return &r;
  return nullptr;
}

ServerCore::Verdict ServerCore::Examine(const PeerKey&, const uint8_t* packet, std::size_t n) const {
  p::Header h;
  if (!p::Parse(packet, n, &h) || !p::ChecksumValid(packet, n)) return Verdict::kDrop;
  const Record* r = ById(h.field);
  if (!r && h.command != p::kCmdConnect) return Verdict::kDrop;
  if (r && h.sequence == r->last_sequence) return Verdict::kRepeat;
  if (h.command == p::kCmdConnect) return Verdict::kConnect;
  if (h.command == p::kCmdDisconnect) return Verdict::kDisconnect;
  return Verdict::kExecute;
}

Bytes ServerCore::Connect(const PeerKey& from, uint16_t sequence) {
  Record* r = nullptr;
  for (auto& rec : records_)
    if (rec.peer == from) r = &rec;
  if (!r) {
    records_.emplace_back();
    r = &records_.back();
    r->peer = from;
    while (ById(next_id_)) ++next_id_;
    r->id = next_id_++;
  }
  ++connects_;
  // Not stored, and the record's sequence state stays as it was.
  return p::Build(p::kReplyOk, r->id, sequence, {});
}

ServerCore::Outcome ServerCore::Handle(const PeerKey& from, const uint8_t* packet, std::size_t n,
                                       const std::optional<Reply>& scripted) {
  Outcome out;
  out.verdict = Examine(from, packet, n);
  if (out.verdict == Verdict::kDrop) return out;
  p::Header h;
  p::Parse(packet, n, &h);
  out.command = h.command;
  out.connection = h.field;
  out.sequence = h.sequence;
  out.to = from;
  Record* r = ById(h.field);
  if (r) {
    out.to = r->peer;
    out.previous = r->stored;
  }

  switch (out.verdict) {
    case Verdict::kDrop:
      return out;
    case Verdict::kRepeat:
      if (!r->stored.empty()) {
        out.stream.push_back(r->stored);
        // A repeated connect is completed again, as a new one would be.
        if (h.command == p::kCmdConnect) {
          out.stream.push_back(Connect(from, h.sequence));
          out.to = from;
        }
      } else {
        out.stream.push_back(p::Build(p::kReplyNoStoredReply, h.field, h.sequence, {}));
      }
      return out;
    case Verdict::kConnect:
      out.reply = Connect(from, h.sequence);
      out.to = from;
      out.previous.clear();
      return out;
    case Verdict::kDisconnect:
      records_.remove_if([&](const Record& rec) { return rec.id == h.field; });
      return out;
    case Verdict::kExecute:
      break;
  }

  const Bytes data(packet + p::kHeaderSize, packet + n);
  const uint16_t cmd = h.command;
  const bool transfer_cmd =
      cmd == p::kCmdTransferSize || cmd == p::kCmdTransferChunk || cmd == p::kCmdTransferRelease;
  if (!transfer_cmd && r->has_block) {
    out.block = BlockUse{cmd, Bytes(r->block.begin(), r->block.begin() + r->received), r->announced, data};
  }

  uint16_t field = r->id;
  const Reply reply = scripted ? *scripted : Execute(*r, cmd, h.sequence, data, &field, &out);
  out.reply = p::Build(reply.code, field, h.sequence, reply.data);
  if (reply.code != p::kReplyNoStoredReply) {
    r->last_sequence = h.sequence;
    r->stored = out.reply;
  }
  return out;
}

Reply ServerCore::Execute(Record& r, uint16_t cmd, uint16_t sequence, const Bytes& d, uint16_t* field,
                          Outcome* out) {
  Reply reply;
  switch (cmd) {
    case p::kCmdTransferSize:
      r.announced = d.size() >= 4 ? p::Get32(d.data()) : 0;
      r.has_block = false;
      r.block.clear();
      r.received = 0;
      // A size no terminal could hold leaves no buffer, as a failed allocation does.
      if (static_cast<int32_t>(r.announced) > 0 && r.announced <= kMaxBlock) {
        r.block.assign(r.announced, 0);
        r.has_block = true;
      }
      break;
    case p::kCmdTransferChunk:
      if (r.has_block && sequence == static_cast<uint16_t>(r.last_sequence + 1) &&
          r.announced - r.received >= d.size()) {
        std::copy(d.begin(), d.end(), r.block.begin() + r.received);
        r.received += static_cast<uint32_t>(d.size());
      } else {
        reply.code = p::kReplyRefused;
      }
      break;
    case p::kCmdTransferRelease:
      r.has_block = false;
      r.block.clear();
      r.announced = r.received = 0;
      break;
    case p::kCmdStore: {
      uint16_t error = 0;
      if (static_cast<int32_t>(r.announced) <= 0) error = 1;
      else if (!r.has_block) error = 2;
      else if (r.received < r.announced) error = 3;
      else {
        const uint32_t target = d.size() >= 4 ? p::Get32(d.data()) : 0;
        const uint32_t parameter = d.size() >= 8 ? p::Get32(d.data() + 4) : 0;
        error = terminal_.StoreBlock(target, parameter, r.block);
      }
      if (error) {
        reply.code = p::kReplyRefused;
        *field = error;
      }
      break;
    }
    case p::kCmdMemoryRead: {
      uint32_t address = d.size() >= 4 ? p::Get32(d.data()) : 0;
      int32_t left = d.size() >= 8 ? static_cast<int32_t>(p::Get32(d.data() + 4)) : 0;
      // The whole stream is built before it is sent: a read larger than any block
      // the terminal holds is refused rather than built in memory.
      if (left > static_cast<int32_t>(kMaxBlock)) {
        reply.code = p::kReplyRefused;
        break;
      }
      Bytes announce(8);
      p::Put32(&announce[0], static_cast<uint32_t>(left));
      p::Put32(&announce[4], kChunk);
      out->stream.push_back(p::Build(p::kCmdTransferSize, r.id, sequence, announce));
      uint16_t index = 0;
      while (left > 0) {
        const uint32_t k = std::min<uint32_t>(static_cast<uint32_t>(left), kChunk);
        Bytes chunk(k);
        terminal_.ReadMemory(address, chunk.data(), k);
        out->stream.push_back(p::Build(p::kCmdTransferChunk, index, sequence, chunk));
        address += k;
        left -= static_cast<int32_t>(k);
        *field = index++;
      }
      break;
    }
    case p::kCmdGetOption: {
      const std::string name(d.begin(), std::find(d.begin(), d.end(), 0));
      const auto value = terminal_.ReadOption(name);
      if (!value) {
        reply.code = p::kReplyRefused;
      } else {
        const std::string text = name + "=" + *value;
        reply.data.assign(text.begin(), text.end());
        reply.data.push_back(0);
      }
      break;
    }
    case p::kCmdSetOption:
      reply.code = terminal_.WriteOption(std::string(d.begin(), std::find(d.begin(), d.end(), 0)));
      break;
    case p::kCmdVersion: {
      const std::string text = terminal_.VersionText();
      reply.data.assign(text.begin(), text.end());
      reply.data.push_back(0);
      break;
    }
    case p::kReplyOk:
      break;
    default: {
      auto answer = terminal_.Execute(cmd, d, &out->after);
      if (answer) reply = *answer;
      else reply.code = p::kReplyUnknown;
      break;
    }
  }
  return reply;
}

}  // namespace sim::terminal
