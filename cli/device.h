// One terminal as the console program sees it: the connection made from the
// settings as the window makes it, progress on the console, and the flash
// operations (read-back through the flash window, the boot-loader transfer with
// its backup and verification, the main-firmware write).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cli/host.h"

namespace qcli {

// The connection settings as typed; defaults are the window's.
struct Settings {
  std::string address = "192.168.1.201";
  std::string port;  // empty: "$1112" on the network, "1" on the serial line
  std::string baud = "115200";
};

// How progress is shown: not at all (--json, batch), plain lines, or a bar.
enum class ProgressMode { Quiet, Lines, Bar };

// Progress of one transfer or read-back on standard error: bytes and rate.
class Progress {
 public:
  Progress(Host& host, ProgressMode mode, std::string label, uint64_t total);
  void Update(uint64_t done);
  void Finish(bool ok);

 private:
  void Draw(bool final);
  Host& host_;
  ProgressMode mode_;
  std::string label_;
  uint64_t total_, done_ = 0, start_ms_, last_ms_ = 0;
  int last_quarter_ = -1;
};

class Device {
 public:
  Device(Host& host, vordlix::Library* library = nullptr) : host_(host), lib_(library ? *library : host) {}
  ~Device() { Close(); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Normalises the address (trimmed, upper-cased), chooses the transport (serial
  // when it begins with "COM") and converts the fields (baud rate first on the
  // serial line). Throws EConvertError for a field that is no integer. False when
  // the library opened no connection.
  bool Connect(const Settings& settings);
  void Close();

  // "COM1", or "ADDRESS:PORT" on the network. Valid after Connect (also a failed one).
  const std::string& Name() const { return name_; }
  int32_t Handle() const { return handle_; }
  vordlix::Library& Lib() { return lib_; }
  Host& host() { return host_; }
  bool Serial() const { return serial_; }

  // A time limit for moving `bytes` over this connection: line time (serial)
  // twice over plus `base_ms`.
  int32_t TimeLimit(uint64_t bytes, int32_t base_ms) const;

 private:
  Host& host_;
  vordlix::Library& lib_;
  std::string name_;
  int32_t handle_ = 0;
  bool serial_ = false;
  int32_t baud_ = 0;
};

// The 2 MB flash as the terminal maps it for reads and 110 target 7.
constexpr uint32_t kFlashWindow = 0xFF800000u;
constexpr uint32_t kFlashSize = 0x200000u;
// The boot area: everything below the firmware header, the sectors a boot-loader
// write may erase.
constexpr uint32_t kBootAreaSize = 0x10000u;

// Reads `length` bytes of the flash from `offset` (command 111 in pieces). "" on
// success, else what failed.
std::string ReadFlash(Device& device, uint32_t offset, uint32_t length, std::string* out, ProgressMode mode);

// One block handed over and written with command 110 (target, parameter). "" on
// success, else what failed (the reply code and the terminal's error code).
std::string WriteBlock(Device& device, const std::string& data, uint32_t target, uint32_t parameter,
                       ProgressMode mode, const std::string& label);

// The boot updater's transfer: up to five attempts of 1003 then 110 (target 0).
std::string TransferBootImage(Device& device, const std::string& image, ProgressMode mode);

// Offset of the first byte that differs, or -1 when a and b are equal (a
// length difference counts at the shorter length).
int64_t FirstDifference(const std::string& a, const std::string& b);

struct BootUpdateResult {
  int exit = 0;              // kExit* of cli/quelmark.h
  std::string error;         // what failed
  std::string backup_path;   // where the boot area was saved
  int writes = 0;            // image writes made
  bool already = false;      // the image was in place: nothing written
  bool restored = false;     // the backup was written back and verified
};

// Backup of the boot area to `backup_path`, the transfer, read-back and compare;
// a mismatch writes again (at most twice more), then restores the backup. With
// `skip_if_equal`, an image already in place is read and left alone.
BootUpdateResult BootUpdate(Device& device, const std::string& image, const std::string& backup_path,
                            ProgressMode mode, bool skip_if_equal);

}  // namespace qcli
