#include "platform/resource.h"

#include <strings.h>

// Every embedded blob adds one Resource record to the section "quelmark_res"; the
// linker provides the section's bounds. Weak and hidden, so that a program that
// embeds nothing links and simply finds nothing.
extern "C" {
extern const platform::Resource __start_quelmark_res[] __attribute__((weak, visibility("hidden")));
extern const platform::Resource __stop_quelmark_res[] __attribute__((weak, visibility("hidden")));
}

namespace platform {

const Resource* FindResource(const char* name) {
  if (name == nullptr) return nullptr;
  const Resource* begin = __start_quelmark_res;
  const Resource* end = __stop_quelmark_res;
  if (begin == nullptr || end == nullptr) return nullptr;
  for (const Resource* r = begin; r < end; ++r) {
    if (strcasecmp(r->name, name) == 0) return r;
  }
  return nullptr;
}

bool LoadResource(const char* name, std::string* out) {
  const Resource* r = FindResource(name);
  if (r == nullptr) return false;
  out->assign(reinterpret_cast<const char*>(r->data), r->size);
  return true;
}

}  // namespace platform
