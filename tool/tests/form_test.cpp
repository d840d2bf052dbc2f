// The window model at start-up, the transport buttons, the do-nothing buttons
// and the default error report.
#include <gtest/gtest.h>

#include <algorithm>

#include "tool/tests/fake_terminal.h"
#include "tool/ops/texts_cp936.h"
#include "tool/uOEM.h"

namespace {

TEST(FormStartUp, WhatTheUserSees) {
  TForm1 form;
  EXPECT_EQ(form.Caption, "Quelmark Config");
  EXPECT_EQ(form.ApplicationTitle, "Quelmark Config");
  EXPECT_EQ(form.Width, 330);
  EXPECT_EQ(form.Height, 193);
  EXPECT_FALSE(form.Maximized);
  EXPECT_TRUE(form.CenteredOnDesktop);
  EXPECT_EQ(form.DeviceHandle, 0);

  EXPECT_TRUE(form.sbtnTCPIP.Down);
  EXPECT_FALSE(form.sbtnRS232.Down);
  EXPECT_EQ(form.edtnetAddress.Label, "IP Address:");
  EXPECT_EQ(form.edtNetPort.Label, "Port Number:");
  EXPECT_EQ(form.edtBaudRate.Label, "BaudRate:");
  EXPECT_EQ(form.edtnetAddress.Text, "192.168.1.201");
  EXPECT_EQ(form.edtNetPort.Text, "$1112");
  EXPECT_EQ(form.edtBaudRate.Text, "115200");

  EXPECT_FALSE(form.Panel2.Visible);
  EXPECT_EQ(form.Panel3.Left, 24);
  EXPECT_EQ(form.Panel3.Top, 40);
  EXPECT_EQ(form.cbKeyLayouts.ItemIndex, -1);
  EXPECT_EQ(form.cbKeyLayouts.Text, "");
  EXPECT_EQ(form.cbVoices.ItemIndex, -1);
  EXPECT_EQ(form.cbConfig.Text, "");
  EXPECT_EQ(form.Edit1.Text, "Edit1");
  EXPECT_EQ(form.Edit4.Text, "Edit1");
}

TEST(FormStartUp, OnlyTheSettingsAndTheKeyLayoutPanelLieInTheClientArea) {
  // The outer 330 x 193 leaves at most that much client area; every control of the
  // window that is visible and lies inside it is one of these.
  TForm1 form;
  std::vector<std::string> inView;
  for (Control* c : form.Controls()) {
    if (!c->Parent.empty() || !c->Visible) continue;
    if (c->Left < form.Width && c->Top < form.Height) inView.push_back(c->Name);
  }
  EXPECT_EQ(inView, (std::vector<std::string>{"sbtnTCPIP", "sbtnRS232", "edtnetAddress", "edtNetPort",
                                              "edtBaudRate", "Panel3"}));
  // The others stay enabled, the OEM panel's contents included.
  for (Control* c : form.Controls()) EXPECT_TRUE(c->Enabled) << c->Name;
  EXPECT_TRUE(form.btnOpen.Default);
}

TEST(FormStartUp, TabOrderOfTheWindowAndItsPanels) {
  TForm1 form;
  auto order = [&](const std::string& parent) {
    std::vector<std::pair<int, std::string>> entries;
    for (Control* c : form.Controls())
      if (c->Parent == parent && c->TabOrder >= 0) entries.emplace_back(c->TabOrder, c->Name);
    std::sort(entries.begin(), entries.end());
    std::vector<std::string> names;
    for (auto& e : entries) names.push_back(e.second);
    return names;
  };
  EXPECT_EQ(order(""), (std::vector<std::string>{"Panel2", "Panel1", "edtnetAddress", "edtNetPort", "edtBaudRate",
                                                 "Button2", "Edit1", "Edit2", "Edit3", "Edit4", "Edit5", "Panel3",
                                                 "Panel4", "Panel5", "PanelVoices"}));
  EXPECT_EQ(order("Panel2"), (std::vector<std::string>{"btnOpen", "edtOEMVender", "edtProduct"}));
  EXPECT_EQ(order("Panel1"), (std::vector<std::string>{"btWriteConfig", "cbConfig", "txtConfig", "btReadConfig"}));
  EXPECT_EQ(order("Panel3"), (std::vector<std::string>{"cbKeyLayouts", "btnSetConfig"}));
  EXPECT_EQ(order("PanelVoices"), (std::vector<std::string>{"cbVoices", "btnSetVoices"}));
  EXPECT_EQ(form.sbtnTCPIP.TabOrder, -1);
  EXPECT_EQ(form.lblConfig.TabOrder, -1);
}

TEST(FormStartUp, ItemsAndCaptions) {
  TForm1 form;
  EXPECT_EQ(form.cbKeyLayouts.Items.size(), 8u);
  EXPECT_EQ(form.cbKeyLayouts.Items[4], "R7 In/Out");
  EXPECT_EQ(form.cbConfig.Items, (std::vector<std::string>{"ShowCheckIn", "VTRAKeyLayouts", "~KeyLayout",
                                                            "~ShowState", cp936::kSerialNumberItem}));
  EXPECT_EQ(form.cbVoices.Items, (std::vector<std::string>{"QZX"}));
  EXPECT_EQ(form.Label3.Text, "Update firmware for startup problem ");
  EXPECT_EQ(form.btnOpen.Text, cp936::kBtnOpenCaption);
  EXPECT_EQ(form.edtOEMVender.MaxLength, 16u);
  EXPECT_EQ(form.txtConfig.MaxLength, 0u);
}

TEST(TransportButtons, RefillTheSettingsFields) {
  TForm1 form;
  fake::Rig rig(form);
  form.edtBaudRate.Text = "9600";
  form.Click(form.sbtnRS232);
  EXPECT_TRUE(form.sbtnRS232.Down);
  EXPECT_FALSE(form.sbtnTCPIP.Down);
  EXPECT_EQ(form.edtnetAddress.Label, "Com Port:");
  EXPECT_EQ(form.edtNetPort.Label, "Device ID:");
  EXPECT_EQ(form.edtnetAddress.Text, "COM1");
  EXPECT_EQ(form.edtNetPort.Text, "1");
  EXPECT_EQ(form.edtBaudRate.Label, "BaudRate:");
  EXPECT_EQ(form.edtBaudRate.Text, "9600");

  // Clicking the pressed button again overwrites what was typed.
  form.edtnetAddress.Text = "COM7";
  form.Click(form.sbtnRS232);
  EXPECT_EQ(form.edtnetAddress.Text, "COM1");

  form.Click(form.sbtnTCPIP);
  form.edtnetAddress.Text = "10.0.0.1";
  form.edtNetPort.Text = "99";
  form.Click(form.sbtnTCPIP);
  EXPECT_TRUE(form.sbtnTCPIP.Down);
  EXPECT_FALSE(form.sbtnRS232.Down);
  EXPECT_EQ(form.edtnetAddress.Text, "192.168.1.201");
  EXPECT_EQ(form.edtNetPort.Text, "$1112");
  EXPECT_EQ(form.edtnetAddress.Label, "IP Address:");
  EXPECT_TRUE(rig.terminal.trace.empty());  // no connection, no box
}

TEST(DoNothingButtons, TouchNothing) {
  TForm1 form;
  fake::Rig rig(form);
  form.Click(form.btnR7);
  form.Click(form.btnRestore);
  EXPECT_TRUE(rig.terminal.trace.empty());
  EXPECT_EQ(form.edtnetAddress.Text, "192.168.1.201");
}

TEST(DefaultErrorReport, AddsAFullStopAfterLettersAndDigitsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"Boom", "Boom."}, {"Code 7", "Code 7."}, {"Done!", "Done!"}, {"End.", "End."},
      {"x'", "x'"},      {"", ""},              {"\xD0\xF2", "\xD0\xF2."},  // a byte above "." sorts after it
  };
  for (const auto& [message, shown] : cases) {
    TForm1 form;
    fake::Rig rig(form);
    form.ShowDefaultErrorReport(message);
    EXPECT_EQ(rig.terminal.trace, (std::vector<std::string>{fake::ErrorReport(shown)}));
  }
}

TEST(CloseRequest, GoesToTheFrontEnd) {
  TForm1 form;
  int asked = 0;
  form.OnCloseRequest = [&] { ++asked; };
  form.Close();
  EXPECT_EQ(asked, 1);
}

}  // namespace
