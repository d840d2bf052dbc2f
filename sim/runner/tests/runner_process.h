// Helpers of the runner tests: command packets, files, and quelmark-sim
// processes (testing/).
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/process.h"
#include "testing/reference.h"

namespace runnertest {

using qtest::Bytes;
using Clock = std::chrono::steady_clock;

using qtest::le16;
using qtest::put_le16;
using qtest::put_le32;
using qtest::u32s;
inline uint16_t inet_sum(const uint8_t* p, size_t n) { return qtest::ref_checksum(p, n); }
inline Bytes command(uint16_t cmd, uint16_t conn, uint16_t seq, const Bytes& data = {}) {
  return qtest::packet(cmd, conn, seq, data);
}

inline Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), b.size());
}

inline std::string sim_exe() { return qtest::program("quelmark-sim"); }
using qtest::Sim;

}  // namespace runnertest
