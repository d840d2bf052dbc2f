// The dissector on a real capture: quelmark-sim --pcap on 127.0.0.1, qvebupd's
// update and a session of our own against it (version, memory read, a refused
// command 110, an option read, a packet with a broken checksum), then tshark
// with quelmark.lua on the capture. The decoded fields must tell the story.
#include <arpa/inet.h>
#include <spawn.h>
#include <sys/socket.h>

#include <map>
#include <sstream>

#include "testing/loopback_namespace.h"
#include "sim/runner/tests/runner_process.h"

extern char** environ;

namespace {

using runnertest::Bytes;
using runnertest::command;
using runnertest::u32s;

std::string build_dir() {
  const char* b = getenv("QUELMARK_BUILD_DIR");
  return b ? b : "..";
}

struct TempDir {
  TempDir() {
    char t[] = "/tmp/dissector_test.XXXXXX";
    path = mkdtemp(t);
  }
  ~TempDir() { (void)system(("rm -rf " + path).c_str()); }
  std::string path;
};

int run_program(const std::vector<std::string>& args, const std::vector<std::string>& env_add,
                const std::string& out_file) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.insert(env.end(), env_add.begin(), env_add.end());
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, (out_file + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string slurp(const std::string& path) {
  Bytes b = runnertest::read_file(path);
  return std::string(b.begin(), b.end());
}

// A UDP client of the simulated terminal.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    to_.sin_family = AF_INET;
    to_.sin_port = htons(port);
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};  // the loader may still be starting after qvebupd's restart
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Client() { close(fd_); }
  void send(const Bytes& p) {
    ASSERT_EQ(sendto(fd_, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_), ssize_t(p.size()));
  }
  Bytes receive() {
    uint8_t buf[2048];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? Bytes(buf, buf + n) : Bytes();
  }
  void set_timeout_ms(int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

 private:
  int fd_;
  sockaddr_in to_{};
};

const char* const kFields[] = {
    "frame.number",          "quelmark.direction",  "quelmark.command",   "quelmark.reply",
    "quelmark.answers",      "quelmark.checksum.good", "quelmark.conn_id", "quelmark.seq",
    "quelmark.data_length",  "quelmark.target",     "quelmark.parameter", "quelmark.size",
    "quelmark.read.address", "quelmark.read.length", "quelmark.read.total", "quelmark.read.chunk_size",
    "quelmark.chunk_index",  "quelmark.error",      "quelmark.version",   "quelmark.option",
    "quelmark.transfer_size",
};

using Row = std::map<std::string, std::string>;

TEST(Dissector, DecodesAnUpdateAndASessionFromTheSimulatedTerminal) {
  if (run_program({"tshark", "-v"}, {}, "/dev/null") != 0) GTEST_SKIP() << "tshark is not installed";
  qtest::enter_loopback_only_namespace();
  TempDir dir;
  const std::string pcap = dir.path + "/run.pcap";
  const std::string arp = dir.path + "/arp.sh";
  runnertest::write_file(arp, Bytes{'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n', 'e', 'x', 'i', 't', ' ', '0', '\n'});
  chmod(arp.c_str(), 0755);

  runnertest::Sim sim({"--loader", "--udp", "127.0.0.1:0", "--flash", dir.path + "/flash.bin", "--panel-log",
                       dir.path + "/panel.log", "--pcap", pcap});
  ASSERT_TRUE(sim.wait_ready());
  const std::string port = std::to_string(sim.port);
  ASSERT_EQ(run_program({build_dir() + "/bin/qvebupd", "127.0.0.1", port},
                        {"QVEBUPD_ARP=" + arp, "VORDLIX_LOCAL_PORT=0"}, dir.path + "/qvebupd.out"),
            0)
      << slurp(dir.path + "/qvebupd.out");

  // Our own session, after the restart that qvebupd's 1004 caused.
  {
    Client c(sim.port);
    // A frame that arrives while the restarted loader starts its controller is
    // lost, as on a terminal: connect again, as a host program does.
    Bytes r;
    c.set_timeout_ms(500);
    for (int attempt = 0; attempt < 20 && r.empty(); ++attempt) {
      c.send(command(1000, 0, 0));
      r = c.receive();
    }
    c.set_timeout_ms(5000);
    ASSERT_EQ(r.size(), 8u) << "no connect reply";
    const uint16_t conn = uint16_t(runnertest::le16(r, 4));
    c.send(command(1100, conn, 1));
    EXPECT_EQ(c.receive().size(), 25u);
    c.send(command(111, conn, 2, u32s({0, 2500})));
    for (size_t expected : {16u, 1032u, 1032u, 460u, 8u}) EXPECT_EQ(c.receive().size(), expected);
    c.send(command(1500, conn, 3, u32s({4})));
    c.receive();
    c.send(command(1501, conn, 4, u32s({0xDEADBEEF})));
    c.receive();
    c.send(command(110, conn, 5, u32s({99, 0})));
    EXPECT_EQ(runnertest::le16(c.receive(), 0), 2001u);
    const std::string name = "ShowCheckIn";
    c.send(command(11, conn, 6, Bytes(name.begin(), name.end() + 1)));
    EXPECT_EQ(runnertest::le16(c.receive(), 0), 0xFFFFu);
    Bytes bad = command(2000, conn, 7);
    bad[2] ^= 0x55;
    c.send(bad);
    c.set_timeout_ms(300);
    EXPECT_TRUE(c.receive().empty()) << "a packet with a broken checksum is dropped";
  }
  ASSERT_EQ(sim.stop(), 0);

  // Fields, one row per command packet.
  std::string cmd = "tshark -n -r " + pcap + " -X lua_script:" QUELMARK_DISSECTOR " -Y quelmark -T fields -E separator=/t";
  for (const char* f : kFields) cmd += std::string(" -e ") + f;
  ASSERT_EQ(run_program({"sh", "-c", cmd}, {}, dir.path + "/fields.txt"), 0) << slurp(dir.path + "/fields.txt.err");
  std::vector<Row> rows;
  std::istringstream lines(slurp(dir.path + "/fields.txt"));
  for (std::string line; std::getline(lines, line);) {
    Row row;
    std::istringstream cells(line);
    std::string cell;
    for (const char* f : kFields) {
      std::getline(cells, cell, '\t');
      row[f] = cell;
    }
    rows.push_back(row);
  }
  ASSERT_GT(rows.size(), 40u) << slurp(dir.path + "/fields.txt.err");

  auto find = [&](const std::string& dir_, const std::string& code, const std::string& answers = "") {
    std::vector<Row> out;
    for (const Row& r : rows) {
      bool request = dir_ == "request";
      if (r.at("quelmark.direction") != (request ? "0" : "1")) continue;
      if (r.at(request ? "quelmark.command" : "quelmark.reply") != code) continue;
      if (!answers.empty() && r.at("quelmark.answers") != answers) continue;
      out.push_back(r);
    }
    return out;
  };

  // Every checksum is good except the one we broke.
  int bad_checksums = 0;
  for (const Row& r : rows) {
    if (r.at("quelmark.checksum.good") != "1") {
      ++bad_checksums;
      EXPECT_EQ(r.at("quelmark.command"), "2000");
      EXPECT_EQ(r.at("quelmark.seq"), "7");
    }
  }
  EXPECT_EQ(bad_checksums, 1);

  // qvebupd: connect, 1003 (not served), 1500 with the image size, the chunks,
  // 110 to target 0, 2000, then 1004.
  std::vector<Row> connects = find("request", "1000");
  ASSERT_GE(connects.size(), 2u);  // the second may have been sent again
  std::vector<Row> connect_replies = find("reply", "2000", "1000");
  ASSERT_EQ(connect_replies.size(), 2u);
  EXPECT_NE(connect_replies[0].at("quelmark.conn_id"), "0");
  EXPECT_EQ(find("reply", "65535", "1003").size(), 1u);
  std::vector<Row> announce = find("request", "1500");
  ASSERT_EQ(announce.size(), 2u);
  long chunk_bytes = 0;
  for (const Row& r : find("request", "1501"))
    if (r.at("quelmark.conn_id") == connect_replies[0].at("quelmark.conn_id"))
      chunk_bytes += std::stol(r.at("quelmark.data_length"));
  EXPECT_GT(std::stol(announce[0].at("quelmark.size")), 8000);
  EXPECT_EQ(std::stol(announce[0].at("quelmark.size")), chunk_bytes) << "1500 announces what the chunks carry";
  std::vector<Row> writes = find("request", "110");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].at("quelmark.target"), "0");
  EXPECT_EQ(writes[0].at("quelmark.parameter"), "0x00000000");
  EXPECT_EQ(writes[0].at("quelmark.transfer_size"), announce[0].at("quelmark.size"));
  std::vector<Row> done110 = find("reply", "2000", "110");
  ASSERT_EQ(done110.size(), 1u);
  EXPECT_EQ(done110[0].at("quelmark.seq"), writes[0].at("quelmark.seq"));
  EXPECT_EQ(find("reply", "65535", "1004").size(), 1u);

  // Our session.
  std::vector<Row> version = find("reply", "2000", "1100");
  ASSERT_EQ(version.size(), 1u);
  EXPECT_EQ(version[0].at("quelmark.version"), "BLDR Apr 14 2004");
  std::vector<Row> read = find("request", "111");
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].at("quelmark.read.address"), "0x00000000");
  EXPECT_EQ(read[0].at("quelmark.read.length"), "2500");
  std::vector<Row> read_announce = find("reply", "1500");
  ASSERT_EQ(read_announce.size(), 1u);
  EXPECT_EQ(read_announce[0].at("quelmark.read.total"), "2500");
  EXPECT_EQ(read_announce[0].at("quelmark.read.chunk_size"), "1024");
  std::vector<Row> chunks = find("reply", "1501");
  ASSERT_EQ(chunks.size(), 3u);
  const char* lengths[] = {"1024", "1024", "452"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(chunks[i].at("quelmark.chunk_index"), std::to_string(i));
    EXPECT_EQ(chunks[i].at("quelmark.data_length"), lengths[i]);
  }
  EXPECT_EQ(find("reply", "2000", "111").size(), 1u);
  EXPECT_EQ(writes[1].at("quelmark.target"), "99");
  EXPECT_EQ(writes[1].at("quelmark.transfer_size"), "4");
  std::vector<Row> refused = find("reply", "2001", "110");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].at("quelmark.error"), "5");
  std::vector<Row> option = find("request", "11");
  ASSERT_EQ(option.size(), 1u);
  EXPECT_EQ(option[0].at("quelmark.option"), "ShowCheckIn");
  EXPECT_EQ(find("reply", "65535", "11").size(), 1u);

  // The summary lines name commands, replies, targets and errors.
  cmd = "tshark -n -r " + pcap + " -X lua_script:" QUELMARK_DISSECTOR " -Y quelmark";
  ASSERT_EQ(run_program({"sh", "-c", cmd}, {}, dir.path + "/summary.txt"), 0);
  const std::string summary = slurp(dir.path + "/summary.txt");
  for (const char* text : {"Request connect (1000)", "Request announce transfer (1500): ",
                           "target 0 (boot-loader area, flash offset 0)", "Reply done (2000) to connect",
                           "Reply command not served (65535) to restart",
                           "Reply memory read: chunk (1501) 2: 452 bytes, seq 2",
                           "Reply refused (2001) to write transfer buffer to flash or run it: error 5",
                           "\"BLDR Apr 14 2004\"", "[BAD CHECKSUM]"})
    EXPECT_NE(summary.find(text), std::string::npos) << text << "\n" << summary;
}

}  // namespace
