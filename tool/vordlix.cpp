#include "tool/vordlix.h"

#include <cstring>
#include <vector>

namespace vordlix {
namespace {

class RealLibrary : public Library {
 public:
  int32_t Init(const char* module, const char* address, int32_t port, int32_t baud, int32_t extra1,
               int32_t extra2) override {
    return VORDLIX_INIT(module, address, port, baud, extra1, extra2);
  }
  int32_t SendCmd(int32_t handle, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                  int32_t timeout_ms) override {
    return VORDLIX_SENDCMD(handle, reply, buffer, size, length, timeout_ms);
  }
  int32_t SendCmdData(int32_t handle, uint16_t* reply, const void* data, int32_t length, const void* params,
                      int32_t params_length, int32_t timeout_ms) override {
    return VORDLIX_SENDCMDDATA(handle, reply, data, length, params, params_length, timeout_ms);
  }
  int32_t Close(int32_t handle) override { return VORDLIX_CLOSE(handle); }
};

RealLibrary g_real;
Library* g_library = &g_real;

// The seed generator's state: 0 at program start, never seeded from elsewhere.
uint32_t g_seedState = 0;

}  // namespace

// Two hex digits, high digit first.
void AppendHex(std::string& out, uint8_t byte) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

Library& CurrentLibrary() { return *g_library; }

Library* SetLibrary(Library* library) {
  Library* previous = g_library;
  g_library = library ? library : &g_real;
  return previous;
}

uint32_t DrawSeed() {
  g_seedState = g_seedState * 134775813u + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(g_seedState) * 255u) >> 32);
}

void ResetSeedGeneratorForTesting() { g_seedState = 0; }

}  // namespace vordlix

namespace {

// The library sees NUL-terminated texts: a text ends at its first NUL.
std::string AsCText(const std::string& text) { return std::string(text.c_str()); }

// The masked form of a hidden option string that holds "=": the name and "=" as
// they are, then the seed byte and the running XOR of every later character, each
// as two hex digits. Draws one seed.
std::string MaskHiddenOption(const std::string& option, std::size_t equalsPos) {
  std::string masked = option.substr(0, equalsPos + 1);
  const uint32_t draw = vordlix::DrawSeed();
  uint8_t running = static_cast<uint8_t>(draw == 0 ? 0xC0 : draw);
  vordlix::AppendHex(masked, running);
  for (std::size_t i = equalsPos + 1; i < option.size(); ++i) {
    running = static_cast<uint8_t>(running ^ static_cast<uint8_t>(option[i]));
    vordlix::AppendHex(masked, running);
  }
  return masked;
}

}  // namespace

std::string GetOption(int32_t handle, const std::string& optionName) {
  return GetOption(vordlix::CurrentLibrary(), handle, optionName);
}

bool SetOption(int32_t handle, const std::string& optionString) {
  return SetOption(vordlix::CurrentLibrary(), handle, optionString);
}

std::string GetOption(vordlix::Library& library, int32_t handle, const std::string& optionName) {
  const std::string name = AsCText(optionName);
  if (name.size() > vordlix::kMaxOptionNameLength) return std::string();

  // One guard byte after the 200 the library may use keeps the value terminated.
  std::vector<char> buffer(vordlix::kGetOptionBufferSize + 1, 0);
  std::memcpy(buffer.data(), name.data(), name.size());
  uint16_t reply = vordlix::kCmdGetOption;
  const int32_t length = static_cast<int32_t>(name.size()) + 1;
  library.SendCmd(handle, &reply, buffer.data(), vordlix::kGetOptionBufferSize, length,
                                    vordlix::kGetOptionTimeoutMs);
  if (reply != vordlix::kReplyOk) return std::string();

  // The reply repeats the name and one separator byte before the value.
  const std::size_t offset = name.size() + 1;
  const std::size_t room = vordlix::kGetOptionBufferSize - offset;
  return std::string(buffer.data() + offset, strnlen(buffer.data() + offset, room));
}

bool SetOption(vordlix::Library& library, int32_t handle, const std::string& optionString) {
  const std::string option = AsCText(optionString);
  const std::size_t equals = option.find('=');
  const bool hasName = equals != std::string::npos && equals > 0;
  const bool hidden = !option.empty() && option[0] == '~' && equals != std::string::npos;

  // Refuse what cannot fit before anything is sent: the name must fit the read,
  // the request text (n + 1 + 2 + 2m bytes when masked) the work area.
  if (hasName && equals > vordlix::kMaxOptionNameLength) return false;
  const std::size_t requestLength = hidden ? option.size() + 2 + (option.size() - equals - 1) : option.size();
  if (requestLength > vordlix::kMaxRequestTextLength) return false;

  if (hasName) {
    const std::string current = GetOption(library, handle, option.substr(0, equals));
    if (current == option.substr(equals + 1, 1000)) return true;
  }

  const std::string request = hidden ? MaskHiddenOption(option, equals) : option;
  std::vector<char> work(vordlix::kSetOptionWorkArea, 0);
  std::memcpy(work.data(), request.data(), request.size());
  uint16_t reply = vordlix::kCmdSetOption;
  library.SendCmd(handle, &reply, work.data(), vordlix::kSetOptionBufferSize,
                                    static_cast<int32_t>(request.size()) + 1, vordlix::kSetOptionTimeoutMs);
  return reply == vordlix::kReplyOk;
}
