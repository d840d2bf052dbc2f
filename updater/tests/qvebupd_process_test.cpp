// The built qvebupd as a process: arguments that end it before anything, no
// answer on a loopback port, and, against the library's test peer playing the
// terminal on 127.0.0.1, the command sequences and the image byte for byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/program_runner.h"
#include "vordlix/testpeer/test_peer.h"

namespace {

const std::string kProgram = QVEBUPD_PROGRAM;

// A UDP port on 127.0.0.1 that is open but never answers.
class SilentPort {
 public:
  SilentPort() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentPort() { close(fd_); }
  int port() const { return port_; }
  // Whether anything arrived (the connect attempts).
  bool Received() const {
    char b[2048];
    return recv(fd_, b, sizeof b, MSG_DONTWAIT) > 0;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST(QvebupdProcess, BadSecondArgumentsEndWithOneAndNoOutput) {
  ProcessRunner runner;
  for (const char* port : {"abc", "", "12ab", "-1", "$FFFFFFFF", "4370 "}) {
    SCOPED_TRACE(port);
    const RunResult r = runner.Run(kProgram, {"127.0.0.1", port});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(runner.ArpRequests(0).empty()) << "nothing started before the arguments are good";
}

TEST(QvebupdProcess, NoAnswerGivesFailAnd100AfterTheArpFlush) {
  ProcessRunner runner;
  SilentPort silent;
  const std::string port = std::to_string(silent.port());
  // Third argument ignored; the address is shown as given and flushed upper-cased.
  const RunResult r = runner.Run(kProgram, {"127.0.0.1", port, "ignored"});
  EXPECT_EQ(r.exitCode, 100);
  EXPECT_EQ(r.out, "Connect to device with 127.0.0.1, " + port + " ... Fail!\r\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(silent.Received()) << "a connect was attempted on loopback";
  EXPECT_EQ(runner.ArpRequests(3),
            (std::vector<std::string>{"neigh flush all", "neigh flush to 127.0.0.1",
                                      "neigh flush to 192.168.1.201"}));
}

using vordlix::testpeer::Packet;
using vordlix::testpeer::Reply;
using vordlix::testpeer::TestPeer;

const std::string kOk =
    " ... OK!\r\nUpgrading bootloader, Please wait... \r\nOK! Please Restart the device.\r\n";
const std::string kFail = " ... OK!\r\nUpgrading bootloader, Please wait... \r\nFail!\r\n";

std::string Image() { return ProcessRunner::Slurp(QVEBUPD_EMBEDDED_IMAGE); }

// The updater's own commands in the peer's log (the library's connect, block
// hand-over and disconnect left out), repeats excluded.
std::vector<int> UpdaterCommands(const std::vector<Packet>& log) {
  std::vector<int> v;
  for (const Packet& p : log) {
    if (!p.repeat && (p.command == 1003 || p.command == 110 || p.command == 1004)) v.push_back(p.command);
  }
  return v;
}

class QvebupdPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = TestPeer::StartUdp();
    port_ = std::to_string(peer_->port());
  }
  RunResult Run() { return runner_.Run(kProgram, {"127.0.0.1", port_}); }
  std::string Connecting() const { return "Connect to device with 127.0.0.1, " + port_; }
  // The peer's log once the disconnect that ends every connected run has arrived.
  std::vector<Packet> Log() const {
    peer_->WaitFor([](const std::vector<Packet>& l) { return !l.empty() && l.back().command == 1001; }, 10000);
    return peer_->Log();
  }
  ProcessRunner runner_;
  std::unique_ptr<TestPeer> peer_;
  std::string port_;
};

TEST_F(QvebupdPeer, SendsTheImageByteForByteWithEightZeroParameterBytes) {
  const RunResult r = Run();
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, Connecting() + kOk);
  EXPECT_EQ(r.err, "");
  const std::vector<Packet> log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front().command, 1000);
  EXPECT_EQ(log.back().command, 1001) << "closed";
  EXPECT_EQ(UpdaterCommands(log), (std::vector<int>{1003, 110, 1004}));
  // The peer records the block with every command that follows its hand-over.
  std::vector<vordlix::testpeer::Transfer> transfers;
  for (const auto& t : peer_->Transfers()) {
    if (t.command == 110) transfers.push_back(t);
  }
  ASSERT_EQ(transfers.size(), 1u);
  const std::string image = Image();
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(transfers[0].announced, image.size());
  EXPECT_TRUE(std::string(transfers[0].block.begin(), transfers[0].block.end()) == image)
      << "the block differs from the embedded image";
  EXPECT_EQ(transfers[0].params, std::vector<uint8_t>(8, 0));
  EXPECT_EQ(runner_.ArpRequests(3).size(), 3u);
}

TEST_F(QvebupdPeer, AFirstRefusalIsFollowedByASecondAttempt) {
  int seen110 = 0;
  peer_->SetHandler([&seen110](const Packet& p) -> std::optional<Reply> {
    if (p.command == 110 && ++seen110 == 1) return Reply{2001, {}};
    return std::nullopt;
  });
  const RunResult r = Run();
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, Connecting() + kOk);
  EXPECT_EQ(UpdaterCommands(Log()), (std::vector<int>{1003, 110, 1003, 110, 1004}));
}

TEST_F(QvebupdPeer, FiveRefusalsEndWith103WithoutFinishing) {
  // 2000 to every 1003: only the answer to 110 counts.
  peer_->SetReply(1003, Reply{2000, {}});
  peer_->SetReply(110, Reply{2001, {}});
  const RunResult r = Run();
  EXPECT_EQ(r.exitCode, 103);
  EXPECT_EQ(r.out, Connecting() + kFail);
  const std::vector<Packet> log = Log();
  EXPECT_EQ(UpdaterCommands(log), (std::vector<int>{1003, 110, 1003, 110, 1003, 110, 1003, 110, 1003, 110}));
  EXPECT_EQ(log.back().command, 1001) << "closed before the end";
}

TEST(QvebupdSerial, ComOneUsesTheSerialLineAndNoArpFlush) {
  auto peer = TestPeer::StartSerial();
  ProcessRunner runner;
  runner.SetEnv("VORDLIX_COM1=" + peer->device());
  const RunResult r = runner.Run(kProgram, {"COM1"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Connect to device with COM1, 1" + kOk);
  peer->WaitFor([](const std::vector<Packet>& l) { return !l.empty() && l.back().command == 1001; }, 10000);
  EXPECT_EQ(UpdaterCommands(peer->Log()), (std::vector<int>{1003, 110, 1004}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(runner.ArpRequests(0).empty());
}

}  // namespace

