#include "tool/uOEM.h"

#include <exception>

#include "platform/process.h"
#include "tool/ops/connection.h"
#include "tool/ops/operations.h"
#include "tool/ops/sysutils.h"
#include "tool/ops/texts_cp936.h"
#include "tool/vordlix.h"

namespace {

const char kTitle[] = "Quelmark Config";

Control Make(const char* name, ControlKind kind, const char* parent, int left, int top, int width,
             int height, const std::string& text, int tabOrder) {
  Control c;
  c.Name = name;
  c.Kind = kind;
  c.Parent = parent;
  c.Left = left;
  c.Top = top;
  c.Width = width;
  c.Height = height;
  c.Text = text;
  c.TabOrder = tabOrder;
  return c;
}

}  // namespace

void Control::Select(int index) {
  if (index < 0 || index >= static_cast<int>(Items.size())) {
    ItemIndex = -1;
    Text.clear();
  } else {
    ItemIndex = index;
    Text = Items[static_cast<std::size_t>(index)];
  }
}

TForm1::TForm1() : VoiceConfig(new IniVoiceConfig(DefaultVoiceConfigPath())), SleepMs(platform::Sleep) {
  LoadFormDescription();
  FormCreate(this);
}

// The settings every control holds when creation ends, before FormCreate.
void TForm1::LoadFormDescription() {
  using K = ControlKind;
  Caption = "OEM Information Writer";
  ClientWidth = 618;
  ClientHeight = 667;
  Maximized = true;
  Width = ClientWidth + 6;    // outer size of the description: client plus a dialog frame
  Height = ClientHeight + 25;

  sbtnTCPIP = Make("sbtnTCPIP", K::SpeedButton, "", 8, 1, 18, 17, "", -1);
  sbtnTCPIP.GroupIndex = 1;
  sbtnTCPIP.OnClick = &TForm1::sbtnTCPIPClick;
  sbtnRS232 = Make("sbtnRS232", K::SpeedButton, "", 8, 19, 18, 17, "", -1);
  sbtnRS232.GroupIndex = 1;
  sbtnRS232.Down = true;
  sbtnRS232.OnClick = &TForm1::sbtnRS232Click;

  edtnetAddress = Make("edtnetAddress", K::LabeledEdit, "", 32, 16, 81, 21, "192.168.1.201", 2);
  edtnetAddress.Label = "IP Address:";
  edtNetPort = Make("edtNetPort", K::LabeledEdit, "", 120, 16, 41, 21, "$1112", 3);
  edtNetPort.Label = "Port Number:";
  edtBaudRate = Make("edtBaudRate", K::LabeledEdit, "", 192, 16, 49, 21, "115200", 4);
  edtBaudRate.Label = "BaudRate:";

  Edit1 = Make("Edit1", K::Edit, "", 24, 336, 121, 21, "Edit1", 6);
  Edit2 = Make("Edit2", K::Edit, "", 24, 360, 121, 21, "Edit1", 7);
  Edit3 = Make("Edit3", K::Edit, "", 160, 336, 121, 21, "Edit1", 8);
  Edit4 = Make("Edit4", K::Edit, "", 160, 360, 121, 21, "Edit1", 9);
  Edit5 = Make("Edit5", K::Edit, "", 24, 392, 121, 21, "Edit1", 10);
  Button2 = Make("Button2", K::Button, "", 224, 392, 75, 25, "Button2", 5);
  Button2.OnClick = &TForm1::Button2Click;

  Panel2 = Make("Panel2", K::Panel, "", 24, 40, 273, 153, "", 0);
  Panel1 = Make("Panel1", K::Panel, "", 16, 200, 297, 129, "", 1);
  Panel3 = Make("Panel3", K::Panel, "", 25, 336, 280, 113, "", 11);
  Panel4 = Make("Panel4", K::Panel, "", 16, 456, 281, 73, "", 12);
  Panel5 = Make("Panel5", K::Panel, "", 16, 536, 281, 73, "", 13);
  PanelVoices = Make("PanelVoices", K::Panel, "", 337, 56, 280, 113, "", 14);

  btnOpen = Make("btnOpen", K::Button, "Panel2", 182, 116, 75, 25, cp936::kBtnOpenCaption, 0);
  btnOpen.Default = true;
  btnOpen.OnClick = &TForm1::btnOpenClick;
  edtOEMVender = Make("edtOEMVender", K::LabeledEdit, "Panel2", 16, 32, 241, 21, "", 1);
  edtOEMVender.Label = cp936::kLabelVendor;
  edtOEMVender.MaxLength = ops::kOemNameMaxChars;
  edtProduct = Make("edtProduct", K::LabeledEdit, "Panel2", 16, 80, 241, 21, "", 2);
  edtProduct.Label = cp936::kLabelProduct;
  edtProduct.MaxLength = ops::kOemNameMaxChars;

  Label1 = Make("Label1", K::Label, "Panel1", 16, 12, 0, 13, "Config", -1);
  btWriteConfig = Make("btWriteConfig", K::Button, "Panel1", 126, 96, 75, 25, "Write", 0);
  btWriteConfig.OnClick = &TForm1::btWriteConfigClick;
  cbConfig = Make("cbConfig", K::ComboBox, "Panel1", 16, 32, 145, 21, "", 1);
  cbConfig.Items = {"ShowCheckIn", "VTRAKeyLayouts", "~KeyLayout", "~ShowState", cp936::kSerialNumberItem};
  txtConfig = Make("txtConfig", K::Edit, "Panel1", 16, 64, 265, 21, "", 2);
  btReadConfig = Make("btReadConfig", K::Button, "Panel1", 206, 96, 75, 25, "Read", 3);
  btReadConfig.OnClick = &TForm1::btReadConfigClick;

  lblConfig = Make("lblConfig", K::Label, "Panel3", 16, 12, 0, 13, "KeyLayouts", -1);
  cbKeyLayouts = Make("cbKeyLayouts", K::DropDownList, "Panel3", 16, 32, 249, 21, "", 0);
  for (const ops::KeyLayoutPreset& preset : ops::KeyLayoutPresets()) cbKeyLayouts.Items.push_back(preset.item);
  btnSetConfig = Make("btnSetConfig", K::Button, "Panel3", 190, 72, 75, 25, "SetConfig", 1);
  btnSetConfig.OnClick = &TForm1::btnSetConfigClick;

  Label3 = Make("Label3", K::Label, "Panel4", 16, 12, 0, 13, "Update firmware for startup problem ", -1);
  btnUpdateBoot = Make("btnUpdateBoot", K::Button, "Panel4", 190, 36, 75, 25, "Update", 0);
  btnUpdateBoot.OnClick = &TForm1::btnUpdateBootClick;

  btnR7 = Make("btnR7", K::Button, "Panel5", 16, 24, 75, 25, "R7", 0);
  btnR7.OnClick = &TForm1::btnR7Click;
  btnRestore = Make("btnRestore", K::Button, "Panel5", 104, 24, 75, 25, cp936::kBtnRestoreCaption, 1);
  btnRestore.OnClick = &TForm1::btnRestoreClick;

  Label4 = Make("Label4", K::Label, "PanelVoices", 16, 12, 0, 13, "Voices", -1);
  cbVoices = Make("cbVoices", K::DropDownList, "PanelVoices", 16, 32, 249, 21, "", 0);
  cbVoices.Items = {"QZX"};
  btnSetVoices = Make("btnSetVoices", K::Button, "PanelVoices", 190, 72, 75, 25, "SetConfig", 1);
  btnSetVoices.OnClick = &TForm1::btnSetVoicesClick;
}

