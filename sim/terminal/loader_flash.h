// Writes into the terminal's flash with the boot loader's own flash store: its
// identification of the part and its read-merge-write per sector (skip sectors
// that already match, program without erasing where the target is blank, erase
// and reprogram a whole sector otherwise, with the loader's retries), run from
// the loader's host build on the flash model.
//
// The loader's host build keeps its state (hardware door, heap, geometry) in
// process globals. A write therefore takes a process-wide lock, installs a small
// board of its own (the flash model, the OS timer for the pauses), starts from
// fresh loader state and puts the previous board back afterwards. It must not run
// while a boot loader runs on the same globals; in one terminal the main firmware
// runs only after the loader has handed over, and a restart gives the loader
// fresh state again.
#pragma once

#include <cstdint>

#include "sim/devices/flash_model.h"
#include "sim/devices/mmio.h"

namespace sim::terminal {

class LoaderFlashWriter {
 public:
  // os_timer: the OS timer whose OSCR (+0x10) paces the loader's waits (the same
  // one that is the flash model's clock); null: a counter of its own that moves
  // about 10 µs per read.
  explicit LoaderFlashWriter(FlashModel& flash, MmioDevice* os_timer = nullptr)
      : flash_(flash), os_timer_(os_timer) {}

  // Writes n bytes at a flash offset: 1 on success, -1 when an erase failed, -2
  // when programming failed (the loader's results); -5 when the range passes the
  // end of the flash (nothing written).
  int32_t Write(uint32_t offset, const uint8_t* data, uint32_t n);

  FlashModel& flash() { return flash_; }

 private:
  FlashModel& flash_;
  MmioDevice* os_timer_;
  uint32_t ticks_ = 0;
};

}  // namespace sim::terminal
