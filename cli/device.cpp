#include "cli/device.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>

#include "cli/quelmark.h"
#include "tool/ops/connection.h"
#include "tool/ops/sysutils.h"

namespace qcli {

namespace {

constexpr uint16_t kReplyOk = 2000;
constexpr uint16_t kCmdPrepare = 1003;
constexpr uint16_t kCmdWrite = 110;
constexpr uint16_t kCmdRead = 111;
constexpr uint16_t kCmdRestart = 1004;
constexpr int kBootAttempts = 5;       // the boot updater's attempts per write
constexpr int kBootWrites = 3;         // a write and at most two more after a mismatch
constexpr uint32_t kReadPiece = 0x10000;  // bytes per command 111

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

std::string Human(double bytes) {
  char b[32];
  if (bytes >= 1048576)
    snprintf(b, sizeof b, "%.2f MB", bytes / 1048576);
  else if (bytes >= 1024)
    snprintf(b, sizeof b, "%.1f KB", bytes / 1024);
  else
    snprintf(b, sizeof b, "%.0f B", bytes);
  return b;
}

bool SaveFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), std::streamsize(data.size()));
  f.close();
  return bool(f);
}

}  // namespace

// ---------------------------------------------------------------- progress

Progress::Progress(Host& host, ProgressMode mode, std::string label, uint64_t total)
    : host_(host), mode_(mode), label_(std::move(label)), total_(total), start_ms_(host.NowMs()) {
  if (mode_ == ProgressMode::Lines) host_.Err(label_ + ": " + std::to_string(total_) + " bytes\n");
  if (mode_ == ProgressMode::Bar) Draw(false);
}

void Progress::Update(uint64_t done) {
  done_ = done;
  if (mode_ == ProgressMode::Bar) {
    const uint64_t now = host_.NowMs();
    if (now - last_ms_ >= 100 || done_ >= total_) {
      last_ms_ = now;
      Draw(false);
    }
  } else if (mode_ == ProgressMode::Lines && total_ > 0) {
    const int quarter = int(done_ * 4 / total_);
    if (quarter > last_quarter_ && quarter < 4) {
      last_quarter_ = quarter;
      if (quarter > 0) Draw(false);
    }
  }
}

void Progress::Finish(bool ok) {
  if (mode_ == ProgressMode::Quiet) return;
  Draw(true);
  if (!ok) host_.Err(label_ + ": failed\n");
}

void Progress::Draw(bool final) {
  const double secs = double(host_.NowMs() - start_ms_) / 1000.0;
  const double rate = secs > 0 ? double(done_) / secs : 0;
  char figures[128];
  snprintf(figures, sizeof figures, "%llu/%llu bytes, %s/s, %.1f s", (unsigned long long)done_,
           (unsigned long long)total_, Human(rate).c_str(), secs);
  if (mode_ == ProgressMode::Bar) {
    const int width = 30;
    const int filled = total_ ? int(done_ * width / total_) : width;
    std::string bar = "\r" + label_ + " [" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
                      figures + "\033[K";
    if (final) bar += "\n";
    host_.Err(bar);
  } else {
    host_.Err(label_ + ": " + figures + (final ? ", done\n" : "\n"));
  }
}

// ---------------------------------------------------------------- connection

bool Device::Connect(const Settings& settings) {
  Close();
  const std::string address = ops::NormaliseAddress(settings.address);
  serial_ = ops::IsSerialAddress(address);
  const std::string port_text = settings.port.empty() ? (serial_ ? "1" : "$1112") : settings.port;
  name_ = address;  // until the port is known
  const ops::ConnectionSettings s = ops::ConvertSettings(address, port_text, settings.baud);
  baud_ = s.baud;
  if (!serial_) name_ = address + ":" + std::to_string(s.port);
  handle_ = ops::OpenConnection(lib_, address, s);
  return handle_ != 0;
}

void Device::Close() {
  if (handle_ != 0) lib_.Close(handle_);
  handle_ = 0;
}

int32_t Device::TimeLimit(uint64_t bytes, int32_t base_ms) const {
  if (!serial_ || baud_ <= 0) return base_ms + int32_t(bytes / 1000);  // 1 ms per KB: loopback or LAN
  return base_ms + int32_t(bytes * 10 * 1000 * 2 / uint64_t(baud_));
}

// ---------------------------------------------------------------- flash

