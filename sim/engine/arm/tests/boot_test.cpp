// The real image boots on the emulated board: start-up, firmware check, loader
// mode with its panel frames.
#include <gtest/gtest.h>

#include "sim/engine/arm/tests/arm_fixture.h"

using armtest::Terminal;
using armtest::ms;

TEST(ArmBoot, EmptyFirmwareAreaGivesLoaderModeWithPanelFrames) {
  ASSERT_FALSE(armtest::boot_image().empty()) << "build the firmware first";
  Terminal t;
  ASSERT_TRUE(t.boot()) << "main loop not reached; pc 0x" << std::hex << t.engine.reg(UC_ARM_REG_PC);
  std::vector<std::pair<int, int>> want = {{3, 10}, {3, 10}, {23, 1}};
  EXPECT_EQ(t.frames(), want);
  EXPECT_GE(t.engine.cclkcfg_writes(), 4u) << "clock set-up twice: CCLKCFG 2, then 0";
  EXPECT_EQ(t.engine.cclkcfg(), 0u);
  printf("boot: %llu instructions, %.1f ms emulated\n", (unsigned long long)t.engine.instructions(),
         t.machine.bus.timer.elapsed_ms());
  for (auto& [k, n] : t.engine.emulated_operations()) printf("emulated 0x%08X x%llu\n", k, (unsigned long long)n);
}
