// build/bin/powercut: power cuts at the flash operations of a write, on the real
// boot-loader image (see power_cut.h). For each scenario it prints the flash
// operations of a clean write, what comes up after a cut at each sampled
// operation, and for boot-loader writes the cut points (and the span of flash
// time) that leave a terminal unable to reach loader mode.
//
//   powercut [--stride N] [--scenario NAME]
//
// Every operation is sampled up to 64 and the last 16; in between every N-th
// (default 256), and the edges of the window where the terminal cannot reach
// loader mode are found exactly by bisection.
#include <lzo/lzo1x.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <unistd.h>

#include "sim/engine/arm/bench/power_cut.h"

namespace {

using powercut::Bytes;
using powercut::Outcome;
using powercut::Scenario;

Bytes lzo(const Bytes& in) {
  lzo_init();
  Bytes out(in.size() + in.size() / 16 + 64 + 3);
  std::vector<uint8_t> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint n = out.size();
  lzo1x_1_compress(in.data(), in.size(), out.data(), &n, work.data());
  out.resize(n);
  return out;
}

Bytes padded_program(uint32_t marker, size_t size) {
  Bytes p = armtest::doorbell_program(marker);
  for (size_t i = p.size(); i < size; ++i) p.push_back(static_cast<uint8_t>(i * 37 + marker));
  return p;
}

Bytes base_flash(bool old_loader) {
  Bytes f(sim::FlashModel::kSize, 0xFF);
  const Bytes& img = armtest::boot_image();
  std::copy(img.begin(), img.end(), f.begin());
  if (old_loader) {
    const char text[] = "BLDR Jan 02 2003";
    std::copy(text, text + 16, f.begin() + 0x3E20);
    for (size_t i = img.size(); i < 0x10000; ++i) f[i] = static_cast<uint8_t>(i * 29 + 3);
  }
  return f;
}

std::vector<Scenario> scenarios() {
  std::vector<Scenario> out;
  for (uint16_t id : {uint16_t(0x22C4), uint16_t(0x2249)}) {
    Scenario s;
    s.name = std::string("boot loader (110 target 0), ") + (id == 0x22C4 ? "0x22C4" : "0x2249");
    s.flash_id = id;
    s.target = 0;
    s.data = armtest::boot_image();
    s.flash = base_flash(true);
    s.dest = 0;
    s.expect = s.data;
    out.push_back(s);
  }
  const Bytes old_fw = padded_program(0xAAAA, 2048), new_fw = padded_program(0xBBBB, 2048);
  for (uint32_t target : {1u, 2u}) {
    Scenario s;
    s.name = target == 1 ? "main firmware, plain (110 target 1), 0x22C4"
                         : "main firmware, LZO1X (110 target 2), 0x22C4";
    s.target = target;
    s.param = 0xA0200000;
    s.data = target == 1 ? new_fw : lzo(new_fw);
    s.flash = base_flash(false);
    Bytes old = armtest::firmware(target == 1 ? 0x010B : 0x000B, 0xA020,
                                  target == 1 ? old_fw : lzo(old_fw));
    std::copy(old.begin(), old.end(), s.flash.begin() + 0x10000);
    s.old_sum = armtest::byte_sum(Bytes(old_fw.begin(), old_fw.begin() + 0x40));
    s.new_sum = armtest::byte_sum(Bytes(new_fw.begin(), new_fw.begin() + 0x40));
    s.dest = 0x10000;
    s.expect = armtest::firmware(target == 1 ? 0x010B : 0x000B, 0xA020, s.data);
    out.push_back(s);
  }
  return out;
}

void run(const Scenario& s, uint64_t stride) {
  auto t0 = std::chrono::steady_clock::now();
  powercut::Write clean = powercut::write(s, 0);
  printf("\n%s\n  clean write: reply %u, %llu flash operations, %.1f ms of flash time\n",
         s.name.c_str(), clean.reply, (unsigned long long)clean.operations,
         clean.ticks.empty() ? 0.0
                             : (clean.ticks.back() - clean.ticks.front()) * 1000.0 / sim::OsTimer::kHz);
  const uint64_t n = clean.operations;
  std::map<uint64_t, Outcome> seen;
  std::map<uint64_t, bool> retried;
  const bool firmware = s.target != 0;
  auto probe = [&](uint64_t k) {
    auto it = seen.find(k);
    if (it != seen.end()) return it->second;
    powercut::Write w = powercut::write(s, k);
    bool again = false;
    Outcome o = powercut::boot(s, w.flash, firmware, &again);
    seen[k] = o;
    if (firmware && o == Outcome::Loader) retried[k] = again;
    return o;
  };
  std::set<uint64_t> points;
  for (uint64_t k = 1; k <= n && k <= 64; ++k) points.insert(k);
  for (uint64_t k = n > 16 ? n - 15 : 1; k <= n; ++k) points.insert(k);
  for (uint64_t k = stride; k <= n; k += stride) points.insert(k);
  for (uint64_t k : points) probe(k);
  // The window where no loader comes up: bisect its edges between samples.
  auto bad = [&](Outcome o) { return o == Outcome::Stuck; };
  uint64_t first = 0, last = 0;
  for (auto& [k, o] : seen)
    if (bad(o)) {
      if (!first) first = k;
      last = k;
    }
  if (first) {
    auto prev_good = [&](uint64_t k) {
      uint64_t g = 0;
      for (auto& [j, o] : seen) if (j < k && !bad(o)) g = j;
      return g;
    };
    uint64_t lo = prev_good(first), hi = first;  // lo good (or 0), hi bad
    while (hi - lo > 1) {
      uint64_t mid = lo + (hi - lo) / 2;
      (bad(probe(mid)) ? hi : lo) = mid;
    }
    first = hi;
    uint64_t next_good = n + 1;
    for (auto& [j, o] : seen) if (j > last && !bad(o)) { next_good = j; break; }
    lo = last;
    hi = next_good;  // lo bad, hi good (or past the end)
    while (hi - lo > 1) {
      uint64_t mid = lo + (hi - lo) / 2;
      (bad(probe(mid)) ? lo : hi) = mid;
    }
    last = lo;
  }
  std::map<Outcome, uint64_t> counts;
  for (auto& [k, o] : seen) ++counts[o];
  printf("  %zu cut points tried of %llu:", seen.size(), (unsigned long long)n);
  for (auto& [o, c] : counts) printf(" %s %llu;", powercut::name(o), (unsigned long long)c);
  printf("\n");
  if (firmware) {
    uint64_t ok = 0;
    for (auto& [k, r] : retried) ok += r;
    printf("  in loader mode, the upload taken again and written: %llu of %zu\n",
           (unsigned long long)ok, retried.size());
  }
  if (first) {
    uint64_t inside_good = 0;
    for (auto& [k, o] : seen) if (k >= first && k <= last && !bad(o)) ++inside_good;
    double ms = (clean.ticks[last - 1] - clean.ticks[first - 1]) * 1000.0 / sim::OsTimer::kHz;
    printf("  no loader mode after a cut at operations %llu to %llu: %llu of %llu cut points "
           "(%llu tried inside were fine), %.1f ms of flash time\n",
           (unsigned long long)first, (unsigned long long)last,
           (unsigned long long)(last - first + 1), (unsigned long long)n,
           (unsigned long long)inside_good, ms);
  } else {
    printf("  every cut point tried leaves a terminal that reaches loader mode or a firmware\n");
  }
  printf("  (%.1f s)\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t stride = 256;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--stride") && i + 1 < argc) stride = strtoull(argv[++i], nullptr, 0);
    else if (!strcmp(argv[i], "--scenario") && i + 1 < argc) only = argv[++i];
    else {
      fprintf(stderr, "usage: powercut [--stride N] [--scenario TEXT]\n");
      return 2;
    }
  }
  if (!getenv("QUELMARK_BUILD_DIR")) {  // build/bin/powercut: the build folder is ..
    std::string self(4096, '\0');
    ssize_t len = readlink("/proc/self/exe", self.data(), self.size() - 1);
    self.resize(len > 0 ? len : 0);
    setenv("QUELMARK_BUILD_DIR", (self.substr(0, self.rfind('/')) + "/..").c_str(), 1);
  }
  if (armtest::boot_image().empty()) {
    fprintf(stderr, "powercut: no firmware/bootloader.bin (set QUELMARK_BUILD_DIR)\n");
    return 1;
  }
  for (const Scenario& s : scenarios())
    if (only.empty() || s.name.find(only) != std::string::npos) run(s, stride ? stride : 1);
  return 0;
}
