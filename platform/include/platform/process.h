// Processes and waiting, in place of Win32's Sleep, CreateProcess/WaitForSingleObject
// and the shell's fire-and-forget ShellExecute.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Blocks the calling thread for `ms` milliseconds (resumes after signals).
void Sleep(uint32_t ms);

// Splits a command line into words as a Windows program's start-up code does:
// blanks and tabs separate words, double quotes group blanks into a word and are
// dropped; "" makes an empty word. No other escapes.
std::vector<std::string> SplitCommandLine(const std::string& line);

// The first executable file called `name` in the directories of PATH; "" if none.
std::string FindInPath(const std::string& name);

// Starts the program file `program` (a path; never searched for) with the words
// `argv` (argv[0] included), the caller's environment and current directory, and
// waits for its end without time-out. With `hidden` it runs as in a hidden console
// of its own: standard input, output and error go to /dev/null, and it gets a
// process group of its own, so that the terminal signals of the caller's
// terminal (Ctrl-C) do not reach it. Returns the exit status (0..255), 128 + the signal
// number when a signal ended it, or -1 when no process could be started.
int32_t RunAndWait(const std::string& program, const std::vector<std::string>& argv,
                   bool hidden);

// Starts `program` (a path) with `argv` and does not wait for it; its standard
// streams go to /dev/null. It runs as a grandchild that is handed to init at once,
// so no zombie remains whoever ends first. Returns false when not even the
// intermediate process could be created; whether the program ran is not known.
bool StartDetached(const std::string& program, const std::vector<std::string>& argv);

}  // namespace platform
