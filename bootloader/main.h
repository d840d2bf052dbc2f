#pragma once
#include <stdint.h>

namespace bl {

// The main routine: start_devices, then main_loop_step forever.
[[noreturn]] void loader_main();

// Main routine steps 1 to 9: clock, GPIO79 as chip select 3, PSSR, flash
// identification, the two ports (panel first), the start-up panel frames and
// the network start, which sets g_state.net_present.
void start_devices();

// One pass of the main loop: the command port once, then the network once if
// it is present.
void main_loop_step();

// Clock set-up: CCCR for 400, 200 or any other MHz, the CCLKCFG frequency
// change, and the SDRAM refresh.
void clock_setup(int mhz);

// Registers the main routine and the clock set-up write.
namespace reg {
constexpr uint32_t kCCCR = 0x41300000;
constexpr uint32_t kMDREFR = 0x48000004;
constexpr uint32_t kGPDR2 = 0x40E00014;
constexpr uint32_t kGAFR2_L = 0x40E00064;
constexpr uint32_t kPSSR = 0x40F00004;
}  // namespace reg
constexpr uint32_t kMdrefrValue = 0x0001C030;

}  // namespace bl
