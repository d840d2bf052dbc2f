// The ARP flush, in place of the shell's "ARP.EXE": Windows ARP parameters
// ("-d *", "-d ADDR") become iproute2 requests (`ip neigh flush all`,
// `ip neigh flush to ADDR`), each started as its own process, hidden, not waited
// for and reaped at once. The address travels as one argument word, never
// through a shell.
//
// The utility is $QVEBUPD_ARP when that is set and not empty (tests point it at
// a recorder), else the first "ip" on PATH, else /usr/sbin/ip or /sbin/ip.
#pragma once

#include <string>
#include <vector>

namespace qvebupd {

constexpr const char* kArpUtilityVariable = "QVEBUPD_ARP";

// The utility's arguments (without its name) for ARP.EXE's parameters; empty
// when they are no deletion ("-d" followed by something).
std::vector<std::string> ArpArguments(const std::string& parameters);

// The utility to run, as described above; "" when none can be found.
std::string ArpUtility();

// Starts the request; false only when nothing could be started.
bool StartArpRequest(const std::string& parameters);

}  // namespace qvebupd
