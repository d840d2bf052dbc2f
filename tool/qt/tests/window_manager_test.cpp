// The real program under a real window manager: Xvfb on a display of its own
// choosing, Openbox, build/bin/quelmark-config. The window's outer frame must be
// 330 x 193, centred, and the window manager must offer neither minimise nor
// maximise nor resizing (a dialog border). Measured from outside with xwininfo and
// xprop; a picture of the screen around the window goes to
// build/tests/quelmark-config-openbox.png. Skips only when Xvfb cannot start.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string BuildDir() {
  const char* build = std::getenv("QUELMARK_BUILD_DIR");
  return build ? build : "..";
}

// A child process, ended (SIGTERM, then SIGKILL) when the object goes.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(Child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
  Child& operator=(Child&& other) noexcept {
    std::swap(pid_, other.pid_);
    return *this;
  }
  ~Child() { Stop(); }
  pid_t pid() const { return pid_; }
  bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) std::this_thread::sleep_for(20ms);
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// Starts argv[0] (looked up in PATH) with its output sent to a log file.
Child Spawn(const std::vector<std::string>& args, const std::string& log, int keepFd = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    for (int fd = 3; fd < 256; ++fd)
      if (fd != keepFd) close(fd);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return Child(pid);
}

// Standard output of a shell command.
std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

std::optional<long> Field(const std::string& text, const std::string& pattern) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(pattern))) return std::nullopt;
  return std::stol(m[1].str(), nullptr, 0);
}

struct Rect {
  long x = 0, y = 0, width = 0, height = 0;
};

// Place and size of a window as xwininfo reports them (border included).
std::optional<Rect> Geometry(const std::string& window) {
  const std::string info = Output("xwininfo -id " + window);
  const auto x = Field(info, R"(Absolute upper-left X:\s+(-?\d+))");
  const auto y = Field(info, R"(Absolute upper-left Y:\s+(-?\d+))");
  const auto w = Field(info, R"(Width:\s+(\d+))");
  const auto h = Field(info, R"(Height:\s+(\d+))");
  const auto border = Field(info, R"(Border width:\s+(\d+))");
  if (!x || !y || !w || !h) return std::nullopt;
  const long b = border ? *border : 0;
  return Rect{*x - b, *y - b, *w + 2 * b, *h + 2 * b};
}

// The window manager's frame: the ancestor of the window just below the root.
std::string FrameOf(const std::string& window) {
  std::string current = window;
  for (int depth = 0; depth < 8; ++depth) {
    const std::string tree = Output("xwininfo -tree -id " + current);
    std::smatch m;
    if (!std::regex_search(tree, m, std::regex(R"(Parent window id: (0x[0-9a-fA-F]+)(.*))"))) return {};
    if (m[2].str().find("(the root window)") != std::string::npos) return current;
    current = m[1].str();
  }
  return {};
}

template <typename Predicate>
bool WaitFor(Predicate ready, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return ready();
}

