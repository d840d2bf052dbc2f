#include "sim/engine/arm/arm_engine.h"

#include <unicorn/unicorn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace sim {
namespace {

constexpr uint32_t kFlashSize = FlashModel::kSize;
constexpr uint32_t kFlashMirrorEnd = 0x800000;  // the flash's address lines repeat it up to 8 MB
constexpr uint32_t kWindow = Bus::kFlashWindow;
constexpr uint32_t kSdram = Bus::kSdram;
constexpr uint32_t kSdramSize = Bus::kSdramSize;
constexpr uint32_t kFaultStart = kSdram + kSdramSize;
constexpr uint32_t kImageLimit = 0x6000;  // the image never reaches past this (link limit)
constexpr uint32_t kRegisters = 0x40000000;
constexpr uint32_t kRegistersSize = 0x10000000;
constexpr uint32_t kOscr = Bus::kOsTimer + OsTimer::OSCR;
constexpr uint32_t kCommandLsr = TerminalDevices::kFfuart + Uart::LSR;
constexpr uint32_t kCommandRbr = TerminalDevices::kFfuart + Uart::RBR;
// Within this much emulated time after the loader took a command-port byte,
// virtual time may not run ahead of the wall clock (the frame's 20 ms rule).
constexpr uint64_t kSerialWindowTicks = OsTimer::kHz * 25 / 1000;
constexpr uint64_t kServiceBlocks = 1 << 14;  // host's turn at least this often

enum Mode : uint32_t { kUsr = 0x10, kFiq = 0x11, kIrq = 0x12, kSvc = 0x13, kAbt = 0x17,
                       kUnd = 0x1B };

const int kRegs[16] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                       UC_ARM_REG_R4, UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                       UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                       UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC};

void check(uc_err e, const char* what) {
  if (e != UC_ERR_OK) throw std::runtime_error(std::string("arm engine: ") + what + ": " + uc_strerror(e));
}

bool is_coprocessor_insn(uint32_t insn) {
  // MCR/MRC (1110 .... ...1) and CDP (1110 .... ...0), any condition but 1111.
  return (insn & 0x0F000000u) == 0x0E000000u && (insn >> 28) != 0xF;
}

}  // namespace

struct ArmEngine::Cpu {
  enum class Pending { None, Undefined, Swi, PrefetchAbort, DataAbort };

