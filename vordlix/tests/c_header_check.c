/* Compiled as C in every build: the public header stays usable from C. */
#include <vordlix/vordlix.h>

int32_t vordlix_c_header_check(void) {
  uint16_t reply = VORDLIX_REPLY_OK;
  int32_t h = VORDLIX_INIT("none.dll", "", 0, 0, 0, 0);
  return h ? VORDLIX_SENDCMD(h, &reply, 0, 0, 0, 1) : VORDLIX_E_HANDLE;
}
