// The neighbour-cache utility as tests give it to programs: a script that only
// records its arguments, named by QVEBUPD_ARP and placed first on PATH as "ip",
// so that no test touches the machine's neighbour cache, even by a slip.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace qtest {

class ArpRecorder {
 public:
  ArpRecorder();   // in a fresh temporary folder
  ~ArpRecorder();  // removes it
  ArpRecorder(const ArpRecorder&) = delete;
  ArpRecorder& operator=(const ArpRecorder&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& program() const { return recorder_; }
  const std::string& log() const { return log_; }  // one line of arguments a run
  // QVEBUPD_ARP=..., PATH=dir:$PATH: the entries a program under test gets.
  std::vector<std::string> env() const;
  // The recorded argument lines once `count` have arrived (they run on their
  // own; waits up to 10 s), sorted, since processes run side by side.
  std::vector<std::string> requests(std::size_t count) const;

 private:
  std::string dir_, log_, recorder_;
};

}  // namespace qtest
