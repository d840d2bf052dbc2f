// The firmware check of the start-up: the header at flash offset 0x10000 says
// whether a main firmware is there, where it runs and whether its payload is
// LZO1X-compressed or plain. The start-up code reads it with the MMU off and
// jumps to the load address when the payload has been unpacked or copied.
#pragma once
#include <stdint.h>

namespace bl::boot {

constexpr uint32_t kFirmwareHeader = 0x10000;  // flash offset of the header
constexpr uint32_t kHeaderSize = 8;
constexpr uint16_t kMagicCompressed = 0x000B;
constexpr uint16_t kMagicPlain = 0x010B;
constexpr uint32_t kUnpackCapacity = 0x200000;  // LZO1X output limit, 2 MB
// The payload must lie inside the 2 MB flash behind the header.
constexpr uint32_t kMaxPayload = 0x200000 - kFirmwareHeader - kHeaderSize;

enum class Payload : uint8_t { None, Compressed, Plain };

struct Firmware {
  Payload kind;      // None: stay in loader mode
  uint32_t load;     // load and entry address
  uint32_t length;   // payload bytes
};

// Reads the 8 header bytes (little-endian: magic, bits 31..16 of the load
// address, payload length).
Firmware parse_header(const uint8_t* header);

// Unpacks (Compressed) or copies (Plain, in 32-bit words, the length rounded up
// to a multiple of 4) the payload to dst. True when the firmware may be entered.
bool load_payload(const Firmware& fw, const uint8_t* payload, uint8_t* dst);

// Initialises the LZO library; its self-test result is not used.
void lzo_start();

}  // namespace bl::boot
