// quelmark-sim: the simulated terminal.
//
// An engine runs the boot loader on the simulated machine; the runner faces the
// host: the machine's Ethernet bridged to a UDP socket on a loopback address, its
// command port on a pseudo-terminal, its flash kept in a file, its panel frames
// logged. The OS timer runs in real time (or, with --time virtual, follows the
// engine).
//
// Main-firmware mode: a new flash file holds the boot loader and, behind the
// firmware header, the packed firmware stand-in, so the loader starts it. When
// the engine reports that the stand-in rang its doorbell, the engine stops and
// the main-firmware personality answers the host on the same socket and
// pseudo-terminal (FirmwareHost) until its 1004 resets the board, which boots
// from flash again. --loader (and the native engine) keep loader mode only.
//
// One thread. The engine calls the runner often (service()); the runner moves
// bytes between the host and the models and, when nothing has happened for a
// while, blocks in poll() for up to 1 ms so that an idle terminal does not burn
// a core.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fwimage/fwimage.h"
#include "platform/files.h"
#include "sim/devices/dm9000.h"
#include "sim/devices/uart.h"
#include "sim/engine/arm/arm_engine.h"
#include "sim/engine/engine.h"
#include "sim/engine/native/native_engine.h"
#include "sim/machine/machine.h"
#include "sim/runner/bridge.h"
#include "sim/runner/firmware_host.h"
#include "sim/runner/options.h"
#include "sim/runner/panel_log.h"
#include "sim/runner/pcap.h"
#include "sim/runner/pty.h"
#include "sim/terminal/main_firmware.h"
#include "wire/net.h"

namespace simrun {
namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

class Runner : public sim::EngineHost {
 public:
  explicit Runner(const Options& o)
      : opt_(o),
        machine_(o.flash_id, o.virtual_time ? sim::OsTimer::Mode::Virtual : sim::OsTimer::Mode::RealTime),
        board_(machine_.bus),
        dev_(machine_.dev),
        engine_(o.engine == "native" ? std::unique_ptr<sim::Engine>(new sim::NativeEngine(machine_))
                                     : std::unique_ptr<sim::Engine>(new sim::ArmEngine(machine_))),
        bridge_(o.udp, o.terminal_ip, Impairment{o.loss_percent, o.delay_ms, o.seed}) {
    // Whatever the loader sends counts as activity: it keeps the runner from
    // blocking between the bytes of a reply.
    dev_.eth.on_transmit([this](const std::vector<uint8_t>& f) {
      quiet_ = 0;
      pcap_.write(f, PcapWriter::now_micros());
      bridge_.transmit(f);
    });
    dev_.ffuart.on_transmit([this](uint8_t b) {
      quiet_ = 0;
      pty_.write(b);
    });
    dev_.btuart.on_transmit([this](uint8_t b) { panel_->byte(b); });
  }

  ~Runner() {
    if (panel_file_) fclose(panel_file_);
  }

