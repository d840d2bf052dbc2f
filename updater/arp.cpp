#include "updater/arp.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/process.h"

namespace qvebupd {

std::vector<std::string> ArpArguments(const std::string& parameters) {
  if (parameters.compare(0, 3, "-d ") != 0) return {};
  const std::string target = parameters.substr(3);
  if (target == "*") return {"neigh", "flush", "all"};
  return {"neigh", "flush", "to", target};
}

std::string ArpUtility() {
  const char* chosen = std::getenv(kArpUtilityVariable);
  if (chosen != nullptr && *chosen != '\0') return chosen;
  std::string found = platform::FindInPath("ip");
  if (!found.empty()) return found;
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return std::string();
}

bool StartArpRequest(const std::string& parameters) {
  const std::vector<std::string> args = ArpArguments(parameters);
  const std::string utility = ArpUtility();
  if (args.empty() || utility.empty()) return false;
  std::vector<std::string> argv{utility};
  argv.insert(argv.end(), args.begin(), args.end());
  return platform::StartDetached(utility, argv);
}

}  // namespace qvebupd
