// Power cuts at a sample of the flash operations of a write, on the real image
// (build/bin/powercut tries many more and prints the figures): after a cut in
// a main-firmware write the terminal comes up in loader mode and takes the
// upload again; a boot-loader write has a window where it does not.
#include <gtest/gtest.h>

#include "sim/engine/arm/bench/power_cut.h"

namespace {

using powercut::Bytes;
using powercut::Outcome;

Bytes flash_with_loader() {
  Bytes f(sim::FlashModel::kSize, 0xFF);
  const Bytes& img = armtest::boot_image();
  std::copy(img.begin(), img.end(), f.begin());
  return f;
}

TEST(ArmPowerCut, MainFirmwareWriteAlwaysLeavesLoaderModeThatTakesTheUploadAgain) {
  ASSERT_FALSE(armtest::boot_image().empty());
  powercut::Scenario s;
  s.target = 1;
  s.param = 0xA0200000;
  Bytes old_fw = armtest::doorbell_program(0xAAAA), new_fw = armtest::doorbell_program(0xBBBB);
  new_fw.resize(512, 0x5C);
  s.data = new_fw;
  s.flash = flash_with_loader();
  Bytes old = armtest::firmware(0x010B, 0xA020, old_fw);
  std::copy(old.begin(), old.end(), s.flash.begin() + 0x10000);
  s.old_sum = armtest::byte_sum(old_fw);
  s.new_sum = armtest::byte_sum(Bytes(new_fw.begin(), new_fw.begin() + 0x40));
  s.dest = 0x10000;
  s.expect = armtest::firmware(0x010B, 0xA020, new_fw);

  powercut::Write clean = powercut::write(s, 0);
  ASSERT_EQ(clean.reply, 2000);
  ASSERT_GT(clean.operations, 32768u) << "the sector held the old firmware: erase and rewrite";
  EXPECT_EQ(powercut::boot(s, clean.flash), Outcome::NewFirmware);
  // The erase, the first programs (where the header used to be written), a
  // program inside the payload, and the last operations (the header).
  const uint64_t n = clean.operations;
  for (uint64_t cut : {uint64_t(1), uint64_t(2), uint64_t(5), uint64_t(40), uint64_t(200), n - 3, n}) {
    SCOPED_TRACE("cut at operation " + std::to_string(cut) + " of " + std::to_string(n));
    powercut::Write w = powercut::write(s, cut);
    EXPECT_EQ(w.reply, 0) << "no reply: the power went";
    bool again = false;
    EXPECT_EQ(powercut::boot(s, w.flash, true, &again), Outcome::Loader);
    EXPECT_TRUE(again) << "the upload is taken again and written";
  }
}

TEST(ArmPowerCut, BootLoaderWriteHasAWindowWithoutLoaderMode) {
  powercut::Scenario s;
  s.flash_id = 0x2249;
  s.target = 0;
  s.data = armtest::boot_image();
  s.flash = flash_with_loader();
  const char old[] = "BLDR Jan 02 2003";
  std::copy(old, old + 16, s.flash.begin() + 0x3E20);
  powercut::Write clean = powercut::write(s, 0);
  ASSERT_EQ(clean.reply, 2000);
  const uint64_t n = clean.operations;
  ASSERT_EQ(n, 1u + 8192u) << "sector 0 (16 KB) erased and reprogrammed";
  struct Case { uint64_t cut; bool loader; };
  for (const Case c : {Case{1, false}, Case{2, false}, Case{3000, false}, Case{n - 100, true},
                       Case{n, true}}) {
    SCOPED_TRACE("cut at operation " + std::to_string(c.cut));
    Outcome o = powercut::boot(s, powercut::write(s, c.cut).flash);
    EXPECT_EQ(o == Outcome::Loader, c.loader) << powercut::name(o);
  }
}

}  // namespace
