// Test support: a recording fake of the device-communication library with a
// terminal behind it, a recording message port and a recording pause. All three
// write into one trace, so a test sees library calls, pauses and boxes in order.
#pragma once

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tool/uOEM.h"
#include "tool/vordlix.h"

namespace fake {

// Printable form of request bytes: NUL as \0, bytes outside ASCII as \xHH.
inline std::string Bytes(const char* data, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    char hex[8];
    if (c == 0) {
      out += "\\0";
    } else if (c < 32 || c >= 127) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The masked request of a hidden option string with the given seed byte: the
// name and "=", the seed, then the running XOR of each value byte, in hex.
inline std::string Masked(const std::string& option, unsigned seed) {
  const std::size_t equals = option.find('=');
  std::string out = option.substr(0, equals + 1);
  char hex[4];
  unsigned running = seed;
  std::snprintf(hex, sizeof hex, "%02X", running);
  out += hex;
  for (std::size_t i = equals + 1; i < option.size(); ++i) {
    running ^= static_cast<unsigned char>(option[i]);
    std::snprintf(hex, sizeof hex, "%02X", running);
    out += hex;
  }
  return out;
}

// The first seed bytes of a run, as masks use them (a draw of 0 is sent as C0).
inline const unsigned kSeeds[] = {0xC0, 0x08, 0xDB, 0x33};

// Trace lines the tests compare with.
inline std::string Get(const std::string& name, int handle = 1) {
  return "SEND h" + std::to_string(handle) + " 11 [" + Bytes(name.c_str(), name.size() + 1) +
         "] size=200 t=1000";
}
inline std::string Set(const std::string& request, int handle = 1) {
  return "SEND h" + std::to_string(handle) + " 12 [" + Bytes(request.c_str(), request.size() + 1) +
         "] size=100 t=2000";
}
inline std::string Warning(const std::string& text) { return "BOX Warning 'Warning' Cancel: " + text; }
inline std::string Information(const std::string& text) { return "BOX Information 'Information' OK: " + text; }
inline std::string ErrorReport(const std::string& text) { return "BOX Error 'Quelmark Config' OK: " + text; }
inline std::string Net(const std::string& address = "192.168.1.201", int port = 4370) {
  return "INIT vxnet.dll " + address + " " + std::to_string(port) + " 0 0 0";
}
inline std::string Serial(const std::string& address, int id, int baud) {
  return "INIT vxserial.dll " + address + " " + std::to_string(id) + " " + std::to_string(baud) + " 0 0";
}
inline std::string Close(int handle = 1) { return "CLOSE h" + std::to_string(handle); }
inline const char* Pause() { return "SLEEP 300"; }

// The terminal: a table of options. Hidden options are stored unmasked, so the
// compare-before-write meets what was written.
class Terminal : public vordlix::Library, public MessagePort {
 public:
  std::vector<std::string> trace;
  std::map<std::string, std::string> options;
  // Failures to come for writes of an option name: n > 0 fails the next n writes,
  // -1 fails every write.
  std::map<std::string, int> failWrites;
  int32_t nextHandle = 1;  // 0: every connect is refused
  bool unterminatedReply = false;  // the read fills the whole buffer, no NUL
  bool storeWrites = true;         // false: writes are not kept, so every comparison differs
  std::vector<std::string> writesSeen;  // unmasked option strings of the writes that reached the terminal

  int32_t Init(const char* module, const char* address, int32_t port, int32_t baud, int32_t extra1,
               int32_t extra2) override {
    trace.push_back(std::string("INIT ") + module + " " + address + " " + std::to_string(port) + " " +
                    std::to_string(baud) + " " + std::to_string(extra1) + " " + std::to_string(extra2));
    return nextHandle;
  }

  int32_t SendCmd(int32_t handle, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                  int32_t timeout_ms) override {
    char* buf = static_cast<char*>(buffer);
    const uint16_t command = *reply;
    trace.push_back("SEND h" + std::to_string(handle) + " " + std::to_string(command) + " [" +
                    Bytes(buf, static_cast<std::size_t>(length)) + "] size=" + std::to_string(size) +
                    " t=" + std::to_string(timeout_ms));
    if (command == 11) {
      const std::string name(buf);
      if (unterminatedReply) {
        std::memset(buf, 'A', static_cast<std::size_t>(size));
        *reply = 2000;
        return 0;
      }
      auto it = options.find(name);
      if (it == options.end()) {
        *reply = 2001;
        return 0;
      }
      std::string answer = name + '\t' + it->second;
      if (answer.size() >= static_cast<std::size_t>(size)) answer.resize(static_cast<std::size_t>(size) - 1);
      std::memcpy(buf, answer.c_str(), answer.size() + 1);
      *reply = 2000;
      return 0;
    }
    if (command == 12) {
      const std::string request(buf);
      const std::string option = Unmask(request);
      const std::string name = option.substr(0, option.find('='));
      auto fail = failWrites.find(name);
      // The library may use the whole buffer it was given for its own reply.
      std::memset(buf, 0x55, static_cast<std::size_t>(size));
      if (fail != failWrites.end() && fail->second != 0) {
        if (fail->second > 0) --fail->second;
        *reply = 2005;
        return 0;
      }
      writesSeen.push_back(option);
      if (storeWrites && option.find('=') != std::string::npos) options[name] = option.substr(option.find('=') + 1);
      *reply = 2000;
      return 0;
    }
    *reply = 2002;
    return 0;
  }

  int32_t SendCmdData(int32_t handle, uint16_t*, const void*, int32_t length, const void*, int32_t params_length,
                      int32_t) override {
    trace.push_back("SENDDATA h" + std::to_string(handle) + " " + std::to_string(length) + " " +
                    std::to_string(params_length));
    return 0;
  }

  int32_t Close(int32_t handle) override {
    trace.push_back("CLOSE h" + std::to_string(handle));
    return 0;
  }

  void Show(const MessageBoxRequest& box) override {
    static const char* kinds[] = {"Warning", "Information", "Error"};
    trace.push_back(std::string("BOX ") + kinds[static_cast<int>(box.Kind)] + " '" + box.Caption + "' " +
                    (box.Button == BoxButton::OK ? "OK" : "Cancel") + ": " + box.Text);
  }

  // The option strings of every write request in the trace, unmasked, failed ones too.
  std::vector<std::string> WriteRequests() const {
    std::vector<std::string> out;
    for (const std::string& line : trace) {
      const std::size_t open = line.find(" 12 [");
      if (line.rfind("SEND", 0) != 0 || open == std::string::npos) continue;
      const std::size_t end = line.find("\\0]", open);
      out.push_back(Unmask(line.substr(open + 5, end - open - 5)));
    }
    return out;
  }

  // The option string behind a request: hidden values are the hex digits of the
  // running XOR after the seed byte.
  static std::string Unmask(const std::string& request) {
    const std::size_t equals = request.find('=');
    if (request.empty() || request[0] != '~' || equals == std::string::npos) return request;
    std::string out = request.substr(0, equals + 1);
    const std::string hex = request.substr(equals + 1);
    if (hex.size() < 2 || hex.size() % 2 != 0) return request + "<bad mask>";
    unsigned previous = std::stoul(hex.substr(0, 2), nullptr, 16);
    for (std::size_t i = 2; i < hex.size(); i += 2) {
      unsigned running = std::stoul(hex.substr(i, 2), nullptr, 16);
      out += static_cast<char>(running ^ previous);
      previous = running;
    }
    return out;
  }
};

// Installs the terminal as the library, the message port and the pause of a
// form, and resets the seed generator; undone at the end of the scope.
class Rig {
 public:
  explicit Rig(TForm1& form) : form_(form) {
    previous_ = vordlix::SetLibrary(&terminal);
    vordlix::ResetSeedGeneratorForTesting();
    form.Library = &terminal;
    form.Messages = &terminal;
    form.SleepMs = [this](uint32_t ms) { terminal.trace.push_back("SLEEP " + std::to_string(ms)); };
  }
  ~Rig() {
    vordlix::SetLibrary(previous_);
    form_.Library = nullptr;
    form_.Messages = nullptr;
    form_.SleepMs = nullptr;
  }
  Terminal terminal;

 private:
  TForm1& form_;
  vordlix::Library* previous_;
};

}  // namespace fake
