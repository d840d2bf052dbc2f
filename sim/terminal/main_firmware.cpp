#include "sim/terminal/main_firmware.h"

#include <cstring>

#include "sim/terminal/packet_codec.h"

namespace sim::terminal {

namespace p = packet;
constexpr uint32_t kFlashWindow = 0xFF800000u;

OptionStore::Entries MainFirmware::Defaults() {
  return {
      {"~OEMVendor", "OEM"},
      {"~DeviceName", "TA100"},
      {"~SerialNumber", "000000"},
      {"ShowCheckIn", "1"},
      {"ShowCheckin", "1"},
      {"VTRAKeyLayouts", "322A3023373839343536334344424131414244433133"},
      {"~KeyLayout", "0"},
      {"~ShowState", "0"},
      {"~PIN2Width", "5"},
      {"Voices", "0"},
  };
}

std::optional<std::string> MainFirmware::Unmask(const std::string& masked) {
  if (masked.size() < 2 || masked.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string plain;
  int running = -1;
  for (std::size_t i = 0; i < masked.size(); i += 2) {
    const int hi = digit(masked[i]), lo = digit(masked[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    const int byte = hi * 16 + lo;
    if (running >= 0) {
      const int c = byte ^ running;
      if (c == 0) return std::nullopt;  // no text holds a NUL
      plain.push_back(static_cast<char>(c));
    }
    running = byte;
  }
  return plain;
}

MainFirmware::MainFirmware(FlashModel* flash, MmioDevice* os_timer) : options_(Defaults()), flash_(flash) {
  if (flash) writer_ = std::make_unique<LoaderFlashWriter>(*flash, os_timer);
}

namespace {
bool IsDiagnostic(const std::string& name) {
  return name.size() == 2 && name[0] == 'V' && name[1] >= '0' && name[1] <= '4';
}
}  // namespace

std::optional<std::string> MainFirmware::ReadOption(const std::string& name) {
  if (!IsDiagnostic(name)) return options_.Get(name);
  switch (name[1]) {
    case '0':
      return std::string(kFirmwareId);
    case '1':
      return std::to_string(options_.size());
    case '2':
      return std::to_string(options_.TotalWrites());
    case '3': {
      const auto up = std::chrono::steady_clock::now() - started_;
      return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(up).count());
    }
    default:
      return std::to_string(images_written_);
  }
}

uint16_t MainFirmware::WriteOption(const std::string& text) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return p::kReplyRefused;
  const std::string name = text.substr(0, eq);
  std::string value = text.substr(eq + 1);
  if (IsDiagnostic(name)) return p::kReplyRefused;
  if (name[0] == '~') {
    auto plain = Unmask(value);
    if (!plain) return p::kReplyRefused;
    value = *plain;
  }
  return options_.Set(name, value) ? p::kReplyOk : p::kReplyRefused;
}

uint16_t MainFirmware::StoreBlock(uint32_t target, uint32_t, const Bytes& block) {
  if (target != 0) return 5;
  if (block.empty() || block.size() > FlashModel::kSize) return 5;
  if (!writer_) return 4;
  if (writer_->Write(0, block.data(), static_cast<uint32_t>(block.size())) != 1) return 4;
  ++images_written_;
  return 0;
}

void MainFirmware::ReadMemory(uint32_t address, uint8_t* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t a = address + i;
    out[i] = (flash_ && a >= kFlashWindow) ? flash_->data()[(a - kFlashWindow) % FlashModel::kSize] : 0;
  }
}

std::optional<Reply> MainFirmware::Execute(uint16_t command, const Bytes&, std::function<void()>* after) {
  switch (command) {
    case p::kCmdPrepare:
      return Reply{p::kReplyOk, {}};
    case p::kCmdRestart:
      if (restart_) *after = restart_;
      return Reply{p::kReplyOk, {}};
    default:
      return std::nullopt;
  }
}

}  // namespace sim::terminal
