// The boot paths of the real image: which firmware headers start a program
// (seen at the doorbell) and which leave the terminal in loader mode; restarts
// and exceptions; the command port's silence rule against virtual time.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <unicorn/unicorn.h>

#include <chrono>
#include <thread>

#include "sim/engine/arm/tests/arm_fixture.h"

namespace {

using armtest::byte_sum;
using armtest::doorbell_program;
using armtest::firmware;
using armtest::ms;
using armtest::Terminal;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kHeader = 0x10000;
constexpr uint32_t kLoad = 0xA0200000;

Bytes lzo_compress(const Bytes& in) {
  static bool init = lzo_init() == LZO_E_OK;
  EXPECT_TRUE(init);
  Bytes out(in.size() + in.size() / 16 + 64 + 3);
  std::vector<uint8_t> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint n = out.size();
  EXPECT_EQ(lzo1x_1_compress(in.data(), in.size(), out.data(), &n, work.data()), LZO_E_OK);
  out.resize(n);
  return out;
}

std::string hex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

// What came up: a program at the doorbell, or loader mode.
struct Outcome {
  bool started = false;
  uint32_t entry = 0, sum = 0;
  bool loader_mode = false;
};

Outcome boot(Terminal& t) {
  Outcome o;
  sim::EngineExit x = t.run_until([&] { return t.machine.dev.ffuart.lsr_reads() > 0; }, ms(3000));
  if (x.kind == sim::EngineExit::Started) {
    o.started = true;
    o.entry = x.addr;
    o.sum = x.sum;
  }
  o.loader_mode = t.machine.dev.ffuart.lsr_reads() > 0;
  return o;
}

TEST(ArmBootPaths, FirmwareHeaderDecidesWhatStarts) {
  const Bytes prog = doorbell_program(0x11223344);
  Bytes damaged = lzo_compress(prog);
  damaged[damaged.size() / 2] ^= 0xFF;
  damaged.resize(damaged.size() - 3);  // and its end-of-stream marker cut
  struct Case {
    const char* what;
    Bytes fw;
    bool starts;
  };
  const Case cases[] = {
      {"plain 0x010B", firmware(0x010B, 0xA020, prog), true},
      {"LZO1X 0x000B", firmware(0x000B, 0xA020, lzo_compress(prog)), true},
      {"damaged LZO payload", firmware(0x000B, 0xA020, damaged), false},
      {"wrong magic 0x020B", firmware(0x020B, 0xA020, prog), false},
      {"0x050B (a target-3 header)", firmware(0x050B, 0xA020, prog), false},
      {"address bit 15 clear (0x7FFF)", firmware(0x010B, 0x7FFF, prog), false},
      {"empty firmware area", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Terminal t;
    t.machine.bus.flash.set_contents(kHeader, c.fw);
    Outcome o = boot(t);
    EXPECT_EQ(o.started, c.starts);
    EXPECT_EQ(o.loader_mode, !c.starts);
    if (c.starts) {
      EXPECT_EQ(hex(o.entry), hex(kLoad)) << "started at its load address";
      EXPECT_EQ(hex(o.sum), hex(byte_sum(prog))) << "the program in memory is the payload";
    } else {
      std::vector<std::pair<int, int>> want = {{3, 10}, {3, 10}, {23, 1}};
      EXPECT_EQ(t.frames(), want);
    }
  }
}

TEST(ArmBootPaths, WithoutEthernetControllerTwoPanelFrames) {
  Terminal t(0x22C4, /*ethernet=*/false);
  ASSERT_TRUE(t.boot());
  std::vector<std::pair<int, int>> want = {{3, 10}, {23, 1}};
  EXPECT_EQ(t.frames(), want);
}

TEST(ArmBootPaths, WallClockModeBootsToo) {
  Terminal t(0x22C4, true, sim::OsTimer::Mode::RealTime);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(t.boot());
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(s, 0.27) << "the start-up pauses (100 + 10 + 10 + 10 + 150 ms) take real time";
  EXPECT_EQ(t.frames().size(), 3u);
}

// 1004 restarts from the SDRAM copy taken at the last hardware reset: a
// firmware written since is started only after a hardware reset.
TEST(ArmBootPaths, FirmwareWrittenInLoaderModeStartsOnlyAfterHardwareReset) {
  Terminal t;
  ASSERT_TRUE(t.boot());
  const Bytes prog = doorbell_program(7);
  uint16_t seq;
  uint16_t id = t.upload(prog, &seq);
  Bytes r = t.serial_call(Terminal::command(110, id, seq++, Terminal::u32s({1, kLoad})));
  ASSERT_GE(r.size(), 8u);
  EXPECT_EQ(Terminal::le16(r, 0), 2000) << "110 target 1 wrote the firmware";
  const Bytes fw = firmware(0x010B, 0xA020, prog);
  EXPECT_EQ(Bytes(t.machine.bus.flash.data() + kHeader, t.machine.bus.flash.data() + kHeader + fw.size()), fw);

  sim::EngineExit x;
  t.serial_call(Terminal::command(1004, id, seq++), &x, nullptr, ms(100));
  EXPECT_EQ(x.kind, sim::EngineExit::Restart);
  uint64_t lsr = t.machine.dev.ffuart.lsr_reads();
  x = t.run_until([&] { return t.machine.dev.ffuart.lsr_reads() > lsr + 100; }, ms(3000));
  EXPECT_NE(x.kind, sim::EngineExit::Started) << "not started after 1004";
  EXPECT_GT(t.machine.dev.ffuart.lsr_reads(), lsr + 100) << "loader mode again";
  EXPECT_EQ(t.machine.dev.doorbell.rings(), 0u);

  t.engine.reset();
  Outcome o = boot(t);
  EXPECT_TRUE(o.started) << "a hardware reset starts it";
  EXPECT_EQ(hex(o.sum), hex(byte_sum(prog)));
}

// An image started from SDRAM (pc bit 31) skips the firmware check; the same
// SDRAM after 1004 starts the firmware it finds there.
TEST(ArmBootPaths, ImageStartedFromSdramSkipsTheCheck) {
  const Bytes prog = doorbell_program(9);
  const Bytes fw = firmware(0x010B, 0xA020, prog);
  for (bool from_sdram : {false, true}) {
    SCOPED_TRACE(from_sdram ? "1016 of the image to 0xA0000000" : "1004");
    Terminal t;
    ASSERT_TRUE(t.boot());
    // A valid firmware where the restart's check looks: the SDRAM copy.
    t.machine.bus.sdram.write(0xA0000000 + kHeader, fw.data(), static_cast<uint32_t>(fw.size()));
    uint16_t seq;
    sim::EngineExit x;
    if (from_sdram) {
      uint16_t id = t.upload(armtest::boot_image(), &seq);
      t.serial_call(Terminal::command(1016, id, seq++, Terminal::u32s({0xA0000000})), &x, nullptr,
                    ms(100));
    } else {
      Bytes r = t.serial_call(Terminal::command(1000, 0, 0));
      ASSERT_GE(r.size(), 8u);
      t.serial_call(Terminal::command(1004, Terminal::le16(r, 4), 1), &x, nullptr, ms(100));
    }
    uint64_t lsr = t.machine.dev.ffuart.lsr_reads();
    for (int i = 0; i < 3 && x.kind == sim::EngineExit::Restart; ++i)
      x = t.run_until([&] { return t.machine.dev.ffuart.lsr_reads() > lsr + 100; }, ms(3000));
    if (from_sdram) {
      EXPECT_NE(x.kind, sim::EngineExit::Started);
      EXPECT_GT(t.machine.dev.ffuart.lsr_reads(), lsr + 100) << "loader mode";
    } else {
      EXPECT_EQ(x.kind, sim::EngineExit::Started);
      EXPECT_EQ(hex(x.sum), hex(byte_sum(prog)));
    }
  }
}

// A data abort enters the vector table as the processor does, and the loader
// starts over (in abort mode: it never changes the mode).
TEST(ArmBootPaths, DataAbortRestartsThroughTheVectorTable) {
  Terminal t;
  ASSERT_TRUE(t.boot());
  Bytes r = t.serial_call(Terminal::command(1000, 0, 0));
  ASSERT_GE(r.size(), 8u);
  sim::EngineExit x;
  std::vector<Bytes> chunks;
  t.serial_call(Terminal::command(111, Terminal::le16(r, 4), 1, Terminal::u32s({0xB0000000u, 16})),
                &x, &chunks, ms(200));
  EXPECT_EQ(x.kind, sim::EngineExit::Restart);
  EXPECT_EQ(t.engine.last_exception_vector(), 0x10u);
  EXPECT_EQ(t.engine.reg(UC_ARM_REG_CPSR) & 0x1F, 0x17u) << "abort mode";
  EXPECT_EQ(t.engine.reg(UC_ARM_REG_SPSR) & 0x1F, 0x13u) << "SPSR: the supervisor mode it left";
  EXPECT_EQ(t.engine.reg(UC_ARM_REG_CPSR) & 0xC0, 0xC0u) << "IRQ and FIQ masked";
  EXPECT_GE(t.engine.reg(UC_ARM_REG_LR), 0xC00u) << "LR: past the faulting load in the image";
  EXPECT_LT(t.engine.reg(UC_ARM_REG_LR), 0x6000u);
  size_t frames = t.frames().size();
  uint64_t lsr = t.machine.dev.ffuart.lsr_reads();
  t.run_until([&] { return t.machine.dev.ffuart.lsr_reads() > lsr; }, ms(3000));
  EXPECT_EQ(t.frames().size(), frames + 3) << "the start-up panel frames again";
  r = t.serial_call(Terminal::command(1000, 0, 0));
  ASSERT_GE(r.size(), 8u);
  EXPECT_EQ(Terminal::le16(r, 0), 2000);
}

// A host writing a frame byte by byte with gaps of a few milliseconds: virtual
// time must not run ahead of it, or the 20 ms silence rule cuts the frame. A
// gap longer than the rule still ends the frame. The host never sleeps here
// (as the runner, which blocks only after 64 quiet polls; the loader gives up
// a frame after 20).
TEST(ArmBootPaths, SerialFrameByteByByteIsNotCutInVirtualTime) {
  for (int gap_ms : {3, 45}) {
    SCOPED_TRACE("gap " + std::to_string(gap_ms) + " ms");
    Terminal t;
    ASSERT_TRUE(t.boot());
    const Bytes f = Terminal::serial_frame(Terminal::command(1000, 0, 0));
    size_t sent = 0;
    auto last = std::chrono::steady_clock::now() - std::chrono::hours(1);
    t.run_until([&] {
      auto now = std::chrono::steady_clock::now();
      if (sent < f.size() && now - last >= std::chrono::milliseconds(gap_ms)) {
        t.machine.dev.ffuart.push_rx(f[sent++]);
        last = now;
      }
      return t.tx.size() >= 16 || (sent == f.size() && now - last > std::chrono::milliseconds(200));
    }, ms(60000));
    EXPECT_EQ(sent, f.size());
    if (gap_ms < 20) {
      ASSERT_GE(t.tx.size(), 16u) << "the connect was answered";
      EXPECT_EQ(Terminal::le16(t.tx, 8), 2000);
    } else {
      EXPECT_TRUE(t.tx.empty()) << "a 45 ms gap ends the frame";
    }
  }
}

}  // namespace
