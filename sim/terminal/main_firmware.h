// A stand-in for the terminal's main firmware: the server core configured to
// answer what the configuration tool and the boot updater rely on.
//
// - 11 / 12 over a persistent option store (OptionStore, file optional). A hidden
//   option ("~" first) arrives masked: the first hex pair after "=" is the seed,
//   each further pair the running XOR of seed and value bytes. It is unmasked on
//   receipt and stored plain, so a read returns the plain value; a masked text
//   that does not decode (odd length, no seed, a non-hex digit, a NUL byte in the
//   value) is refused with 2001 and nothing is stored. A text without "=" is
//   refused too.
// - "V0" to "V4": read-only diagnostic values computed when read (see README);
//   a write to them is refused.
// - 1003: 2000. 1004: 2000, then the restart callback (once the reply is out).
// - 110 with storage target 0: the block is written at flash offset 0 with the
//   boot loader's flash store (LoaderFlashWriter); any other target is error 5,
//   a failed write error 4.
// - 111: flash window addresses (0xFF800000 up) read the flash; all else reads 0.
// - 1100: its own version text.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "sim/terminal/loader_flash.h"
#include "sim/terminal/option_store.h"
#include "sim/terminal/server_core.h"

namespace sim::terminal {

class MainFirmware : public Terminal {
 public:
  static constexpr const char* kVersion = "QMSIM 1.0 main firmware";
  static constexpr const char* kFirmwareId = "QMSIM 1.0";  // V0

  // The options a new terminal holds (README lists them).
  static OptionStore::Entries Defaults();
  // Plain value of a masked hidden-option value, or nothing when it does not decode.
  static std::optional<std::string> Unmask(const std::string& masked);

  // flash may be null: 110 then fails with error 4.
  explicit MainFirmware(FlashModel* flash = nullptr, MmioDevice* os_timer = nullptr);

  // Binds the option store to a file (see OptionStore::Open); false with the reason.
  bool OpenStore(const std::string& path, std::string* error) { return options_.Open(path, error); }
  void SetRestart(std::function<void()> restart) { restart_ = std::move(restart); }

  uint64_t ImagesWritten() const { return images_written_; }

  // Terminal
  OptionStore& Options() override { return options_; }
  std::string VersionText() const override { return kVersion; }
  uint16_t StoreBlock(uint32_t target, uint32_t parameter, const Bytes& block) override;
  void ReadMemory(uint32_t address, uint8_t* out, uint32_t n) override;
  uint16_t WriteOption(const std::string& text) override;
  std::optional<std::string> ReadOption(const std::string& name) override;
  std::optional<Reply> Execute(uint16_t command, const Bytes& data, std::function<void()>* after) override;

 private:
  OptionStore options_;
  FlashModel* flash_;
  std::unique_ptr<LoaderFlashWriter> writer_;
  std::function<void()> restart_;
  uint64_t images_written_ = 0;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace sim::terminal
