// Placeholder until the serial ports land.
#include "serial/serial.h"
namespace bl {
void serve_command_port() {}
void serial_send(const uint8_t*, uint32_t, const uint8_t*) {}
void send_panel_frame(uint8_t, const uint8_t*, uint32_t, uint32_t) {}
}  // namespace bl
