#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace qtest {

std::string build_dir() {
  if (const char* b = getenv("QUELMARK_BUILD_DIR")) return b;
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self(buf, n > 0 ? n : 0);
  std::string dir = self.substr(0, self.rfind('/'));
  return dir.substr(0, dir.rfind('/'));
}

std::string program(const std::string& name) { return build_dir() + "/bin/" + name; }

Process::Process(const std::string& exe, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::string& err_file) {
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const std::string& x : env)
      if (entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0) replaced = true;
    if (!replaced) envs.push_back(entry);
  }
  envs.insert(envs.end(), env.begin(), env.end());
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (!err_file.empty()) {
      int fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) dup2(fd, 2);
    }
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  out_ = out[0];
}

Process::~Process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

bool Process::wait_listening(bool command_port, int timeout_ms) {
  const std::string key = "listening on ";
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    size_t a = out_text_.find(key);
    size_t b = out_text_.find("command port ");
    bool have_a = a != std::string::npos && out_text_.find('\n', a) != std::string::npos;
    bool have_b = b != std::string::npos && out_text_.find('\n', b) != std::string::npos;
    if (have_a && (have_b || !command_port)) {
      std::string at = out_text_.substr(a + key.size(), out_text_.find('\n', a) - a - key.size());
      size_t colon = at.rfind(':');
      address = at.substr(0, colon);
      port = static_cast<uint16_t>(atoi(at.c_str() + colon + 1));
      if (have_b) {
        size_t e = out_text_.find('\n', b);
        pty = out_text_.substr(b + 13, e - b - 13);
      }
      return true;
    }
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    out_text_.append(buf, n);
  }
  return false;
}

void Process::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int Process::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  return wait_exit();
}

int Process::wait_exit() {
  if (pid_ <= 0) return -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace qtest
