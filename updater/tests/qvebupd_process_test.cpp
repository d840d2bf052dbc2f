// The built qvebupd as a process: arguments that end it before anything, no
// answer on a loopback port, and, against the library's test peer playing the
// terminal on 127.0.0.1, the command sequences and the image byte for byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process_runner.h"

#ifndef QVEBUPD_NO_PROGRAM

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

}  // namespace

#else
TEST(QvebupdProcess, NotBuilt) { GTEST_SKIP() << "qvebupd is not built (no libvordlix)"; }
#endif
