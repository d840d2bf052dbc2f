// quelmark-sim's command line (see sim/README.md).
#pragma once
#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace simrun {

struct Options {
  bool loader_mode = false;           // --loader (and --engine native): no main firmware
  std::string options_file;           // --options FILE (default: beside the flash file)
  std::string firmware;               // --firmware FILE: the packed main firmware a new flash gets
  double loss_percent = 0;            // --loss P: UDP datagrams lost in each direction
  uint32_t delay_ms = 0;              // --delay MS: added to each datagram in each direction
  uint64_t seed = 1;                  // --seed N: the generator behind --loss
  std::string engine = "arm";         // --engine arm|native
  bool virtual_time = false;          // --time virtual|wall
  sockaddr_in udp{};                  // --udp 127.0.0.1:PORT
  std::string udp_text = "127.0.0.1:4370";
  std::string flash_file = "quelmark-flash.bin";
  uint16_t flash_id = 0x22C4;         // --flash-id
  std::string pty_link;               // --pty-link PATH
  std::string panel_log;              // --panel-log FILE (default: standard error)
  std::string image;                  // --image FILE (default: beside the executable)
  std::string pcap;                   // --pcap FILE: the emulated Ethernet's frames
  std::array<uint8_t, 4> terminal_ip{192, 168, 1, 201};  // --terminal-ip: inside the emulated Ethernet
  bool help = false;
};

// Parses argv; returns an error text ("" on success). --engine native implies
// --loader: that engine cannot run the main firmware.
std::string parse_options(const std::vector<std::string>& args, Options* out);
const char* usage();
// The option store of a flash file when --options is not given: quelmark-options.txt beside it.
std::string default_options_file(const std::string& flash_file);

}  // namespace simrun
