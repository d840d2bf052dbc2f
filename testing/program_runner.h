// Runs a built program (qvebupd, quelmark) as a process, the way a technician or the tool does,
// with its standard output and error captured byte for byte. The ARP utility is
// always a recorder: named by QVEBUPD_ARP and also first on PATH as "ip", so that
// the machine's neighbour cache is never touched, even by a slip.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/arp_recorder.h"

extern char** environ;

struct RunResult {
  int exitCode = -1;
  std::string out, err;
};

class ProcessRunner {
 public:
  ProcessRunner() {
    char tmpl[] = "/tmp/qvebupd_process.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
  }
  ~ProcessRunner() { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // Extra environment entries NAME=VALUE for the next runs.
  void SetEnv(const std::string& entry) { extra_.push_back(entry); }

  RunResult Run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      if (entry.rfind("PATH=", 0) == 0 || entry.rfind("QVEBUPD_ARP=", 0) == 0 ||
          entry.rfind("VORDLIX_", 0) == 0) {
        continue;
      }
      env.push_back(entry);
    }
    for (const std::string& e : arp_.env()) env.push_back(e);
    env.push_back("VORDLIX_LOCAL_PORT=0");
    env.insert(env.end(), extra_.begin(), extra_.end());

    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv, cenv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (std::string& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    const std::string outFile = dir_ + "/out", errFile = dir_ + "/err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    RunResult r;
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, cargv.data(), cenv.data()) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = Slurp(outFile);
    r.err = Slurp(errFile);
    return r;
  }

  // The recorded ARP requests once `count` have arrived (they run on their own),
  // sorted: the processes run side by side, so their order of arrival is free.
  std::vector<std::string> ArpRequests(std::size_t count) const { return arp_.requests(count); }

  const std::string& dir() const { return dir_; }

  static std::string Slurp(const std::string& file) {
    std::ifstream f(file, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> v;
    std::stringstream s(text);
    for (std::string l; std::getline(s, l);) v.push_back(l);
    return v;
  }

 private:
  std::string dir_;
  qtest::ArpRecorder arp_;
  std::vector<std::string> extra_;
};
