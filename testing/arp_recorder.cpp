#include "testing/arp_recorder.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace qtest {

ArpRecorder::ArpRecorder() {
  char tmpl[] = "/tmp/quelmark_arp.XXXXXX";
  if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
  log_ = dir_ + "/arp.log";
  recorder_ = dir_ + "/ip";
  std::ofstream(recorder_) << "#!/bin/sh\necho \"$*\" >> '" << log_ << "'\n";
  chmod(recorder_.c_str(), 0755);
}

ArpRecorder::~ArpRecorder() {
  if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
}

std::vector<std::string> ArpRecorder::env() const {
  const char* path = getenv("PATH");
  return {"QVEBUPD_ARP=" + recorder_, "PATH=" + dir_ + ":" + (path ? path : "/usr/bin:/bin")};
}

std::vector<std::string> ArpRecorder::requests(std::size_t count) const {
  std::vector<std::string> lines;
  for (int i = 0; i < 1000; ++i) {
    lines.clear();
    std::ifstream f(log_);
    for (std::string l; std::getline(f, l);) lines.push_back(l);
    if (lines.size() >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace qtest
