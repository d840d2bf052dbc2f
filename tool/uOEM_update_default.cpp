// Weak stand-ins for the updater launch, so that the tool links before the
// launch itself (uOEM_update.cpp, added by update.cmake) is part of the build.
// They do nothing: the Update button has no effect without the launch.
#include "uOEM.h"

__attribute__((weak)) void TForm1::btnUpdateBootClick(void*) {}
__attribute__((weak)) void TForm1::ExtractUpdater() {}
__attribute__((weak)) int32_t TForm1::RunAndWait(const std::string&, int) { return -1; }
__attribute__((weak)) uint32_t FileSizeOnDisk(const std::string&) { return 0; }
