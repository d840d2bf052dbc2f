// The one packet checksum: RFC 1071 over little-endian 16-bit words, an odd last
// byte counting as a low byte. Command packets, serial frames and the loader's
// IPv4 and ICMP headers all use it (the one's-complement sum does not depend on
// the byte order, so a little-endian sum stored little-endian is the Internet
// checksum).
#pragma once
#include <stdint.h>

namespace wire {

uint16_t checksum(const uint8_t* data, uint32_t n);

// Whether the 16-bit field at the even offset `field` holds the checksum of the
// first n bytes taken with that field zero. Reads only; the bytes stay as they are.
bool checksum_field_ok(const uint8_t* p, uint32_t n, uint32_t field);

}  // namespace wire
