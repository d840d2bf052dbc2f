// Commands 1016 and 110 with target 100 copy code through the write-back data
// cache and jump to it: between the copy and the jump the loader cleans the
// copied lines, drains the write buffer and invalidates the instruction cache
// and branch target buffer; code uploaded twice to one address runs in its
// second version.
#include <gtest/gtest.h>

#include "sim/engine/arm/tests/arm_fixture.h"

namespace {

using armtest::byte_sum;
using armtest::doorbell_program;
using armtest::ms;
using armtest::Terminal;
using Bytes = std::vector<uint8_t>;
using Event = sim::ArmEngine::Event;

constexpr uint32_t kAt = 0xA0300000;

// MCR p15, opc1 0, CRn c7, CRm, opc2: the instruction pattern without Rd and
// condition.
bool is_c7(const Event& e, uint32_t crm, uint32_t opc2) {
  return e.kind == Event::Coprocessor && (e.insn & 0x0FFF0FFFu) ==
                                             (0x0E070F10u | crm | (opc2 << 5));
}

TEST(ArmRunUploadedCode, CachesAreCleanedBetweenCopyAndJumpAndTheSecondVersionRuns) {
  sim::ArmEngine::Options opt;
  opt.trace = true;
  Terminal t(0x22C4, true, sim::OsTimer::Mode::Virtual, opt);
  ASSERT_TRUE(t.boot());
  struct Case { uint32_t command; uint32_t version; };
  for (const Case c : {Case{1016, 1}, Case{1016, 2}, Case{110, 3}, Case{110, 4}}) {
    SCOPED_TRACE("command " + std::to_string(c.command) + " version " + std::to_string(c.version));
    const Bytes prog = doorbell_program(c.version);
    uint16_t seq;
    uint16_t id = t.upload(prog, &seq);
    t.engine.clear_trace();
    sim::EngineExit x;
    Bytes args = c.command == 1016 ? Terminal::u32s({kAt}) : Terminal::u32s({100, kAt});
    t.serial_call(Terminal::command(static_cast<uint16_t>(c.command), id, seq++, args), &x, nullptr,
                  ms(200));
    ASSERT_EQ(x.kind, sim::EngineExit::Started);
    EXPECT_EQ(x.addr, kAt);
    EXPECT_EQ(x.sum, byte_sum(prog)) << "the version just uploaded ran";

    const std::vector<Event>& tr = t.engine.trace();
    size_t last_store = 0, leave = tr.size();
    for (size_t i = 0; i < tr.size(); ++i) {
      if (tr[i].kind == Event::Store && tr[i].addr >= kAt && tr[i].addr < kAt + prog.size() &&
          leave == tr.size())
        last_store = i;
      if (tr[i].kind == Event::Leave && leave == tr.size()) leave = i;
    }
    ASSERT_LT(leave, tr.size());
    EXPECT_EQ(tr[leave].addr, kAt);
    ASSERT_GT(last_store, 0u) << "the copy";
    // Between the copy and the jump: clean of every copied line, drain, invalidate.
    std::vector<uint32_t> cleaned;
    size_t drain = 0, invalidate = 0;
    for (size_t i = last_store; i < leave; ++i) {
      if (is_c7(tr[i], 10, 1)) cleaned.push_back(tr[i].value & ~31u);
      if (is_c7(tr[i], 10, 4)) drain = i;
      if (is_c7(tr[i], 5, 0)) invalidate = i;
    }
    for (uint32_t line = kAt; line < kAt + prog.size(); line += 32)
      EXPECT_NE(std::find(cleaned.begin(), cleaned.end(), line), cleaned.end())
          << "line 0x" << std::hex << line << " cleaned";
    EXPECT_GT(drain, last_store) << "write buffer drained after the copy";
    EXPECT_GT(invalidate, drain) << "instruction cache and BTB invalidated after the drain";

    // Back to loader mode (the program spins; the restart stands for a reset
    // that keeps SDRAM, as the next upload then finds the old code there).
    uint64_t lsr = t.machine.dev.ffuart.lsr_reads();
    for (int i = 0; i < 3 && t.machine.dev.ffuart.lsr_reads() <= lsr; ++i)
      t.run_until([&] { return t.machine.dev.ffuart.lsr_reads() > lsr; }, ms(3000));
    ASSERT_GT(t.machine.dev.ffuart.lsr_reads(), lsr);
  }
}

}  // namespace
