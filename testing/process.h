// Programs as tests run them: one child process with its standard output read
// for the "listening on ADDRESS:PORT" line (and "command port PATH", when the
// program prints one), stopped by SIGTERM or killed with the fixture.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qtest {

// The build tree: QUELMARK_BUILD_DIR, else the parent of this test's folder.
std::string build_dir();
// build/bin/NAME.
std::string program(const std::string& name);

class Process {
 public:
  // Starts `exe` with `args`; `env` entries NAME=VALUE are added to (or replace
  // those of) this process's environment. Standard error goes to `err_file`
  // when given, else it is inherited.
  Process(const std::string& exe, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {}, const std::string& err_file = "");
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Reads standard output until "listening on ADDRESS:PORT" (and, when
  // `command_port`, "command port PATH") has arrived; false when the program
  // ends first or `timeout_ms` pass.
  bool wait_listening(bool command_port = true, int timeout_ms = 20000);

  // SIGTERM, then the exit status (128 + signal when killed).
  int stop();
  // Waits for the program to end by itself; its exit status.
  int wait_exit();
  // Sends a signal without waiting.
  void signal(int sig);
  pid_t pid() const { return pid_; }
  // Everything read from standard output so far.
  const std::string& output() const { return out_text_; }

  std::string address;  // "127.0.0.1"
  uint16_t port = 0;
  std::string pty;       // the command port's device, when printed

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string out_text_;
};

// quelmark-sim with its ready lines read: the common case of the tests.
class Sim : public Process {
 public:
  explicit Sim(const std::vector<std::string>& args, const std::string& err_file = "")
      : Process(program("quelmark-sim"), args, {}, err_file) {}
  bool wait_ready() { return wait_listening(true); }
};

}  // namespace qtest
