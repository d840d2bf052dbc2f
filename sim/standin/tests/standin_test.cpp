// The built stand-in (build/firmware/standin.bin) and its packed forms: the
// packed files carry it whole for its load address, and, run on an emulated
// XScale core at any load address, it rings the doorbell with its entry address
// and then with the sum that README.md defines.
#include "sim/standin/standin.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fwimage/fwimage.h"

#ifdef STANDIN_WITH_UNICORN
#include <unicorn/unicorn.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

std::string firmware_dir() {
  const char* b = getenv("QUELMARK_BUILD_DIR");
  return std::string(b ? b : "..") + "/firmware/";
}

Bytes slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  EXPECT_TRUE(f.good()) << path;
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

TEST(Standin, PackedFilesCarryTheImageForItsLoadAddress) {
  const Bytes image = slurp(firmware_dir() + "standin.bin");
  ASSERT_GE(image.size(), 4096u) << "the stand-in should carry a few KB of table";
  EXPECT_EQ(image.size() % 4, 0u) << "whole words, as the loader copies them";
  struct {
    const char* file;
    fwimage::Form form;
  } cases[] = {{"standin-plain.fw", fwimage::Form::Plain}, {"standin-lzo.fw", fwimage::Form::Lzo}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes packed = slurp(firmware_dir() + c.file);
    fwimage::Parsed p;
    ASSERT_EQ(fwimage::parse(packed.data(), packed.size(), &p), "");
    EXPECT_EQ(packed.size(), fwimage::kHeaderSize + p.header.length) << "nothing after the payload";
    EXPECT_EQ(p.header.form(), c.form);
    EXPECT_EQ(p.header.load_address(), standin::kLoadAddress);
    Bytes unpacked;
    ASSERT_EQ(fwimage::unpack(p, &unpacked), "");
    EXPECT_EQ(unpacked, image);
    if (c.form == fwimage::Form::Lzo) EXPECT_LT(p.payload.size(), image.size() / 2);
  }
}

#ifdef STANDIN_WITH_UNICORN

struct Outcome {
  std::vector<std::pair<uint32_t, uint32_t>> doorbell;  // (offset, value) in store order
  uint32_t spin_pc = 0;
};

void on_store(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t value, void* user) {
  auto* run = static_cast<Outcome*>(user);
  EXPECT_EQ(size, 4) << "doorbell stores are words";
  run->doorbell.emplace_back(uint32_t(address - standin::kDoorbell), uint32_t(value));
}

// Runs the image at `load` with the MMU off (as the loader leaves it) for a
// generous number of instructions; it must end in its spin loop.
Outcome run_at(const Bytes& image, uint32_t load) {
  Outcome run;
  uc_engine* uc = nullptr;
  EXPECT_EQ(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc), UC_ERR_OK);
  if (!uc) return run;
  EXPECT_EQ(uc_ctl_set_cpu_model(uc, UC_CPU_ARM_PXA255), UC_ERR_OK);
  EXPECT_EQ(uc_mem_map(uc, 0xA0000000, 0x800000, UC_PROT_ALL), UC_ERR_OK);
  EXPECT_EQ(uc_mem_map(uc, standin::kDoorbell, 0x1000, UC_PROT_READ | UC_PROT_WRITE), UC_ERR_OK);
  EXPECT_EQ(uc_mem_write(uc, load, image.data(), image.size()), UC_ERR_OK);
  uc_hook hook;
  EXPECT_EQ(uc_hook_add(uc, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(on_store), &run,
                        standin::kDoorbell, standin::kDoorbell + 0xFFF),
            UC_ERR_OK);
  const size_t budget = image.size() * 8 + 1000;
  EXPECT_EQ(uc_emu_start(uc, load, 0, 0, budget), UC_ERR_OK);
  uint32_t pc = 0;
  uc_reg_read(uc, UC_ARM_REG_PC, &pc);
  run.spin_pc = pc;
  // A further stretch must leave the pc where it is: the spin loop.
  EXPECT_EQ(uc_emu_start(uc, pc, 0, 0, 100), UC_ERR_OK);
  uint32_t again = 0;
  uc_reg_read(uc, UC_ARM_REG_PC, &again);
  EXPECT_EQ(again, pc) << "not spinning";
  uc_close(uc);
  return run;
}

TEST(Standin, RingsTheDoorbellWithItsEntryAndItsSumAtAnyLoadAddress) {
  const Bytes image = slurp(firmware_dir() + "standin.bin");
  ASSERT_FALSE(image.empty());
  const uint32_t sum = standin::image_sum(image.data(), image.size());
  for (uint32_t load : {standin::kLoadAddress, 0xA0000000u, 0xA0410000u}) {
    SCOPED_TRACE(load);
    Outcome run = run_at(image, load);
    const std::vector<std::pair<uint32_t, uint32_t>> expected{{standin::kEntryOffset, load},
                                                              {standin::kSumOffset, sum}};
    EXPECT_EQ(run.doorbell, expected);
    EXPECT_GE(run.spin_pc, load);
    EXPECT_LT(run.spin_pc, load + 0x100) << "the spin loop follows the code";
  }
}

// A stand-in damaged on the way reports another sum: the check can tell.
TEST(Standin, AChangedTableByteChangesTheReportedSum) {
  Bytes image = slurp(firmware_dir() + "standin.bin");
  ASSERT_GT(image.size(), 2000u);
  const uint32_t good = standin::image_sum(image.data(), image.size());
  image[2000] ^= 0x10;
  Outcome run = run_at(image, standin::kLoadAddress);
  ASSERT_EQ(run.doorbell.size(), 2u);
  EXPECT_NE(run.doorbell[1].second, good);
  EXPECT_EQ(run.doorbell[1].second, standin::image_sum(image.data(), image.size()));
}

#endif  // STANDIN_WITH_UNICORN

}  // namespace