  int run() {
    if (!prepare_flash()) return 1;
    if (!opt_.panel_log.empty()) {
      panel_file_ = fopen(opt_.panel_log.c_str(), "a");
      if (!panel_file_) {
        fprintf(stderr, "quelmark-sim: cannot open %s: %s\n", opt_.panel_log.c_str(), strerror(errno));
        return 1;
      }
    }
    panel_log_ = PanelLog(panel_file_ ? panel_file_ : stderr);
    panel_ = &panel_log_;
    if (!opt_.pcap.empty()) {
      std::string err = pcap_.open(opt_.pcap);
      if (!err.empty()) {
        fprintf(stderr, "quelmark-sim: %s\n", err.c_str());
        return 1;
      }
    }
    if (!opt_.pty_link.empty() && !make_link()) return 1;
    // The option store is checked at start: a file that cannot be read is an
    // error now, not when the firmware first runs.
    if (!opt_.loader_mode && !open_firmware()) return 1;

    engine_->reset();
    int rc = 0;
    const bool native = opt_.engine == "native";
    while (!g_stop) {
      sim::EngineExit exit = engine_->run(*this);
      if (exit.kind == sim::EngineExit::Stop) break;
      if (exit.kind == sim::EngineExit::Jump && native) {
        fprintf(stderr,
                "quelmark-sim: jump to uploaded code at 0x%08X: the native engine cannot run "
                "it; restarting in loader mode\n",
                exit.addr);
      } else if (exit.kind == sim::EngineExit::Jump) {
        // Code outside the loader that never rang the doorbell: nothing here
        // models what it would do, so the terminal is reset.
        fprintf(stderr, "quelmark-sim: jump to 0x%08X outside the loader; hardware reset\n",
                exit.addr);
        engine_->reset();
      } else if (exit.kind == sim::EngineExit::Started && !firmware_) {
        // Loader mode: no personality stands behind the firmware, so the
        // terminal answers nothing more. (A reset would only start it again.)
        fprintf(stderr, "quelmark-sim: firmware started at 0x%08X with sum 0x%08X\n", exit.addr,
                exit.sum);
        while (service()) {
        }
        break;
      } else if (exit.kind == sim::EngineExit::Started) {
        fprintf(stderr, "quelmark-sim: firmware started at 0x%08X with sum 0x%08X\n", exit.addr, exit.sum);
        save_flash();
        if (!serve_firmware()) break;
        printf("restart\n");
        fflush(stdout);
        engine_->reset();
      } else {
        fprintf(stderr, "quelmark-sim: restart\n");
      }
      // Only a changed flash is written back (an image that faults at once
      // restarts over and over).
      if (board_.flash.operations() != saved_ops_) save_flash();
    }
    panel_->flush();
    pty_.flush();
    report_flash();
    if (opt_.loss_percent > 0)
      fprintf(stderr, "quelmark-sim: UDP datagrams lost: %llu to the terminal, %llu from it\n",
              (unsigned long long)bridge_.link().lost_in(), (unsigned long long)bridge_.link().lost_out());
    if (!save_flash() || store_failed_) rc = 1;
    if (!opt_.pty_link.empty()) unlink(opt_.pty_link.c_str());
    return rc;
  }

 private:
  // Moves bytes between the host and the models; blocks briefly when idle.
  bool service() override {
    if (g_stop) return false;
    if (!announced_) announce();
    bool moved = false;
    if (dev_.ffuart.rx_pending() < 4096) {
      uint8_t buf[4096];
      size_t n = pty_.read(buf, sizeof buf - dev_.ffuart.rx_pending());
      if (n) {
        dev_.ffuart.push_rx(std::vector<uint8_t>(buf, buf + n));
        moved = true;
      }
    }
    pty_.flush();
    bridge_.link().pump();  // replies held back by --delay, the firmware's last ones included
    // Datagrams wait in the socket while the receiver is off or full.
    if (dev_.eth.reg(sim::Dm9000::RCR) & 1) {
      while (dev_.eth.rx_pending() < 8) {
        std::optional<std::vector<uint8_t>> f = bridge_.receive();
        if (!f) break;
        pcap_.write(*f, PcapWriter::now_micros());
        if (!dev_.eth.receive(*f) && f->size() + 4 > sim::Dm9000::kLongFrame)
          fprintf(stderr,
                  "quelmark-sim: dropped a datagram of %zu bytes: its frame is longer than the "
                  "controller receives (%zu bytes of payload at most)\n",
                  f->size() - wire::kUdpPayloadOffset, sim::Dm9000::kLongFrame - 4 - wire::kUdpPayloadOffset);
        moved = true;
      }
    }
    panel_->idle();
    if (moved || dev_.ffuart.rx_pending() || dev_.eth.rx_pending()) {
      quiet_ = 0;
      return true;
    }
    // Inside a serial frame the loader polls at most 20 times before it gives
    // up, so blocking starts only well after the last activity.
    if (++quiet_ < kQuietPolls) return true;
    pollfd fds[2] = {{bridge_.fd(), POLLIN, 0}, {pty_.fd(), POLLIN, 0}};
    if (pty_.pending_output()) fds[1].events |= POLLOUT;
    poll(fds, 2, 1);
    return true;
  }

