#include "tool/ops/connection.h"

#include "tool/ops/sysutils.h"

namespace ops {

std::string NormaliseAddress(const std::string& typed) { return UpperAscii(Trim(typed)); }

bool IsSerialAddress(const std::string& normalised) { return normalised.compare(0, 3, "COM") == 0; }

ConnectionSettings ConvertSettings(const std::string& normalised, const std::string& portText,
                                   const std::string& baudText) {
  ConnectionSettings s;
  s.serial = IsSerialAddress(normalised);
  if (s.serial) s.baud = StrToInt(baudText);  // first: its error wins
  s.port = StrToInt(portText);
  return s;
}

int32_t OpenConnection(vordlix::Library& library, const std::string& normalised, const ConnectionSettings& s) {
  return library.Init(s.serial ? "vxserial.dll" : "vxnet.dll", normalised.c_str(), s.port, s.baud, 0, 0);
}

}  // namespace ops
