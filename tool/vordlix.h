// The tool's unit for the device-communication library: the library's four
// functions, reached through a replaceable interface, and the option commands
// GetOption (command 11) and SetOption (command 12) with the masking of hidden
// options. Texts are 8-bit (CP936 bytes), NUL-terminated toward the library.
#pragma once

#include <cstdint>
#include <string>

#include <vordlix/vordlix.h>

namespace vordlix {

// The library as the tool sees it. The default instance calls the C functions;
// tests put a recording fake in its place with SetLibrary.
class Library {
 public:
  virtual ~Library() = default;
  virtual int32_t Init(const char* module, const char* address, int32_t port, int32_t baud,
                       int32_t extra1, int32_t extra2) = 0;
  virtual int32_t SendCmd(int32_t handle, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                          int32_t timeout_ms) = 0;
  virtual int32_t SendCmdData(int32_t handle, uint16_t* reply, const void* data, int32_t length,
                              const void* params, int32_t params_length, int32_t timeout_ms) = 0;
  virtual int32_t Close(int32_t handle) = 0;
};

// The library the free GetOption/SetOption below use: the real one unless a
// replacement was set. TForm1 takes its library as a port of its own instead.
Library& CurrentLibrary();
// Puts a replacement in place (nullptr: the real library again); returns the previous one.
Library* SetLibrary(Library* library);

constexpr uint16_t kReplyOk = 2000;
constexpr uint16_t kCmdGetOption = 11;
constexpr uint16_t kCmdSetOption = 12;
constexpr int32_t kGetOptionBufferSize = 200;  // request buffer of a read
constexpr int32_t kGetOptionTimeoutMs = 1000;
constexpr int32_t kSetOptionBufferSize = 100;  // buffer size passed with every write
constexpr int32_t kSetOptionTimeoutMs = 2000;
constexpr int32_t kSetOptionWorkArea = 400;    // holds the request text of a write and its NUL
// The longest option name that fits the read's buffer with its NUL.
constexpr std::size_t kMaxOptionNameLength = kGetOptionBufferSize - 1;
// The longest request text (plain or masked) that fits the work area with its NUL.
constexpr std::size_t kMaxRequestTextLength = kSetOptionWorkArea - 1;

// One draw of the run-wide seed generator (0 to 254).
uint32_t DrawSeed();
// Test support: puts the seed generator back to its state at program start.
void ResetSeedGeneratorForTesting();

}  // namespace vordlix

// Reads one option. The empty text when the terminal did not answer 2000, and
// when the name does not fit the request buffer (nothing is sent then).
std::string GetOption(int32_t handle, const std::string& name);

// Writes one option string "Name=Value" after reading the current value; true when
// the option holds the new value. An option string whose name or request text does
// not fit the buffers fails as a failed write, without any library call.
bool SetOption(int32_t handle, const std::string& option);

// The same through a given library (TForm1's port).
std::string GetOption(vordlix::Library& library, int32_t handle, const std::string& name);
bool SetOption(vordlix::Library& library, int32_t handle, const std::string& option);
