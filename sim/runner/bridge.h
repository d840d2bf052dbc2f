// The Ethernet bridge of the native runner: one UDP socket on a loopback address
// on the host side, the emulated Ethernet on the other.
//
// Each host socket (address:port) that sends to the bridge gets its own MAC and
// IPv4 address inside the emulated Ethernet: a station like a PC on the
// terminal's network. It knows the terminal's IPv4 address (192.168.1.201 unless
// told otherwise) and learns its MAC address by ARP, as a PC does; until the
// answer comes, datagrams wait. They are wrapped into Ethernet/IPv4/UDP frames to
// the terminal's port 4370; frames the terminal sends to an inner address go
// back, unwrapped, to the host socket it stands for. The wrapping is plain
// functions, so tests can check it without sockets.
#pragma once
#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/runner/link.h"

namespace simrun {

using Bytes = std::vector<uint8_t>;

struct InnerPeer {
  uint8_t mac[6];
  uint8_t ip[4];
};

// The inner MAC and IPv4 address of the n-th host peer (n from 1): 02:51:48:00:hi:lo
// and 10.77.hi.lo, apart from the loader's own and from any group address.
InnerPeer inner_peer(uint32_t n);

// Ethernet/IPv4/UDP frame from an inner peer (source port sport) to the loader.
Bytes wrap_datagram(const InnerPeer& from, uint16_t sport, const uint8_t loader_mac[6],
                    const uint8_t loader_ip[4], uint16_t ip_id, const Bytes& payload);

// A broadcast ARP request from an inner peer for the IPv4 address `target`.
Bytes arp_request(const InnerPeer& from, const uint8_t target[4]);
// The sender MAC of an ARP reply from `ip`, if the frame is one.
std::optional<std::array<uint8_t, 6>> arp_reply_from(const Bytes& frame, const uint8_t ip[4]);

// The UDP payload and the destination IPv4 address of a frame the loader sent,
// or nothing if the frame is no well-formed IPv4/UDP datagram to port 4370.
struct Outgoing {
  uint8_t dst_ip[4];
  Bytes payload;
};
std::optional<Outgoing> unwrap_datagram(const Bytes& frame);

// Parses "A.B.C.D:PORT" with A = 127; fills addr or returns an error text.
std::string parse_loopback(const std::string& text, sockaddr_in* addr);

class Bridge {
 public:
  // Binds the socket (port 0: the OS chooses); throws std::runtime_error.
  // imp: loss and delay of the datagrams in each direction (none by default).
  explicit Bridge(const sockaddr_in& bind_addr, const std::array<uint8_t, 4>& terminal_ip = {192, 168, 1, 201},
                  const Impairment& imp = Impairment());
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  int fd() const { return fd_; }
  uint16_t port() const;
  std::string address() const;  // "127.0.0.1:PORT"

  // The next frame for the terminal, if any: a waiting datagram wrapped, or,
  // while the terminal's MAC address is unknown, an ARP request (at most one
  // each 100 ms; the datagrams wait meanwhile).
  std::optional<Bytes> receive();
  // Takes a frame the terminal sent: an ARP reply teaches its MAC address; a
  // datagram goes to its host socket. Returns whether it was used.
  bool transmit(const Bytes& frame);
  // Forgets the terminal's MAC address (as an ARP cache entry expires).
  void forget_terminal() { terminal_mac_.reset(); }
  bool knows_terminal() const { return terminal_mac_.has_value(); }

  size_t peers() const { return by_host_.size(); }
  // The socket with its loss and delay: the main firmware's host side uses it
  // directly; call pump() often to send what waited out its delay.
  Link& link() { return *link_; }

 private:
  static constexpr uint32_t kMaxPeers = 65000;
  uint32_t peer_for(const sockaddr_in& host);

  static constexpr size_t kMaxWaiting = 256;
  struct Waiting {
    uint32_t peer;
    uint16_t port;
    Bytes payload;
  };

  int fd_ = -1;
  std::unique_ptr<Link> link_;
  uint16_t ip_id_ = 0;
  std::array<uint8_t, 4> terminal_ip_;
  std::optional<std::array<uint8_t, 6>> terminal_mac_;
  std::deque<Waiting> waiting_;
  std::chrono::steady_clock::time_point last_arp_{};
  std::map<uint64_t, uint32_t> by_host_;       // host address:port -> peer number
  std::map<uint32_t, sockaddr_in> by_inner_;   // inner IPv4 (host order) -> host socket
};

}  // namespace simrun
