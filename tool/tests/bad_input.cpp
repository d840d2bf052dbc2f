// Every field may hold anything. Drives every handler with random field texts
// (long, non-ASCII, blanks, empty, NULs) against a terminal that answers at
// random and scribbles over every buffer it is given, and checks that each click
// ends with the connection closed and every request within its buffer. Built with
// AddressSanitizer (tool_model_asan), so a write past a buffer fails the test.
#include <gtest/gtest.h>

#include <random>

#include "tool/tests/fake_terminal.h"
#include "tool/ops/texts_cp936.h"
#include "tool/uOEM.h"

namespace {

class RandomTerminal : public fake::Terminal {
 public:
  explicit RandomTerminal(std::mt19937& rng) : rng_(rng) {}

  int32_t Init(const char* module, const char* address, int32_t port, int32_t baud, int32_t e1,
               int32_t e2) override {
    fake::Terminal::Init(module, address, port, baud, e1, e2);
    ++opened;
    open = rng_() % 4 != 0;
    return open ? static_cast<int32_t>(rng_() % 1000 + 1) : 0;
  }

  int32_t SendCmd(int32_t handle, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                  int32_t timeout) override {
    EXPECT_TRUE(open);
    const uint16_t command = *reply;
    if (command == 11) {
      EXPECT_EQ(size, 200);
      EXPECT_LE(length, 200);
    } else {
      EXPECT_EQ(command, 12);
      EXPECT_EQ(size, 100);
      EXPECT_LE(length, 400);
    }
    EXPECT_EQ(std::strlen(static_cast<char*>(buffer)) + 1, static_cast<std::size_t>(length));
    // Read every byte the caller claims to send, then fill the whole buffer size.
    volatile char sink = 0;
    for (int32_t i = 0; i < length; ++i) sink = sink ^ static_cast<char*>(buffer)[i];
    char* buf = static_cast<char*>(buffer);
    const int kind = static_cast<int>(rng_() % 4);
    for (int32_t i = 0; i < size; ++i) buf[i] = static_cast<char>(rng_() % 256);
    if (kind == 0) buf[rng_() % static_cast<unsigned>(size)] = 0;  // a NUL somewhere
    if (kind == 1) buf[size - 1] = 0;
    (void)handle;
    (void)timeout;
    *reply = rng_() % 3 == 0 ? 2000 : static_cast<uint16_t>(rng_());
    return static_cast<int32_t>(rng_());
  }

  int32_t Close(int32_t handle) override {
    EXPECT_TRUE(open);
    EXPECT_NE(handle, 0);
    open = false;
    ++closed;
    return 0;
  }

  void Show(const MessageBoxRequest& box) override { ++boxes; (void)box; }

  bool open = false;
  int opened = 0, closed = 0, boxes = 0;

 private:
  std::mt19937& rng_;
};

std::string RandomText(std::mt19937& rng) {
  static const std::string samples[] = {"", " ", "  \t ", "COM1", "com", "192.168.1.201", "$1112", "115200",
                                        "4370 ", " 1", cp936::kSerialNumberItem, "~ShowState", "ShowCheckIn",
                                        "=", "~", "~=", "a=b=c", "123456", "-$FFFFFFFF", "0x"};
  const int kind = static_cast<int>(rng() % 5);
  if (kind == 0) return samples[rng() % (sizeof samples / sizeof samples[0])];
  std::size_t length = rng() % (kind == 1 ? 8 : kind == 2 ? 64 : 2000);
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    switch (rng() % 4) {
      case 0: text += static_cast<char>(rng() % 256); break;           // any byte, NUL included
      case 1: text += static_cast<char>(0x81 + rng() % 126); break;    // lead bytes
      case 2: text += ' '; break;
      default: text += static_cast<char>('0' + rng() % 75); break;
    }
  }
  return text;
}

TEST(BadInput, AnyFieldContentsNeverCrashOrOverrun) {
  std::mt19937 rng(20261211);
  for (int round = 0; round < 3000; ++round) {
    TForm1 form;
    RandomTerminal terminal(rng);
    vordlix::Library* previous = vordlix::SetLibrary(&terminal);
    form.Library = &terminal;
    form.Messages = &terminal;
    form.SleepMs = [](uint32_t) {};
    for (Control* c : form.Controls())
      if (c->Kind == ControlKind::LabeledEdit || c->Kind == ControlKind::Edit || c->Kind == ControlKind::ComboBox)
        c->Text = RandomText(rng);
    form.cbKeyLayouts.Select(static_cast<int>(rng() % 10) - 1);
    form.cbVoices.Select(static_cast<int>(rng() % 3) - 1);
    Control* buttons[] = {&form.btnOpen, &form.btWriteConfig, &form.btReadConfig, &form.btnSetConfig,
                          &form.btnSetVoices, &form.Button2, &form.sbtnRS232, &form.sbtnTCPIP};
    Control& button = *buttons[rng() % 8];
    form.Click(button);
    EXPECT_FALSE(terminal.open) << button.Name;
    EXPECT_EQ(form.DeviceHandle, 0);
    EXPECT_LE(form.edtOEMVender.Text.size(), button.Name == "btnOpen" ? 16u : 2000u);
    vordlix::SetLibrary(previous);
    if (HasFailure()) break;
  }
}

}  // namespace
