// The main routine of loader mode: device start-up, then the polling loop that
// serves the command port and the network forever.
#include "bootloader/main.h"
#include "bootloader/flash/flash.h"
#include "bootloader/hw/hw.h"
#include "bootloader/loader_state.h"
#include "bootloader/net/net.h"
#include "bootloader/pause.h"
#include "bootloader/serial/serial.h"

namespace bl {

void clock_setup(int mhz) {
  uint32_t cccr = mhz == 400 ? 0x161 : mhz == 200 ? 0x141 : 0x121;
  hw::write32(reg::kCCCR, cccr);
  hw::write_cclkcfg(2);  // start the frequency change
  hw::write_cclkcfg(0);
  hw::write32(reg::kMDREFR, kMdrefrValue);
}

void start_devices() {
  clock_setup(400);
  // GPIO79 is the Ethernet controller's chip select 3 (output, alternate
  // function 2); then release the read-disable hold of the GPIO inputs.
  hw::write32(reg::kGPDR2, 0x00008000);
  uint32_t gafr = hw::read32(reg::kGAFR2_L);
  hw::write32(reg::kGAFR2_L, (gafr | 0x80000000u) & ~0x40000000u);
  hw::write32(reg::kPSSR, 0x20);

  flash_identify();
  // Panel port first: opening it clears the GPIO direction bit of the command
  // port's transmit line, and opening the command port sets it again.
  g_data.panel_port.open(115200);
  g_data.command_port.open(115200);

  static const uint8_t kTen = 10, kOne = 1;
  send_panel_frame(3, &kTen, 1, 10);
  pause_ms(10);
  net_start();
  g_state.net_present = net_address_check() ? 1 : 0;
  if (g_state.net_present) send_panel_frame(3, &kTen, 1, 10);
  send_panel_frame(23, &kOne, 1, 150);
}

void main_loop_step() {
  serve_command_port();
  if (g_state.net_present) serve_network();
}

void loader_main() {
  start_devices();
  for (;;) main_loop_step();
}

}  // namespace bl
