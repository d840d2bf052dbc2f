// Linked only when the build has no device-communication library (libvordlix):
// every connect is refused, so each operation reports that it cannot connect.
#include "vordlix.h"

extern "C" {
int32_t VORDLIX_INIT(const char*, const char*, int32_t, int32_t, int32_t, int32_t) { return 0; }
int32_t VORDLIX_SENDCMD(int32_t, uint16_t*, void*, int32_t, int32_t, int32_t) { return 0; }
int32_t VORDLIX_SENDCMDDATA(int32_t, uint16_t*, const void*, int32_t, const void*, int32_t, int32_t) {
  return 0;
}
int32_t VORDLIX_CLOSE(int32_t) { return 0; }
}
