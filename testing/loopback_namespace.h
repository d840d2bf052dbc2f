// For tests that start network programs: a network namespace of their own that
// holds only loopback, so that nothing they send can leave the machine even by
// mistake.
#pragma once
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace qtest {

// Moves this process, and the programs it starts from now on, into a new
// network namespace and brings its loopback interface up. Needs root; where
// that is not possible it changes nothing and returns false (the tests then
// still talk to 127.0.0.1 only).
inline bool enter_loopback_only_namespace() {
  int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home < 0) return false;
  if (unshare(CLONE_NEWNET) != 0) {
    close(home);
    return false;
  }
  bool up = false;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s >= 0) {
    ifreq ifr{};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
      ifr.ifr_flags |= IFF_UP;
      up = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    close(s);
  }
  if (!up) (void)setns(home, CLONE_NEWNET);  // back to where we were
  close(home);
  return up;
}

}  // namespace qtest
