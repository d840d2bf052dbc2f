// Host build of the hardware-access layer: every call goes to the Board that the
// runner or the test installed.
#include "bootloader/hw/hw.h"
#include "bootloader/hw/host_board.h"
#include "bootloader/loader_state.h"
#include "bootloader/runtime/heap.h"
#include "bootloader/runtime/mem.h"

#include <stdlib.h>

namespace bl::hw {
namespace {
Board* g_board = nullptr;
// The same arena size as on the target: 0xA0080000 up to the data at 0xA0100000.
constexpr uint32_t kArenaSize = 0xA0100000u - 0xA0080000u;
alignas(16) uint8_t g_arena[kArenaSize];
}  // namespace

void set_board(Board* b) { g_board = b; }
Board* board() { return g_board; }

void reset_loader_state() {
  memset(&g_state, 0, sizeof g_state);
  heap_init(g_arena, sizeof g_arena);
}

uint32_t read32(uint32_t a) { return g_board->read32(a); }
void write32(uint32_t a, uint32_t v) { g_board->write32(a, v); }
uint16_t flash_read16(uint32_t a) { return g_board->flash_read16(a); }
void flash_write16(uint32_t a, uint16_t v) { g_board->flash_write16(a, v); }
uint32_t oscr() { return g_board->oscr(); }
void mem_read(uint32_t a, void* d, uint32_t n) { g_board->mem_read(a, d, n); }
void mem_write(uint32_t a, const void* s, uint32_t n) { g_board->mem_write(a, s, n); }
// A Board leaves by throwing; one that returned would break the loader's flow.
void jump(uint32_t a) {
  g_board->jump(a);
  abort();
}
void restart() {
  g_board->restart();
  abort();
}

}  // namespace bl::hw
