// The boot updater's logic: arguments, connecting, the image transfer with its
// five attempts, console lines and exit codes. Everything outside the program (the
// device-communication library, the console, the ARP utility, the clock and the
// program's own resources) is reached through Host, so the whole program runs
// in-process in tests; main.cpp binds the real ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvebupd {

class Host {
 public:
  virtual ~Host() = default;
  // The library's four calls, with the library's own arguments.
  virtual int32_t Init(const char* module, const char* address, int32_t port, int32_t baud,
                       int32_t extra1, int32_t extra2) = 0;
  virtual int32_t SendCmd(int32_t handle, uint16_t* reply, void* buffer, int32_t size,
                          int32_t length, int32_t timeoutMs) = 0;
  virtual int32_t SendCmdData(int32_t handle, uint16_t* reply, const void* data, int32_t length,
                              const void* params, int32_t paramsLength, int32_t timeoutMs) = 0;
  virtual int32_t Close(int32_t handle) = 0;
  // Standard output, written out at once; standard error.
  virtual void Out(const std::string& text) = 0;
  virtual void Err(const std::string& text) = 0;
  // Starts the ARP utility with Windows ARP.EXE's parameters ("-d *", "-d ADDR"),
  // hidden and not waited for; the result is not known.
  virtual void Arp(const std::string& parameters) = 0;
  virtual void Sleep(uint32_t ms) = 0;
  // The program's own resource; false when it has none of that name.
  virtual bool LoadResource(const char* name, std::string* data) = 0;
};

// Exit codes.
constexpr int kExitSuccess = 0;
constexpr int kExitParameterError = 1;  // also: any error the program does not handle
constexpr int kExitNoConnection = 100;
constexpr int kExitUpdateFailed = 103;

// Commands and replies.
constexpr uint16_t kCmdPrepare = 1003;
constexpr uint16_t kCmdWriteImage = 110;
constexpr uint16_t kCmdFinish = 1004;
constexpr uint16_t kReplyOk = 2000;
constexpr int32_t kShortTimeoutMs = 1000;
constexpr int32_t kImageTimeoutMs = 10000;
constexpr int kTransferAttempts = 5;

constexpr const char* kDefaultAddress = "192.168.1.201";
constexpr int32_t kDefaultPort = 4370;
constexpr int32_t kDefaultSerialDeviceId = 1;
constexpr int32_t kSerialBaud = 115200;
constexpr uint32_t kArpSettleMs = 1000;
constexpr const char* kImageResource = "F_DATA";

class Updater {
 public:
  explicit Updater(Host& host) : host_(host) {}

  // The whole program: `args` are the arguments after the program name. Returns
  // the exit code. An exception escaping the work is reported on standard error
  // (any open connection closed first) and gives exit code 1.
  int Main(const std::vector<std::string>& args);

  // The main sequence without the error report (exceptions pass through).
  int Run(const std::vector<std::string>& args);

  bool ConnectDevice(const std::string& address, int32_t port);
  void DisconnectDevice();
  // The image from the resource "F_DATA"; throws std::runtime_error when missing.
  std::string LoadBootImage();
  // One transfer attempt; true when the terminal answered command 110 with 2000.
  bool SendBootImage(const std::string& image, int32_t target, int32_t param);

  int32_t DeviceHandle() const { return handle_; }

 private:
  void Print(const std::string& text);  // part of a line, written out at once
  void Line(const std::string& text);   // ends the line with CR LF

  Host& host_;
  int32_t handle_ = 0;
  uint16_t reply_ = 0;       // the one reply-code word of the run
  bool lineOpen_ = false;    // the console's cursor stands behind some text
};

// ASCII letters a-z to A-Z; every other byte unchanged.
std::string UpperAscii(const std::string& text);

}  // namespace qvebupd
