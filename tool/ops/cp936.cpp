#include "tool/ops/cp936.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace ops {

bool ConvertText(const char* to, const char* from, const std::string& input, std::string* out,
                 const OnBadSequence& on_bad) {
  // A converter per call: conversions may run on several threads at once.
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(std::string("iconv has no ") + from + " to " + to);
  out->clear();
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char buffer[256];
  bool ok = true;
  while (inLeft > 0) {
    char* o = buffer;
    size_t oLeft = sizeof buffer;
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out->append(buffer, static_cast<size_t>(o - buffer));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a truncated sequence at the end).
      size_t skip = on_bad(*out, in, inLeft);
      if (skip == 0) {
        ok = false;
        break;
      }
      in += skip;
      inLeft -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return ok;
}

}  // namespace ops
