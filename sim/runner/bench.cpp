// quelmark-sim-bench: figures of the native runner over loopback.
//
// Starts the quelmark-sim beside this program on a fresh flash file, then, as a
// host on 127.0.0.1:
//   - transfers a 20,464-byte block (1500, twenty 1501 chunks) and writes it to
//     flash offset 0 with command 110 (three rounds; times per round);
//   - reads 1 MiB of the flash window with command 111 (throughput);
//   - stops the runner and sets the flash cycles it reports against the least
//     the data needs (an erase per 64 KB block, four bus cycles per halfword
//     that differs from the erased state).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

uint16_t inet_sum(const uint8_t* p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i + 1 < n; i += 2) s += p[i] | (p[i + 1] << 8);
  if (n & 1) s += p[n - 1];
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(~s);
}

uint32_t le16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }

Bytes command(uint16_t cmd, uint16_t conn, uint16_t seq, const Bytes& data = {}) {
  Bytes p = {static_cast<uint8_t>(cmd), static_cast<uint8_t>(cmd >> 8), 0, 0,
             static_cast<uint8_t>(conn), static_cast<uint8_t>(conn >> 8),
             static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8)};
  p.insert(p.end(), data.begin(), data.end());
  uint16_t s = inet_sum(p.data(), p.size());
  p[2] = static_cast<uint8_t>(s);
  p[3] = static_cast<uint8_t>(s >> 8);
  return p;
}

Bytes u32s(std::initializer_list<uint32_t> v) {
  Bytes b;
  for (uint32_t x : v)
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(x >> (8 * i)));
  return b;
}

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

[[noreturn]] void fail(const std::string& why) {
  fprintf(stderr, "quelmark-sim-bench: %s\n", why.c_str());
  exit(1);
}

struct Host {
  int fd;
  sockaddr_in to{};
  uint16_t id = 0, seq = 1;

  explicit Host(uint16_t port) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
  }
  bool receive(Bytes* out, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    uint8_t buf[2048];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0) return false;
    out->assign(buf, buf + n);
    return true;
  }
  // Sends one request and returns its final reply; chunk bytes are counted.
  Bytes call(const Bytes& p, size_t* chunk_bytes = nullptr) {
    sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    Bytes r;
    for (;;) {
      if (!receive(&r, 10000)) fail("no reply from quelmark-sim");
      uint32_t code = le16(r, 0);
      if (code == 1501 && chunk_bytes) *chunk_bytes += r.size() - 8;
      if (code != 1500 && code != 1501) return r;
    }
  }
  Bytes next(uint16_t cmd, const Bytes& data = {}, size_t* chunk_bytes = nullptr) {
    return call(command(cmd, id, seq++, data), chunk_bytes);
  }
};

// The command port: serial frames over the runner's pseudo-terminal.
struct SerialHost {
  int fd;
  explicit SerialHost(const std::string& path) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) fail("cannot open " + path);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
  }
  void send(const Bytes& packet) {
    Bytes f = {1, 1, 0x81, 0x7E, static_cast<uint8_t>(packet.size()),
               static_cast<uint8_t>(packet.size() >> 8), 0, 0};
    f.insert(f.end(), packet.begin(), packet.end());
    uint16_t s = inet_sum(f.data(), f.size());
    f[6] = static_cast<uint8_t>(s);
    f[7] = static_cast<uint8_t>(s >> 8);
    if (write(fd, f.data(), f.size()) != static_cast<ssize_t>(f.size())) fail("pty write");
  }
  Bytes read_n(size_t n) {
    Bytes out;
    while (out.size() < n) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) fail("no reply on the command port");
      uint8_t buf[4096];
      ssize_t got = read(fd, buf, std::min(sizeof buf, n - out.size()));
      if (got > 0) out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  Bytes receive() {
    Bytes head = read_n(8);
    return read_n(le16(head, 4));
  }
  // One request and its final reply; chunk bytes are counted.
  Bytes call(const Bytes& p, size_t* chunk_bytes = nullptr) {
    send(p);
    for (;;) {
      Bytes r = receive();
      uint32_t code = le16(r, 0);
      if (code == 1501 && chunk_bytes) *chunk_bytes += r.size() - 8;
      if (code != 1500 && code != 1501) return r;
    }
  }
};

}  // namespace

