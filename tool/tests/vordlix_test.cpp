// The option commands over a recording fake library: request bytes, sizes and
// time limits of commands 11 and 12, compare-before-write, the masking of hidden
// options with the run-wide seed generator, and the buffer limits.
#include "tool/vordlix.h"

#include <gtest/gtest.h>

#include "tool/tests/fake_terminal.h"

namespace {

using fake::Get;
using fake::Set;

class OptionCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = vordlix::SetLibrary(&terminal);
    vordlix::ResetSeedGeneratorForTesting();
  }
  void TearDown() override { vordlix::SetLibrary(previous_); }
  fake::Terminal terminal;

 private:
  vordlix::Library* previous_ = nullptr;
};

TEST(SeedGenerator, FirstDrawsOfARun) {
  vordlix::ResetSeedGeneratorForTesting();
  EXPECT_EQ(vordlix::DrawSeed(), 0x00u);  // becomes C0 in a mask
  EXPECT_EQ(vordlix::DrawSeed(), 0x08u);
  EXPECT_EQ(vordlix::DrawSeed(), 0xDBu);
  vordlix::ResetSeedGeneratorForTesting();
  EXPECT_EQ(vordlix::DrawSeed(), 0x00u);
}

TEST_F(OptionCommands, GetOptionSkipsTheRepeatedNameAndSeparator) {
  terminal.options["ShowCheckIn"] = "1";
  EXPECT_EQ(GetOption(7, "ShowCheckIn"), "1");
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Get("ShowCheckIn", 7)}));
}

TEST_F(OptionCommands, GetOptionFailureAndEmptyName) {
  EXPECT_EQ(GetOption(1, "Unknown"), "");  // reply 2001: the empty text
  terminal.options[""] = "x";
  EXPECT_EQ(GetOption(1, ""), "x");        // the empty name is sent as one NUL
  EXPECT_EQ(terminal.trace.back(), "SEND h1 11 [\\0] size=200 t=1000");
}

TEST_F(OptionCommands, GetOptionStopsAtTheBufferWhenTheReplyIsUnterminated) {
  terminal.unterminatedReply = true;
  EXPECT_EQ(GetOption(1, "V0"), std::string(200 - 3, 'A'));
}

TEST_F(OptionCommands, GetOptionNameLimit) {
  const std::string longest(199, 'n');
  terminal.options[longest] = "v";
  EXPECT_EQ(GetOption(1, longest), "");  // fits; its value has no room left in 200 bytes
  ASSERT_EQ(terminal.trace.size(), 1u);
  EXPECT_EQ(GetOption(1, longest + "n"), "");  // 200 bytes do not fit: nothing is sent
  EXPECT_EQ(terminal.trace.size(), 1u);
}

TEST_F(OptionCommands, CompareBeforeWrite) {
  terminal.options["ShowCheckIn"] = "1";
  EXPECT_TRUE(SetOption(1, "ShowCheckIn=1"));
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Get("ShowCheckIn")}));

  terminal.trace.clear();
  EXPECT_TRUE(SetOption(1, "ShowCheckIn=0"));
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Get("ShowCheckIn"), Set("ShowCheckIn=0")}));
  // Data length 14: "ShowCheckIn=0" and its NUL.
  EXPECT_EQ(terminal.trace[1], "SEND h1 12 [ShowCheckIn=0\\0] size=100 t=2000");

  terminal.trace.clear();
  terminal.options["Name"] = "abc";
  EXPECT_TRUE(SetOption(1, "Name=ABC"));  // case-sensitive: written
  EXPECT_EQ(terminal.trace.size(), 2u);
}

TEST_F(OptionCommands, FailedWriteAndEmptyValue) {
  terminal.options["ShowCheckIn"] = "1";
  terminal.failWrites["ShowCheckIn"] = -1;
  EXPECT_FALSE(SetOption(1, "ShowCheckIn=0"));
  EXPECT_EQ(terminal.trace.size(), 2u);

  // A failed read gives the empty text, so an empty value counts as written.
  terminal.trace.clear();
  EXPECT_TRUE(SetOption(1, "Unknown="));
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Get("Unknown")}));
}

TEST_F(OptionCommands, ValueHoldingEquals) {
  terminal.options["A"] = "b=c";
  EXPECT_TRUE(SetOption(1, "A=b=c"));  // the name ends at the first "="
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Get("A")}));
  terminal.trace.clear();
  EXPECT_TRUE(SetOption(1, "A=b=d"));
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Get("A"), Set("A=b=d")}));
}