  Cpu(ArmEngine& engine, Machine& machine) : e(engine), m(machine) {
    check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc), "uc_open");
    check(uc_ctl_set_cpu_model(uc, UC_CPU_ARM_PXA255), "cpu model");
    // The flash must be plain memory: the start-up code runs from it (MMIO
    // regions cannot hold code). Read and execute only, so that every store to
    // it reaches the write-protection hook as a command cycle.
    check(uc_mem_map_ptr(uc, 0, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_view.data()),
          "flash");
    // The mirrors of the flash up to 8 MB. Unicorn 2.0.1 checks regions by the
    // virtual address: with the MMU on, virtual 2-8 MB is SDRAM, yet a region
    // must exist at those numbers; it holds the mirror for physical accesses.
    check(uc_mem_map_ptr(uc, kFlashSize, kFlashMirrorEnd - kFlashSize, UC_PROT_ALL,
                         flash_view.data() + kFlashSize), "mirror");
    check(uc_mem_map_ptr(uc, kSdram, kSdramSize, UC_PROT_ALL, m.bus.sdram.data()), "sdram");
    // The flash window: a placeholder at the virtual numbers (same 2.0.1 quirk);
    // the data comes from the translated physical address, the flash. Read
    // only: stores to it reach the write-protection hook and are discarded.
    check(uc_mem_map(uc, kWindow, 0u - kWindow, UC_PROT_READ), "window");
    check(map_registers(kRegisters, kRegistersSize), "registers");
    check(map_registers(TerminalDevices::kEthernet, 0x1000), "ethernet");
    load_flash(0, kFlashSize);

    uc_hook h;
    check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, (void*)&Cpu::on_block, this, 1, 0), "block hook");
    // The vector table, at virtual 0 and (for an image started from SDRAM) at
    // 0xA0000000: reaching it is a restart.
    check(uc_hook_add(uc, &h, UC_HOOK_CODE, (void*)&Cpu::on_vector, this, 0, 0x1F), "vectors");
    check(uc_hook_add(uc, &h, UC_HOOK_CODE, (void*)&Cpu::on_vector, this, kSdram, kSdram + 0x1F),
          "vectors");
    // Code outside the image: uploaded code or the main firmware.
    check(uc_hook_add(uc, &h, UC_HOOK_CODE, (void*)&Cpu::on_outside, this, kImageLimit,
                      kSdram - 1), "outside");
    check(uc_hook_add(uc, &h, UC_HOOK_CODE, (void*)&Cpu::on_outside, this, kSdram + kImageLimit,
                      0xFFFFFFFFu), "outside");
    check(uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE_PROT, (void*)&Cpu::on_write_prot, this, 1, 0),
          "write hook");
    // No read hook: in 2.0.1 any read hook, whatever its range, puts every
    // load on the slow path. What reads of the flash must see while the part is
    // not in read mode (ID, busy status) is written into the view instead
    // (sync_view), at every command cycle and every OSCR read.
    check(uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_FETCH_PROT,
                      (void*)&Cpu::on_unmapped, this, 1, 0), "unmapped hook");
    // 2.0.1 never takes exceptions itself: SWI and aborts arrive here.
    check(uc_hook_add(uc, &h, UC_HOOK_INTR, (void*)&Cpu::on_interrupt, this, 1, 0), "intr hook");
    // Undefined instructions, among them coprocessor operations the PXA255
    // model lacks (CCLKCFG on cp14): emulation stops at the instruction.
    check(uc_hook_add(uc, &h, UC_HOOK_INSN_INVALID, (void*)&Cpu::on_invalid, this, 1, 0),
          "invalid hook");
    if (e.options_.trace) {
      check(uc_hook_add(uc, &h, UC_HOOK_CODE, (void*)&Cpu::on_trace_code, this, 1, 0), "trace");
      check(uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, (void*)&Cpu::on_trace_store, this, 1, 0),
            "trace");
    }

    m.bus.flash.on_change = [this](uint32_t off, uint32_t n) { load_flash(off, n); };
    m.dev.doorbell.on_ring = [this](uint32_t entry, uint32_t sum) {
      exit = EngineExit{EngineExit::Started, entry, sum};
      uc_emu_stop(uc);
    };
  }

  ~Cpu() {
    m.bus.flash.on_change = nullptr;
    m.dev.doorbell.on_ring = nullptr;
    uc_close(uc);
  }

  // --- registers and memory -------------------------------------------------

  uint32_t reg(int r) const {
    uint32_t v = 0;
    uc_reg_read(uc, r, &v);
    return v;
  }
  void set_reg(int r, uint32_t v) { uc_reg_write(uc, r, &v); }

  uint32_t cp15(uint32_t crn, uint32_t crm, uint32_t opc1, uint32_t opc2) const {
    uc_arm_cp_reg r{};
    r.cp = 15;
    r.crn = crn;
    r.crm = crm;
    r.opc1 = opc1;
    r.opc2 = opc2;
    uc_reg_read(uc, UC_ARM_REG_CP_REG, &r);
    return static_cast<uint32_t>(r.val);
  }
  bool mmu_on() const { return cp15(1, 0, 0, 0) & 1; }

  // Virtual to physical through the loader's section table (the only kind of
  // descriptor it writes); false for a fault.
  bool translate(uint32_t va, uint32_t* pa) const {
    if (!mmu_on()) {
      *pa = va;
      return true;
    }
    uint32_t ttb = cp15(2, 0, 0, 0) & 0xFFFFC000u;
    uint32_t entry = ttb + (va >> 20) * 4;
    if (!m.bus.sdram.contains(entry, 4)) return false;
    uint32_t desc;
    m.bus.sdram.read(entry, &desc, 4);
    if ((desc & 3) != 2) return false;
    *pa = (desc & 0xFFF00000u) | (va & 0xFFFFFu);
    return true;
  }

  bool read_phys32(uint32_t pa, uint32_t* v) const {
    if (m.bus.sdram.contains(pa, 4)) {
      m.bus.sdram.read(pa, v, 4);
      return true;
    }
    if (pa < kFlashMirrorEnd) {
      std::memcpy(v, m.bus.flash.data() + (pa % kFlashSize), 4);
      return true;
    }
    return false;
  }

  bool fetch(uint32_t va, uint32_t* insn) const {
    uint32_t pa;
    return translate(va, &pa) && read_phys32(pa, insn);
  }

  // The emulator's copy of the flash array (and its mirrors) follows the model.
  void load_flash(uint32_t off, uint32_t n) {
    if (off >= kFlashSize) return;
    if (n > kFlashSize - off) n = kFlashSize - off;
    for (uint32_t base = 0; base < kFlashMirrorEnd; base += kFlashSize)
      std::memcpy(flash_view.data() + base + off, m.bus.flash.data() + off, n);
    patched.clear();  // whatever was patched now shows the array again
  }

  // --- flash ----------------------------------------------------------------

  void flash_store(uint32_t off, int size, uint32_t value) {
    off %= kFlashSize;
    FlashModel& f = m.bus.flash;
    const uint64_t erases = f.counters().erases, chip_erases = f.counters().chip_erases,
                   programs = f.counters().programs;
    if (size == 4) {
      f.write16(off & ~1u, static_cast<uint16_t>(value));
      f.write16((off & ~1u) + 2, static_cast<uint16_t>(value >> 16));
    } else if (size == 2) {
      f.write16(off, static_cast<uint16_t>(value));
    } else {  // a byte store drives its lane of the 16-bit bus
      f.write16(off & ~1u, static_cast<uint16_t>((value & 0xFF) << (off & 1 ? 8 : 0)));
    }
    if (f.busy()) {  // what the status reads will be about
      const uint32_t o = off & (kFlashSize - 2);
      if (f.counters().chip_erases != chip_erases) {
        busy_off = 0;
        busy_len = kFlashSize;
      } else if (f.counters().erases != erases) {
        busy_off = f.block_start(o);
        busy_len = f.block_size(o);
      } else if (f.counters().programs != programs) {
        busy_off = o;
        busy_len = 2;
      }
    }
    sync_view();
    if (f.power_lost()) stop_with(EngineExit{EngineExit::Stop, 0});  // the board is dead
  }

  // The view shows what reads of the flash return now: the array in read
  // mode; the identification words in ID mode; the status word over the block
  // (or halfword) of a running erase (program). The loader always pauses (reads
  // OSCR) between starting an operation and reading its status, and polls
  // status with pauses between, so the view is brought up to date then.
  void sync_view() {
    FlashModel& f = m.bus.flash;
    if (!dirty.empty()) undo_landed();
    const bool busy = f.busy();
    if (!busy && f.in_read_mode()) {
      if (!patched.empty()) restore_patches();
      return;
    }
    if (!patched.empty()) restore_patches();
    if (busy) {
      uint16_t status = f.read16(busy_off);
      for (uint32_t a = busy_off; a < busy_off + busy_len; a += 2)
        std::memcpy(flash_view.data() + a, &status, 2);
      patched.push_back({busy_off, busy_len});
    } else {  // ID mode
      for (uint32_t a = 0; a < 4; a += 2) {
        uint16_t v = f.read16(a);
        std::memcpy(flash_view.data() + a, &v, 2);
      }
      patched.push_back({0, 4});
    }
  }

  // A region mapped by pointer is not truly read-only in 2.0.1: after the hook
  // the store lands in the view. Noted here, undone before the next read.
  void landed(uint32_t pa, int size) {
    for (uint32_t a = pa & ~1u; a < pa + static_cast<uint32_t>(size); a += 2) dirty.push_back(a);
  }
  void undo_landed() {
    for (uint32_t pa : dirty) std::memcpy(flash_view.data() + pa, m.bus.flash.data() + pa % kFlashSize, 2);
    dirty.clear();
  }

  // Read mode again: reads see the array.
  void restore_patches() {
    for (const Range& r : patched)
      std::memcpy(flash_view.data() + r.off, m.bus.flash.data() + r.off, r.len);
    patched.clear();
  }

  // --- hooks ----------------------------------------------------------------

  static void on_block(uc_engine*, uint64_t, uint32_t size, void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    uint64_t n = size / 4;
    c.e.instructions_ += n;
    if (c.m.bus.timer.mode() == OsTimer::Mode::Virtual) {
      c.tick_credit += n;
      if (c.tick_credit >= kInstructionsPerTick) {
        c.m.bus.timer.advance(c.tick_credit / kInstructionsPerTick);
        c.tick_credit %= kInstructionsPerTick;
      }
    }
    if (++c.blocks % kServiceBlocks == 0) {
      if (c.host && !c.host->service()) c.stop_with(EngineExit{EngineExit::Stop, 0});
      if (c.outside && c.e.instructions_ - c.outside_since > c.e.options_.outside_budget)
        c.stop_with(EngineExit{EngineExit::Jump, c.outside_addr});
    }
  }

  static void on_vector(uc_engine*, uint64_t addr, uint32_t, void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    if (c.skip_vector && addr == c.resume_pc) {
      c.skip_vector = false;
      return;
    }
    c.skip_vector = false;
    c.outside = false;
    c.stop_with(EngineExit{EngineExit::Restart, static_cast<uint32_t>(addr)});
  }

  static void on_outside(uc_engine*, uint64_t addr, uint32_t, void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    if (c.outside) return;
    c.outside = true;
    c.outside_addr = static_cast<uint32_t>(addr);
    c.outside_since = c.e.instructions_;
    if (c.e.options_.trace)
      c.e.trace_.push_back(Event{Event::Leave, c.last_pc, 0, static_cast<uint32_t>(addr), 0});
  }

  static bool on_write_prot(uc_engine*, uc_mem_type, uint64_t addr64, int size, int64_t value,
                            void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    uint32_t addr = static_cast<uint32_t>(addr64);
    if (addr >= kWindow) {
      c.flash_store(addr - kWindow, size, static_cast<uint32_t>(value));
      c.landed(addr - kWindow, size);
      return true;
    }
    if (addr < kFlashMirrorEnd) {
      // With the MMU on, virtual 0-8 MB is SDRAM: returning true lets the store
      // land there. With it off, this is the flash itself.
      if (!c.mmu_on()) {
        c.flash_store(addr, size, static_cast<uint32_t>(value));
        c.landed(addr, size);
      }
      return true;
    }
    return false;
  }

  static bool on_unmapped(uc_engine* uc, uc_mem_type type, uint64_t addr64, int, int64_t,
                          void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    uint32_t addr = static_cast<uint32_t>(addr64);
    c.fault_pc = c.reg(UC_ARM_REG_PC);
    c.fault_addr = addr;
    if (type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT) {
      c.pending = Pending::PrefetchAbort;
      return false;
    }
    if (addr >= kFaultStart && addr < kWindow) {  // fault descriptors: data abort
      c.pending = Pending::DataAbort;
      return false;
    }
    // Identity-mapped space where nothing answers: a page that reads 0 and
    // records every access on the bus, as the native machine does.
    (void)uc;
    if (c.map_registers(addr & ~0xFFFu, 0x1000) == UC_ERR_OK) return true;
    c.pending = Pending::DataAbort;
    return false;
  }

  static void on_interrupt(uc_engine*, uint32_t intno, void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    c.fault_pc = c.reg(UC_ARM_REG_PC);
    switch (intno) {
      case 2: c.pending = Pending::Swi; break;
      case 3: c.pending = Pending::PrefetchAbort; break;
      case 4: c.pending = Pending::DataAbort; break;
      default: c.pending = Pending::Undefined; break;
    }
    uc_emu_stop(c.uc);
  }

  static bool on_invalid(uc_engine*, void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    c.fault_pc = c.reg(UC_ARM_REG_PC);
    c.pending = Pending::Undefined;
    return false;
  }

  static void on_trace_code(uc_engine*, uint64_t addr, uint32_t, void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    c.last_pc = static_cast<uint32_t>(addr);
    uint32_t insn;
    if (!c.fetch(c.last_pc, &insn) || !is_coprocessor_insn(insn)) return;
    uint32_t value = 0;
    if ((insn & 0x00100010u) == 0x00000010u) value = c.reg(kRegs[(insn >> 12) & 15]);  // MCR
    c.e.trace_.push_back(Event{Event::Coprocessor, c.last_pc, insn, 0, value});
  }

  static void on_trace_store(uc_engine*, uc_mem_type, uint64_t addr, int, int64_t value,
                             void* user) {
    Cpu& c = *static_cast<Cpu*>(user);
    uint32_t a = static_cast<uint32_t>(addr);
    if (a < kFlashMirrorEnd || (a >= kSdram && a < kFaultStart))
      c.e.trace_.push_back(Event{Event::Store, c.last_pc, 0, a, static_cast<uint32_t>(value)});
  }

  // Register space: MMIO regions whose callbacks go to the bus. Unicorn passes
  // the offset inside the region, so each region carries its base.
  struct Region {
    Cpu* cpu;
    uint32_t base;
  };
  uc_err map_registers(uint32_t base, uint32_t size) {
    regions.push_back(std::make_unique<Region>(Region{this, base}));
    Region* r = regions.back().get();
    return uc_mmio_map(uc, base, size, &Cpu::mmio_read, r, &Cpu::mmio_write, r);
  }
  static uint64_t mmio_read(uc_engine*, uint64_t offset, unsigned size, void* user) {
    Region& r = *static_cast<Region*>(user);
    return r.cpu->bus_read(r.base + static_cast<uint32_t>(offset), size);
  }
  static void mmio_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
    Region& r = *static_cast<Region*>(user);
    r.cpu->bus_write(r.base + static_cast<uint32_t>(offset), size, static_cast<uint32_t>(value));
  }

  uint32_t bus_read(uint32_t addr, unsigned size) {
    uint32_t aligned = addr & ~3u;
    // The host's turn at the loader's polls of the command port; while received
    // bytes still wait in the UART only every 64th poll (each turn costs the
    // runner system calls).
    if (aligned == kCommandLsr && host &&
        (m.dev.ffuart.rx_pending() == 0 || ++lsr_polls % 64 == 0) && !host->service())
      stop_with(EngineExit{EngineExit::Stop, 0});
    if (aligned == kOscr) {
      hold_serial_pace();
      if (!patched.empty() || !dirty.empty()) sync_view();
    }
    bool took_byte = aligned == kCommandRbr && !(m.dev.ffuart.lcr() & 0x80) &&
                     m.dev.ffuart.rx_pending() > 0;
    uint32_t v = m.bus.read32(aligned);
    if (took_byte) {
      rx_ticks = m.bus.timer.ticks();
      rx_wall = std::chrono::steady_clock::now();
      rx_recent = true;
    }
    v >>= (addr & 3) * 8;
    if (size < 4) v &= (1u << (size * 8)) - 1;
    return v;
  }

  void bus_write(uint32_t addr, unsigned size, uint32_t value) {
    if (size < 4) value <<= (addr & 3) * 8;
    m.bus.write32(addr & ~3u, value);
  }

  // Virtual time waits for the wall clock while a command-port frame may still
  // be arriving (see the header).
  void hold_serial_pace() {
    if (!rx_recent || m.bus.timer.mode() != OsTimer::Mode::Virtual) return;
    for (;;) {
      uint64_t dv = m.bus.timer.ticks() - rx_ticks;
      if (dv > kSerialWindowTicks) {
        rx_recent = false;
        return;
      }
      if (m.dev.ffuart.rx_pending()) return;
      auto dw = std::chrono::steady_clock::now() - rx_wall;
      uint64_t dw_ticks = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(dw).count()) * OsTimer::kHz /
          1000000000u;
      if (dw_ticks >= dv) return;
      if (host) {
        if (!host->service()) {
          stop_with(EngineExit{EngineExit::Stop, 0});
          return;
        }
        if (m.dev.ffuart.rx_pending()) return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  void stop_with(EngineExit x) {
    if (!exit) exit = x;
    uc_emu_stop(uc);
  }

  ArmEngine& e;
  Machine& m;
  uc_engine* uc = nullptr;
  EngineHost* host = nullptr;
  std::optional<EngineExit> exit;
  Pending pending = Pending::None;
  uint32_t fault_pc = 0, fault_addr = 0;
  uint32_t resume_pc = 0;
  bool skip_vector = false;
  bool outside = false;
  uint32_t outside_addr = 0;
  uint64_t outside_since = 0;
  uint64_t tick_credit = 0;
  uint64_t blocks = 0;
  uint64_t lsr_polls = 0;
  uint32_t last_pc = 0;
  struct Range {
    uint32_t off, len;
  };
  std::vector<Range> patched;  // parts of the view that show something else than the array
  uint32_t busy_off = 0, busy_len = 2;
  std::vector<uint32_t> dirty;
  bool rx_recent = false;
  uint64_t rx_ticks = 0;
  std::chrono::steady_clock::time_point rx_wall;
  std::vector<std::unique_ptr<Region>> regions;
  // What reads of the flash (and its mirrors) return: mapped by pointer, so
  // that hooks can change it without uc_mem_write, which crashes 2.0.1 when
  // called from a read hook in the middle of a load.
  std::vector<uint8_t> flash_view = std::vector<uint8_t>(kFlashMirrorEnd, 0xFF);
};

ArmEngine::ArmEngine(Machine& machine) : machine_(machine) {}
ArmEngine::ArmEngine(Machine& machine, Options options) : machine_(machine), options_(options) {}

ArmEngine::~ArmEngine() = default;

void ArmEngine::reset() { reset_pending_ = true; }

uint32_t ArmEngine::reg(int uc_reg) const { return cpu_ ? cpu_->reg(uc_reg) : 0; }

// Enters an exception as the processor does: the mode's banked LR and SPSR,
// IRQ masked (FIQ too for reset and FIQ), ARM state, the vector (low vectors).
void ArmEngine::take_exception(uint32_t vector, uint32_t mode, uint32_t lr) {
  Cpu& c = *cpu_;
  uint32_t old = c.reg(UC_ARM_REG_CPSR);
  uint32_t cpsr = (old & ~0x3Fu) | mode | 0x80u;
  if (vector == 0x00 || vector == 0x1C) cpsr |= 0x40u;
  c.set_reg(UC_ARM_REG_CPSR, cpsr);
  c.set_reg(UC_ARM_REG_SPSR, old);
  c.set_reg(UC_ARM_REG_LR, lr);
  c.set_reg(UC_ARM_REG_PC, vector);
  ++exceptions_;
  last_vector_ = vector;
}

// Coprocessor operations the PXA255 model lacks. True when handled.
bool ArmEngine::emulate_coprocessor(uint32_t insn) {
  Cpu& c = *cpu_;
  if (!is_coprocessor_insn(insn) || !(insn & 0x10u)) return false;  // MCR/MRC only
  // The condition: only AL and the ones the image could use need the flags.
  uint32_t cond = insn >> 28;
  if (cond != 0xE) {
    uint32_t f = c.reg(UC_ARM_REG_CPSR) >> 28;
    bool n = f & 8, z = f & 4, cf = f & 2, v = f & 1;
    bool pass = false;
    switch (cond) {
      case 0x0: pass = z; break;
      case 0x1: pass = !z; break;
      case 0x2: pass = cf; break;
      case 0x3: pass = !cf; break;
      case 0x4: pass = n; break;
      case 0x5: pass = !n; break;
      case 0x6: pass = v; break;
      case 0x7: pass = !v; break;
      case 0x8: pass = cf && !z; break;
      case 0x9: pass = !cf || z; break;
      case 0xA: pass = n == v; break;
      case 0xB: pass = n != v; break;
      case 0xC: pass = !z && n == v; break;
      case 0xD: pass = z || n != v; break;
      default: pass = true; break;
    }
    if (!pass) return true;
  }
  const bool read = insn & 0x00100000u;
  const uint32_t cp = (insn >> 8) & 15, crn = (insn >> 16) & 15, rd = (insn >> 12) & 15;
  const uint32_t key = insn & 0x00EF0FEFu;  // cp, opc1, CRn, opc2, CRm: no Rd, no L
  if (cp != 14 && cp != 15) return false;
  if (read) {
    uint32_t v = 0;
    if (cp == 14 && crn == 6) v = cclkcfg_;
    else if (auto it = cp_regs_.find(key); it != cp_regs_.end()) v = it->second;
    if (rd == 15) {  // MRC to pc sets the flags
      uint32_t cpsr = c.reg(UC_ARM_REG_CPSR);
      c.set_reg(UC_ARM_REG_CPSR, (cpsr & 0x0FFFFFFFu) | (v & 0xF0000000u));
    } else {
      c.set_reg(kRegs[rd], v);
    }
  } else {
    uint32_t v = c.reg(kRegs[rd]);
    if (cp == 14 && crn == 6) {
      cclkcfg_ = v;
      ++cclkcfg_writes_;
    } else {
      cp_regs_[key] = v;  // cache operations and the like: nothing to model
    }
  }
  ++emulated_[insn & 0x0FEF0FEFu];
  return true;
}

EngineExit ArmEngine::run(EngineHost& host) {
  uint32_t pc;
  if (reset_pending_ || !cpu_) {
    // A hardware reset: a fresh emulator (2.0.1 keeps translated code across
    // uc_mem_write, so reuse could run stale code). SDRAM keeps its contents.
    cpu_.reset();
    cpu_ = std::make_unique<Cpu>(*this, machine_);
    machine_.bus.flash.write16(0, 0xF0);  // the part leaves any command sequence
    cclkcfg_ = 0;
    cp_regs_.clear();
    reset_pending_ = false;
    restart_pending_ = false;
    pc = 0;
  } else if (restart_pending_) {
    restart_pending_ = false;
    pc = 0;  // as a jump to 0: MMU and caches as they are
  } else {
    pc = cpu_->reg(UC_ARM_REG_PC);
  }
  Cpu& c = *cpu_;
  c.host = &host;
  c.exit.reset();
  c.outside = false;
  for (;;) {
    c.pending = Cpu::Pending::None;
    c.resume_pc = pc;
    c.skip_vector = true;
    uc_err err = uc_emu_start(c.uc, pc, 1 /* never reached: ARM code is word aligned */, 0, 0);
    if (c.exit) {
      EngineExit x = *c.exit;
      c.exit.reset();
      c.host = nullptr;
      if (x.kind == EngineExit::Jump || x.kind == EngineExit::Started) restart_pending_ = true;
      // Otherwise the next run() continues at the pc. An exception raised in the
      // same stretch is taken now if running on would not raise it again.
      if (c.pending == Cpu::Pending::Swi) take_exception(0x08, kSvc, c.reg(UC_ARM_REG_PC));
      return x;
    }
    pc = c.reg(UC_ARM_REG_PC);
    switch (c.pending) {
      case Cpu::Pending::Undefined: {
        uint32_t insn = 0;
        uint32_t at = c.fault_pc;
        if (c.fetch(at, &insn) && emulate_coprocessor(insn)) {
          pc = at + 4;
          continue;
        }
        take_exception(0x04, kUnd, at + 4);
        break;
      }
      case Cpu::Pending::Swi:
        take_exception(0x08, kSvc, pc);  // the pc is already past the SWI
        break;
      case Cpu::Pending::PrefetchAbort:
        take_exception(0x0C, kAbt, c.fault_pc + 4);
        break;
      case Cpu::Pending::DataAbort:
        take_exception(0x10, kAbt, c.fault_pc + 8);
        break;
      case Cpu::Pending::None:
        if (err != UC_ERR_OK) {
          // Nothing the processor would do: report it and start over.
          fprintf(stderr, "arm engine: %s at pc 0x%08X; hardware reset\n", uc_strerror(err), pc);
          reset_pending_ = true;
          c.host = nullptr;
          return EngineExit{EngineExit::Restart, 0};
        }
        break;
    }
    if (c.pending != Cpu::Pending::None) {
      // The exception entered the vector table: a restart of the boot sequence.
      c.host = nullptr;
      return EngineExit{EngineExit::Restart, last_vector_};
    }
    pc = c.reg(UC_ARM_REG_PC);
  }
}

}  // namespace sim
