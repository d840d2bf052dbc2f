// The program run in-process for tests: the real library, the console captured,
// no settle pauses, the boot-loader image given by the test.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/host.h"
#include "cli/quelmark.h"
#include "testing/loopback_namespace.h"

namespace clitest {

// A folder of this test program's own under the system's temporary folder,
// removed when the program ends.
inline const std::string& TempFolder() {
  static const std::string dir = [] {
    const std::string d = ::testing::TempDir() + "quelmark-cli-test-" + std::to_string(getpid());
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}
inline std::string TempPath(const std::string& name) { return TempFolder() + "/" + name; }

// Every test program here runs in a network namespace that holds only loopback
// where the system allows it (as root), before any test starts a thread; its
// temporary folder goes at the end.
class LoopbackOnly : public ::testing::Environment {
 public:
  void SetUp() override { qtest::enter_loopback_only_namespace(); }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(TempFolder(), ignored);
  }
};
inline ::testing::Environment* const kLoopbackOnly = ::testing::AddGlobalTestEnvironment(new LoopbackOnly);

class TestHost : public qcli::RealHost {
 public:
  void Out(const std::string& t) override {
    std::lock_guard<std::mutex> lock(m_);
    out += t;
  }
  void Err(const std::string& t) override {
    std::lock_guard<std::mutex> lock(m_);
    err += t;
  }
  bool ErrIsTerminal() override { return false; }
  void Sleep(uint32_t ms) override { slept += ms; }
  bool BootImage(std::string* i) override {
    *i = image;
    return !image.empty();
  }
  std::string out, err, image;
  uint64_t slept = 0;

 private:
  std::mutex m_;
};

// Runs the program with a fresh host; the console and the exit code.
struct Result {
  int code;
  std::string out, err;
  uint64_t slept;
};

inline Result RunCli(const std::vector<std::string>& args, const std::string& image = "") {
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  TestHost host;
  host.image = image;
  const int code = qcli::Main(host, args);
  return {code, host.out, host.err, host.slept};
}

}  // namespace clitest
