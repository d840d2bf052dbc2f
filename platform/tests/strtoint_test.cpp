// The text-to-integer conversion, as a table of texts and results.
#include "platform/strtoint.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* text;
  bool ok;
  int32_t value;
};

TEST(StrToInt, AcceptsDecimalAndPrefixedHexadecimal) {
  const Case cases[] = {
      {"4370", true, 4370},           {"$1112", true, 4370},
      {"0x1112", true, 4370},         {"0X1112", true, 4370},
      {"x1112", true, 4370},          {"X1112", true, 4370},
      {"  42", true, 42},             {"+7", true, 7},
      {"-1", true, -1},               {"-$1", true, -1},
      {"$FFFFFFFF", true, -1},        {"$ffffffff", true, -1},
      {"$000000001", true, 1},        {"0", true, 0},
      {"007", true, 7},               {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN}, {"$80000000", true, INT32_MIN},
      {"-$80000000", true, INT32_MIN}, {"115200", true, 115200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int32_t v = 12345;
    ASSERT_TRUE(platform::TryStrToInt(c.text, &v));
    EXPECT_EQ(v, c.value);
  }
}

TEST(StrToInt, RejectsEverythingElseWithoutTouchingTheValue) {
  const char* bad[] = {"", " ", "   ", "42 ", "\t42", "abc", "12ab", "$", "0x", "x",
                       "+", "-", "+-1", "--1", "$100000000", "2147483648",
                       "-2147483649", "99999999999", "$12G", "1.5", "0x 1", "$-1",
                       "1e3"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    int32_t v = 12345;
    EXPECT_FALSE(platform::TryStrToInt(text, &v));
    EXPECT_EQ(v, 12345);
  }
  int32_t v = 0;
  EXPECT_FALSE(platform::TryStrToInt(std::string("1\0", 2), &v)) << "an embedded NUL";
}

}  // namespace