std::string ReadFlash(Device& device, uint32_t offset, uint32_t length, std::string* out, ProgressMode mode) {
  out->clear();
  if (offset > kFlashSize || length > kFlashSize - offset) return "the range passes the end of the 2 MB flash";
  out->reserve(length);
  Progress progress(device.host(), mode, "reading flash", length);
  std::string buffer(kReadPiece + 1, '\0');
  uint32_t done = 0;
  while (done < length) {
    const uint32_t n = std::min(kReadPiece, length - done);
    uint16_t reply = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      PutU32(reinterpret_cast<uint8_t*>(&buffer[0]), kFlashWindow + offset + done);
      PutU32(reinterpret_cast<uint8_t*>(&buffer[4]), n);
      reply = kCmdRead;
      device.Lib().SendCmd(device.Handle(), &reply, &buffer[0], int32_t(buffer.size()), 8,
                           device.TimeLimit(n, 3000));
      if (reply == kReplyOk) break;
    }
    if (reply != kReplyOk) {
      progress.Finish(false);
      char what[96];
      snprintf(what, sizeof what, "reading the flash at offset 0x%06X failed (reply %u)", offset + done, reply);
      return what;
    }
    out->append(buffer, 0, n);
    done += n;
    progress.Update(done);
  }
  progress.Finish(true);
  return "";
}

std::string WriteBlock(Device& device, const std::string& data, uint32_t target, uint32_t parameter,
                       ProgressMode mode, const std::string& label) {
  uint8_t params[8];
  PutU32(params, target);
  PutU32(params + 4, parameter);
  Progress progress(device.host(), mode, label, data.size());
  uint16_t reply = kCmdWrite;
  device.Lib().SendCmdData(device.Handle(), &reply, data.data(), int32_t(data.size()), params, 8,
                           device.TimeLimit(data.size(), 10000));
  if (reply == kReplyOk) {
    progress.Update(data.size());
    progress.Finish(true);
    return "";
  }
  progress.Finish(false);
  if (reply == 0xFFFF) return "the write (command 110) was not answered";
  return "the write (command 110) was refused with reply " + std::to_string(reply);
}

std::string TransferBootImage(Device& device, const std::string& image, ProgressMode mode) {
  std::string error;
  for (int attempt = 1; attempt <= kBootAttempts; ++attempt) {
    uint16_t reply = kCmdPrepare;
    device.Lib().SendCmd(device.Handle(), &reply, nullptr, 0, 0, 1000);
    error = WriteBlock(device, image, 0, 0, mode, "writing boot loader");
    if (error.empty()) return "";
  }
  return error + " (" + std::to_string(kBootAttempts) + " attempts)";
}

int64_t FirstDifference(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return int64_t(i);
  return a.size() == b.size() ? -1 : int64_t(n);
}

BootUpdateResult BootUpdate(Device& device, const std::string& image, const std::string& backup_path,
                            ProgressMode mode, bool skip_if_equal) {
  BootUpdateResult r;
  if (image.empty() || image.size() > kFlashSize) {
    r.exit = kExitRefused;
    r.error = "the boot-loader image is empty or larger than the flash";
    return r;
  }
  std::string read_back;
  if (skip_if_equal) {
    r.error = ReadFlash(device, 0, uint32_t(image.size()), &read_back, mode);
    if (!r.error.empty()) {
      r.exit = kExitFailed;
      return r;
    }
    if (read_back == image) {
      r.already = true;
      return r;
    }
  }
  // The backup covers the whole boot area (the image may be shorter than what
  // a failed write can erase), and at least the image's length.
  const uint32_t backup_length = std::max<uint32_t>(kBootAreaSize, uint32_t(image.size()));
  std::string backup;
  r.error = ReadFlash(device, 0, backup_length, &backup, mode);
  if (!r.error.empty()) {
    r.error = "backup: " + r.error;
    r.exit = kExitFailed;
    return r;
  }
  if (!SaveFile(backup_path, backup)) {
    r.error = "the backup could not be saved to " + backup_path;
    r.exit = kExitFailed;
    return r;
  }
  r.backup_path = backup_path;

  std::string last_error;
  for (int write = 1; write <= kBootWrites; ++write) {
    ++r.writes;
    last_error = TransferBootImage(device, image, mode);
    if (!last_error.empty()) continue;
    last_error = ReadFlash(device, 0, uint32_t(image.size()), &read_back, mode);
    if (!last_error.empty()) continue;
    const int64_t diff = FirstDifference(read_back, image);
    if (diff < 0) {
      uint16_t reply = kCmdRestart;  // as the boot updater ends; the reply carries no weight
      device.Lib().SendCmd(device.Handle(), &reply, nullptr, 0, 0, 1000);
      r.error.clear();
      return r;
    }
    char what[96];
    snprintf(what, sizeof what, "the read-back differs from the image at offset 0x%06llX", (long long)diff);
    last_error = what;
  }
  // Still not right: put the boot area back as it was.
  r.error = last_error + " after " + std::to_string(r.writes) + " writes";
  std::string restore_error = TransferBootImage(device, backup, mode);
  if (restore_error.empty()) {
    restore_error = ReadFlash(device, 0, backup_length, &read_back, mode);
    if (restore_error.empty() && read_back != backup) restore_error = "the restored boot area differs from the backup";
  }
  if (restore_error.empty()) {
    r.restored = true;
    r.exit = kExitMismatch;
    r.error += "; the backup was restored";
  } else {
    r.exit = kExitRestoreFailed;
    r.error += "; restoring the backup failed too: " + restore_error;
  }
  return r;
}

}  // namespace qcli
