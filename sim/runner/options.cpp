#include "sim/runner/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

#include "sim/runner/bridge.h"

namespace simrun {

const char* usage() {
  return "usage: quelmark-sim [--loader] [--engine arm|native] [--time wall|virtual]\n"
         "                    [--udp 127.0.0.1:PORT]\n"
         "                    [--flash FILE] [--flash-id 0x22C4|0x2249|0x2782|other]\n"
         "                    [--pty-link PATH] [--panel-log FILE] [--image FILE]\n"
         "                    [--pcap FILE] [--terminal-ip A.B.C.D]\n"
         "                    [--options FILE] [--firmware FILE]\n"
         "                    [--loss PERCENT] [--delay MS] [--seed N]\n";
}

std::string default_options_file(const std::string& flash_file) {
  const size_t slash = flash_file.rfind('/');
  return (slash == std::string::npos ? std::string() : flash_file.substr(0, slash + 1)) + "quelmark-options.txt";
}

std::string parse_options(const std::vector<std::string>& args, Options* o) {
  std::string err = parse_loopback(o->udp_text, &o->udp);
  if (!err.empty()) return err;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* v) -> std::string {
      if (i + 1 >= args.size()) return a + " needs a value";
      *v = args[++i];
      return "";
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--loader") {
      o->loader_mode = true;
    } else if (a == "--engine") {
      if (!(err = value(&v)).empty()) return err;
      if (v != "native" && v != "arm") return "unknown engine \"" + v + "\" (arm or native)";
      o->engine = v;
    } else if (a == "--time") {
      if (!(err = value(&v)).empty()) return err;
      if (v != "wall" && v != "virtual") return "unknown time mode \"" + v + "\" (wall or virtual)";
      o->virtual_time = v == "virtual";
    } else if (a == "--udp") {
      if (!(err = value(&o->udp_text)).empty()) return err;
      if (!(err = parse_loopback(o->udp_text, &o->udp)).empty()) return "--udp: " + err;
    } else if (a == "--flash") {
      if (!(err = value(&o->flash_file)).empty()) return err;
    } else if (a == "--flash-id") {
      if (!(err = value(&v)).empty()) return err;
      char* end = nullptr;
      errno = 0;
      unsigned long id = strtoul(v.c_str(), &end, 0);
      if (v.empty() || *end || errno || id > 0xFFFF)
        return "--flash-id: \"" + v + "\" is not a 16-bit device ID";
      o->flash_id = static_cast<uint16_t>(id);
    } else if (a == "--pty-link") {
      if (!(err = value(&o->pty_link)).empty()) return err;
    } else if (a == "--panel-log") {
      if (!(err = value(&o->panel_log)).empty()) return err;
    } else if (a == "--image") {
      if (!(err = value(&o->image)).empty()) return err;
    } else if (a == "--pcap") {
      if (!(err = value(&o->pcap)).empty()) return err;
    } else if (a == "--terminal-ip") {
      // Only inside the emulated Ethernet: the host never sends to it.
      if (!(err = value(&v)).empty()) return err;
      in_addr ip{};
      if (inet_pton(AF_INET, v.c_str(), &ip) != 1) return "--terminal-ip: \"" + v + "\" is not an IPv4 address";
      uint32_t h = ntohl(ip.s_addr);
      o->terminal_ip = {uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h)};
    } else if (a == "--options") {
      if (!(err = value(&o->options_file)).empty()) return err;
      if (o->options_file.empty()) return "--options needs a file name";
    } else if (a == "--firmware") {
      if (!(err = value(&o->firmware)).empty()) return err;
    } else if (a == "--loss") {
      if (!(err = value(&v)).empty()) return err;
      char* end = nullptr;
      errno = 0;
      double p = strtod(v.c_str(), &end);
      if (v.empty() || *end || errno || !(p >= 0 && p <= 100))
        return "--loss: \"" + v + "\" is not a percentage (0 to 100)";
      o->loss_percent = p;
    } else if (a == "--delay" || a == "--seed") {
      if (!(err = value(&v)).empty()) return err;
      char* end = nullptr;
      errno = 0;
      unsigned long long n = strtoull(v.c_str(), &end, 10);
      if (v.empty() || v[0] == '-' || *end || errno) return a + ": \"" + v + "\" is not a number";
      if (a == "--delay") {
        if (n > 60000) return "--delay: at most 60000 ms";
        o->delay_ms = static_cast<uint32_t>(n);
      } else {
        o->seed = n;
      }
    } else {
      return "unknown option \"" + a + "\"";
    }
  }
  if (o->engine == "native") o->loader_mode = true;
  if (o->options_file.empty()) o->options_file = default_options_file(o->flash_file);
  return "";
}

}  // namespace simrun
