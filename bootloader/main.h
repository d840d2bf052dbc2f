#pragma once
namespace bl {
// The main routine: clock, GPIO, flash identification, ports, panel frames,
// network start, then the main loop forever.
[[noreturn]] void loader_main();
void clock_setup(int mhz);
}  // namespace bl
