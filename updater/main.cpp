// qvebupd: sends the boot-loader image it carries to a terminal.
//   qvebupd [ADDRESS [PORT]]     ADDRESS: COMn or a network address
// Binds the program logic (qvebupd.cpp) to the real library, console, ARP
// utility, clock and resources.
#include <signal.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <vordlix/vordlix.h>

#include "updater/arp.h"
#include "platform/process.h"
#include "platform/resource.h"
#include "updater/qvebupd.h"

namespace {

class RealHost : public qvebupd::Host {
 public:
  int32_t Init(const char* module, const char* address, int32_t port, int32_t baud,
               int32_t extra1, int32_t extra2) override {
    return VORDLIX_INIT(module, address, port, baud, extra1, extra2);
  }
  int32_t SendCmd(int32_t handle, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                  int32_t timeoutMs) override {
    return VORDLIX_SENDCMD(handle, reply, buffer, size, length, timeoutMs);
  }
  int32_t SendCmdData(int32_t handle, uint16_t* reply, const void* data, int32_t length,
                      const void* params, int32_t paramsLength, int32_t timeoutMs) override {
    return VORDLIX_SENDCMDDATA(handle, reply, data, length, params, paramsLength, timeoutMs);
  }
  int32_t Close(int32_t handle) override { return VORDLIX_CLOSE(handle); }
  void Out(const std::string& text) override { Write(stdout, text); }
  void Err(const std::string& text) override { Write(stderr, text); }
  void Arp(const std::string& parameters) override { qvebupd::StartArpRequest(parameters); }
  void Sleep(uint32_t ms) override { platform::Sleep(ms); }
  bool LoadResource(const char* name, std::string* data) override {
    return platform::LoadResource(name, data);
  }

 private:
  static void Write(FILE* f, const std::string& text) {
    fwrite(text.data(), 1, text.size(), f);
    fflush(f);
  }
};

}  // namespace

int main(int argc, char** argv) {
  // A console that went away must not end the program in the middle of a
  // transfer: failed writes are simply lost.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  RealHost host;
  qvebupd::Updater updater(host);
  return updater.Main(args);
}
