#include "tool/qt/demo_round.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "tool/qt/cp936_codec.h"
#include "tool/qt/main_window.h"
#include "tool/uOEM.h"

namespace {

std::string Utf8(const std::string& cp936) { return FromCp936(cp936).toStdString(); }

// Message boxes printed, not shown: nobody is there to close them.
class PrintedBoxes : public MessagePort {
 public:
  void Show(const MessageBoxRequest& box) override {
    std::printf("  message box \"%s\": %s\n", Utf8(box.Caption).c_str(), Utf8(box.Text).c_str());
    ++shown;
  }
  int shown = 0;
};

}  // namespace

void RunDemoRound(MainWindow& window, TForm1& form) {
  PrintedBoxes boxes;
  MessagePort* const previous = form.Messages;
  form.Messages = &boxes;
  // Each step puts its inputs into the model, shows them in the widgets, then
  // presses the button as a click does (widgets into the model, the handler).
  auto click = [&](const char* what, Control& button) {
    std::printf("%s: press \"%s\"\n", what, Utf8(button.Text).c_str());
    std::fflush(stdout);
    const int before = boxes.shown;
    window.SyncFromModel();
    window.RunClick(button);
    if (boxes.shown == before) std::printf("  no message box\n");
  };

  form.cbKeyLayouts.Select(4);
  click(("Key-layout preset \"" + form.cbKeyLayouts.Text + "\"").c_str(), form.btnSetConfig);

  // A serial number from the time of day, so that each round changes the store.
  char serial[16];
  const std::time_t now = std::time(nullptr);
  std::strftime(serial, sizeof serial, "%H%M%S", std::localtime(&now));
  form.cbConfig.Select(4);  // the serial-number item
  form.txtConfig.Text = serial;
  click(("Option " + Utf8(form.cbConfig.Text) + " = " + serial).c_str(), form.btWriteConfig);

  form.edtOEMVender.Text = "Quelmark Demo";
  form.edtProduct.Text = "QM-7 Gate";
  click("OEM identity \"Quelmark Demo\" / \"QM-7 Gate\"", form.btnOpen);

  form.cbVoices.Select(0);
  click("Voice \"QZX\"", form.btnSetVoices);

  click("Diagnostics", form.Button2);
  for (Control* e : {&form.Edit1, &form.Edit2, &form.Edit3, &form.Edit4, &form.Edit5})
    std::printf("  %s = %s\n", e->Name.c_str(), Utf8(e->Text).c_str());

  form.cbConfig.Text = "~DeviceName";
  form.txtConfig.Text = "";
  click("Read option ~DeviceName", form.btReadConfig);
  std::printf("  value read: %s\n", Utf8(form.txtConfig.Text).c_str());
  std::fflush(stdout);

  form.Messages = previous;
}
