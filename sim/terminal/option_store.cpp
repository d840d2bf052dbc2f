#include "sim/terminal/option_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace sim::terminal {

namespace {

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    off += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

OptionStore::OptionStore(Entries defaults) : entries_(std::move(defaults)) {}

bool OptionStore::Storable(const std::string& name, const std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos) return false;
  for (const std::string* s : {&name, &value})
    if (s->find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  return true;
}

bool OptionStore::Parse(const std::string& text, Entries* out, std::string* error) {
  Entries entries;
  std::set<std::string> seen;
  std::size_t pos = 0;
  int line_no = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    std::string why;
    if (eq == std::string::npos) why = "no \"=\"";
    else if (eq == 0) why = "no option name before \"=\"";
    else if (line.find('\0') != std::string::npos) why = "a NUL byte";
    else if (line.find('\r') != std::string::npos) why = "a CR inside the line";
    else if (!seen.insert(line.substr(0, eq)).second) why = "option " + line.substr(0, eq) + " given twice";
    if (!why.empty()) {
      if (error) *error = "line " + std::to_string(line_no) + ": " + why;
      return false;
    }
    entries.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  *out = std::move(entries);
  return true;
}

std::string OptionStore::Format(const Entries& entries) {
  std::string text;
  for (const auto& [name, value] : entries) text += name + "=" + value + "\n";
  return text;
}

bool OptionStore::Open(const std::string& path, std::string* error) {
  std::string why;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      if (error) *error = path + ": cannot be read: " + std::strerror(errno);
      return false;
    }
    // A new store: the defaults, written out so that a person finds them.
    if (!Persist(path, entries_, &why)) {
      if (error) *error = why;
      return false;
    }
    path_ = path;
    return true;
  }
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = path + ": cannot be read: " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  Entries entries;
  if (!Parse(text, &entries, &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  const std::string old_path = path_;
  path_ = path;
  // Probe that changes can be written later: a store that can be read but never
  // saved would lose every write.
  if (::access(Folder(path).c_str(), W_OK) != 0) {
    if (error) *error = Folder(path) + ": no permission to write the option store";
    path_ = old_path;
    return false;
  }
  entries_ = std::move(entries);
  return true;
}

std::optional<std::string> OptionStore::Get(const std::string& name) const {
  for (const auto& e : entries_)
    if (e.first == name) return e.second;
  return std::nullopt;
}

uint64_t OptionStore::Writes(const std::string& name) const {
  auto it = writes_.find(name);
  return it == writes_.end() ? 0 : it->second;
}

bool OptionStore::Set(const std::string& name, const std::string& value) {
  if (!Assign(name, value)) return false;
  ++writes_[name];
  ++total_writes_;
  return true;
}

bool OptionStore::Preset(const std::string& name, const std::string& value) { return Assign(name, value); }

bool OptionStore::Assign(const std::string& name, const std::string& value) {
  Entries next = entries_;
  bool found = false;
  for (auto& e : next)
    if (e.first == name) {
      e.second = value;
      found = true;
    }
  if (!found) next.emplace_back(name, value);
  if (!path_.empty()) {
    if (!Storable(name, value)) return false;
    std::string why;
    if (!Persist(path_, next, &why)) return false;
  }
  entries_ = std::move(next);
  return true;
}

bool OptionStore::Persist(const std::string& path, const Entries& entries, std::string* error) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = tmp + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  const bool ok = WriteAll(fd, Format(entries)) && ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = path + ": cannot be written: " + std::strerror(ok ? errno : saved);
    ::unlink(tmp.c_str());
    return false;
  }
  // The rename itself must reach the disk too.
  const int dir = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace sim::terminal
