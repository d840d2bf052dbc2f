// The C++ side of the start-up code (reset.S, runtime_start.S). These run before
// the data is set up: no globals, and only PC-relative code, because the RAM
// start runs them at 0xA000xxxx although the image is linked for 0.
#include "bootloader/boot/firmware.h"
#include "bootloader/boot/page_table.h"
#include "bootloader/main.h"
#include "bootloader/runtime/heap.h"

extern "C" {

void bl_start_clock(int mhz) { bl::clock_setup(mhz); }

void bl_start_lzo() { bl::boot::lzo_start(); }

// Returns the main firmware's entry address, or 0 for loader mode.
uint32_t bl_start_firmware_check() {
  using namespace bl::boot;
  const auto* header = reinterpret_cast<const uint8_t*>(kFirmwareHeader);
  Firmware fw = parse_header(header);
  if (fw.kind == Payload::None) return 0;
  auto* dst = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(fw.load));
  return load_payload(fw, header + kHeaderSize, dst) ? fw.load : 0;
}

void bl_start_page_table(uint32_t* table) { bl::boot::build_page_table(table); }

// The heap: 0xA0080000 up to the loader's data at 0xA0100000. It can reach
// neither the data nor the stack.
void bl_start_runtime() {
  bl::heap_init(reinterpret_cast<void*>(bl::kHeapBase), bl::kHeapLimit - bl::kHeapBase);
}

}  // extern "C"
