// Files and the current directory, in place of the Win32 calls of the same names.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The process's current directory, "" if it cannot be read.
std::string CurrentDirectory();

// The folder that holds the running program, "." if it cannot be found.
std::string ExecutableDirectory();

// True when `path` names an existing file system object (symbolic links followed).
bool FileExists(const std::string& path);

// The size of the file, opened read-only; false when it cannot be opened.
bool FileSize(const std::string& path, uint64_t* size);

// The whole file; false when it cannot be read. Reads at most `limit` bytes and
// fails beyond (so a huge file never fills memory just to be compared).
bool ReadFile(const std::string& path, std::string* out, uint64_t limit);

// True when `path` is a regular file (not followed through a link) whose bytes
// are exactly `data` and which the caller may execute.
bool IsExecutableWithContent(const std::string& path, const std::string& data);

// Writes `data` to a new file beside `path` with the permission bits `mode`, then
// renames it over `path`: the path never holds a partly written file, and a link
// or someone else's file at `path` is replaced, never written through. False on
// any failure, which leaves `path` as it was.
bool ReplaceFile(const std::string& path, const std::string& data, unsigned mode);

// Deletes the file; false when it could not be deleted.
bool DeleteFile(const std::string& path);

}  // namespace platform
