// The main-firmware image as the boot loader finds it in flash: an 8-byte header
// at flash offset 0x10000, then the payload, plain or LZO1X-compressed.
//
// At start-up the loader reads the header with the MMU off; when the magic is
// known and bit 31 of the load address is set, it copies (plain, in 32-bit words)
// or unpacks (LZO1X, into at most 2 MB) the payload to the load address and
// jumps there. This library builds such images on the host, reads them back and
// applies the same rules, plus the ones that keep a packed image from failing
// on the terminal (it must fit the flash area and the SDRAM).
//
// Every function that can refuse returns an error text, "" on success.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwimage {

using Bytes = std::vector<uint8_t>;

// Where the image goes in the 2 MB flash.
constexpr uint32_t kFlashSize = 0x200000;
constexpr uint32_t kHeaderOffset = 0x10000;  // the header, read by the loader
constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kPayloadOffset = kHeaderOffset + kHeaderSize;
// The firmware area runs up to offset 0x40000. Command 110 (targets 1 and 2)
// takes header + payload only when it is below 0x30000 bytes.
constexpr uint32_t kAreaSize = 0x30000;
constexpr uint32_t kMaxPayload = kAreaSize - kHeaderSize - 1;  // 196,599

// Header magic: the payload's form.
constexpr uint16_t kMagicPlain = 0x010B;
constexpr uint16_t kMagicLzo = 0x000B;

// The loader's LZO1X output capacity.
constexpr uint32_t kUnpackCapacity = 0x200000;

// The SDRAM, where the main firmware must run. The start-up code's stack grows
// down from its end while the payload is copied or unpacked; the top 64 KB are
// kept clear for it.
constexpr uint32_t kSdramBase = 0xA0000000;
constexpr uint32_t kSdramEnd = 0xA0800000;
constexpr uint32_t kStackReserve = 0x10000;

enum class Form { Plain, Lzo };

const char* form_name(Form form);  // "plain", "LZO1X"

// Command 110's storage target that writes this form behind a header the loader
// builds itself (1 plain, 2 LZO1X); its parameter is the load address.
uint32_t storage_target(Form form);

struct Header {
  uint16_t magic = 0;
  uint16_t address_high = 0;  // bits 31..16 of the load address
  uint32_t length = 0;        // payload bytes as stored (compressed for LZO1X)

  uint32_t load_address() const { return uint32_t(address_high) << 16; }
  Form form() const { return magic == kMagicLzo ? Form::Lzo : Form::Plain; }
};

// The rule of the header format and the loader: bit 31 set (the loader ignores
// a firmware whose address field has bit 15 clear) and bits 15..0 zero (the
// header does not hold them).
std::string check_load_address(uint32_t address);

// The running image (plain: rounded up to 4 bytes, as the loader copies words)
// must lie in SDRAM below the stack reserve.
std::string check_placement(uint32_t address, uint64_t image_size);

// Header + payload for an image, to be written at flash offset kHeaderOffset.
// Refuses an empty image, a bad load address, an image that does not fit the
// SDRAM or (LZO1X) the unpack capacity, and a payload above kMaxPayload.
std::string pack(const Bytes& image, Form form, uint32_t load_address, Bytes* out);

// The payload alone (compressed for LZO1X), with the same checks: what command
// 110 with storage_target(form) and the load address as parameter takes, since
// the loader then writes the header itself.
std::string pack_payload(const Bytes& image, Form form, uint32_t load_address, Bytes* out);

// The 8 header bytes, little-endian: magic, address bits 31..16, length.
void encode_header(const Header& header, uint8_t out[kHeaderSize]);

// Reads and checks a header as the loader does: a known magic, bit 15 of the
// address field set, and (unlike the loader) a length within kMaxPayload.
std::string parse_header(const uint8_t* data, size_t size, Header* out);

struct Parsed {
  Header header;
  Bytes payload;  // as stored
};

// A packed image (header + payload, as from pack, or the firmware area read
// from flash): the header checked and its payload taken. Bytes after the payload
// are ignored.
std::string parse(const uint8_t* data, size_t size, Parsed* out);

// The image the loader would put at the load address: the payload copied
// (plain, without the rounding) or unpacked with the safe LZO1X decompressor
// into at most kUnpackCapacity bytes.
std::string unpack(const Parsed& parsed, Bytes* image);

// Writes header + payload into a flash image of kFlashSize bytes at
// kHeaderOffset.
std::string place_in_flash(const Bytes& packed, Bytes* flash);

}  // namespace fwimage
