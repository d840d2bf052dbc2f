// The key-layout presets: the strings of each preset, the chains with a failure
// at each position (every string of a chain must reach the terminal before
// "Success!"), the boxes and when the connection is closed.
#include <gtest/gtest.h>

#include <algorithm>

#include "tool/tests/fake_terminal.h"
#include "tool/ops/operations.h"
#include "tool/uOEM.h"

namespace {

using namespace fake;
using Strings = std::vector<std::string>;

const std::string kVtraR7 = "VTRAKeyLayouts=432A3734303835233936414231323344919294933233";
const std::string kVtraOriginal = "VTRAKeyLayouts=322A3023373839343536334344424131414244433133";
const std::string kVtraOvertime = "VTRAKeyLayouts=322A3023373839343536334344424131414231334443";

struct PresetCase {
  const char* what;
  int index;
  std::map<std::string, int> failWrites;  // option name -> failures to come (-1: always)
  Strings calls;                          // SetOption calls, in order
  bool success;
};

TEST(KeyLayoutPresets, CallsAndOutcome) {
  const PresetCase cases[] = {
      {"index 0, lower-case i", 0, {}, {"ShowCheckin=0"}, true},
      {"index 1", 1, {}, {"ShowCheckIn=1"}, true},
      {"index 2", 2, {}, {kVtraOriginal}, true},
      {"index 2, second attempt", 2, {{"VTRAKeyLayouts", 1}}, {kVtraOriginal, kVtraOriginal}, true},
      {"index 3, always fails", 3, {{"VTRAKeyLayouts", -1}}, {kVtraOvertime, kVtraOvertime, kVtraOvertime}, false},
      {"index 6", 6, {}, {"~PIN2Width=9"}, true},
      {"index 7", 7, {{"~PIN2Width", 2}}, {"~PIN2Width=5", "~PIN2Width=5", "~PIN2Width=5"}, true},
      {"index 4, all written", 4, {},
       {"ShowCheckIn=1", "~KeyLayout=1", "~ShowState=1", kVtraR7, kVtraR7}, true},
      {"index 5, all written", 5, {},
       {"ShowCheckIn=0", "~KeyLayout=0", "~ShowState=0", "~ShowState=0"}, true},
      // A failing string gets the retried write, and the chain goes on after it.
      {"index 4, first string fails once", 4, {{"ShowCheckIn", 1}},
       {"ShowCheckIn=1", "ShowCheckIn=1", "~KeyLayout=1", "~ShowState=1", kVtraR7, kVtraR7}, true},
      {"index 4, second string fails twice", 4, {{"~KeyLayout", 2}},
       {"ShowCheckIn=1", "~KeyLayout=1", "~KeyLayout=1", "~KeyLayout=1", "~ShowState=1", kVtraR7, kVtraR7},
       true},
      {"index 4, second string always fails", 4, {{"~KeyLayout", -1}},
       {"ShowCheckIn=1", "~KeyLayout=1", "~KeyLayout=1", "~KeyLayout=1", "~KeyLayout=1"}, false},
      {"index 4, third string always fails", 4, {{"~ShowState", -1}},
       {"ShowCheckIn=1", "~KeyLayout=1", "~ShowState=1", "~ShowState=1", "~ShowState=1", "~ShowState=1"},
       false},
      {"index 4, last string's first write fails", 4, {{"VTRAKeyLayouts", 1}},
       {"ShowCheckIn=1", "~KeyLayout=1", "~ShowState=1", kVtraR7, kVtraR7}, true},
      {"index 4, last string always fails", 4, {{"VTRAKeyLayouts", -1}},
       {"ShowCheckIn=1", "~KeyLayout=1", "~ShowState=1", kVtraR7, kVtraR7, kVtraR7, kVtraR7}, false},
      {"index 5, first string always fails", 5, {{"ShowCheckIn", -1}},
       {"ShowCheckIn=0", "ShowCheckIn=0", "ShowCheckIn=0", "ShowCheckIn=0"}, false},
      {"index 5, last string fails three times", 5, {{"~ShowState", 3}},
       {"ShowCheckIn=0", "~KeyLayout=0", "~ShowState=0", "~ShowState=0", "~ShowState=0", "~ShowState=0"},
       true},
  };
  for (const PresetCase& c : cases) {
    SCOPED_TRACE(c.what);
    TForm1 form;
    Rig rig(form);
    rig.terminal.storeWrites = false;  // every call reads a differing value and writes
    rig.terminal.failWrites = c.failWrites;
    form.cbKeyLayouts.Select(c.index);
    form.Click(form.btnSetConfig);
    EXPECT_EQ(rig.terminal.WriteRequests(), c.calls);
    const auto& t = rig.terminal.trace;
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[0], Net());
    EXPECT_EQ(t[1], Pause());
    if (c.success) {
      EXPECT_EQ(t[t.size() - 2], Close());  // closed before "Success!"
      EXPECT_EQ(t.back(), Information("Success!"));
    } else {
      EXPECT_EQ(t[t.size() - 2], Warning("Save config fail!"));  // closed after the box
      EXPECT_EQ(t.back(), Close());
    }
    EXPECT_EQ(form.DeviceHandle, 0);
  }
}

TEST(KeyLayoutPresets, ChainOnATerminalThatKeepsItsValues) {
  // The second write of the last string meets the value just written: one read.
  TForm1 form;
  Rig rig(form);
  form.cbKeyLayouts.Select(5);
  form.Click(form.btnSetConfig);
  EXPECT_EQ(rig.terminal.trace,
            (Strings{Net(), Pause(), Get("ShowCheckIn"), Set("ShowCheckIn=0"), Get("~KeyLayout"),
                     Set(Masked("~KeyLayout=0", kSeeds[0])), Get("~ShowState"),
                     Set(Masked("~ShowState=0", kSeeds[1])), Get("~ShowState"), Close(),
                     Information("Success!")}));
  EXPECT_EQ(rig.terminal.options["~KeyLayout"], "0");
  EXPECT_EQ(rig.terminal.options["~ShowState"], "0");
}

TEST(KeyLayoutPresets, NothingSelectedOrNoConnection) {
  TForm1 form;
  Rig rig(form);
  form.Click(form.btnSetConfig);
  EXPECT_EQ(rig.terminal.trace, (Strings{Warning("Pls select a Value")}));  // no connection, no pause

  rig.terminal.trace.clear();
  rig.terminal.nextHandle = 0;
  form.cbKeyLayouts.Select(1);
  form.Click(form.btnSetConfig);
  EXPECT_EQ(rig.terminal.trace, (Strings{Net(), Warning("Can not connect to the device")}));
  EXPECT_EQ(form.cbKeyLayouts.ItemIndex, 1);  // the selection stays
}

TEST(KeyLayoutPresets, KeyLayoutValuesHoldEverySixteenLegendsOnce) {
  for (int index : {2, 3, 4}) {
    const std::string option = ops::PresetStrings(index).back();
    const std::string hex = option.substr(option.find('=') + 1);
    ASSERT_EQ(hex.size(), 44u);
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    std::string legends = bytes.substr(0, 16);
    std::sort(legends.begin(), legends.end());
    EXPECT_EQ(legends, "#*0123456789ABCD") << index;
  }
  EXPECT_TRUE(ops::PresetStrings(-1).empty());
  EXPECT_TRUE(ops::PresetStrings(8).empty());
}

}  // namespace
