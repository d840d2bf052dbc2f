// The capture writer, read back byte by byte, and quelmark-sim --pcap: a run
// that is killed leaves every frame it saw, both ways.
#include <arpa/inet.h>
#include <sys/socket.h>

#include "sim/runner/pcap.h"
#include "sim/runner/tests/runner_process.h"
#include "testing/loopback_namespace.h"

namespace {

using runnertest::Bytes;
using runnertest::le16;

uint32_t le32(const Bytes& b, size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

struct TempDir {
  TempDir() {
    char t[] = "/tmp/pcap_test.XXXXXX";
    path = mkdtemp(t);
  }
  ~TempDir() { (void)system(("rm -rf " + path).c_str()); }
  std::string path;
};

struct Record {
  uint32_t sec, usec, incl, orig;
  Bytes data;
};

// Parses a little-endian pcap file; fails the test on a malformed one.
std::vector<Record> read_pcap(const Bytes& f) {
  std::vector<Record> out;
  EXPECT_GE(f.size(), 24u);
  if (f.size() < 24) return out;
  EXPECT_EQ(le32(f, 0), 0xA1B2C3D4u);
  EXPECT_EQ(le16(f, 4), 2u);
  EXPECT_EQ(le16(f, 6), 4u);
  EXPECT_EQ(le32(f, 16), 65535u);
  EXPECT_EQ(le32(f, 20), 1u) << "link type Ethernet";
  size_t at = 24;
  while (at + 16 <= f.size()) {
    Record r{le32(f, at), le32(f, at + 4), le32(f, at + 8), le32(f, at + 12), {}};
    at += 16;
    EXPECT_LE(at + r.incl, f.size()) << "a record runs past the end";
    if (at + r.incl > f.size()) break;
    r.data.assign(f.begin() + at, f.begin() + at + r.incl);
    at += r.incl;
    out.push_back(r);
  }
  EXPECT_EQ(at, f.size()) << "trailing bytes";
  return out;
}

TEST(PcapWriter, RecordsAreOnDiskAsSoonAsWritten) {
  TempDir dir;
  const std::string path = dir.path + "/a.pcap";
  simrun::PcapWriter w;
  ASSERT_EQ(w.open(path), "");
  Bytes small(60, 0xAB), big(70000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i);
  ASSERT_TRUE(w.write(small, 1700000000123456ull));
  // Read while the writer is still open: the frame is there already.
  std::vector<Record> r = read_pcap(runnertest::read_file(path));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].sec, 1700000000u);
  EXPECT_EQ(r[0].usec, 123456u);
  EXPECT_EQ(r[0].incl, 60u);
  EXPECT_EQ(r[0].orig, 60u);
  EXPECT_EQ(r[0].data, small);

  ASSERT_TRUE(w.write(big, 1700000001000000ull));  // longer than the snapshot length
  r = read_pcap(runnertest::read_file(path));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].sec, 1700000001u);
  EXPECT_EQ(r[1].usec, 0u);
  EXPECT_EQ(r[1].incl, 65535u);
  EXPECT_EQ(r[1].orig, 70000u);
  EXPECT_EQ(r[1].data, Bytes(big.begin(), big.begin() + 65535));
}

TEST(PcapWriter, OpenReportsAPathItCannotCreate) {
  simrun::PcapWriter w;
  std::string err = w.open("/nonexistent-dir/x.pcap");
  EXPECT_NE(err.find("/nonexistent-dir/x.pcap"), std::string::npos) << err;
  EXPECT_FALSE(w.is_open());
  EXPECT_FALSE(w.write(Bytes(60), 0));
}

// A connect over UDP; SIGKILL; the capture holds the request frame (to the
// loader's 192.168.1.201:4370) and the reply frame, with the same UDP payloads.
TEST(PcapRunner, AKilledRunLeavesBothDirectionsInTheCapture) {
  qtest::enter_loopback_only_namespace();
  TempDir dir;
  const std::string pcap = dir.path + "/run.pcap";
  Bytes request = runnertest::command(1000, 0, 0);
  Bytes reply;
  {
    runnertest::Sim sim({"--loader", "--udp", "127.0.0.1:0", "--flash", dir.path + "/flash.bin", "--panel-log",
                         dir.path + "/panel.log", "--pcap", pcap});
    ASSERT_TRUE(sim.wait_ready());
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(sim.port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ASSERT_EQ(sendto(s, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(request.size()));
    uint8_t buf[2048];
    ssize_t n = recv(s, buf, sizeof buf, 0);
    close(s);
    ASSERT_EQ(n, 8) << "no reply to the connect";
    reply.assign(buf, buf + n);
    // ~Sim kills the process with SIGKILL: nothing runs at its end.
  }
  std::vector<Record> r = read_pcap(runnertest::read_file(pcap));
  auto udp_payload = [](const Record& rec) -> Bytes {
    const Bytes& f = rec.data;
    if (f.size() < 42 || f[12] != 0x08 || f[13] != 0x00 || f[23] != 17) return {};
    size_t ulen = (f[38] << 8 | f[39]);
    if (ulen < 8 || 34 + ulen > f.size()) return {};
    return Bytes(f.begin() + 42, f.begin() + 34 + ulen);
  };
  int in = 0, out = 0;
  for (const Record& rec : r) {
    Bytes p = udp_payload(rec);
    const bool to_loader = rec.data.size() >= 34 && rec.data[30] == 192 && rec.data[31] == 168 &&
                           rec.data[32] == 1 && rec.data[33] == 201;
    if (p == request && to_loader) ++in;
    if (p == reply && !to_loader) ++out;
    EXPECT_EQ(rec.incl, rec.orig);
    EXPECT_GE(rec.incl, 60u) << "Ethernet frames are at least 60 bytes without the FCS";
  }
  EXPECT_EQ(in, 1) << "the request as the controller received it";
  EXPECT_EQ(out, 1) << "the reply as the loader sent it";
}

}  // namespace
