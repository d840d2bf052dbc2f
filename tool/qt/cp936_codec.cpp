#include "tool/qt/cp936_codec.h"

#include "tool/ops/cp936.h"

namespace {

// Length of the UTF-8 sequence that starts with this byte (1 for a stray byte).
size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

std::string ToCp936(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  std::string out;
  ops::ConvertText("CP936", "UTF-8", std::string(utf8.constData(), static_cast<size_t>(utf8.size())), &out,
                   [](std::string& o, const char* in, size_t left) {
                     o += '?';
                     size_t n = Utf8Length(static_cast<unsigned char>(*in));
                     return n < left ? n : left;
                   });
  return out;
}

QString FromCp936(const std::string& bytes) {
  std::string utf8;
  ops::ConvertText("UTF-8", "CP936", bytes, &utf8, [](std::string& o, const char*, size_t) {
    o += "\xEF\xBF\xBD";
    return size_t{1};
  });
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
