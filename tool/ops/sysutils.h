// Text and number helpers of the tool: the integer conversion of the connection
// settings, trimming, and the byte-wise handling of code page 936 texts.
// Every text here is 8-bit (CP936 bytes); every length counts bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// Raised when a text is not an integer; the message quotes the text as it stood.
class EConvertError : public std::runtime_error {
 public:
  explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// Signed 32-bit integer from a text, by the platform layer's conversion: leading
// blanks (code 32 only), an optional sign, then decimal digits or one of "$", "x",
// "X", "0x", "0X" and at most eight significant hexadecimal digits. Nothing may
// follow the last digit.
// Throws EConvertError("'<text>' is not a valid integer value").
int32_t StrToInt(const std::string& text);

// Like StrToInt, without the exception: false when the text is not an integer.
bool TryStrToInt(const std::string& text, int32_t& value);

// Removes every character of code 0 to 32 from both ends.
std::string Trim(const std::string& text);

// True when the byte starts a two-byte character of code page 936.
inline bool IsCp936LeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

// Upper-cases the single-byte letters a to z. The two bytes of a double-byte
// character are left as they are: a trail byte may lie in the range of a to z.
std::string UpperAscii(const std::string& text);

// The number of characters: a two-byte character counts one.
std::size_t Cp936Length(const std::string& text);

// The longest start of the text that has at most maxBytes bytes and does not
// end in the middle of a two-byte character.
std::string Cp936Cut(const std::string& text, std::size_t maxBytes);
