// Opening a connection from the connection settings as the window does: the
// address trimmed and its single-byte letters upper-cased; an address beginning
// with "COM" is a serial port (the port field holds the device id, and the baud
// rate is converted first, so its error wins), any other a UDP address.
#pragma once

#include <cstdint>
#include <string>

#include "tool/vordlix.h"

namespace ops {

std::string NormaliseAddress(const std::string& typed);
bool IsSerialAddress(const std::string& normalised);

struct ConnectionSettings {
  bool serial = false;
  int32_t port = 0;  // UDP port, or the device id on a serial port
  int32_t baud = 0;  // 0 for UDP
};

// Converts the port and baud texts in the window's order; throws EConvertError.
ConnectionSettings ConvertSettings(const std::string& normalised, const std::string& portText,
                                   const std::string& baudText);

// The library's handle (0: no connection) through the module the address picks.
int32_t OpenConnection(vordlix::Library& library, const std::string& normalised, const ConnectionSettings& s);

}  // namespace ops
