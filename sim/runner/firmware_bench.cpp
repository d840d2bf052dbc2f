// quelmark-sim-firmware-bench: figures of one simulated terminal in
// main-firmware mode (quelmark-sim started beside this program on a fresh flash
// in a temporary folder, the option store in a file there).
//
// Prints, as medians and 90th percentiles over many rounds:
// - connect-to-reply latency of commands 11 and 12 through libvordlix: from the
//   start of VORDLIX_INIT to the reply, a new connection each round, and the
//   round trip alone on an open connection;
// - the wall time of each window operation end to end (the tool model's click
//   handlers over the real library), less the time spent in its settle pause.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "testing/process.h"
#include "tool/ops/voice_config.h"
#include "tool/uOEM.h"
#include "tool/vordlix.h"
#include <vordlix/vordlix.h>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Report(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::printf("  %-52s median %8.3f ms   p90 %8.3f ms   (%zu rounds)\n", what, v[v.size() / 2],
              v[v.size() * 9 / 10], v.size());
}

class Quiet : public MessagePort {
 public:
  void Show(const MessageBoxRequest& box) override { last = box.Text; }
  std::string last;
};

int32_t Connect(uint16_t port) { return VORDLIX_INIT("vxnet.dll", "127.0.0.1", port, 0, 0, 0); }

uint16_t Command(int32_t h, uint16_t cmd, const std::string& text) {
  std::vector<char> buf(256, 0);
  std::memcpy(buf.data(), text.c_str(), text.size() + 1);
  uint16_t reply = cmd;
  VORDLIX_SENDCMD(h, &reply, buf.data(), 200, static_cast<int32_t>(text.size()) + 1, 2000);
  return reply;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  char tmpl[] = "/tmp/quelmark-fw-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  int rc = 0;
  {
    qtest::Sim sim({"--udp", "127.0.0.1:0", "--flash", dir + "/flash.bin", "--panel-log", dir + "/panel.log",
                    "--time", "wall"},
                   dir + "/sim.err");
    if (!sim.wait_ready()) {
      std::fprintf(stderr, "quelmark-sim-firmware-bench: quelmark-sim did not start\n");
      return 1;
    }
    // Until the personality answers (the boot loader starts it first).
    const Clock::time_point boot = Clock::now();
    for (;;) {
      const int32_t h = Connect(sim.port);
      const bool up = h && GetOption(h, "V0") == "QMSIM 1.0";
      if (h) VORDLIX_CLOSE(h);
      if (up) break;
      if (Clock::now() - boot > std::chrono::seconds(30)) {
        std::fprintf(stderr, "quelmark-sim-firmware-bench: the main firmware did not answer\n");
        return 1;
      }
    }
    std::printf("quelmark-sim in main-firmware mode on 127.0.0.1:%u (option store in a file)\n", sim.port);

    std::vector<double> c11, c12, r11, r12;
    for (int i = 0; i < rounds; ++i) {
      Clock::time_point t = Clock::now();
      int32_t h = Connect(sim.port);
      if (!h || Command(h, 11, "Voices") != 2000) rc = 1;
      c11.push_back(Ms(Clock::now() - t));
      VORDLIX_CLOSE(h);
      t = Clock::now();
      h = Connect(sim.port);
      if (!h || Command(h, 12, "Bench=" + std::to_string(i)) != 2000) rc = 1;
      c12.push_back(Ms(Clock::now() - t));
      t = Clock::now();
      Command(h, 11, "Bench");
      r11.push_back(Ms(Clock::now() - t));
      t = Clock::now();
      Command(h, 12, "Bench=x" + std::to_string(i));
      r12.push_back(Ms(Clock::now() - t));
      VORDLIX_CLOSE(h);
    }
    std::printf("Commands through libvordlix over UDP:\n");
    Report("connect + 11 (read \"Voices\")", c11);
    Report("connect + 12 (write, store file written)", c12);
    Report("11 alone on an open connection", r11);
    Report("12 alone on an open connection", r12);

    // The window's operations, as clicks on the model.
    TForm1 form;
    Quiet boxes;
    form.Messages = &boxes;
    double slept = 0;
    form.SleepMs = [&slept](uint32_t ms) {
      const Clock::time_point t = Clock::now();
      platform::Sleep(ms);
      slept += Ms(Clock::now() - t);
    };
    form.edtnetAddress.Text = "127.0.0.1";
    form.edtNetPort.Text = std::to_string(sim.port);
    const std::string ini = dir + "/voices.ini";
    FILE* f = std::fopen(ini.c_str(), "w");
    std::fputs("[QZX]\nVoices=4\n", f);
    std::fclose(f);
    form.VoiceConfig.reset(new IniVoiceConfig(ini));
    struct Op {
      const char* name;
      std::function<void(int)> prepare;
      Control* button;
    };
    const Op ops[] = {
        {"preset \"R7 In/Out\" / \"R7 No In/Out\"", [&](int i) { form.cbKeyLayouts.Select(i % 2 ? 5 : 4); },
         &form.btnSetConfig},
        {"option panel: serial number", [&](int i) {
           form.cbConfig.Select(4);
           form.txtConfig.Text = std::to_string(100000 + i);
         }, &form.btWriteConfig},
        {"option panel: read", [&](int) { form.cbConfig.Text = "~SerialNumber"; }, &form.btReadConfig},
        {"OEM identity (two names)", [&](int i) {
           form.edtOEMVender.Text = "Vendor " + std::to_string(i);
           form.edtProduct.Text = "Product " + std::to_string(i);
         }, &form.btnOpen},
        {"voice \"QZX\"", [&](int) { form.cbVoices.Select(0); }, &form.btnSetVoices},
        {"diagnostics (five reads)", [&](int) {}, &form.Button2},
    };
    std::printf("Window operations end to end, beyond the settle pause:\n");
    const int op_rounds = std::max(3, rounds / 20);
    for (const Op& op : ops) {
      std::vector<double> beyond;
      double pause = 0;
      for (int i = 0; i < op_rounds; ++i) {
        op.prepare(i);
        slept = 0;
        const Clock::time_point t = Clock::now();
        form.Click(*op.button);
        beyond.push_back(Ms(Clock::now() - t) - slept);
        pause += slept;
      }
      char label[96];
      std::snprintf(label, sizeof label, "%s (pause %.0f ms)", op.name, pause / op_rounds);
      Report(label, beyond);
    }
    if (!boxes.last.empty() && boxes.last != "Success!") std::printf("last message: %s\n", boxes.last.c_str());
    sim.stop();
  }
  std::system(("rm -rf '" + dir + "'").c_str());
  return rc;
}
