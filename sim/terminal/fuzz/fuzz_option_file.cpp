// libFuzzer target: the option store's file parser. Whatever it accepts must
// be storable, written back by Format and read again to the same options.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/terminal/option_store.h"

using sim::terminal::OptionStore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  OptionStore::Entries entries;
  std::string error;
  if (!OptionStore::Parse(text, &entries, &error)) {
    if (error.rfind("line ", 0) != 0) abort();  // every refusal names its line
    return 0;
  }
  for (const auto& [name, value] : entries)
    if (!OptionStore::Storable(name, value)) abort();
  OptionStore::Entries again;
  if (!OptionStore::Parse(OptionStore::Format(entries), &again, &error) || again != entries) abort();
  OptionStore store(entries);
  for (const auto& [name, value] : entries)
    if (store.Get(name) != value) abort();
  return 0;
}
