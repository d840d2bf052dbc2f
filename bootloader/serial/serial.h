// The two UARTs: command port (serial frames) and panel port (panel frames).
#pragma once
#include <stdint.h>

namespace bl {

void serve_command_port();  // returns at once when no byte waits
void serial_send(const uint8_t* packet, uint32_t length, const uint8_t* peer);
void send_panel_frame(uint8_t command, const uint8_t* data, uint32_t length,
                      uint32_t pause_ms);

}  // namespace bl
