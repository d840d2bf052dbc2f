// The option read/write panel: the checks before connecting, the serial number,
// the retried write with its boxes, and the read into txtConfig.
#include <gtest/gtest.h>

#include "tool/tests/fake_terminal.h"
#include "tool/ops/texts_cp936.h"
#include "tool/uOEM.h"

namespace {

using namespace fake;
using Trace = std::vector<std::string>;

struct WriteCase {
  std::string name;   // cbConfig text
  std::string value;  // txtConfig text
  Trace trace;        // everything the click does
};

TEST(OptionWrite, ChecksAndPathsOnAWillingTerminal) {
  const std::string serial = cp936::kSerialNumberItem;
  const WriteCase cases[] = {
      {"", "1", {Warning("Pls select a Value")}},
      {" \t ", "1", {Warning("Pls select a Value")}},
      {serial, "12345", {Warning(cp936::kMsgSerialLength)}},
      {serial, "1234567", {Warning(cp936::kMsgSerialLength)}},
      {serial, "", {Warning(cp936::kMsgSerialLength)}},
      {serial, "12345A", {Warning(cp936::kMsgSerialInvalid)}},
      {serial, "12345 ", {Warning(cp936::kMsgSerialInvalid)}},
      {serial, "\xD0\xF2\xC1\xD0\xBA\xC5", {Warning(cp936::kMsgSerialInvalid)}},  // 6 bytes, 3 characters
      {serial, "123456",
       {Net(), Pause(), Get("~SerialNumber"), Set(Masked("~SerialNumber=123456", kSeeds[0])), Close(),
        Information("Success!")}},
      {serial, " 12345",
       {Net(), Pause(), Get("~SerialNumber"), Set(Masked("~SerialNumber=12345", kSeeds[0])), Close(),
        Information("Success!")}},
      {serial, "$00FFF",
       {Net(), Pause(), Get("~SerialNumber"), Set(Masked("~SerialNumber=$00FFF", kSeeds[0])), Close(),
        Information("Success!")}},
      {serial, "0x00FF",
       {Net(), Pause(), Get("~SerialNumber"), Set(Masked("~SerialNumber=0x00FF", kSeeds[0])), Close(),
        Information("Success!")}},
      {serial, "-12345",
       {Net(), Pause(), Get("~SerialNumber"), Set(Masked("~SerialNumber=-12345", kSeeds[0])), Close(),
        Information("Success!")}},
      // Blanks around the serial item make it an option name like any other.
      {" " + serial + " ", "1",
       {Net(), Pause(), Get(serial), Set(serial + "=1"), Close(), Information("Success!")}},
      {"ShowCheckIn", " 1 ",
       {Net(), Pause(), Get("ShowCheckIn"), Set("ShowCheckIn=1"), Close(), Information("Success!")}},
      {"~ShowState", "1",
       {Net(), Pause(), Get("~ShowState"), Set("~ShowState=C0F1"), Close(), Information("Success!")}},
      {" Name ", "a=b", {Net(), Pause(), Get("Name"), Set("Name=a=b"), Close(), Information("Success!")}},
      // An empty value meets an unreadable current value: success without a write.
      {"Unknown", "  ", {Net(), Pause(), Get("Unknown"), Close(), Information("Success!")}},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE("name '" + c.name + "' value '" + c.value + "'");
    TForm1 form;
    Rig rig(form);
    form.cbConfig.Text = c.name;
    form.txtConfig.Text = c.value;
    form.Click(form.btWriteConfig);
    EXPECT_EQ(rig.terminal.trace, c.trace);
    EXPECT_EQ(form.DeviceHandle, 0);
  }
}

TEST(OptionWrite, NormalisesTheAddressBeforeTheSerialChecks) {
  TForm1 form;
  Rig rig(form);
  form.edtnetAddress.Text = " com4 ";
  form.cbConfig.Text = cp936::kSerialNumberItem;
  form.txtConfig.Text = "1";
  form.Click(form.btWriteConfig);
  EXPECT_EQ(form.edtnetAddress.Text, "COM4");
  EXPECT_EQ(rig.terminal.trace, (Trace{Warning(cp936::kMsgSerialLength)}));

  // An empty name stops before the normalisation.
  form.edtnetAddress.Text = " com4 ";
  form.cbConfig.Text = "";
  form.Click(form.btWriteConfig);
  EXPECT_EQ(form.edtnetAddress.Text, " com4 ");
}

TEST(OptionWrite, RetriedWriteAndNoConnection) {
  {
    TForm1 form;
    Rig rig(form);
    form.cbConfig.Text = "ShowCheckIn";
    form.txtConfig.Text = "1";
    rig.terminal.failWrites["ShowCheckIn"] = 2;  // the third attempt succeeds
    form.Click(form.btWriteConfig);
    EXPECT_EQ(rig.terminal.trace,
              (Trace{Net(), Pause(), Get("ShowCheckIn"), Set("ShowCheckIn=1"), Get("ShowCheckIn"),
                     Set("ShowCheckIn=1"), Get("ShowCheckIn"), Set("ShowCheckIn=1"), Close(),
                     Information("Success!")}));
  }
  {
    TForm1 form;
    Rig rig(form);
    form.cbConfig.Text = "ShowCheckIn";
    form.txtConfig.Text = "1";
    rig.terminal.failWrites["ShowCheckIn"] = -1;
    form.Click(form.btWriteConfig);
    Trace expected = {Net(), Pause()};
    for (int i = 0; i < 3; ++i) {
      expected.push_back(Get("ShowCheckIn"));
      expected.push_back(Set("ShowCheckIn=1"));
    }
    expected.push_back(Warning("Save config fail!"));  // the connection is closed after the box
    expected.push_back(Close());
    EXPECT_EQ(rig.terminal.trace, expected);
  }
  {
    TForm1 form;
    Rig rig(form);
    rig.terminal.nextHandle = 0;
    form.cbConfig.Text = "ShowCheckIn";
    form.Click(form.btWriteConfig);
    EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Warning("Can not connect to the device")}));
  }
}