TEST(WindowManager, OuterFrameIs330By193AndNoMinimiseOrMaximise) {
  const std::string program = BuildDir() + "/bin/quelmark-config";
  ASSERT_EQ(access(program.c_str(), X_OK), 0) << program;
  char dir[] = "/tmp/quelmark-wm-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string logs = dir;

  // Xvfb picks a free display and writes its number to the pipe once it serves.
  // No reset when the last client goes: the probes below come and go, and a
  // client that connects during a reset fails.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  Child xvfb = Spawn({"Xvfb", "-displayfd", std::to_string(pipeFds[1]), "-screen", "0", "1024x768x24",
                      "-nolisten", "tcp", "-noreset"},
                     logs + "/xvfb.log", pipeFds[1]);
  close(pipeFds[1]);
  std::string number;
  pollfd p{pipeFds[0], POLLIN, 0};
  while (poll(&p, 1, 30000) > 0) {
    char c;
    if (read(pipeFds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(pipeFds[0]);
  if (number.empty() || !xvfb.Running()) GTEST_SKIP() << "Xvfb cannot start here (see " << logs << "/xvfb.log)";
  const std::string display = ":" + number;
  setenv("DISPLAY", display.c_str(), 1);

  setenv("XDG_CONFIG_HOME", logs.c_str(), 1);  // no user configuration of Openbox
  Child openbox = Spawn({"openbox", "--sm-disable"}, logs + "/openbox.log");
  ASSERT_TRUE(WaitFor([] { return Output("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos; },
                      30s))
      << "Openbox did not start on " << display << " (see " << logs << "/openbox.log)";

  unsetenv("QUELMARK_CONFIG_SCREENSHOT");
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  Child tool = Spawn({program}, logs + "/quelmark-config.log");
  std::string window;
  ASSERT_TRUE(WaitFor(
      [&] {
        window = Output("xdotool search --onlyvisible --name '^Quelmark Config$'");
        window = window.substr(0, window.find('\n'));
        return !window.empty() && Output("xprop -id " + window + " _NET_FRAME_EXTENTS").find('=') != std::string::npos;
      },
      30s))
      << "no framed window (see " << logs << "/quelmark-config.log); windows: "
      << Output("xdotool search --name 'Quelmark'") << "; tool running: " << tool.Running() << "; last seen: " << window
      << " " << Output("xprop -id " + window) << Output("xwininfo -root -tree");

  // The window fits itself to the frame once it knows it: wait until it stands still.
  std::string frame;
  std::optional<Rect> outer;
  std::optional<Rect> last;
  int steady = 0;
  WaitFor(
      [&] {
        frame = FrameOf(window);
        outer = frame.empty() ? std::nullopt : Geometry(frame);
        const bool same = outer && last && outer->x == last->x && outer->y == last->y &&
                          outer->width == last->width && outer->height == last->height;
        steady = same ? steady + 1 : 0;
        last = outer;
        return steady >= 4;
      },
      5s);
  ASSERT_TRUE(outer.has_value()) << "frame of window " << window << " not found";
  EXPECT_EQ(outer->width, 330);
  EXPECT_EQ(outer->height, 193);
  EXPECT_LE(std::labs(outer->x - (1024 - 330) / 2), 1) << outer->x;
  EXPECT_LE(std::labs(outer->y - (768 - 193) / 2), 1) << outer->y;

  // The client area and the frame the window manager reports add up to it.
  const std::optional<Rect> client = Geometry(window);
  const std::string extents = Output("xprop -id " + window + " _NET_FRAME_EXTENTS");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(extents, m, std::regex(R"(= (\d+), (\d+), (\d+), (\d+))"))) << extents;
  ASSERT_TRUE(client.has_value());
  EXPECT_EQ(client->width + std::stol(m[1]) + std::stol(m[2]), outer->width);
  EXPECT_EQ(client->height + std::stol(m[3]) + std::stol(m[4]), outer->height);
  EXPECT_GT(std::stol(m[3]), 0) << "no title bar: not a real frame";

  const std::string actions = Output("xprop -id " + window + " _NET_WM_ALLOWED_ACTIONS");
  EXPECT_NE(actions.find("_NET_WM_ACTION_CLOSE"), std::string::npos) << actions;
  EXPECT_NE(actions.find("_NET_WM_ACTION_MOVE"), std::string::npos) << actions;
  for (const char* refused : {"_NET_WM_ACTION_MINIMIZE", "_NET_WM_ACTION_MAXIMIZE_HORZ",
                              "_NET_WM_ACTION_MAXIMIZE_VERT", "_NET_WM_ACTION_RESIZE"})
    EXPECT_EQ(actions.find(refused), std::string::npos) << refused << " offered: " << actions;
  EXPECT_NE(Output("xprop -id " + window + " WM_NAME").find("\"Quelmark Config\""), std::string::npos);
  // Still an ordinary window to the user: it has the focus once it is shown.
  const auto active = Field(Output("xprop -root _NET_ACTIVE_WINDOW"), R"(# (0x[0-9a-fA-F]+))");
  EXPECT_TRUE(active && *active == std::stol(window)) << "active window " << (active ? *active : 0) << ", ours " << window;

  // The screen around the window, frame and title bar included.
  const std::string shot = BuildDir() + "/tests/quelmark-config-openbox.png";
  std::remove(shot.c_str());
  const std::string crop = std::to_string(outer->width + 20) + "x" + std::to_string(outer->height + 20) + "+" +
                           std::to_string(outer->x - 10) + "+" + std::to_string(outer->y - 10);
  Output("import -window root -crop " + crop + " +repage " + shot);
  struct stat st {};
  EXPECT_EQ(stat(shot.c_str(), &st), 0) << "no screenshot " << shot;
  std::printf("screenshot: %s\n", shot.c_str());

  EXPECT_TRUE(tool.Running()) << "quelmark-config ended early (see " << logs << "/quelmark-config.log)";
  tool.Stop();
  openbox.Stop();
  xvfb.Stop();
  Output("rm -rf " + logs);
}

}  // namespace