int main() {
  char tmpl[] = "/tmp/quelmark-sim-bench-XXXXXX";
  if (!mkdtemp(tmpl)) fail("cannot make a temporary folder");
  std::string dir = tmpl, flash = dir + "/flash.bin", image = dir + "/empty.bin";
  fclose(fopen(image.c_str(), "wb"));  // an erased flash

  int out[2], err[2];
  if (pipe(out) || pipe(err)) fail("pipe");
  std::string exe = platform::ExecutableDirectory() + "/quelmark-sim";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    execl(exe.c_str(), exe.c_str(), "--engine", "native", "--udp", "127.0.0.1:0", "--flash", flash.c_str(), "--image",
          image.c_str(), "--panel-log", (dir + "/panel.log").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  std::string text;
  uint16_t port = 0;
  auto started = Clock::now();
  while (!port && ms_since(started) < 20000) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) fail("quelmark-sim ended before it was ready (" + exe + ")");
    text.append(buf, n);
    size_t at = text.find("listening on 127.0.0.1:");
    if (at != std::string::npos && text.find('\n', at) != std::string::npos)
      port = static_cast<uint16_t>(atoi(text.c_str() + at + 23));
  }
  while (text.find("command port ") == std::string::npos ||
         text.find('\n', text.find("command port ")) == std::string::npos) {
    char buf[256];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, n);
  }
  if (!port) fail("quelmark-sim did not get ready");
  size_t cp = text.find("command port ");
  std::string pty = text.substr(cp + 13, text.find('\n', cp) - cp - 13);
  printf("quelmark-sim ready after %.0f ms (start-up pauses included)\n", ms_since(started));

  Host host(port);
  Bytes r = host.call(command(1000, 0, 0));
  host.id = static_cast<uint16_t>(le16(r, 4));

  Bytes image_data(20464);
  uint32_t x = 12345;
  unsigned long long halfwords = 0;  // halfwords that differ from the erased state
  auto count_programs = [&](const Bytes& d) {
    for (size_t i = 0; i < d.size(); i += 2)
      if ((d[i] | (d[i + 1] << 8)) != 0xFFFF) ++halfwords;
  };
  const int kRounds = 3;
  for (int round = 1; round <= kRounds; ++round) {
    // New bytes every round, so that every round has to write.
    for (uint8_t& b : image_data) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    count_programs(image_data);
    auto t0 = Clock::now();
    if (le16(host.next(1500, u32s({uint32_t(image_data.size())})), 0) != 2000) fail("1500 refused");
    for (size_t at = 0; at < image_data.size(); at += 1024) {
      Bytes chunk(image_data.begin() + at,
                  image_data.begin() + std::min(image_data.size(), at + 1024));
      if (le16(host.next(1501, chunk), 0) != 2000) fail("a chunk was refused");
    }
    double chunks_ms = ms_since(t0);
    auto t1 = Clock::now();
    if (le16(host.next(110, u32s({0, 0})), 0) != 2000) fail("110 target 0 failed");
    double write_ms = ms_since(t1);
    printf("round %d: 20,464 bytes: transfer %.1f ms, command 110 to flash %.1f ms, total %.1f ms\n",
           round, chunks_ms, write_ms, chunks_ms + write_ms);
  }

  const uint32_t kRead = 1 << 20;
  size_t got = 0;
  auto t2 = Clock::now();
  host.next(111, u32s({0xFF800000u, kRead}), &got);
  double read_ms = ms_since(t2);
  printf("command 111, 1 MiB of the flash window: %zu bytes in %.1f ms = %.2f MB/s%s\n", got, read_ms,
         got / read_ms / 1000.0, got == kRead ? "" : " (chunks lost on the way)");

  {
    SerialHost serial(pty);
    Bytes c = serial.call(command(1000, 0, 0));
    uint16_t sid = static_cast<uint16_t>(le16(c, 4));
    const uint32_t kSerialRead = 64 << 10;
    size_t sgot = 0;
    auto t3 = Clock::now();
    serial.call(command(111, sid, 1, u32s({0xFF800000u, kSerialRead})), &sgot);
    double sms = ms_since(t3);
    printf("command 111 on the command port, 64 KiB: %zu bytes in %.1f ms = %.2f MB/s "
           "(a real 115,200-baud line: about 5.7 s)\n",
           sgot, sms, sgot / sms / 1000.0);
  }

  kill(pid, SIGTERM);
  std::string errors;
  for (;;) {
    char buf[512];
    ssize_t n = read(err[0], buf, sizeof buf);
    if (n <= 0) break;
    errors.append(buf, n);
  }
  waitpid(pid, nullptr, 0);
  size_t at = errors.find("flash cycles: ");
  if (at == std::string::npos) fail("the runner reported no flash cycles");
  unsigned long long writes = 0, programs = 0, erases = 0;
  sscanf(errors.c_str() + at, "flash cycles: %llu writes (%llu programs, %llu block erases", &writes,
         &programs, &erases);
  // First round on erased flash: programs only; later rounds need one erase of
  // the 64 KB block at offset 0 (6 cycles) as well.
  unsigned long long min_programs = halfwords;
  unsigned long long min_erases = kRounds - 1;
  unsigned long long min_writes = 4 * min_programs + 6 * min_erases;
  printf("flash, %d rounds: %llu bus writes (least needed %llu: %.2fx), %llu programs (least %llu), "
         "%llu block erases (least %llu)\n",
         kRounds, writes, min_writes, double(writes) / min_writes, programs, min_programs, erases,
         min_erases);
  printf("(bus writes include the identification cycles at start-up)\n");
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