  // A fresh personality over the option store file (each start of the firmware
  // begins with fresh counters and no connections, as a started program does).
  bool open_firmware() {
    firmware_ = std::make_unique<sim::terminal::MainFirmware>(&board_.flash, &machine_.bus.timer);
    std::string error;
    if (!firmware_->OpenStore(opt_.options_file, &error)) {
      fprintf(stderr, "quelmark-sim: the option store %s: %s\n", opt_.options_file.c_str(), error.c_str());
      firmware_.reset();
      store_failed_ = true;
      return false;
    }
    return true;
  }

  // The main firmware runs: the personality answers until it restarts the
  // terminal (true) or the runner is asked to stop (false).
  bool serve_firmware() {
    if (!announced_) announce();
    printf("main firmware started\n");
    fflush(stdout);
    sim::terminal::ServerCore core(*firmware_);
    FirmwareHost host(core, bridge_.link(), pty_);
    firmware_->SetRestart([&host] { host.restart(); });
    uint64_t images = 0;
    host.on_request([this, &images] {
      if (firmware_->ImagesWritten() == images) return;
      images = firmware_->ImagesWritten();
      fprintf(stderr, "quelmark-sim: main firmware wrote a boot-loader image at flash offset 0\n");
      save_flash();
    });
    FirmwareHost::End end = host.serve(&g_stop);
    firmware_->SetRestart(nullptr);
    save_flash();
    if (end == FirmwareHost::End::Stop) return false;
    // A fresh personality for the next start, over the same file.
    return open_firmware();
  }

  void announce() {
    announced_ = true;
    printf("listening on %s\ncommand port %s\n", bridge_.address().c_str(), pty_.path().c_str());
    fflush(stdout);
  }

  bool prepare_flash() {
    if (access(opt_.flash_file.c_str(), F_OK) == 0) {
      struct stat st {};
      stat(opt_.flash_file.c_str(), &st);
      if (!S_ISREG(st.st_mode) || st.st_size != sim::FlashModel::kSize) {
        fprintf(stderr, "quelmark-sim: %s is not a flash file (it must hold %u bytes)\n",
                opt_.flash_file.c_str(), sim::FlashModel::kSize);
        return false;
      }
      if (!board_.flash.load(opt_.flash_file)) {
        fprintf(stderr, "quelmark-sim: cannot read %s: %s\n", opt_.flash_file.c_str(), strerror(errno));
        return false;
      }
      if (opt_.loader_mode && opt_.engine != "native" && holds_firmware()) {
        fprintf(stderr,
                "quelmark-sim: %s holds main firmware, which the loader would start; --loader needs "
                "a flash file without it (give another --flash)\n",
                opt_.flash_file.c_str());
        return false;
      }
      return true;
    }
    // A new flash: erased, holding the boot-loader image at offset 0.
    board_.flash.fill(0xFF);
    std::string image = opt_.image.empty() ? platform::ExecutableDirectory() + "/../firmware/bootloader.bin" : opt_.image;
    std::vector<uint8_t> bytes;
    if (read_file(image, &bytes)) {
      if (bytes.size() > sim::FlashModel::kSize) {
        fprintf(stderr, "quelmark-sim: %s is larger than the flash\n", image.c_str());
        return false;
      }
      board_.flash.set_contents(0, bytes);
    } else if (!opt_.image.empty()) {
      fprintf(stderr, "quelmark-sim: cannot read the image %s: %s\n", image.c_str(), strerror(errno));
      return false;
    } else {
      fprintf(stderr, "quelmark-sim: no boot-loader image at %s; the flash starts erased\n",
              image.c_str());
    }
    if (!opt_.loader_mode && !place_firmware()) return false;
    if (!save_flash()) return false;
    return true;
  }

  bool holds_firmware() const {
    fwimage::Header h;
    return fwimage::parse_header(board_.flash.data() + fwimage::kHeaderOffset, fwimage::kHeaderSize, &h).empty();
  }

