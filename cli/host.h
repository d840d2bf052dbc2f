// What the console program needs from outside its logic: the device-communication
// library (the tool's Library interface), the console, the clock and the embedded
// boot-loader image. main.cpp binds the real ones; tests run the program in-process
// with a host that captures the console.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "tool/vordlix.h"

namespace qcli {

class Host : public vordlix::Library {
 public:
  // Standard output and standard error; each call is written out at once. The
  // program calls them from several threads in a batch, one call at a time.
  virtual void Out(const std::string& text) = 0;
  virtual void Err(const std::string& text) = 0;
  // True when standard error is a terminal (progress bars; plain lines otherwise).
  virtual bool ErrIsTerminal() = 0;
  // Monotonic milliseconds, and a pause.
  virtual uint64_t NowMs() = 0;
  virtual void Sleep(uint32_t ms) = 0;
  // The boot-loader image carried by the program; false when it carries none.
  virtual bool BootImage(std::string* image) = 0;
};

// The real library, console and clock. BootImage reads the resource "F_DATA".
class RealHost : public Host {
 public:
  int32_t Init(const char* module, const char* address, int32_t port, int32_t baud, int32_t extra1,
               int32_t extra2) override;
  int32_t SendCmd(int32_t handle, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                  int32_t timeout_ms) override;
  int32_t SendCmdData(int32_t handle, uint16_t* reply, const void* data, int32_t length, const void* params,
                      int32_t params_length, int32_t timeout_ms) override;
  int32_t Close(int32_t handle) override;
  void Out(const std::string& text) override;
  void Err(const std::string& text) override;
  bool ErrIsTerminal() override;
  uint64_t NowMs() override;
  void Sleep(uint32_t ms) override;
  bool BootImage(std::string* image) override;
};

}  // namespace qcli
