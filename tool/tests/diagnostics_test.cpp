// The diagnostic readouts: five reads in order, V3 in a field of its own.
#include <gtest/gtest.h>

#include "tool/tests/fake_terminal.h"
#include "tool/uOEM.h"

namespace {

using namespace fake;
using Trace = std::vector<std::string>;

TEST(Diagnostics, FiveReadsInOrderThenClose) {
  TForm1 form;
  Rig rig(form);
  rig.terminal.options = {{"V0", "10"}, {"V1", "11"}, {"V2", "12"}, {"V3", "13"}, {"V4", "14"}};
  form.Click(form.Button2);
  EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Get("V0"), Get("V1"), Get("V2"), Get("V3"), Get("V4"), Close()}));
  EXPECT_EQ(form.Edit1.Text, "10");
  EXPECT_EQ(form.Edit2.Text, "11");
  EXPECT_EQ(form.Edit3.Text, "12");
  EXPECT_EQ(form.Edit5.Text, "13");
  EXPECT_EQ(form.Edit4.Text, "14");
}

TEST(Diagnostics, FailedReadsEmptyTheirFieldsAndTheRestGoOn) {
  TForm1 form;
  Rig rig(form);
  rig.terminal.options = {{"V0", "a"}, {"V1", "b"}};
  form.Click(form.Button2);
  EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Get("V0"), Get("V1"), Get("V2"), Get("V3"), Get("V4"), Close()}));
  EXPECT_EQ(form.Edit1.Text, "a");
  EXPECT_EQ(form.Edit2.Text, "b");
  EXPECT_EQ(form.Edit3.Text, "");
  EXPECT_EQ(form.Edit4.Text, "");
  EXPECT_EQ(form.Edit5.Text, "");
}

TEST(Diagnostics, NoConnectionKeepsTheFields) {
  TForm1 form;
  Rig rig(form);
  rig.terminal.nextHandle = 0;
  form.Edit2.Text = "typed";
  form.Click(form.Button2);
  EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Warning("Can not connect to the device")}));
  EXPECT_EQ(form.Edit1.Text, "Edit1");
  EXPECT_EQ(form.Edit2.Text, "typed");
  EXPECT_EQ(form.Edit5.Text, "Edit1");
}

}  // namespace
