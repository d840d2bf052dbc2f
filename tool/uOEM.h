// The main window "Quelmark Config" as a model in plain C++: every control as
// data, FormCreate, the transport buttons, the connect/close operations and the
// click handler of each device operation. A front end (tool/qt/) draws the
// controls and forwards clicks to Click(); message boxes go out through a
// MessagePort, the library through its Library port. Texts are CP936 bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tool/ops/operations.h"
#include "tool/ops/voice_config.h"
#include "tool/vordlix.h"

class TForm1;

enum class ControlKind {
  Panel,         // bevelled frame without caption, holds other controls
  Button,        // push button; Text is its caption
  SpeedButton,   // flat picture toggle button (the transport buttons)
  LabeledEdit,   // edit field with Label above it
  Edit,          // single-line edit field
  ComboBox,      // editable combo box: Text is free, Items are suggestions
  DropDownList,  // combo box that cannot be edited: Text is the selected item's
  Label,         // static text; Text is its caption
};

struct Control {
  using Handler = void (TForm1::*)(void* sender);

  std::string Name;
  ControlKind Kind = ControlKind::Label;
  std::string Parent;  // name of the panel that holds it; empty for the window itself
  int Left = 0, Top = 0, Width = 0, Height = 0;
  std::string Text;
  std::string Label;   // LabeledEdit only
  std::vector<std::string> Items;
  int ItemIndex = -1;  // lists: -1 = nothing selected
  bool Visible = true;
  bool Enabled = true;
  std::size_t MaxLength = 0;  // characters that can be typed (a two-byte CP936 character counts one); 0 = no limit
  int TabOrder = -1;          // place in its parent's tab order; -1 = takes no focus
  bool Down = false;          // SpeedButton: pressed
  int GroupIndex = 0;         // SpeedButton: pressing one of a group releases the others
  bool Default = false;       // the window's default button (Enter)
  Handler OnClick = nullptr;

  // Lists: selects an item (-1: none) and sets Text to it.
  void Select(int index);
};

enum class BoxKind { Warning, Information, Error };
enum class BoxButton { OK, Cancel };

struct MessageBoxRequest {
  BoxKind Kind;
  std::string Caption;
  std::string Text;
  BoxButton Button;
};

// Shows one modal message box and returns when it has been dismissed.
class MessagePort {
 public:
  virtual ~MessagePort() = default;
  virtual void Show(const MessageBoxRequest& box) = 0;
};

class TForm1 {
 public:
  TForm1();  // the form description's settings, then FormCreate
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // ---- controls placed on the window
  Control sbtnTCPIP, sbtnRS232;
  Control edtnetAddress, edtNetPort, edtBaudRate;
  Control Edit1, Edit2, Edit3, Edit4, Edit5;  // Edit5 shows the diagnostic value V3
  Control Button2;
  Control Panel2, Panel1, Panel3, Panel4, Panel5, PanelVoices;
  // ---- Panel2: OEM identity
  Control btnOpen, edtOEMVender, edtProduct;
  // ---- Panel1: option read/write
  Control Label1, cbConfig, txtConfig, btWriteConfig, btReadConfig;
  // ---- Panel3: key-layout presets
  Control lblConfig, cbKeyLayouts, btnSetConfig;
  // ---- Panel4: boot-loader update
  Control Label3, btnUpdateBoot;
  // ---- Panel5
  Control btnR7, btnRestore;
  // ---- PanelVoices
  Control Label4, cbVoices, btnSetVoices;

  // ---- the window itself
  std::string Caption;
  std::string ApplicationTitle;  // taskbar text and caption of the default error report
  int Width = 0, Height = 0;     // outer size
  int ClientWidth = 0, ClientHeight = 0;  // client size of the form description
  bool Maximized = false;        // window state of the form description
  bool CenteredOnDesktop = true;

  // ---- private state of the window
  int32_t DeviceHandle = 0;      // device handle of the open connection; 0 = none
  std::unique_ptr<VoiceConfigReader> VoiceConfig;
  std::string UpdaterDir;        // folder into which the boot updater was last written

  // ---- ports to the outside; replaceable in tests
  MessagePort* Messages = nullptr;            // no port: boxes are dropped
  vordlix::Library* Library = nullptr;        // no port: the real library
  std::function<void(uint32_t ms)> SleepMs;   // the settle pause
  std::function<void()> OnCloseRequest;       // asks the front end to close the window

  // Every control, in creation order (panels before their contents).
  std::vector<Control*> Controls();
  Control* FindControl(const std::string& name);

  // Runs a click as the front end does: presses a grouped speed button, runs the
  // control's handler and shows an error that escapes it in the default error
  // report. A connection that a failing handler left open is closed.
  void Click(Control& control);

  // ---- handlers
  void FormCreate(void* Sender);
  void sbtnTCPIPClick(void* Sender);
  void sbtnRS232Click(void* Sender);
  void btnOpenClick(void* Sender);
  void btWriteConfigClick(void* Sender);
  void btReadConfigClick(void* Sender);
  void btnSetConfigClick(void* Sender);
  void btnSetVoicesClick(void* Sender);
  void Button2Click(void* Sender);
  void btnR7Click(void* Sender);
  void btnRestoreClick(void* Sender);

  // ---- the updater launch (tool/uOEM_update.cpp)
  void btnUpdateBootClick(void* Sender);
  void ExtractUpdater();
  int32_t RunAndWait(const std::string& commandLine, int showState);

  // ---- device connection
  void NormaliseAddress();   // trims, upper-cases and writes back edtnetAddress
  bool ConnectFromSettings();
  void SettlePause();        // 300 ms after a connect
  void CloseConnection();

  // ---- message boxes
  void ShowBox(BoxKind kind, const std::string& caption, const std::string& text, BoxButton button);
  void ShowWarning(const std::string& text);      // "Warning", one "Cancel" button
  void ShowInformation(const std::string& text);  // "Information", one "OK" button
  void ShowError(const std::string& text);        // "Error", one "OK" button
  void ShowDefaultErrorReport(const std::string& message);
  void ShowOutcome(const ops::Outcome& outcome);  // the outcome's box, if any
  // After a write: on success the connection is closed before the box, on
  // failure once the box has been dismissed.
  void ShowOutcomeAndClose(const ops::Outcome& outcome);

  // Asks the front end to close the window (ends the program).
  void Close();

  // Writes one option string up to three times, stopping at the first success.
  bool RetriedWrite(const std::string& option);
  // SetOption on the connection in the device-handle field.
  ops::WriteOption WriteOnConnection();

  static constexpr uint32_t kSettlePauseMs = 300;

 private:
  vordlix::Library& Lib() { return Library ? *Library : vordlix::CurrentLibrary(); }
  void LoadFormDescription();
};

// The size of a file, for the updater extraction (tool/uOEM_update.cpp).
uint32_t FileSizeOnDisk(const std::string& path);