TEST_F(OptionCommands, NoReadWithoutAName) {
  // No "=", or "=" first: sent at once, unmasked, no seed drawn.
  EXPECT_TRUE(SetOption(1, "Reboot"));
  EXPECT_TRUE(SetOption(1, "=5"));
  EXPECT_TRUE(SetOption(1, "~Hidden"));
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Set("Reboot"), Set("=5"), Set("~Hidden")}));
  EXPECT_EQ(vordlix::DrawSeed(), 0u);  // still the first draw of the run
}

TEST_F(OptionCommands, MaskedWrites) {
  // The first masked write of a run uses the draw 0, sent as C0: '1' ^ C0 = F1.
  EXPECT_TRUE(SetOption(1, "~ShowState=1"));
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Get("~ShowState"), Set("~ShowState=C0F1")}));
  EXPECT_EQ(terminal.options["~ShowState"], "1");

  // A write skipped by the comparison draws nothing.
  terminal.trace.clear();
  EXPECT_TRUE(SetOption(1, "~ShowState=1"));
  EXPECT_EQ(terminal.trace.size(), 1u);

  // The next two masked writes take the draws 08 and DB; the same string twice
  // gives two different texts.
  terminal.failWrites["~KeyLayout"] = 1;
  terminal.trace.clear();
  EXPECT_FALSE(SetOption(1, "~KeyLayout=1"));
  EXPECT_TRUE(SetOption(1, "~KeyLayout=1"));
  EXPECT_EQ(terminal.trace, (std::vector<std::string>{Get("~KeyLayout"), Set("~KeyLayout=0839"),
                                                      Get("~KeyLayout"), Set("~KeyLayout=DBEA")}));
}

TEST_F(OptionCommands, MaskingVectorWithSeed5A) {
  // The 183rd draw of a run is 5A.
  for (int i = 0; i < 182; ++i) vordlix::DrawSeed();
  EXPECT_TRUE(SetOption(1, "~DeviceName=abc"));
  ASSERT_EQ(terminal.trace.size(), 2u);
  EXPECT_EQ(terminal.trace[1], "SEND h1 12 [~DeviceName=5A3B593A\\0] size=100 t=2000");  // length 21
}

TEST_F(OptionCommands, MaskedValueHoldingEqualsAndEmptyValue) {
  terminal.options["~X"] = "old";
  EXPECT_TRUE(SetOption(1, "~X=a=b"));
  // C0 ^ 'a' = A1, ^ '=' = 9C, ^ 'b' = FE: the later "=" is masked like any character.
  EXPECT_EQ(terminal.trace.back(), Set("~X=C0A19CFE"));
  EXPECT_EQ(terminal.options["~X"], "a=b");
  EXPECT_TRUE(SetOption(1, "~X="));  // an empty value: the seed byte alone
  EXPECT_EQ(terminal.trace.back(), Set("~X=08"));
}

TEST_F(OptionCommands, RequestLimits) {
  // Plain: 399 bytes of request text fit the 400-byte work area, 400 do not.
  const std::string fits = "P=" + std::string(397, 'v');
  EXPECT_TRUE(SetOption(1, fits));
  EXPECT_EQ(terminal.trace.back(), Set(fits));
  terminal.trace.clear();
  EXPECT_FALSE(SetOption(1, fits + "v"));
  EXPECT_TRUE(terminal.trace.empty());

  // Masked: n + 1 + 2 + 2m; "~H" and a value of 197 bytes make 2 + 1 + 2 + 394 = 399.
  const std::string hidden = "~H=" + std::string(197, 'v');
  EXPECT_TRUE(SetOption(1, hidden));
  EXPECT_EQ(terminal.trace.size(), 2u);
  EXPECT_EQ(terminal.options["~H"], std::string(197, 'v'));
  terminal.trace.clear();
  const uint32_t before = 0x08;  // the next draw, not taken by the refused write
  EXPECT_FALSE(SetOption(1, hidden + "v"));
  EXPECT_TRUE(terminal.trace.empty());
  EXPECT_EQ(vordlix::DrawSeed(), before);

  // A name that does not fit the read's buffer fails before anything is sent.
  EXPECT_FALSE(SetOption(1, std::string(200, 'n') + "=1"));
  EXPECT_TRUE(terminal.trace.empty());
  EXPECT_TRUE(SetOption(1, std::string(199, 'n') + "=1"));
}

TEST_F(OptionCommands, TextsEndAtTheirFirstNul) {
  EXPECT_TRUE(SetOption(1, std::string("A=1\0hidden", 10)));
  EXPECT_EQ(terminal.trace.back(), Set("A=1"));
}

}  // namespace
