// The firmware header library: the exact bytes, the round trip through the
// decompressor the boot loader uses, and what it refuses.
#include "fwimage/fwimage.h"

#include <lzo/lzo1x.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

namespace {

using fwimage::Bytes;
using fwimage::Form;

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

// A table with some structure, like code: repeats with variation.
Bytes compressible(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t((i * 7) ^ (i >> 5));
  return b;
}

TEST(FwImage, PlainHeaderAndPayloadAreTheExpectedBytes) {
  Bytes out;
  ASSERT_EQ(fwimage::pack({0x11, 0x22, 0x33, 0x44, 0x55}, Form::Plain, 0xA0200000, &out), "");
  const Bytes expected{0x0B, 0x01, 0x20, 0xA0, 0x05, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(out, expected);
}

TEST(FwImage, LzoHeaderNamesTheCompressedLength) {
  Bytes image = compressible(70000), out;
  ASSERT_EQ(fwimage::pack(image, Form::Lzo, 0xA0410000, &out), "");
  ASSERT_GT(out.size(), 8u);
  const size_t n = out.size() - 8;
  EXPECT_LT(n, image.size() / 4) << "the table should compress well";
  const Bytes expected{0x0B, 0x00, 0x41, 0xA0, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), expected);
}

// The loader unpacks with lzo1x_decompress_safe into at most 2 MB.
TEST(FwImage, LzoPayloadUnpacksWithTheSafeDecompressor) {
  for (const Bytes& image : {compressible(150000), random_bytes(4000, 1), Bytes(1, 0x7E)}) {
    Bytes out;
    ASSERT_EQ(fwimage::pack(image, Form::Lzo, 0xA0200000, &out), "");
    ASSERT_EQ(lzo_init(), LZO_E_OK);
    Bytes back(fwimage::kUnpackCapacity);
    lzo_uint n = back.size();
    ASSERT_EQ(lzo1x_decompress_safe(out.data() + 8, out.size() - 8, back.data(), &n, nullptr), LZO_E_OK);
    back.resize(n);
    EXPECT_EQ(back, image);

    fwimage::Parsed p;
    ASSERT_EQ(fwimage::parse(out.data(), out.size(), &p), "");
    EXPECT_EQ(p.header.form(), Form::Lzo);
    EXPECT_EQ(p.header.load_address(), 0xA0200000u);
    Bytes unpacked;
    ASSERT_EQ(fwimage::unpack(p, &unpacked), "");
    EXPECT_EQ(unpacked, image);
  }
}

TEST(FwImage, PlainRoundTripAndPlacementInFlash) {
  Bytes image = random_bytes(1001, 2), out;
  ASSERT_EQ(fwimage::pack(image, Form::Plain, 0xA0000000, &out), "");
  Bytes flash(fwimage::kFlashSize, 0xFF);
  ASSERT_EQ(fwimage::place_in_flash(out, &flash), "");
  EXPECT_EQ(flash[0xFFFF], 0xFF);
  EXPECT_EQ(flash[0x10000], 0x0B);
  EXPECT_EQ(flash[0x10008 + 1001], 0xFF);
  // What the loader reads: the area at 0x10000 up to the end of the flash.
  fwimage::Parsed p;
  ASSERT_EQ(fwimage::parse(flash.data() + 0x10000, flash.size() - 0x10000, &p), "");
  EXPECT_EQ(p.header.form(), Form::Plain);
  EXPECT_EQ(p.header.load_address(), 0xA0000000u);
  Bytes back;
  ASSERT_EQ(fwimage::unpack(p, &back), "");
  EXPECT_EQ(back, image);
  EXPECT_EQ(fwimage::storage_target(Form::Plain), 1u);
  EXPECT_EQ(fwimage::storage_target(Form::Lzo), 2u);
}

struct Refusal {
  const char* what;
  Bytes image;
  Form form;
  uint32_t address;
  const char* error;  // a part of the error text; "" = accepted
};

TEST(FwImage, PackRefusesWhatTheTerminalCouldNotStart) {
  const Refusal cases[] = {
      {"empty image", {}, Form::Plain, 0xA0200000, "empty"},
      {"bit 31 clear", Bytes(16), Form::Plain, 0x7FFF0000, "below 0x80000000"},
      {"low bits set", Bytes(16), Form::Lzo, 0xA0208000, "not a multiple of 0x10000"},
      {"no SDRAM there", Bytes(16), Form::Plain, 0x80000000, "does not fit the SDRAM"},
      {"above the SDRAM", Bytes(16), Form::Plain, 0xB0000000, "does not fit the SDRAM"},
      {"in the stack reserve", Bytes(16), Form::Plain, 0xA07F0000, "does not fit the SDRAM"},
      {"ends at the stack reserve", Bytes(0x10000), Form::Plain, 0xA07E0000, ""},
      {"word copy reaches the reserve", Bytes(0xFFFD), Form::Plain, 0xA07E0000, ""},
      {"one byte into the reserve", Bytes(0x10001), Form::Lzo, 0xA07E0000, "does not fit the SDRAM"},
      {"plain at the area limit", Bytes(196599), Form::Plain, 0xA0200000, ""},
      {"plain above the area limit", Bytes(196600), Form::Plain, 0xA0200000, "at most 196599"},
      {"LZO of noise too large", random_bytes(196600, 3), Form::Lzo, 0xA0200000, "at most 196599"},
      {"LZO of 2 MB of zeros", Bytes(0x200000), Form::Lzo, 0xA0000000, ""},
      {"LZO above the unpack capacity", Bytes(0x200001), Form::Lzo, 0xA0000000, "unpacks at most"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out{1, 2, 3}, payload;
    std::string err = fwimage::pack(c.image, c.form, c.address, &out);
    // The payload for command 110 passes the same checks and is the packed tail.
    EXPECT_EQ(fwimage::pack_payload(c.image, c.form, c.address, &payload), err);
    if (!*c.error) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(payload, Bytes(out.begin() + 8, out.end()));
    } else {
      EXPECT_NE(err.find(c.error), std::string::npos) << err;
    }
  }
}

TEST(FwImage, ParseRefusesHeadersTheLoaderIgnores) {
  struct Case {
    const char* what;
    Bytes bytes;
    const char* error;
  } cases[] = {
      {"short header", {0x0B, 0x01, 0x20, 0xA0, 1, 0, 0}, "too few"},
      {"magic 0x050B", {0x0B, 0x05, 0x20, 0xA0, 1, 0, 0, 0, 9}, "magic 0x050B"},
      {"erased flash", Bytes(16, 0xFF), "magic 0xFFFF"},
      {"address bit 15 clear", {0x0B, 0x01, 0xFF, 0x7F, 1, 0, 0, 0, 9}, "bit 15 clear"},
      {"payload cut short", {0x0B, 0x00, 0x20, 0xA0, 4, 0, 0, 0, 9, 9}, "only 2 follow"},
      {"length beyond the area", {0x0B, 0x01, 0x20, 0xA0, 0xF8, 0xFF, 0x02, 0, 9}, "above the firmware area"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fwimage::Parsed p;
    std::string err = fwimage::parse(c.bytes.data(), c.bytes.size(), &p);
    EXPECT_NE(err.find(c.error), std::string::npos) << err;
  }
}

TEST(FwImage, DamagedLzoPayloadDoesNotUnpack) {
  Bytes out;
  ASSERT_EQ(fwimage::pack(compressible(50000), Form::Lzo, 0xA0200000, &out), "");
  fwimage::Parsed p;
  ASSERT_EQ(fwimage::parse(out.data(), out.size(), &p), "");
  p.payload.resize(p.payload.size() / 2);  // cut off
  Bytes image{1};
  EXPECT_NE(fwimage::unpack(p, &image), "");
  EXPECT_TRUE(image.empty());
}

// build/bin/fwpack writes exactly what pack() makes and refuses with exit code 1.
TEST(FwPack, PacksAFileAndRefusesABadAddress) {
  const char* build = getenv("QUELMARK_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  const std::string exe = std::string(build) + "/bin/fwpack";
  char dir_template[] = "/tmp/fwpack_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template, in = dir + "/in.bin", out = dir + "/out.fw";
  Bytes image = compressible(9000);
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());

  auto run = [&](const std::string& args) {
    int st = system((exe + " " + args + " >" + dir + "/log 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  ASSERT_EQ(run("--lzo --load-address 0xA0200000 " + in + " " + out), 0);
  std::ifstream f(out, std::ios::binary);
  Bytes written((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  Bytes expected;
  ASSERT_EQ(fwimage::pack(image, Form::Lzo, 0xA0200000, &expected), "");
  EXPECT_EQ(written, expected);

  EXPECT_EQ(run("--plain --load-address 0x7FFF0000 " + in + " " + dir + "/bad.fw"), 1);
  EXPECT_NE(access((dir + "/bad.fw").c_str(), F_OK), 0) << "a refused image leaves no file";
  EXPECT_EQ(run("--plain " + in + " " + out), 2);
  EXPECT_EQ(run("--plain --load-address 12x " + in + " " + out), 2);
  system(("rm -rf " + dir).c_str());
}

}  // namespace