std::vector<Control*> TForm1::Controls() {
  return {&sbtnTCPIP, &sbtnRS232, &edtnetAddress, &edtNetPort, &edtBaudRate, &Edit1, &Edit2,
          &Edit3, &Edit4, &Edit5, &Button2, &Panel2, &Panel1, &Panel3, &Panel4, &Panel5,
          &PanelVoices, &btnOpen, &edtOEMVender, &edtProduct, &Label1, &cbConfig, &txtConfig,
          &btWriteConfig, &btReadConfig, &lblConfig, &cbKeyLayouts, &btnSetConfig, &Label3,
          &btnUpdateBoot, &btnR7, &btnRestore, &Label4, &cbVoices, &btnSetVoices};
}

Control* TForm1::FindControl(const std::string& name) {
  for (Control* c : Controls())
    if (c->Name == name) return c;
  return nullptr;
}

void TForm1::Click(Control& control) {
  if (control.Kind == ControlKind::SpeedButton && control.GroupIndex != 0) {
    for (Control* c : Controls())
      if (c->Kind == ControlKind::SpeedButton && c->GroupIndex == control.GroupIndex) c->Down = false;
    control.Down = true;
  }
  if (!control.OnClick) return;
  try {
    (this->*control.OnClick)(&control);
  } catch (const std::exception& e) {
    // No connection outlives the click, also when an error ends the handler early.
    if (DeviceHandle != 0) CloseConnection();
    ShowDefaultErrorReport(e.what());
  }
}

