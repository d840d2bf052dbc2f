// The runtime library's text-to-integer conversion (StrToInt): optional leading
// blanks (code 32), an optional sign, then decimal digits or hexadecimal digits
// after "$", "x", "X", "0x" or "0X". Nothing may follow; decimal values must fit
// a signed 32-bit integer; hexadecimal digits give a 32-bit pattern (leading zeros
// allowed, a ninth significant digit is an error) negated after a "-".
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// False (and `value` untouched) when `text` is not such an integer.
bool TryStrToInt(const std::string& text, int32_t* value);

}  // namespace platform
