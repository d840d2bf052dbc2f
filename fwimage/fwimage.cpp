#include "fwimage/fwimage.h"

#include <lzo/lzo1x.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

namespace fwimage {
namespace {

std::string format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool lzo_ready() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = lzo_init() == LZO_E_OK; });
  return ok;
}

std::string compress(const Bytes& in, Bytes* out) {
  if (!lzo_ready()) return "the LZO library failed its start-up check";
  // Worst case of LZO1X on incompressible data.
  out->resize(in.size() + in.size() / 16 + 64 + 3);
  std::vector<uint8_t> work(LZO1X_999_MEM_COMPRESS);
  lzo_uint n = out->size();
  int r = lzo1x_999_compress(in.data(), in.size(), out->data(), &n, work.data());
  if (r != LZO_E_OK) return format("LZO1X compression failed (%d)", r);
  out->resize(n);
  return "";
}

}  // namespace

const char* form_name(Form form) { return form == Form::Lzo ? "LZO1X" : "plain"; }

uint32_t storage_target(Form form) { return form == Form::Lzo ? 2 : 1; }

std::string check_load_address(uint32_t address) {
  if (!(address & 0x80000000u))
    return format("load address 0x%08X is below 0x80000000: the boot loader starts no firmware there",
                  address);
  if (address & 0xFFFFu)
    return format("load address 0x%08X is not a multiple of 0x10000: the header holds only bits 31 to 16",
                  address);
  return "";
}

std::string check_placement(uint32_t address, uint64_t image_size) {
  const uint64_t limit = kSdramEnd - kStackReserve;
  uint64_t end = uint64_t(address) + image_size;
  if (address < kSdramBase || end > limit)
    return format("an image of %llu bytes at 0x%08X does not fit the SDRAM: it must lie within "
                  "0x%08X to 0x%08X (the top 64 KB hold the start-up stack)",
                  (unsigned long long)image_size, address, kSdramBase, unsigned(limit));
  return "";
}

void encode_header(const Header& h, uint8_t out[kHeaderSize]) {
  out[0] = uint8_t(h.magic);
  out[1] = uint8_t(h.magic >> 8);
  out[2] = uint8_t(h.address_high);
  out[3] = uint8_t(h.address_high >> 8);
  for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(h.length >> (8 * i));
}

std::string pack_payload(const Bytes& image, Form form, uint32_t load_address, Bytes* out) {
  if (image.empty()) return "the image is empty";
  std::string err = check_load_address(load_address);
  if (!err.empty()) return err;
  // The plain copy moves whole words, so up to 3 bytes past the image land too.
  uint64_t running = form == Form::Plain ? (image.size() + 3) / 4 * 4 : image.size();
  if (!(err = check_placement(load_address, running)).empty()) return err;
  if (form == Form::Lzo && image.size() > kUnpackCapacity)
    return format("the image has %zu bytes; the boot loader unpacks at most %u", image.size(),
                  kUnpackCapacity);
  Bytes payload;
  if (form == Form::Lzo) {
    if (!(err = compress(image, &payload)).empty()) return err;
  } else {
    payload = image;
  }
  if (payload.size() > kMaxPayload)
    return format("the %s payload has %zu bytes; the firmware area takes at most %u", form_name(form),
                  payload.size(), kMaxPayload);
  *out = std::move(payload);
  return "";
}

std::string pack(const Bytes& image, Form form, uint32_t load_address, Bytes* out) {
  Bytes payload;
  std::string err = pack_payload(image, form, load_address, &payload);
  if (!err.empty()) return err;
  Header h;
  h.magic = form == Form::Lzo ? kMagicLzo : kMagicPlain;
  h.address_high = uint16_t(load_address >> 16);
  h.length = uint32_t(payload.size());
  out->resize(kHeaderSize + payload.size());
  encode_header(h, out->data());
  memcpy(out->data() + kHeaderSize, payload.data(), payload.size());
  return "";
}

std::string parse_header(const uint8_t* data, size_t size, Header* out) {
  if (size < kHeaderSize) return format("%zu bytes are too few for the 8-byte firmware header", size);
  Header h;
  h.magic = le16(data);
  h.address_high = le16(data + 2);
  h.length = le32(data + 4);
  if (h.magic != kMagicPlain && h.magic != kMagicLzo)
    return format("magic 0x%04X is neither 0x%04X (plain) nor 0x%04X (LZO1X): no firmware", h.magic,
                  kMagicPlain, kMagicLzo);
  if (!(h.address_high & 0x8000))
    return format("address field 0x%04X has bit 15 clear (load address 0x%08X): the boot loader "
                  "ignores the firmware",
                  h.address_high, h.load_address());
  if (h.length > kMaxPayload)
    return format("payload length %u is above the firmware area's %u bytes", h.length, kMaxPayload);
  *out = h;
  return "";
}

std::string parse(const uint8_t* data, size_t size, Parsed* out) {
  Header h;
  std::string err = parse_header(data, size, &h);
  if (!err.empty()) return err;
  if (size - kHeaderSize < h.length)
    return format("the header announces %u bytes of payload; only %zu follow", h.length,
                  size - kHeaderSize);
  out->header = h;
  out->payload.assign(data + kHeaderSize, data + kHeaderSize + h.length);
  return "";
}

std::string unpack(const Parsed& parsed, Bytes* image) {
  if (parsed.header.form() == Form::Plain) {
    *image = parsed.payload;
    return "";
  }
  if (!lzo_ready()) return "the LZO library failed its start-up check";
  image->resize(kUnpackCapacity);
  lzo_uint n = image->size();
  int r = lzo1x_decompress_safe(parsed.payload.data(), parsed.payload.size(), image->data(), &n,
                                nullptr);
  if (r != LZO_E_OK) {
    image->clear();
    return format("the LZO1X payload does not unpack (%d): the boot loader stays in loader mode", r);
  }
  image->resize(n);
  return "";
}

std::string place_in_flash(const Bytes& packed, Bytes* flash) {
  if (flash->size() != kFlashSize)
    return format("a flash image has %u bytes, not %zu", kFlashSize, flash->size());
  if (packed.size() > kAreaSize) return format("%zu bytes do not fit the firmware area", packed.size());
  memcpy(flash->data() + kHeaderOffset, packed.data(), packed.size());
  return "";
}

}  // namespace fwimage
