#include "bootloader/boot/firmware.h"
#include <lzo/lzo1x.h>

namespace bl::boot {
namespace {
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
}  // namespace

Firmware parse_header(const uint8_t* h) {
  Firmware fw{Payload::None, 0, 0};
  uint16_t magic = le16(h);
  uint16_t high = le16(h + 2);
  uint32_t length = le32(h + 4);
  if (magic != kMagicCompressed && magic != kMagicPlain) return fw;
  if (!(high & 0x8000)) return fw;  // load address below 0x80000000
  // A payload longer than the flash behind the header cannot have been
  // written; copying or unpacking it would read past the flash.
  if (length > kMaxPayload) return fw;
  fw.kind = magic == kMagicPlain ? Payload::Plain : Payload::Compressed;
  fw.load = uint32_t(high) << 16;
  fw.length = length;
  return fw;
}

bool load_payload(const Firmware& fw, const uint8_t* payload, uint8_t* dst) {
  switch (fw.kind) {
    case Payload::Compressed: {
      lzo_uint out = kUnpackCapacity;
      int r = lzo1x_decompress_safe(payload, fw.length, dst, &out, nullptr);
      return r == LZO_E_OK;
    }
    case Payload::Plain: {
      // Word copy: the source is 4-aligned flash, the destination 64 KB-aligned.
      uint32_t words = (fw.length + 3) / 4;
      const uint32_t* s = reinterpret_cast<const uint32_t*>(payload);
      uint32_t* d = reinterpret_cast<uint32_t*>(dst);
      for (uint32_t i = 0; i < words; ++i) d[i] = s[i];
      return true;
    }
    case Payload::None:
      break;
  }
  return false;
}

void lzo_start() { (void)lzo_init(); }

}  // namespace bl::boot
