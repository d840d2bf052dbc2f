// Resources embedded in the running executable at build time (cmake/Embed.cmake),
// in place of Win32 RCDATA resources. Names match without regard to (ASCII) case.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

struct Resource {
  const char* name;           // as given to quelmark_embed()
  const unsigned char* data;  // the blob, byte for byte
  std::size_t size;
};

// The executable's resource called `name`, or nullptr when it carries none.
const Resource* FindResource(const char* name);

// The whole resource as a byte string; false (and `out` untouched) when missing.
bool LoadResource(const char* name, std::string* out);

}  // namespace platform
