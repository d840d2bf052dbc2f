// Connecting from the settings fields: address normalisation, transport choice,
// the integer conversion and its errors reaching the default error report.
#include <gtest/gtest.h>

#include "tool/tests/fake_terminal.h"
#include "tool/uOEM.h"

namespace {

using namespace fake;

struct ConnectCase {
  std::string address, port, baud;
  std::string normalised;  // the address field afterwards
  std::string init;        // the expected INIT line, or empty when an error comes first
  std::string error;       // the default error report's text, if any
};

TEST(ConnectFromSettings, NormalisesAndChoosesTheTransport) {
  const ConnectCase cases[] = {
      {"192.168.1.201", "$1112", "115200", "192.168.1.201", Net("192.168.1.201", 4370), ""},
      {"  com2\t", "3", "9600", "COM2", Serial("COM2", 3, 9600), ""},
      {"COM1", "1", "115200", "COM1", Serial("COM1", 1, 115200), ""},
      {"com3", "$1112", "115200", "COM3", Serial("COM3", 4370, 115200), ""},  // TCP/IP pressed, still serial
      {"comserver", "4370", "115200", "COMSERVER", Serial("COMSERVER", 4370, 115200), ""},
      {" localhost ", "0x10", "nonsense", "LOCALHOST", Net("LOCALHOST", 16), ""},  // baud not read on the network
      {"127.0.0.1", " 4370", "", "127.0.0.1", Net("127.0.0.1", 4370), ""},         // a leading blank converts
      {"xcom1", "1", "1", "XCOM1", Net("XCOM1", 1), ""},                           // "COM" only at the start
      {"", "1", "1", "", Net("", 1), ""},
      {"127.0.0.1", "4370 ", "1", "127.0.0.1", "", "'4370 ' is not a valid integer value."},
      {"127.0.0.1", "", "1", "127.0.0.1", "", "'' is not a valid integer value."},
      {"com1", "x", "fast", "COM1", "", "'fast' is not a valid integer value."},  // baud first
      {"com1", "x", "115200", "COM1", "", "'x' is not a valid integer value."},
      {"com1", "1", "99999999999", "COM1", "", "'99999999999' is not a valid integer value."},
  };
  for (const ConnectCase& c : cases) {
    SCOPED_TRACE("address '" + c.address + "' port '" + c.port + "' baud '" + c.baud + "'");
    TForm1 form;
    Rig rig(form);
    form.edtnetAddress.Text = c.address;
    form.edtNetPort.Text = c.port;
    form.edtBaudRate.Text = c.baud;
    form.Click(form.btReadConfig);
    EXPECT_EQ(form.edtnetAddress.Text, c.normalised);
    EXPECT_EQ(form.edtNetPort.Text, c.port);  // converted untrimmed, never written back
    EXPECT_EQ(form.edtBaudRate.Text, c.baud);
    EXPECT_EQ(form.DeviceHandle, 0);
    if (c.init.empty()) {
      EXPECT_EQ(rig.terminal.trace, (std::vector<std::string>{ErrorReport(c.error)}));
    } else {
      ASSERT_FALSE(rig.terminal.trace.empty());
      EXPECT_EQ(rig.terminal.trace.front(), c.init);
      EXPECT_EQ(rig.terminal.trace.back(), Close());
    }
  }
}

TEST(ConnectFromSettings, HandleFieldFollowsTheConnection) {
  TForm1 form;
  Rig rig(form);
  rig.terminal.nextHandle = 42;
  ASSERT_TRUE(form.ConnectFromSettings());
  EXPECT_EQ(form.DeviceHandle, 42);
  form.CloseConnection();
  EXPECT_EQ(form.DeviceHandle, 0);
  rig.terminal.nextHandle = 0;
  EXPECT_FALSE(form.ConnectFromSettings());
  EXPECT_EQ(form.DeviceHandle, 0);
  EXPECT_EQ(rig.terminal.trace, (std::vector<std::string>{Net(), Close(42), Net()}));
}

TEST(ConnectFromSettings, ConversionErrorStopsEveryOperationBeforeTheLibrary) {
  TForm1 form;
  Rig rig(form);
  form.edtNetPort.Text = "port";
  form.cbKeyLayouts.Select(1);
  form.cbConfig.Text = "ShowCheckIn";
  form.cbVoices.Select(0);
  const std::string report = ErrorReport("'port' is not a valid integer value.");
  for (Control* button : {&form.btnOpen, &form.btWriteConfig, &form.btReadConfig, &form.btnSetConfig,
                          &form.btnSetVoices, &form.Button2}) {
    rig.terminal.trace.clear();
    form.Click(*button);
    EXPECT_EQ(rig.terminal.trace, (std::vector<std::string>{report})) << button->Name;
    EXPECT_EQ(form.DeviceHandle, 0);
  }
  // The window stays usable: the next click with a good port connects.
  form.edtNetPort.Text = "4370";
  rig.terminal.trace.clear();
  form.Click(form.btReadConfig);
  EXPECT_EQ(rig.terminal.trace.front(), Net("192.168.1.201", 4370));
}

TEST(ConnectFromSettings, AddressNormalisationKeepsNonAsciiBytes) {
  TForm1 form;
  Rig rig(form);
  form.edtnetAddress.Text = std::string("\x01 h\xE9st\x81\x61 \xFF\x7F ");
  form.Click(form.Button2);
  // \xE9 s is one character: its trail byte stays lower case.
  EXPECT_EQ(form.edtnetAddress.Text, std::string("H\xE9sT\x81\x61 \xFF\x7F"));
}

}  // namespace
