// The OEM identity writer: cut of the names, the two retried masked writes, its
// warnings and the close after them.
#include <gtest/gtest.h>

#include "tool/tests/fake_terminal.h"
#include "tool/ops/texts_cp936.h"
#include "tool/uOEM.h"

namespace {

using namespace fake;
using Trace = std::vector<std::string>;

class OemIdentity : public ::testing::Test {
 protected:
  OemIdentity() : rig(form) {
    form.edtOEMVender.Text = "Acme";
    form.edtProduct.Text = "T9";
  }
  TForm1 form;
  Rig rig;
  Terminal& terminal = rig.terminal;
};

TEST_F(OemIdentity, BothNamesWrittenShowsNothing) {
  form.Click(form.btnOpen);
  EXPECT_EQ(terminal.trace, (Trace{Net(), Pause(), Get("~OEMVendor"), Set(Masked("~OEMVendor=Acme", kSeeds[0])),
                                   Get("~DeviceName"), Set(Masked("~DeviceName=T9", kSeeds[1])), Close()}));
  EXPECT_EQ(terminal.options["~OEMVendor"], "Acme");
  EXPECT_EQ(terminal.options["~DeviceName"], "T9");
  EXPECT_EQ(form.DeviceHandle, 0);
}

TEST_F(OemIdentity, FailuresWarnInOrderAndCloseAfterTheBoxes) {
  struct Case {
    int vendorFailures, productFailures;
    Trace boxes;
  };
  const Case cases[] = {
      {-1, 0, {Warning(cp936::kMsgVendorFail)}},
      {0, -1, {Warning(cp936::kMsgProductFail)}},
      {-1, -1, {Warning(cp936::kMsgVendorFail), Warning(cp936::kMsgProductFail)}},
      {2, 0, {}},  // the third attempt succeeds
  };
  for (const Case& c : cases) {
    TForm1 f;
    Rig r(f);
    f.edtOEMVender.Text = "Acme";
    f.edtProduct.Text = "T9";
    r.terminal.failWrites["~OEMVendor"] = c.vendorFailures;
    r.terminal.failWrites["~DeviceName"] = c.productFailures;
    f.Click(f.btnOpen);
    Trace boxes;
    for (const std::string& line : r.terminal.trace)
      if (line.rfind("BOX", 0) == 0) boxes.push_back(line);
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(r.terminal.trace.back(), Close());  // closed once the boxes are dismissed
    EXPECT_EQ(f.DeviceHandle, 0);
  }
}

TEST_F(OemIdentity, FailedAttemptsSendDifferentMaskedTexts) {
  terminal.failWrites["~OEMVendor"] = -1;
  form.Click(form.btnOpen);
  Trace expected = {Net(), Pause()};
  for (int i = 0; i < 3; ++i) {
    expected.push_back(Get("~OEMVendor"));
    expected.push_back(Set(Masked("~OEMVendor=Acme", kSeeds[i])));
  }
  expected.push_back(Warning(cp936::kMsgVendorFail));
  expected.push_back(Get("~DeviceName"));
  expected.push_back(Set(Masked("~DeviceName=T9", kSeeds[3])));
  expected.push_back(Close());
  EXPECT_EQ(terminal.trace, expected);
}

TEST_F(OemIdentity, NamesAlreadyHeldCostOneReadEach) {
  terminal.options["~OEMVendor"] = "Acme";
  terminal.options["~DeviceName"] = "T9";
  form.Click(form.btnOpen);
  EXPECT_EQ(terminal.trace, (Trace{Net(), Pause(), Get("~OEMVendor"), Get("~DeviceName"), Close()}));
}

TEST_F(OemIdentity, EmptyNames) {
  // Unreadable current values: counted as written without a write.
  form.edtOEMVender.Text = "";
  form.edtProduct.Text = "";
  terminal.options["~DeviceName"] = "Old";  // a held name is replaced by the seed byte alone
  form.Click(form.btnOpen);
  EXPECT_EQ(terminal.trace, (Trace{Net(), Pause(), Get("~OEMVendor"), Get("~DeviceName"),
                                   Set("~DeviceName=C0"), Close()}));
}

TEST_F(OemIdentity, NamesAreCutTo16BytesFirstEvenWithoutAConnection) {
  const std::string han = cp936::kSerialNumberItem;  // three two-byte characters
  struct Case {
    std::string typed, kept;
  };
  const Case cases[] = {
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOP"},
      {"x" + han + han + han, "x" + han + han + han.substr(0, 2)},  // no half character at byte 16
      {han + han + han, han + han + han.substr(0, 4)},
      {"0123456789abcdef", "0123456789abcdef"},
  };
  for (const Case& c : cases) {
    TForm1 f;
    Rig r(f);
    r.terminal.nextHandle = 0;
    f.edtOEMVender.Text = c.typed;
    f.edtProduct.Text = c.typed;
    f.Click(f.btnOpen);
    EXPECT_EQ(f.edtOEMVender.Text, c.kept);
    EXPECT_EQ(f.edtProduct.Text, c.kept);
    EXPECT_EQ(r.terminal.trace, (Trace{Net(), Warning(cp936::kMsgCannotConnectOem)}));
  }
}

TEST_F(OemIdentity, LongestNamesStayWithin47Bytes) {
  const std::string han = cp936::kSerialNumberItem;
  form.edtOEMVender.Text = han + han + han;
  form.edtProduct.Text = std::string(40, 'P');
  form.Click(form.btnOpen);
  ASSERT_EQ(terminal.writesSeen.size(), 2u);
  EXPECT_EQ(terminal.writesSeen[0], "~OEMVendor=" + han + han + han.substr(0, 4));
  EXPECT_EQ(terminal.writesSeen[1], "~DeviceName=" + std::string(16, 'P'));
  // "~DeviceName=", seed, 16 bytes: 12 + 2 + 32 = 46 bytes and the NUL.
  EXPECT_EQ(terminal.trace[5], Set(Masked("~DeviceName=" + std::string(16, 'P'), kSeeds[1])));
  EXPECT_EQ(Masked("~DeviceName=" + std::string(16, 'P'), kSeeds[1]).size() + 1, 47u);
}

}  // namespace
