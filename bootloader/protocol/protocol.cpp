// Placeholder until the packet handler lands.
#include "protocol/protocol.h"
namespace bl {
uint16_t checksum(const uint8_t*, uint32_t) { return 0; }
int32_t handle_packet(uint8_t*, int32_t) { return 0; }
void complete_connect(uint8_t*, int32_t, const uint8_t*, SendFn, int32_t) {}
ConnRecord* find_or_create(const uint8_t*) { return nullptr; }
}  // namespace bl
