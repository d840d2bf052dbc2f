// Several simulated terminals in loader mode (build/bin/quelmark-sim) at once,
// reached from one process through one shared local port.
//
// The runner's bridge makes every host socket a station of its own in the
// emulated Ethernet and hands the loader's replies (addressed to port 4370 of that
// station) back to the socket the request came from. So here the replies reach
// the shared socket because the requests leave from it; that a terminal answering
// a fixed port is served all the same is shown against the test peer
// (vordlix_api_test). What this test shows with the real loader logic: one socket
// carries the conversations with several terminals at once, interleaved and from
// several threads, and each reply reaches its own connection by the terminal's
// address and port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <vordlix/vordlix.h>

#include "testing/loopback_namespace.h"
#include "testing/process.h"
#include "vordlix/src/wire.h"

namespace vordlix {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int32_t kLimitMs = 20000;  // flash writes on a loaded machine take their time
constexpr uint32_t kWindow = 0xFF800000;

// The test process and the terminals it starts get a network of their own that
// holds only loopback, where the system allows it (as root).
void IsolateNetwork() { qtest::enter_loopback_only_namespace(); }

// One quelmark-sim process in loader mode on 127.0.0.1 (a port the system
// chooses): the host-built loader, which runs whatever image its flash holds.
class SimTerminal {
 public:
  SimTerminal(const std::string& dir, const Bytes& image) {
    const std::string img = dir + "/image.bin";
    std::ofstream(img, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                               static_cast<std::streamsize>(image.size()));
    sim_ = std::make_unique<qtest::Process>(
        qtest::program("quelmark-sim"),
        std::vector<std::string>{"--loader", "--engine", "native", "--udp", "127.0.0.1:0", "--flash",
                                 dir + "/flash.bin", "--image", img, "--panel-log", dir + "/panel.log"});
  }

  // The port of "listening on 127.0.0.1:PORT"; 0 when it does not come.
  uint16_t WaitReady() { return sim_->wait_listening(false) ? sim_->port : 0; }

 private:
  std::unique_ptr<qtest::Process> sim_;
};

Bytes Pattern(std::size_t n, uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

// Command 111: length bytes from address; empty on failure.
Bytes ReadMemory(int32_t h, uint32_t address, uint32_t length) {
  Bytes buf(length < 8 ? 8 : length);
  wire::Put32(&buf[0], address);
  wire::Put32(&buf[4], length);
  uint16_t reply = 111;
  if (VORDLIX_SENDCMD(h, &reply, buf.data(), static_cast<int32_t>(buf.size()), 8, kLimitMs) != VORDLIX_OK ||
      reply != 2000)
    return {};
  buf.resize(length);
  return buf;
}

std::string Version(int32_t h) {
  char text[32] = {};
  uint16_t reply = 1100;
  if (VORDLIX_SENDCMD(h, &reply, text, sizeof text, 0, kLimitMs) != VORDLIX_OK || reply != 2000) return "";
  return text;
}

// 1500, the chunks, then 110 with target 7 (flash offset = parameter).
bool WriteFlash(int32_t h, uint32_t offset, const Bytes& data) {
  uint8_t params[8];
  wire::Put32(params, 7);
  wire::Put32(params + 4, offset);
  uint16_t reply = 110;
  return VORDLIX_SENDCMDDATA(h, &reply, data.data(), static_cast<int32_t>(data.size()), params, 8, kLimitMs) ==
             VORDLIX_OK &&
         reply == 2000;
}

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

class VordlixSimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { IsolateNetwork(); }
  void SetUp() override {
    char tmpl[] = "/tmp/vordlix-sim-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    terminals_.clear();
    std::system(("rm -rf " + dir_).c_str());
    setenv("VORDLIX_LOCAL_PORT", "0", 1);
  }
  // Starts n terminals, each with its own boot image; returns their ports.
  std::vector<uint16_t> Start(int n) {
    std::vector<uint16_t> ports;
    for (int i = 0; i < n; ++i) {
      const std::string dir = dir_ + "/t" + std::to_string(i);
      ::mkdir(dir.c_str(), 0700);
      images_.push_back(Pattern(4096, static_cast<uint8_t>(40 * i + 1)));
      terminals_.push_back(std::make_unique<SimTerminal>(dir, images_.back()));
    }
    for (auto& t : terminals_) ports.push_back(t->WaitReady());
    return ports;
  }

  std::string dir_;
  std::vector<Bytes> images_;
  std::vector<std::unique_ptr<SimTerminal>> terminals_;
};

TEST_F(VordlixSimTest, SeveralLoadersThroughOneLocalPortInTurnAndFromThreads) {
  constexpr int kTerminals = 3;
  const auto ports = Start(kTerminals);
  for (uint16_t p : ports) ASSERT_NE(p, 0);
  setenv("VORDLIX_LOCAL_PORT", std::to_string(FreePort()).c_str(), 1);

  std::vector<int32_t> handles;
  for (int i = 0; i < kTerminals; ++i) {
    handles.push_back(VORDLIX_INIT("vxnet.dll", "127.0.0.1", ports[i], 0, kLimitMs, 0));
    ASSERT_NE(handles[i], 0) << "terminal " << i;
  }
  // In turn: each connection reads its own terminal's boot image.
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < kTerminals; ++i) {
      EXPECT_EQ(Version(handles[i]), "BLDR Apr 14 2004") << "terminal " << i;
      EXPECT_EQ(ReadMemory(handles[i], kWindow, 4096), images_[i]) << "terminal " << i;
    }

  // From threads at once: each writes a block of its own into its terminal's flash
  // and reads it back, between reads of the boot image.
  std::vector<int> good(kTerminals, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kTerminals; ++i)
    threads.emplace_back([&, i] {
      const Bytes block = Pattern(3000, static_cast<uint8_t>(200 + i));
      for (int n = 0; n < 4; ++n) {
        good[i] += ReadMemory(handles[i], kWindow, 4096) == images_[i];
        good[i] += Version(handles[i]) == "BLDR Apr 14 2004";
      }
      good[i] += WriteFlash(handles[i], 0x100000, block);
      good[i] += ReadMemory(handles[i], kWindow + 0x100000, 3000) == block;
      good[i] += ReadMemory(handles[i], kWindow, 65536) == [&] {
        Bytes b = images_[i];
        b.resize(65536, 0xFF);
        return b;
      }();
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kTerminals; ++i) EXPECT_EQ(good[i], 11) << "terminal " << i;

  for (int32_t h : handles) EXPECT_EQ(VORDLIX_CLOSE(h), VORDLIX_OK);
}

}  // namespace
}  // namespace vordlix
