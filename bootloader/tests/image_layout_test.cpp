// The built image against the layout that the processor, the start-up code and
// the flash layout rely on: it reads build/firmware/bootloader.{bin,elf}.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

std::string firmware_dir() {
  const char* build = std::getenv("QUELMARK_BUILD_DIR");
  return std::string(build ? build : "..") + "/firmware/";
}

uint32_t le32(const Bytes& b, uint32_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// The parts of an ELF32 file the checks need: sections by name, symbols.
struct Elf {
  struct Section { uint32_t addr, size, type; };
  struct Symbol { std::string name; uint32_t value, size; uint8_t type; uint16_t shndx; };
  std::map<std::string, Section> sections;
  std::vector<std::string> section_names;
  std::vector<Symbol> symbols;
  uint32_t entry = 0;

  explicit Elf(const Bytes& f) {
    if (f.size() < sizeof(Elf32_Ehdr) || std::memcmp(f.data(), ELFMAG, SELFMAG) != 0) return;
    Elf32_Ehdr eh;
    std::memcpy(&eh, f.data(), sizeof eh);
    entry = eh.e_entry;
    std::vector<Elf32_Shdr> sh(eh.e_shnum);
    for (unsigned i = 0; i < eh.e_shnum; ++i)
      std::memcpy(&sh[i], f.data() + eh.e_shoff + i * eh.e_shentsize, sizeof(Elf32_Shdr));
    const char* shstr = reinterpret_cast<const char*>(f.data() + sh[eh.e_shstrndx].sh_offset);
    for (unsigned i = 0; i < sh.size(); ++i) {
      std::string name = shstr + sh[i].sh_name;
      section_names.push_back(name);
      sections[name] = {sh[i].sh_addr, sh[i].sh_size, sh[i].sh_type};
      if (sh[i].sh_type != SHT_SYMTAB) continue;
      const char* str = reinterpret_cast<const char*>(f.data() + sh[sh[i].sh_link].sh_offset);
      for (uint32_t off = 0; off + sizeof(Elf32_Sym) <= sh[i].sh_size; off += sizeof(Elf32_Sym)) {
        Elf32_Sym s;
        std::memcpy(&s, f.data() + sh[i].sh_offset + off, sizeof s);
        symbols.push_back({str + s.st_name, s.st_value, s.st_size,
                           static_cast<uint8_t>(ELF32_ST_TYPE(s.st_info)), s.st_shndx});
      }
    }
  }
  const Symbol* find(const std::string& name) const {
    for (const auto& s : symbols)
      if (s.name == name) return &s;
    return nullptr;
  }
  std::string section_of(const Symbol& s) const {
    return s.shndx < section_names.size() ? section_names[s.shndx] : "";
  }
};

class ImageLayout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bin_ = new Bytes(read_file(firmware_dir() + "bootloader.bin"));
    elf_file_ = new Bytes(read_file(firmware_dir() + "bootloader.elf"));
    elf_ = new Elf(*elf_file_);
  }
  static void TearDownTestSuite() {
    delete elf_;
    delete elf_file_;
    delete bin_;
  }
  void SetUp() override {
    ASSERT_GT(bin_->size(), 0x0C00u) << "no image in " << firmware_dir() << " (build target firmware)";
    ASSERT_FALSE(elf_->symbols.empty()) << "no ELF with symbols in " << firmware_dir();
  }
  const Bytes& bin() { return *bin_; }
  const Elf& elf() { return *elf_; }
  const Elf::Symbol& sym(const std::string& name) {
    const Elf::Symbol* s = elf().find(name);
    if (!s) ADD_FAILURE() << "symbol " << name << " missing";
    static const Elf::Symbol none{"", 0xFFFFFFFF, 0, 0, 0};
    return s ? *s : none;
  }
  static bool zero(const Bytes& b, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i)
      if (b[i] != 0) return false;
    return true;
  }
  static Bytes* bin_;
  static Bytes* elf_file_;
  static Elf* elf_;
};
Bytes* ImageLayout::bin_;
Bytes* ImageLayout::elf_file_;
Elf* ImageLayout::elf_;

TEST_F(ImageLayout, SizeStaysBelowTheParameterSector) {
  std::printf("bootloader.bin: %zu bytes (limit 24,576; the delivered original 20,464)\n",
              bin().size());
  EXPECT_LT(bin().size(), 24576u) << "would reach the parameter sector of bottom-boot parts";
  EXPECT_LT(bin().size(), 0x10000u) << "would reach the firmware header";
}

TEST_F(ImageLayout, VectorsBranchToTheResetEntryThenZerosUpTo0x800) {
  for (uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(le32(bin(), i * 4), 0xEA0001FEu - i) << "vector " << i;
    // The branch target of word i: pc (i*4 + 8) + offset*4.
    uint32_t target = i * 4 + 8 + ((le32(bin(), i * 4) & 0x00FFFFFF) << 2);
    EXPECT_EQ(target, 0x800u);
  }
  EXPECT_TRUE(zero(bin(), 0x20, 0x800));
}

