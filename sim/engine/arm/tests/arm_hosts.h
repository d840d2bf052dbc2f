// Host-side helpers of the ARM engine's process tests: the UDP and serial-frame
// hosts of testing/, and qvebupd run with a recording ARP utility.
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
#include "testing/arp_recorder.h"
#include "testing/terminal_hosts.h"

extern char** environ;

namespace armtest {

using runnertest::Bytes;
using runnertest::le16;
using runnertest::put_le16;

using UdpHost = qtest::UdpHost;
using SerialHost = qtest::SerialHost;

// Runs build/bin/qvebupd with the given arguments; the ARP utility is a
// recorder (testing/arp_recorder.h), so the machine's neighbour cache is never touched.
inline int run_qvebupd(const std::string& dir, const std::vector<std::string>& args,
                       const std::vector<std::string>& extra_env = {}, std::string* out = nullptr) {
  const std::string build = std::getenv("QUELMARK_BUILD_DIR") ? std::getenv("QUELMARK_BUILD_DIR") : ".";
  const std::string exe = build + "/bin/qvebupd";
  qtest::ArpRecorder arp;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    if (s.rfind("PATH=", 0) == 0 || s.rfind("QVEBUPD_ARP=", 0) == 0 ||
        s.rfind("VORDLIX_", 0) == 0)
      continue;
    env.push_back(s);
  }
  for (const std::string& e : arp.env()) env.push_back(e);
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