TEST(OptionWrite, ValuesTooLongForTheBuffersFailAsAFailedWrite) {
  TForm1 form;
  Rig rig(form);
  form.cbConfig.Text = "~Long";
  form.txtConfig.Text = std::string(300, 'v');  // masked: 5 + 1 + 2 + 600 bytes
  form.Click(form.btWriteConfig);
  EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Pause(), Warning("Save config fail!"), Close()}));
  EXPECT_EQ(form.txtConfig.Text, std::string(300, 'v'));  // nothing cut
}

struct ReadCase {
  std::string name;
  std::string request;
};

TEST(OptionRead, ReadsTheNamedOptionIntoTheValueField) {
  const ReadCase cases[] = {
      {"ShowCheckIn", "ShowCheckIn"},
      {"  ShowCheckIn ", "ShowCheckIn"},
      {cp936::kSerialNumberItem, "~SerialNumber"},
      {"", ""},  // no check: the empty name is requested
      {"Unknown", "Unknown"},
  };
  for (const ReadCase& c : cases) {
    TForm1 form;
    Rig rig(form);
    rig.terminal.options["ShowCheckIn"] = "1";
    rig.terminal.options["~SerialNumber"] = "654321";
    rig.terminal.options[""] = "empty";
    form.cbConfig.Text = c.name;
    form.txtConfig.Text = "typed";
    form.Click(form.btReadConfig);
    EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Get(c.request), Close()}));  // no pause, no box
    auto it = rig.terminal.options.find(c.request);
    EXPECT_EQ(form.txtConfig.Text, it == rig.terminal.options.end() ? "" : it->second);
    EXPECT_EQ(form.cbConfig.Text, c.name);
  }
}

TEST(OptionRead, NoConnectionKeepsTheField) {
  TForm1 form;
  Rig rig(form);
  rig.terminal.nextHandle = 0;
  form.txtConfig.Text = "typed";
  form.Click(form.btReadConfig);
  EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Warning("Can not connect to the device")}));
  EXPECT_EQ(form.txtConfig.Text, "typed");
}

}  // namespace
