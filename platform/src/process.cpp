#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace platform {

void Sleep(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;  // a word has begun (possibly an empty quoted one)
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

std::string FindInPath(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return std::string();
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::string();
  std::string all(path);
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    std::string dir = all.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

namespace {
// argv as the C array exec wants; the strings stay owned by `words`.
std::vector<char*> CArgv(const std::vector<std::string>& words) {
  std::vector<char*> v;
  v.reserve(words.size() + 1);
  for (const std::string& w : words) v.push_back(const_cast<char*>(w.c_str()));
  v.push_back(nullptr);
  return v;
}

int32_t WaitForExit(pid_t pid) {
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}
}  // namespace

int32_t RunAndWait(const std::string& program, const std::vector<std::string>& argv,
                   bool hidden) {
  if (program.empty()) return -1;
  const std::vector<std::string> words = argv.empty() ? std::vector<std::string>{program} : argv;
  std::vector<char*> cargv = CArgv(words);  // points into `words`

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (hidden) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  // posix_spawn (not spawnp): the program is the file at this path, no search.
  // glibc reports a failed exec (missing file, not executable) as its result.
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  return WaitForExit(pid);
}

bool StartDetached(const std::string& program, const std::vector<std::string>& argv) {
  if (program.empty()) return false;
  // Everything the children need is prepared here: after fork only
  // async-signal-safe calls are made (the caller may have threads).
  const std::vector<std::string> words = argv.empty() ? std::vector<std::string>{program} : argv;
  std::vector<char*> cargv = CArgv(words);  // points into `words`
  const char* path = program.c_str();

  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
      }
      execve(path, cargv.data(), environ);
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }
  // The intermediate process ends at once; reaping it hands the grandchild to init.
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace platform