TEST_F(ImageLayout, ResetEntryStartUpConstantsAndRuntimeEntry) {
  EXPECT_EQ(elf().entry, 0x800u);
  EXPECT_EQ(sym("_reset").value, 0x800u);
  EXPECT_NE(le32(bin(), 0x800), 0u) << "an instruction at the reset entry";
  const uint32_t constants[10] = {0xA0800000, 0x00000981, 0x0001C030, 0xA0700000, 0x0000010B,
                                  0x40E00000, 0x40F00000, 0xA0000C1E, 0x00800C12, 0x00000C12};
  for (uint32_t i = 0; i < 10; ++i)
    EXPECT_EQ(le32(bin(), 0x0BC8 + 4 * i), constants[i]) << "constant " << i;
  EXPECT_TRUE(zero(bin(), 0x0BF0, 0x0C00));
  EXPECT_EQ(sym("_runtime_entry").value, 0x0C00u);
  EXPECT_NE(le32(bin(), 0x0C00), 0u);
}

TEST_F(ImageLayout, VersionTextAt0x3E20) {
  const char text[] = "BLDR Apr 14 2004";
  ASSERT_GE(bin().size(), 0x3E20u + sizeof text);
  EXPECT_EQ(std::memcmp(bin().data() + 0x3E20, text, sizeof text), 0)
      << "17 bytes with the zero byte";
  EXPECT_EQ(sym("_ZN2bl12kVersionTextE").value, 0x3E20u);
  EXPECT_EQ(sym("_ZN2bl12kVersionTextE").size, 17u);
}

// g_data: the only initialised data, 64 bytes at 0xA0100000, its initial values
// in the image where the data-initialisation table says; g_state zeroed after it.
TEST_F(ImageLayout, LoaderDataAndItsInitialisation) {
  const Elf::Symbol& data = sym("_ZN2bl6g_dataE");
  EXPECT_EQ(data.value, 0xA0100000u);
  EXPECT_EQ(data.size, 64u);
  ASSERT_TRUE(elf().sections.count(".data"));
  EXPECT_EQ(elf().sections.at(".data").addr, 0xA0100000u);
  EXPECT_EQ(elf().sections.at(".data").size, 64u) << "no initialised global besides bl::g_data";

  const Elf::Symbol& state = sym("_ZN2bl7g_stateE");
  EXPECT_EQ(state.value, 0xA0100040u);
  ASSERT_TRUE(elf().sections.count(".bss"));
  const auto& bss = elf().sections.at(".bss");
  EXPECT_EQ(bss.addr, 0xA0100040u);
  EXPECT_EQ(bss.size, (state.size + 3) & ~3u) << "no zero-initialised global besides bl::g_state";

  // Copy entry (source, destination, length), then zero entry (address, length).
  uint32_t copy = sym("__init_copy_table").value;
  uint32_t zeros = sym("__init_zero_table").value;
  ASSERT_EQ(zeros, copy + 12);
  ASSERT_EQ(sym("__init_tables_end").value, zeros + 8);
  ASSERT_LE(zeros + 8, bin().size());
  uint32_t lma = le32(bin(), copy);
  EXPECT_EQ(le32(bin(), copy + 4), 0xA0100000u);
  EXPECT_EQ(le32(bin(), copy + 8), 64u);
  EXPECT_EQ(le32(bin(), zeros), 0xA0100040u);
  EXPECT_EQ(le32(bin(), zeros + 4), bss.size);
  ASSERT_EQ(lma + 64, bin().size()) << "the initial values end the image";

  // Port operation tables: twelve routine addresses, ARM code (even, in .text).
  for (uint32_t i = 0; i < 12; ++i) {
    uint32_t fn = le32(bin(), lma + 4 * i);
    EXPECT_TRUE(fn >= 0x0C00 && fn < lma && (fn & 3) == 0) << "port routine " << i << " at " << fn;
  }
  const uint8_t* id = bin().data() + lma + 0x30;
  EXPECT_EQ(id[0] & 1, 0) << "MAC must be unicast";
  EXPECT_NE(std::memcmp(id, "\0\0\0\0\0\0", 6), 0);
  const uint8_t ip_and_broadcast[] = {0xC0, 0xA8, 0x01, 0xC9, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
  EXPECT_EQ(std::memcmp(id + 6, ip_and_broadcast, sizeof ip_and_broadcast), 0);
}

// No Thumb code: no $t mapping symbol, no function at an odd address. The
// attributes' Tag_THUMB_ISA_use says only what the core can run.
TEST_F(ImageLayout, OnlyArmCodeNoConstructorsNoUnwindTables) {
  int functions = 0;
  for (const auto& s : elf().symbols) {
    EXPECT_FALSE(s.name == "$t" || s.name.rfind("$t.", 0) == 0) << "Thumb code at " << s.value;
    if (s.type == STT_FUNC) {
      ++functions;
      EXPECT_EQ(s.value & 1, 0u) << s.name << " is Thumb";
      EXPECT_EQ(s.value & 3, 0u) << s.name;
      EXPECT_LT(s.value, bin().size()) << s.name << " outside the image";
    }
  }
  EXPECT_GT(functions, 20);
  for (const char* name : {".init_array", ".ctors", ".ARM.exidx", ".ARM.extab"}) {
    auto it = elf().sections.find(name);
    EXPECT_TRUE(it == elf().sections.end() || it->second.size == 0) << name;
  }
  EXPECT_EQ(elf().find("__aeabi_unwind_cpp_pr0"), nullptr);
}

}  // namespace