// ---------------------------------------------------------------- start-up

void TForm1::FormCreate(void*) {
  DeviceHandle = 0;
  sbtnTCPIP.Down = true;
  sbtnRS232.Down = false;
  sbtnTCPIPClick(&sbtnTCPIP);
  ApplicationTitle = kTitle;
  Panel2.Visible = false;
  Panel3.Top = Panel2.Top;
  Panel3.Left = Panel2.Left;
  Caption = kTitle;
  Height = Panel3.Height + 80;
  Width = 330;
  // The dialog border takes the normal window state when the system window is made.
  Maximized = false;
}

void TForm1::sbtnTCPIPClick(void*) {
  edtnetAddress.Label = "IP Address:";
  edtNetPort.Label = "Port Number:";
  edtnetAddress.Text = "192.168.1.201";
  edtNetPort.Text = "$1112";
}

void TForm1::sbtnRS232Click(void*) {
  edtnetAddress.Label = "Com Port:";
  edtNetPort.Label = "Device ID:";
  edtnetAddress.Text = "COM1";
  edtNetPort.Text = "1";
}

void TForm1::btnR7Click(void*) {}
void TForm1::btnRestoreClick(void*) {}

void TForm1::Close() {
  if (OnCloseRequest) OnCloseRequest();
}

// ---------------------------------------------------------------- connection

void TForm1::NormaliseAddress() { edtnetAddress.Text = ops::NormaliseAddress(edtnetAddress.Text); }

bool TForm1::ConnectFromSettings() {
  NormaliseAddress();
  const std::string address = edtnetAddress.Text;
  DeviceHandle = 0;
  const ops::ConnectionSettings settings = ops::ConvertSettings(address, edtNetPort.Text, edtBaudRate.Text);
  DeviceHandle = ops::OpenConnection(Lib(), address, settings);
  return DeviceHandle != 0;
}

void TForm1::SettlePause() {
  if (SleepMs) SleepMs(kSettlePauseMs);
}

void TForm1::CloseConnection() {
  Lib().Close(DeviceHandle);
  DeviceHandle = 0;
}

bool TForm1::RetriedWrite(const std::string& option) { return ops::RetriedWrite(WriteOnConnection(), option); }

ops::WriteOption TForm1::WriteOnConnection() {
  return [this](const std::string& option) { return SetOption(Lib(), DeviceHandle, option); };
}

// ---------------------------------------------------------------- message boxes

void TForm1::ShowBox(BoxKind kind, const std::string& caption, const std::string& text, BoxButton button) {
  if (Messages) Messages->Show(MessageBoxRequest{kind, caption, text, button});
}

void TForm1::ShowWarning(const std::string& text) { ShowBox(BoxKind::Warning, "Warning", text, BoxButton::Cancel); }

void TForm1::ShowInformation(const std::string& text) {
  ShowBox(BoxKind::Information, "Information", text, BoxButton::OK);
}

void TForm1::ShowError(const std::string& text) { ShowBox(BoxKind::Error, "Error", text, BoxButton::OK); }

void TForm1::ShowOutcome(const ops::Outcome& outcome) {
  if (outcome.box == ops::Outcome::Box::Information) ShowInformation(outcome.text);
  if (outcome.box == ops::Outcome::Box::Warning) ShowWarning(outcome.text);
}

