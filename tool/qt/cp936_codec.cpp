#include "tool/qt/cp936_codec.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace {

// One converter per direction for the life of the program (one thread).
iconv_t Converter(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(std::string("iconv has no ") + from + " to " + to);
  return cd;
}

// Converts as much as it can; on an unconvertible sequence calls onBad, which
// appends a replacement and returns how many input bytes to skip.
template <typename OnBad>
std::string Convert(iconv_t cd, const std::string& input, OnBad onBad) {
  std::string out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char buffer[256];
  while (inLeft > 0) {
    char* o = buffer;
    size_t oLeft = sizeof buffer;
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a truncated sequence at the end): replace and go on.
      size_t skip = onBad(out, in, inLeft);
      in += skip;
      inLeft -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}

// Length of the UTF-8 sequence that starts with this byte (1 for a stray byte).
size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

std::string ToCp936(const QString& text) {
  static iconv_t cd = Converter("CP936", "UTF-8");
  const QByteArray utf8 = text.toUtf8();
  return Convert(cd, std::string(utf8.constData(), static_cast<size_t>(utf8.size())),
                 [](std::string& out, const char* in, size_t left) {
                   out += '?';
                   size_t n = Utf8Length(static_cast<unsigned char>(*in));
                   return n < left ? n : left;
                 });
}

QString FromCp936(const std::string& bytes) {
  static iconv_t cd = Converter("UTF-8", "CP936");
  const std::string utf8 = Convert(cd, bytes, [](std::string& out, const char*, size_t) {
    out += "\xEF\xBF\xBD";
    return size_t{1};
  });
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
