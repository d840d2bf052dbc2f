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
#include "testing/process.h"
#include "testing/program_runner.h"
#include "testing/terminal_hosts.h"

extern char** environ;

namespace armtest {

using runnertest::Bytes;
using runnertest::le16;
using runnertest::put_le16;

using UdpHost = qtest::UdpHost;
using SerialHost = qtest::SerialHost;

// Runs build/bin/qvebupd with the given arguments (testing/program_runner.h:
// the ARP utility is a recorder, so the machine's neighbour cache is never touched).
inline int run_qvebupd(const std::string& dir, const std::vector<std::string>& args,
                       const std::vector<std::string>& extra_env = {}, std::string* out = nullptr) {
  ProcessRunner runner;
  for (const std::string& e : extra_env) runner.SetEnv(e);
  RunResult r = runner.Run(qtest::program("qvebupd"), args);
  if (out) *out = r.out;
  return r.exitCode;
}

}  // namespace armtest