void TForm1::ShowDefaultErrorReport(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  ShowBox(BoxKind::Error, ApplicationTitle, text, BoxButton::OK);
}

// ---------------------------------------------------------------- OEM identity

void TForm1::btnOpenClick(void*) {
  // The cut keeps whole characters: a two-byte character that would straddle
  // byte 16 is left out.
  edtOEMVender.Text = ops::CutOemName(edtOEMVender.Text);
  edtProduct.Text = ops::CutOemName(edtProduct.Text);
  if (!ConnectFromSettings()) {
    ShowWarning(cp936::kMsgCannotConnectOem);
    return;
  }
  SettlePause();
  ops::WriteOemIdentity(WriteOnConnection(), edtOEMVender.Text, edtProduct.Text,
                        [this](const ops::Outcome& outcome) { ShowOutcome(outcome); });
  CloseConnection();
}

// ---------------------------------------------------------------- option panel

// Success: closed, then the box; failure: the box, then closed.
void TForm1::ShowOutcomeAndClose(const ops::Outcome& outcome) {
  if (outcome.Failed()) {
    ShowOutcome(outcome);
    CloseConnection();
  } else {
    CloseConnection();
    ShowOutcome(outcome);
  }
}

void TForm1::btWriteConfigClick(void*) {
  if (Trim(cbConfig.Text).empty()) {
    ShowWarning(ops::kSelectValue);
    return;
  }
  NormaliseAddress();
  const bool serialNumber = cbConfig.Text == cp936::kSerialNumberItem;
  std::string option;
  if (serialNumber) {
    const ops::SerialNumberCheck check = ops::CheckSerialNumber(txtConfig.Text);
    if (!check.Accepted()) {
      ShowOutcome(check.refusal);
      return;
    }
    option = check.option;
  }
  if (!ConnectFromSettings()) {
    ShowWarning(ops::kCannotConnect);
    return;
  }
  SettlePause();
  if (!serialNumber) option = Trim(cbConfig.Text) + "=" + Trim(txtConfig.Text);
  ShowOutcomeAndClose(ops::WriteWithRetries(WriteOnConnection(), option));
}

void TForm1::btReadConfigClick(void*) {
  if (!ConnectFromSettings()) {
    ShowWarning(ops::kCannotConnect);
    return;
  }
  const std::string name =
      cbConfig.Text == cp936::kSerialNumberItem ? ops::kSerialNumberOption : Trim(cbConfig.Text);
  txtConfig.Text = GetOption(Lib(), DeviceHandle, name);
  CloseConnection();
}

// ---------------------------------------------------------------- key-layout presets

void TForm1::btnSetConfigClick(void*) {
  if (Trim(cbKeyLayouts.Text).empty()) {
    ShowWarning(ops::kSelectValue);
    return;
  }
  if (!ConnectFromSettings()) {
    ShowWarning(ops::kCannotConnect);
    return;
  }
  SettlePause();
  // Every string of the preset must reach the terminal before "Success!"
  // (ops::WritePreset).
  ShowOutcomeAndClose(ops::WritePreset(WriteOnConnection(), cbKeyLayouts.ItemIndex));
}

// ---------------------------------------------------------------- voices

void TForm1::btnSetVoicesClick(void*) {
  if (!ConnectFromSettings()) {
    ShowWarning(ops::kCannotConnect);
    return;
  }
  const ops::VoiceLookup voice = ops::LookUpVoice(VoiceConfig.get(), cbVoices.Text);
  ShowOutcome(voice.Found() ? ops::WriteVoice(WriteOnConnection(), voice.option) : voice.refusal);
  CloseConnection();
}

// ---------------------------------------------------------------- diagnostics

void TForm1::Button2Click(void*) {
  if (!ConnectFromSettings()) {
    ShowWarning(ops::kCannotConnect);
    return;
  }
  Edit1.Text = GetOption(Lib(), DeviceHandle, "V0");
  Edit2.Text = GetOption(Lib(), DeviceHandle, "V1");
  Edit3.Text = GetOption(Lib(), DeviceHandle, "V2");
  Edit5.Text = GetOption(Lib(), DeviceHandle, "V3");
  Edit4.Text = GetOption(Lib(), DeviceHandle, "V4");
  CloseConnection();
}
