#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "cli/host.h"
#include "platform/resource.h"

namespace qcli {

namespace {
std::mutex g_console;
}

int32_t RealHost::Init(const char* module, const char* address, int32_t port, int32_t baud, int32_t extra1,
                       int32_t extra2) {
  return VORDLIX_INIT(module, address, port, baud, extra1, extra2);
}
int32_t RealHost::SendCmd(int32_t handle, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                          int32_t timeout_ms) {
  return VORDLIX_SENDCMD(handle, reply, buffer, size, length, timeout_ms);
}
int32_t RealHost::SendCmdData(int32_t handle, uint16_t* reply, const void* data, int32_t length,
                              const void* params, int32_t params_length, int32_t timeout_ms) {
  return VORDLIX_SENDCMDDATA(handle, reply, data, length, params, params_length, timeout_ms);
}
int32_t RealHost::Close(int32_t handle) { return VORDLIX_CLOSE(handle); }

void RealHost::Out(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_console);
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}
void RealHost::Err(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_console);
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}
bool RealHost::ErrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
uint64_t RealHost::NowMs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}
void RealHost::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
bool RealHost::BootImage(std::string* image) { return platform::LoadResource("F_DATA", image); }

}  // namespace qcli
