// Host-side helpers of the ARM engine's process tests: a UDP host, a serial-frame
// host on the pseudo-terminal, and qvebupd run with a recording ARP utility.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <optional>

#include "sim/runner/tests/runner_process.h"

extern char** environ;

namespace armtest {

using runnertest::Bytes;
using runnertest::le16;
using runnertest::put_le16;

class UdpHost {
 public:
  explicit UdpHost(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&me), sizeof me);
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to_.sin_port = htons(port);
  }
  ~UdpHost() { close(fd_); }
  void send(const Bytes& p) {
    sendto(fd_, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_);
  }
  std::optional<Bytes> receive(int ms = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return std::nullopt;
    uint8_t buf[2048];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return Bytes(buf, buf + n);
  }
  // One request and its final reply; 1500/1501 packets of a memory read go to
  // `chunks`.
  Bytes call(const Bytes& p, std::vector<Bytes>* chunks = nullptr, int ms = 5000) {
    send(p);
    for (;;) {
      std::optional<Bytes> r = receive(ms);
      if (!r) return {};
      if (r->size() >= 2 && (le16(*r, 0) == 1500 || le16(*r, 0) == 1501)) {
        if (chunks) chunks->push_back(*r);
        continue;
      }
      return *r;
    }
  }

 private:
  int fd_;
  sockaddr_in to_{};
};

// Serial frames on the command port's pseudo-terminal.
class SerialHost {
 public:
  explicit SerialHost(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
    tcflush(fd_, TCIOFLUSH);
  }
  ~SerialHost() { close(fd_); }
  bool ok() const { return fd_ >= 0; }
  static Bytes frame(const Bytes& packet) {
    Bytes f = {1, 1, 0x81, 0x7E, 0, 0, 0, 0};
    put_le16(f, 4, packet.size());
    f.insert(f.end(), packet.begin(), packet.end());
    put_le16(f, 6, runnertest::inet_sum(f.data(), f.size()));
    return f;
  }
  void write_bytes(const Bytes& b) { (void)!write(fd_, b.data(), b.size()); }
  // One packet in a frame, then reply frames until one that is not a 1500/1501
  // packet; returns its packet (empty on time-out).
  Bytes call(const Bytes& packet, std::vector<Bytes>* chunks = nullptr) {
    write_bytes(frame(packet));
    return receive(chunks);
  }
  Bytes receive(std::vector<Bytes>* chunks = nullptr, int seconds = 5) {
    for (;;) {
      Bytes head = read_n(8, seconds);
      if (head.size() < 8) return {};
      Bytes body = read_n(le16(head, 4), seconds);
      Bytes whole = head;
      whole.insert(whole.end(), body.begin(), body.end());
      uint16_t sum = le16(whole, 6);
      put_le16(whole, 6, 0);
      EXPECT_EQ(runnertest::inet_sum(whole.data(), whole.size()), sum) << "frame checksum";
      if (body.size() >= 2 && (le16(body, 0) == 1500 || le16(body, 0) == 1501)) {
        if (chunks) chunks->push_back(body);
        continue;
      }
      return body;
    }
  }

 private:
  Bytes read_n(size_t n, int seconds) {
    Bytes out;
    auto until = runnertest::Clock::now() + std::chrono::seconds(seconds);
    while (out.size() < n && runnertest::Clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      uint8_t buf[4096];
      ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (got > 0) out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  int fd_;
};

// Runs build/bin/qvebupd with the given arguments; the ARP utility is a
// recorder in `dir`, so the machine's neighbour cache is never touched.
inline int run_qvebupd(const std::string& dir, const std::vector<std::string>& args,
                       const std::vector<std::string>& extra_env = {}, std::string* out = nullptr) {
  const std::string build = std::getenv("QUELMARK_BUILD_DIR") ? std::getenv("QUELMARK_BUILD_DIR") : ".";
  const std::string exe = build + "/bin/qvebupd";
  const std::string recorder = dir + "/ip";
  {
    std::ofstream f(recorder);
    f << "#!/bin/sh\necho \"$*\" >> '" << dir << "/arp.log'\n";
  }
  chmod(recorder.c_str(), 0755);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    if (s.rfind("PATH=", 0) == 0 || s.rfind("QVEBUPD_ARP=", 0) == 0 ||
        s.rfind("VORDLIX_", 0) == 0)
      continue;
    env.push_back(s);
  }
  const char* path = getenv("PATH");
  env.push_back("PATH=" + dir + ":" + (path ? path : "/usr/bin:/bin"));
  env.push_back("QVEBUPD_ARP=" + recorder);
  env.push_back("VORDLIX_LOCAL_PORT=0");
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<std::string> argv{exe};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv, cenv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (std::string& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  const std::string out_file = dir + "/qvebupd.out";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  int rc = -1;
  if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, cargv.data(), cenv.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&fa);
  if (out) {
    Bytes o = runnertest::read_file(out_file);
    out->assign(o.begin(), o.end());
  }
  return rc;
}

}  // namespace armtest
