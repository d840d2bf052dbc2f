// quelmark, provisioning from the command line: the window's operations (options,
// presets, serial number, OEM identity, voice, diagnostics), version and restart,
// flash read-back, the boot-loader update with backup and verification, the main
// firmware write, and a batch of terminals at once. See cli/README.md.
#pragma once

#include <string>
#include <vector>

#include "cli/host.h"

namespace qcli {

// Exit codes (also in the help text and cli/README.md).
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;         // bad command line, or a settings field that is no integer
constexpr int kExitRefused = 2;       // input refused before anything was sent
constexpr int kExitNoConnection = 3;  // the terminal could not be reached
constexpr int kExitFailed = 4;        // a command or write failed on the terminal
constexpr int kExitMismatch = 5;      // read-back differs (boot update: backup restored)
constexpr int kExitRestoreFailed = 6; // boot update failed and the backup could not be restored
constexpr int kExitBatchFailed = 7;   // batch: at least one row failed (see the report)

// The whole program: `args` are the arguments after the program name.
int Main(Host& host, const std::vector<std::string>& args);

// The help text.
std::string Usage();

}  // namespace qcli
