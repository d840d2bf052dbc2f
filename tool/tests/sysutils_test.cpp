// The integer conversion of the connection settings, trimming, and the byte-wise
// CP936 helpers.
#include "tool/ops/sysutils.h"

#include <gtest/gtest.h>

#include "tool/ops/texts_cp936.h"

namespace {

struct IntCase {
  const char* text;
  bool ok;
  int32_t value;
};

TEST(StrToInt, AcceptsAndRefusesAsTheConversionRulesSay) {
  const IntCase cases[] = {
      {"0", true, 0},
      {"115200", true, 115200},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},             // decimal overflow
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {"000000000000000000042", true, 42},  // leading zeros do not count
      {"+17", true, 17},
      {"-17", true, -17},
      {"$1112", true, 4370},
      {"x1112", true, 4370},
      {"X1112", true, 4370},
      {"0x1112", true, 4370},
      {"0X1112", true, 4370},
      {"$abcDEF", true, 0xABCDEF},
      {"$FFFFFFFF", true, -1},               // 32-bit pattern taken as signed
      {"$7FFFFFFF", true, INT32_MAX},
      {"$80000000", true, INT32_MIN},
      {"-$10", true, -16},                   // sign before the prefix negates
      {"+0x10", true, 16},
      {"-$FFFFFFFF", true, 1},
      {"-$80000000", true, INT32_MIN},       // the 32-bit negation wraps
      {"$000000001", true, 1},               // nine digits, eight of them leading zeros
      {"$100000000", false, 0},              // a ninth significant digit
      {"$", false, 0},
      {"0x", false, 0},
      {"x", false, 0},
      {"$G", false, 0},
      {"$-5", false, 0},
      {"0x-5", false, 0},
      {"   42", true, 42},                   // leading blanks
      {"  -$10", true, -16},
      {"42 ", false, 0},                     // a trailing blank
      {"\t42", false, 0},                    // only code 32 counts as a leading blank
      {"", false, 0},
      {"   ", false, 0},
      {"+", false, 0},
      {"- 5", false, 0},
      {"--5", false, 0},
      {"12a", false, 0},
      {"1.5", false, 0},
      {"0x1112 ", false, 0},
      {"\xD0\xF2", false, 0},                // a Chinese character
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(std::string("text '") + c.text + "'");
    int32_t value = 12345;
    EXPECT_EQ(TryStrToInt(c.text, value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(StrToInt(c.text), c.value);
    } else {
      EXPECT_THROW(StrToInt(c.text), EConvertError);
    }
  }
}

TEST(StrToInt, ErrorQuotesTheUntrimmedText) {
  try {
    StrToInt(" 4370 ");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "' 4370 ' is not a valid integer value");
  }
}

TEST(Trim, RemovesCodesZeroToThirtyTwoAtBothEndsOnly) {
  EXPECT_EQ(Trim(std::string("\0 \t\r\n a b \x1f", 10)), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("\xA1\xA1x"), "\xA1\xA1x");  // byte 161 is no blank
}

TEST(UpperAscii, UpperCasesSingleByteLettersAndKeepsDoubleByteCharacters) {
  EXPECT_EQ(UpperAscii("com3"), "COM3");
  EXPECT_EQ(UpperAscii("comServer-1.x"), "COMSERVER-1.X");
  // 0x81 0x61 is one character whose trail byte is the code of 'a'.
  EXPECT_EQ(UpperAscii("a\x81\x61" "b"), "A\x81\x61" "B");
  EXPECT_EQ(UpperAscii("z\xE9"), "Z\xE9");  // a lone lead byte at the end is one byte
}

TEST(Cp936Cut, CutsToWholeCharactersWithinTheLimit) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::string han = cp936::kSerialNumberItem;  // three characters, six bytes
  const Case cases[] = {
      {"", ""},
      {"0123456789ABCDEF", "0123456789ABCDEF"},
      {"0123456789ABCDEFG", "0123456789ABCDEF"},
      {han + han + han, han + han + han.substr(0, 4)},   // 18 bytes: cut after 8 characters
      {"x" + han + han + han, "x" + han + han + han.substr(0, 2)},  // 19 bytes: byte 16 would split
      {"0123456789ABCDE" + han, "0123456789ABCDE"},  // the 16th byte is a lead byte: left out
  };
  for (const Case& c : cases) {
    std::string cut = Cp936Cut(c.text, 16);
    EXPECT_EQ(cut, c.expected);
    EXPECT_LE(cut.size(), 16u);
  }
}

TEST(Cp936Length, CountsCharactersNotBytes) {
  const std::string han = cp936::kSerialNumberItem;  // three characters, six bytes
  EXPECT_EQ(Cp936Length(""), 0u);
  EXPECT_EQ(Cp936Length("0123456789ABCDEF"), 16u);
  EXPECT_EQ(Cp936Length(han), 3u);
  EXPECT_EQ(Cp936Length("x" + han + "y"), 5u);
  EXPECT_EQ(Cp936Length("ab\xD0"), 3u);  // a lone lead byte at the end is one character
}

}  // namespace
