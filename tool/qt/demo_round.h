// The demo round of the main job on a machine without a display: the window's
// own operations driven through its buttons, one after the other, with every
// message box's text printed instead of waiting for a person to close it.
#pragma once

class MainWindow;
class TForm1;

// Runs a preset, the serial number, the OEM identity, the voice, the
// diagnostics and a read on the shown window; prints what each click showed.
void RunDemoRound(MainWindow& window, TForm1& form);
