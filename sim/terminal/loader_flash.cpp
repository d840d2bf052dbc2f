#include "sim/terminal/loader_flash.h"

#include <mutex>

#include "bootloader/flash/flash.h"
#include "bootloader/hw/host_board.h"

namespace sim::terminal {

namespace {

std::mutex& LoaderGlobals() {
  static std::mutex m;
  return m;
}

// Only the flash and the OS timer: the flash store touches nothing else.
class FlashOnlyBoard : public bl::hw::Board {
 public:
  FlashOnlyBoard(FlashModel& flash, MmioDevice* timer, uint32_t* ticks)
      : flash_(flash), timer_(timer), ticks_(ticks) {}
  uint32_t read32(uint32_t) override { return 0; }
  void write32(uint32_t, uint32_t) override {}
  uint16_t flash_read16(uint32_t a) override { return flash_.read16((a - bl::kFlashWindow) % FlashModel::kSize); }
  void flash_write16(uint32_t a, uint16_t v) override {
    flash_.write16((a - bl::kFlashWindow) % FlashModel::kSize, v);
  }
  uint32_t oscr() override {
    if (timer_) return timer_->read32(0x10);
    return *ticks_ += 37;
  }
  void mem_read(uint32_t, void* dst, uint32_t n) override {
    for (uint32_t i = 0; i < n; ++i) static_cast<uint8_t*>(dst)[i] = 0;
  }
  void mem_write(uint32_t, const void*, uint32_t) override {}
  [[noreturn]] void jump(uint32_t addr) override { throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Jump, addr}; }
  [[noreturn]] void restart() override { throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Restart, 0}; }

 private:
  FlashModel& flash_;
  MmioDevice* timer_;
  uint32_t* ticks_;
};

}  // namespace

int32_t LoaderFlashWriter::Write(uint32_t offset, const uint8_t* data, uint32_t n) {
  if (n == 0) return 1;
  if (offset >= FlashModel::kSize || n > FlashModel::kSize - offset) return -5;
  std::lock_guard<std::mutex> lock(LoaderGlobals());
  FlashOnlyBoard board(flash_, os_timer_, &ticks_);
  bl::hw::Board* previous = bl::hw::board();
  bl::hw::set_board(&board);
  bl::hw::reset_loader_state();
  int32_t result;
  try {
    bl::flash_identify();
    result = bl::flash_write(bl::kFlashWindow + offset, data, n);
  } catch (const bl::hw::LeaveLoader&) {
    result = -2;
  }
  bl::hw::reset_loader_state();
  bl::hw::set_board(previous);
  return result;
}

}  // namespace sim::terminal
