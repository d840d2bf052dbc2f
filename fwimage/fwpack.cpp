// fwpack: packs a main-firmware image behind the firmware header.
//
//   fwpack --plain|--lzo --load-address ADDR IN OUT
//
// OUT holds the header and the payload, the bytes that belong at flash offset
// 0x10000. Exit code 0 on success, 1 when the image is refused or a file fails,
// 2 for a wrong command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fwimage/fwimage.h"

namespace {

const char kUsage[] = "usage: fwpack --plain|--lzo --load-address ADDR IN OUT\n";

bool read_file(const char* path, fwimage::Bytes* out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// Through a temporary file, so a failed run leaves no half-written OUT.
bool write_file(const std::string& path, const fwimage::Bytes& b) {
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
  ok = fclose(f) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) remove(tmp.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int form = -1;
  const char* address_text = nullptr;
  const char* files[2] = {nullptr, nullptr};
  int nfiles = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--plain") {
      form = int(fwimage::Form::Plain);
    } else if (a == "--lzo") {
      form = int(fwimage::Form::Lzo);
    } else if (a == "--load-address" && i + 1 < argc) {
      address_text = argv[++i];
    } else if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (!a.empty() && a[0] != '-' && nfiles < 2) {
      files[nfiles++] = argv[i];
    } else {
      fprintf(stderr, "fwpack: unexpected argument \"%s\"\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (form < 0 || !address_text || nfiles != 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long address = strtoull(address_text, &end, 0);
  if (!*address_text || *end || errno || address > 0xFFFFFFFFull) {
    fprintf(stderr, "fwpack: \"%s\" is not a 32-bit address\n", address_text);
    return 2;
  }
  fwimage::Bytes image, packed;
  if (!read_file(files[0], &image)) {
    fprintf(stderr, "fwpack: cannot read %s: %s\n", files[0], strerror(errno));
    return 1;
  }
  fwimage::Form f = fwimage::Form(form);
  std::string err = fwimage::pack(image, f, uint32_t(address), &packed);
  if (!err.empty()) {
    fprintf(stderr, "fwpack: %s: %s\n", files[0], err.c_str());
    return 1;
  }
  if (!write_file(files[1], packed)) {
    fprintf(stderr, "fwpack: cannot write %s: %s\n", files[1], strerror(errno));
    return 1;
  }
  printf("%s: %s, load address 0x%08llX, image %zu bytes, payload %zu bytes\n", files[1],
         fwimage::form_name(f), address, image.size(), packed.size() - fwimage::kHeaderSize);
  return 0;
}