  // The packed firmware stand-in behind the firmware header of a new flash.
  bool place_firmware() {
    std::string path = opt_.firmware.empty() ? platform::ExecutableDirectory() + "/../firmware/standin-lzo.fw"
                                             : opt_.firmware;
    std::vector<uint8_t> packed;
    if (!read_file(path, &packed)) {
      if (!opt_.firmware.empty()) {
        fprintf(stderr, "quelmark-sim: cannot read the firmware %s: %s\n", path.c_str(), strerror(errno));
        return false;
      }
      fprintf(stderr, "quelmark-sim: no firmware at %s; the terminal starts in loader mode\n", path.c_str());
      return true;
    }
    fwimage::Bytes flash(board_.flash.data(), board_.flash.data() + sim::FlashModel::kSize);
    std::string err = fwimage::place_in_flash(packed, &flash);
    if (!err.empty()) {
      fprintf(stderr, "quelmark-sim: the firmware %s: %s\n", path.c_str(), err.c_str());
      return false;
    }
    board_.flash.set_contents(0, flash);
    return true;
  }

  // What the flash saw during this run, for benchmarks and curious users.
  void report_flash() {
    const sim::FlashModel::Counters& c = board_.flash.counters();
    fprintf(stderr,
            "quelmark-sim: flash cycles: %llu writes (%llu programs, %llu block erases, %llu chip "
            "erases), %llu reads (%llu status reads)\n",
            (unsigned long long)c.writes, (unsigned long long)c.programs,
            (unsigned long long)c.erases, (unsigned long long)c.chip_erases,
            (unsigned long long)c.reads, (unsigned long long)c.status_reads);
  }

  bool save_flash() {
    saved_ops_ = board_.flash.operations();
    if (board_.flash.save(opt_.flash_file)) return true;
    fprintf(stderr, "quelmark-sim: cannot write %s: %s\n", opt_.flash_file.c_str(), strerror(errno));
    return false;
  }

  bool make_link() {
    struct stat st {};
    if (lstat(opt_.pty_link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        fprintf(stderr, "quelmark-sim: %s exists and is not a symbolic link; not replacing it\n",
                opt_.pty_link.c_str());
        return false;
      }
      unlink(opt_.pty_link.c_str());
    }
    if (symlink(pty_.path().c_str(), opt_.pty_link.c_str()) != 0) {
      fprintf(stderr, "quelmark-sim: cannot link %s: %s\n", opt_.pty_link.c_str(), strerror(errno));
      return false;
    }
    return true;
  }

  static constexpr uint32_t kQuietPolls = 64;

  Options opt_;
  sim::Machine machine_;
  sim::Bus& board_;
  sim::TerminalDevices& dev_;
  std::unique_ptr<sim::Engine> engine_;
  Bridge bridge_;
  Pty pty_;
  PanelLog panel_log_{nullptr};
  PanelLog* panel_ = &panel_log_;
  PcapWriter pcap_;
  FILE* panel_file_ = nullptr;
  std::unique_ptr<sim::terminal::MainFirmware> firmware_;
  bool store_failed_ = false;  // the option store could not be opened again at a restart
  bool announced_ = false;
  uint32_t quiet_ = 0;
  uint64_t saved_ops_ = 0;  // flash operations at the last save
};

}  // namespace
}  // namespace simrun

int main(int argc, char** argv) {
  using namespace simrun;
  Options opt;
  std::string err = parse_options(std::vector<std::string>(argv + 1, argv + argc), &opt);
  if (!err.empty()) {
    fprintf(stderr, "quelmark-sim: %s\n%s", err.c_str(), usage());
    return 2;
  }
  if (opt.help) {
    fputs(usage(), stdout);
    return 0;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  try {
    Runner runner(opt);
    return runner.run();
  } catch (const std::exception& e) {
    fprintf(stderr, "quelmark-sim: %s\n", e.what());
    return 1;
  }
}
