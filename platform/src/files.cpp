#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace platform {

std::string CurrentDirectory() {
  std::vector<char> buf(4096);
  for (;;) {
    if (getcwd(buf.data(), buf.size()) != nullptr) return std::string(buf.data());
    if (errno != ERANGE || buf.size() > (1u << 20)) return std::string();
    buf.resize(buf.size() * 2);
  }
}

std::string ExecutableDirectory() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  std::string exe(buf.data(), static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool FileSize(const std::string& path, uint64_t* size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool ok = fstat(fd, &st) == 0;
  close(fd);
  if (ok) *size = static_cast<uint64_t>(st.st_size);
  return ok;
}

namespace {
bool ReadAll(int fd, std::string* out, uint64_t limit) {
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (data.size() + static_cast<uint64_t>(n) > limit) return false;
    data.append(buf, static_cast<std::size_t>(n));
  }
  out->swap(data);
  return true;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}
}  // namespace

bool ReadFile(const std::string& path, std::string* out, uint64_t limit) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ReadAll(fd, out, limit);
  close(fd);
  return ok;
}

bool IsExecutableWithContent(const std::string& path, const std::string& data) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) != data.size()) return false;
  if (access(path.c_str(), X_OK) != 0) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::string onDisk;
  const bool ok = ReadAll(fd, &onDisk, data.size());
  close(fd);
  return ok && onDisk == data;
}

bool ReplaceFile(const std::string& path, const std::string& data, unsigned mode) {
  std::string tmp = path + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data) && fchmod(fd, static_cast<mode_t>(mode)) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(name.data(), path.c_str()) == 0;
  if (!ok) unlink(name.data());
  return ok;
}

bool DeleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace platform
