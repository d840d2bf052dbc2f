// The four C functions: argument checks, the handle table, and the choice of
// transport by module name.
#include <strings.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "vordlix/src/session.h"
#include "vordlix/src/transport.h"
#include <vordlix/vordlix.h>

namespace vordlix {
namespace {

constexpr int kDefaultConnectTimeoutMs = 2000;

std::mutex g_table_mutex;
std::map<int32_t, std::shared_ptr<Session>> g_sessions;
int32_t g_next_handle = 1;

std::shared_ptr<Session> Find(int32_t handle) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  auto it = g_sessions.find(handle);
  return it == g_sessions.end() ? nullptr : it->second;
}

int32_t Register(std::shared_ptr<Session> s) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  // Handles are not reused soon, so a closed handle stays invalid.
  while (g_sessions.count(g_next_handle) || g_next_handle <= 0) {
    g_next_handle = g_next_handle <= 0 ? 1 : g_next_handle + 1;
  }
  const int32_t h = g_next_handle;
  g_next_handle = g_next_handle == INT32_MAX ? 1 : g_next_handle + 1;
  g_sessions.emplace(h, std::move(s));
  return h;
}

int Limit(int32_t timeout_ms) { return timeout_ms < 1 ? 1 : timeout_ms; }

}  // namespace
}  // namespace vordlix

using vordlix::Session;

extern "C" {

int32_t VORDLIX_INIT(const char* module, const char* address, int32_t port, int32_t baud, int32_t extra1,
                     int32_t /*extra2*/) {
  if (!module || !address) return 0;
  std::unique_ptr<vordlix::Transport> transport;
  std::string error;
  if (strcasecmp(module, "vxnet.dll") == 0) {
    transport = vordlix::OpenUdp(address, port, &error);
  } else if (strcasecmp(module, "vxserial.dll") == 0) {
    transport = vordlix::OpenSerial(address, baud, &error);
  } else {
    return 0;
  }
  if (!transport) return 0;
  auto session = std::make_shared<Session>(std::move(transport), port);
  if (!session->Connect(extra1 > 0 ? extra1 : vordlix::kDefaultConnectTimeoutMs)) return 0;
  return vordlix::Register(std::move(session));
}

int32_t VORDLIX_SENDCMD(int32_t handle, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                        int32_t timeout_ms) {
  if (!reply) return VORDLIX_E_ARGUMENT;
  auto s = vordlix::Find(handle);
  if (!s) {
    *reply = VORDLIX_REPLY_FAILED;
    return VORDLIX_E_HANDLE;
  }
  if (size < 0 || length < 0 || (!buffer && (size > 0 || length > 0))) {
    *reply = VORDLIX_REPLY_FAILED;
    return VORDLIX_E_ARGUMENT;
  }
  std::lock_guard<std::mutex> lock(s->mutex());
  auto* bytes = static_cast<uint8_t*>(buffer);
  return s->Command(reply, bytes, static_cast<std::size_t>(size), bytes, static_cast<std::size_t>(length),
                    vordlix::Limit(timeout_ms));
}

int32_t VORDLIX_SENDCMDDATA(int32_t handle, uint16_t* reply, const void* data, int32_t length, const void* params,
                            int32_t params_length, int32_t timeout_ms) {
  if (!reply) return VORDLIX_E_ARGUMENT;
  auto s = vordlix::Find(handle);
  if (!s) {
    *reply = VORDLIX_REPLY_FAILED;
    return VORDLIX_E_HANDLE;
  }
  if (length < 0 || params_length < 0 || (!data && length > 0) || (!params && params_length > 0)) {
    *reply = VORDLIX_REPLY_FAILED;
    return VORDLIX_E_ARGUMENT;
  }
  std::lock_guard<std::mutex> lock(s->mutex());
  return s->CommandData(reply, static_cast<const uint8_t*>(data), static_cast<std::size_t>(length),
                        static_cast<const uint8_t*>(params), static_cast<std::size_t>(params_length),
                        vordlix::Limit(timeout_ms));
}

int32_t VORDLIX_CLOSE(int32_t handle) {
  std::shared_ptr<Session> s;
  {
    std::lock_guard<std::mutex> lock(vordlix::g_table_mutex);
    auto it = vordlix::g_sessions.find(handle);
    if (it == vordlix::g_sessions.end()) return VORDLIX_E_HANDLE;
    s = std::move(it->second);
    vordlix::g_sessions.erase(it);
  }
  std::lock_guard<std::mutex> lock(s->mutex());
  s->Disconnect();
  return VORDLIX_OK;
}

}  // extern "C"
