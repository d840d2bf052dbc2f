// Helpers of the runner tests: command packets, files, and one quelmark-sim
// process with its ready lines.
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

namespace runnertest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline uint16_t inet_sum(const uint8_t* p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i + 1 < n; i += 2) s += p[i] | (p[i + 1] << 8);
  if (n & 1) s += p[n - 1];
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(~s);
}
inline uint32_t le16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
inline void put_le16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(Bytes& b, size_t at, uint32_t v) {
  put_le16(b, at, v);
  put_le16(b, at + 2, v >> 16);
}

inline Bytes command(uint16_t cmd, uint16_t conn, uint16_t seq, const Bytes& data = {}) {
  Bytes p(8, 0);
  put_le16(p, 0, cmd);
  put_le16(p, 4, conn);
  put_le16(p, 6, seq);
  p.insert(p.end(), data.begin(), data.end());
  put_le16(p, 2, inet_sum(p.data(), p.size()));
  return p;
}

inline Bytes u32s(std::initializer_list<uint32_t> values) {
  Bytes b;
  for (uint32_t v : values) {
    b.resize(b.size() + 4);
    put_le32(b, b.size() - 4, v);
  }
  return b;
}

inline Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), b.size());
}

// build/bin/quelmark-sim: from QUELMARK_BUILD_DIR, else beside this test's
// folder (build/tests).
inline std::string sim_exe() {
  if (const char* b = getenv("QUELMARK_BUILD_DIR")) return std::string(b) + "/bin/quelmark-sim";
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self(buf, n > 0 ? n : 0);
  return self.substr(0, self.rfind('/')) + "/../bin/quelmark-sim";
}

// One quelmark-sim process.
class Sim {
 public:
  explicit Sim(const std::vector<std::string>& args) {
    std::string exe = sim_exe();
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv{const_cast<char*>(exe.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~Sim() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // Reads standard output until the two ready lines (or the time runs out).
  bool wait_ready() {
    std::string text;
    auto until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      text.append(buf, n);
      size_t a = text.find("listening on 127.0.0.1:");
      size_t b = text.find("command port ");
      if (a != std::string::npos && b != std::string::npos && text.find('\n', b) != std::string::npos) {
        port = static_cast<uint16_t>(atoi(text.c_str() + a + strlen("listening on 127.0.0.1:")));
        size_t e = text.find('\n', b);
        pty = text.substr(b + strlen("command port "), e - b - strlen("command port "));
        return true;
      }
    }
    return false;
  }

  // SIGTERM, then the exit status.
  int stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Waits for the process to end by itself; returns its exit status and output.
  int wait_exit() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  uint16_t port = 0;
  std::string pty;

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

}  // namespace runnertest
