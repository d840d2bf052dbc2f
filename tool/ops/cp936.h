// Text between UTF-8 and code page 936 (the terminal's bytes), with iconv. The
// window and the console program convert through this one routine and differ
// only in what they put in place of a sequence that cannot be converted.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace ops {

// Appends a replacement for the bad sequence at `in` (`left` bytes remain) and
// returns how many input bytes to skip, or 0 to give up.
using OnBadSequence = std::function<size_t(std::string& out, const char* in, size_t left)>;

// Converts `in` from the iconv encoding `from` to `to` into `out`; false when
// `on_bad` gave up. Throws std::runtime_error when iconv has no such conversion.
bool ConvertText(const char* to, const char* from, const std::string& in, std::string* out,
                 const OnBadSequence& on_bad);

// Gives up at the first bad sequence.
inline size_t GiveUp(std::string&, const char*, size_t) { return 0; }

}  // namespace ops
