// The terminal's named options: Name → Value texts (8-bit bytes, CP936 as the
// terminal holds them), a count of applied writes per option, and an optional
// backing file a person can read and edit.
//
// File format: one option a line, "Name=Value"; the name is everything before
// the first "=", the value everything after it (later "=" included). Lines end
// with LF; a CR before the LF is dropped (a file edited on Windows). Empty lines
// are skipped. A line without "=", an empty name, a NUL byte or a name given
// twice make the file unreadable: the store refuses it with the line number
// rather than guess. Options are written back in the order the file had them,
// new ones at the end.
//
// Every change is written through: a temporary file beside the store, fsync,
// rename over the store, fsync of the folder. A kill at any moment leaves either
// the old or the new file, never a half-written one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim::terminal {

class OptionStore {
 public:
  using Entries = std::vector<std::pair<std::string, std::string>>;

  OptionStore() = default;
  explicit OptionStore(Entries defaults);

  // Parses the file format; on failure returns false and says why in *error.
  static bool Parse(const std::string& text, Entries* out, std::string* error);
  static std::string Format(const Entries& entries);
  // Whether a name and a value can be held in the file format (no line break, no NUL,
  // no "=" in the name, a non-empty name).
  static bool Storable(const std::string& name, const std::string& value);

  // Binds the store to a file. A missing file keeps the current (default) options
  // and writes them out; an existing one replaces them. False, with the reason in
  // *error, when the file cannot be read or parsed, or the folder is not writable;
  // the file is left as it was.
  bool Open(const std::string& path, std::string* error);
  const std::string& path() const { return path_; }

  std::optional<std::string> Get(const std::string& name) const;
  // Sets and counts a write; writes the file through when bound. False when the
  // file could not be written (the value in memory is then unchanged).
  bool Set(const std::string& name, const std::string& value);
  // Sets without counting (a test scripts the terminal).
  bool Preset(const std::string& name, const std::string& value);

  const Entries& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  uint64_t Writes(const std::string& name) const;
  uint64_t TotalWrites() const { return total_writes_; }

 private:
  bool Assign(const std::string& name, const std::string& value);
  static bool Persist(const std::string& path, const Entries& entries, std::string* error);

  Entries entries_;
  std::map<std::string, uint64_t> writes_;
  uint64_t total_writes_ = 0;
  std::string path_;
};

}  // namespace sim::terminal
