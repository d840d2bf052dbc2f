#include "cli/quelmark.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "cli/batch.h"
#include "cli/device.h"
#include "cli/text.h"
#include "fwimage/fwimage.h"
#include "tool/ops/operations.h"
#include "tool/ops/sysutils.h"
#include "tool/ops/texts_cp936.h"
#include "tool/ops/voice_config.h"

namespace qcli {

std::string Usage() {
  return R"(usage: quelmark [--address ADDR] [--port N] [--device-id N] [--baud N] [--json] COMMAND ...

Connection (the window's defaults): --address 192.168.1.201, --port $1112 (4370).
An address beginning with "COM" (after trimming and upper-casing) is a serial
port: --device-id (or --port) is the device ID (default 1), --baud the rate
(default 115200). Integers are decimal or hexadecimal after $, x, X, 0x or 0X.

Commands:
  get NAME...                       read options
  set NAME=VALUE...                 write options (compare first; three attempts)
  preset NAME|INDEX                 apply a key-layout preset (0 to 7 or its name)
  serial NUMBER                     write the serial number (6 characters)
  oem --vendor TEXT --product TEXT  write the OEM vendor and product names
  voice NAME [--voices FILE]        write the voice's value from the voice file
  diag                              read the diagnostic values V0 to V4
  version                           the terminal's version text
  restart                           restart the terminal (command 1004)
  flash read --out FILE [--offset N] [--length N]
                                    save a range of the 2 MB flash to FILE
  boot verify [--image FILE]        compare the boot loader in flash with the image
  boot update [--image FILE] [--backup FILE]
                                    save the boot area, write the image, read it
                                    back; write again at most twice, else restore
  firmware write FILE --load-address ADDR [--plain|--lzo]
                                    write the main firmware and read it back
  batch PLAN.csv [--jobs N] [--report FILE] [--retry REPORT] [--voices FILE]
                 [--backup-dir DIR] one terminal per row, N at a time
The image of boot update/verify defaults to the one the program carries (the
boot updater's). --json prints one JSON object per command (batch: JSON lines)
and no progress.

Exit codes:
  0  done
  1  bad command line, or a connection setting that is no integer
  2  input refused before anything was sent (serial number, load address,
     preset, plan, files)
  3  the terminal could not be reached
  4  a command or write failed on the terminal
  5  the read-back differs from what was written (boot update: backup restored)
  6  boot update failed and the backup could not be restored
  7  batch: at least one row failed (see the report)
)";
}

namespace {

const std::set<std::string> kValueOptions = {"--address", "--port",   "--device-id", "--baud",   "--voices",
                                             "--vendor",  "--product", "--out",      "--offset", "--length",
                                             "--image",   "--backup",  "--load-address", "--jobs", "--report",
                                             "--retry",   "--backup-dir"};
const std::set<std::string> kFlags = {"--json", "--help", "-h", "--plain", "--lzo"};

struct Args {
  Settings settings;
  std::vector<std::string> words;  // the command and its positional arguments
  std::map<std::string, std::string> opts;
  std::set<std::string> flags;
  bool Has(const std::string& o) const { return opts.count(o) > 0; }
  std::string Opt(const std::string& o, const std::string& d = "") const {
    auto it = opts.find(o);
    return it == opts.end() ? d : it->second;
  }
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Args Parse(const std::vector<std::string>& args) {
  Args a;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& w = args[i];
    if (kFlags.count(w)) {
      a.flags.insert(w);
    } else if (kValueOptions.count(w)) {
      if (i + 1 >= args.size()) throw UsageError(w + " needs a value");
      a.opts[w] = args[++i];
    } else if (w.size() > 2 && w.compare(0, 2, "--") == 0 && w.find('=') != std::string::npos &&
               kValueOptions.count(w.substr(0, w.find('=')))) {
      a.opts[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
    } else if (w.size() > 1 && w[0] == '-' && w.compare(0, 2, "--") == 0) {
      throw UsageError("unknown option " + w);
    } else {
      a.words.push_back(w);
    }
  }
  if (a.Has("--address")) a.settings.address = a.opts["--address"];
  if (a.Has("--port")) a.settings.port = a.opts["--port"];
  if (a.Has("--device-id")) a.settings.port = a.opts["--device-id"];
  if (a.Has("--baud")) a.settings.baud = a.opts["--baud"];
  return a;
}

bool ParseNumber(const std::string& text, uint64_t* v) {
  if (text.empty()) return false;
  std::string t = text;
  int base = 10;
  if (t[0] == '$') {
    t = t.substr(1);
    base = 16;
  } else if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    t = t.substr(2);
    base = 16;
  }
  if (t.empty() || t[0] == '-' || t[0] == '+' || t[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  *v = std::strtoull(t.c_str(), &end, base);
  return errno == 0 && end && *end == '\0';
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  *out = s.str();
  return true;
}

// One command's run: where its output goes and how it ends.
class Run {
 public:
  Run(Host& host, const Args& args, std::string command)
      : host(host), args(args), json(args.flags.count("--json") > 0) {
    result.Str("command", command);
    mode = json ? ProgressMode::Quiet : host.ErrIsTerminal() ? ProgressMode::Bar : ProgressMode::Lines;
  }

  // A line of the text output (not with --json).
  void Line(const std::string& utf8) {
    if (!json) host.Out(utf8 + "\n");
  }
  // The end of the command: the JSON object, and the error on standard error.
  int End(int code, const std::string& error = "") {
    if (!error.empty()) host.Err("quelmark: " + (terminal.empty() ? "" : terminal + ": ") + error + "\n");
    if (json) {
      Json out;
      if (!terminal.empty()) out.Str("terminal", terminal);
      out.Bool("ok", code == kExitOk).Int("exit", code);
      if (!error.empty()) out.Str("error", error);
      std::string body = result.Text();
      std::string head = out.Text();
      // {"terminal":..,"ok":..,"exit":..} + the command's own fields
      host.Out(head.substr(0, head.size() - 1) + "," + body.substr(1) + "\n");
    }
    return code;
  }

  // Connects; on failure ends the command (returns false with *code set).
  bool Connect(Device& device, const std::string& cannot_connect_text, int* code) {
    try {
      const bool ok = device.Connect(args.settings);
      terminal = device.Name();
      if (ok) return true;
      *code = End(kExitNoConnection, ToUtf8(cannot_connect_text));
    } catch (const EConvertError& e) {
      terminal = device.Name();
      *code = End(kExitUsage, std::string(e.what()) + ".");
    }
    return false;
  }

  Host& host;
  const Args& args;
  bool json;
  ProgressMode mode;
  std::string terminal;
  Json result;
};

// The writes of hidden options draw from one run-wide seed generator, which is
// not safe to share between threads: those writes are taken one at a time.
std::mutex g_masked_write;

ops::WriteOption Writer(vordlix::Library& lib, int32_t handle) {
  return [&lib, handle](const std::string& option) {
    if (!option.empty() && option[0] == '~') {
      std::lock_guard<std::mutex> lock(g_masked_write);
      return SetOption(lib, handle, option);
    }
    return SetOption(lib, handle, option);
  };
}

bool Cp936Arg(Run& run, const std::string& what, const std::string& utf8, std::string* out, int* code) {
  if (ToCp936(utf8, out)) return true;
  *code = run.End(kExitRefused, what + " \"" + utf8 + "\" cannot be written in code page 936");
  return false;
}

int Outcome(Run& run, const ops::Outcome& o) {
  run.result.Str("outcome", ToUtf8(o.text));
  if (o.box == ops::Outcome::Box::None) return run.End(kExitOk);
  if (!o.Failed()) {
    run.Line(ToUtf8(o.text));
    return run.End(kExitOk);
  }
  return run.End(kExitFailed, ToUtf8(o.text));
}

// ---------------------------------------------------------------- the window's operations

int CmdGet(Run& run) {
  std::vector<std::string> names;
  for (size_t i = 1; i < run.args.words.size(); ++i) {
    std::string n;
    int code;
    if (!Cp936Arg(run, "the option name", run.args.words[i], &n, &code)) return code;
    // The window's serial-number item reads ~SerialNumber; any other name is trimmed.
    names.push_back(n == cp936::kSerialNumberItem ? std::string(ops::kSerialNumberOption) : Trim(n));
  }
  if (names.empty()) throw UsageError("get needs at least one option name");
  Device device(run.host);
  int code;
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  Json values;
  for (const std::string& n : names) {
    const std::string v = GetOption(device.Lib(), device.Handle(), n);
    run.Line(ToUtf8(n) + "=" + ToUtf8(v));
    values.Str(ToUtf8(n), ToUtf8(v));
  }
  device.Close();
  run.result.Raw("values", values.Text());
  return run.End(kExitOk);
}

int CmdSet(Run& run) {
  std::vector<std::string> options;
  for (size_t i = 1; i < run.args.words.size(); ++i) {
    const std::string& w = run.args.words[i];
    const size_t eq = w.find('=');
    if (eq == std::string::npos) throw UsageError("set expects NAME=VALUE, not \"" + w + "\"");
    std::string name, value;
    int code;
    if (!Cp936Arg(run, "the option name", w.substr(0, eq), &name, &code)) return code;
    if (!Cp936Arg(run, "the value", w.substr(eq + 1), &value, &code)) return code;
    if (Trim(name).empty()) return run.End(kExitRefused, ops::kSelectValue);
    if (name == cp936::kSerialNumberItem) {
      // The window's serial-number item: checked, then written as ~SerialNumber.
      const ops::SerialNumberCheck check = ops::CheckSerialNumber(value);
      if (!check.Accepted()) return run.End(kExitRefused, ToUtf8(check.refusal.text));
      options.push_back(check.option);
      continue;
    }
    options.push_back(Trim(name) + "=" + Trim(value));
  }
  if (options.empty()) throw UsageError("set needs at least one NAME=VALUE");
  Device device(run.host);
  int code;
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  run.host.Sleep(300);
  const ops::WriteOption write = Writer(device.Lib(), device.Handle());
  std::vector<std::string> failed;
  Json outcomes;
  for (const std::string& option : options) {
    const ops::Outcome o = ops::WriteWithRetries(write, option);
    const std::string name = ToUtf8(option.substr(0, option.find('=')));
    run.Line(name + ": " + o.text);
    outcomes.Str(name, o.text);
    if (o.Failed()) failed.push_back(name);
  }
  device.Close();
  run.result.Raw("outcomes", outcomes.Text());
  if (!failed.empty()) {
    std::string list;
    for (const auto& f : failed) list += (list.empty() ? "" : ", ") + f;
    return run.End(kExitFailed, std::string(ops::kSaveFail) + " (" + list + ")");
  }
  return run.End(kExitOk);
}

int CmdPreset(Run& run) {
  if (run.args.words.size() != 2) throw UsageError("preset needs one NAME or INDEX");
  const int index = ops::FindPreset(run.args.words[1]);
  if (index < 0) {
    std::string list;
    const auto& presets = ops::KeyLayoutPresets();
    for (size_t i = 0; i < presets.size(); ++i) list += "\n  " + std::to_string(i) + "  " + presets[i].item;
    return run.End(kExitRefused, "no preset \"" + run.args.words[1] + "\"; the presets are:" + list);
  }
  run.result.Int("preset", index).Str("item", ops::KeyLayoutPresets()[size_t(index)].item);
  Device device(run.host);
  int code;
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  run.host.Sleep(300);
  const ops::Outcome o = ops::WritePreset(Writer(device.Lib(), device.Handle()), index);
  device.Close();
  return Outcome(run, o);
}

int CmdSerial(Run& run) {
  if (run.args.words.size() != 2) throw UsageError("serial needs one NUMBER");
  std::string typed;
  int code;
  if (!Cp936Arg(run, "the serial number", run.args.words[1], &typed, &code)) return code;
  const ops::SerialNumberCheck check = ops::CheckSerialNumber(typed);
  if (!check.Accepted()) return run.End(kExitRefused, ToUtf8(check.refusal.text));
  Device device(run.host);
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  run.host.Sleep(300);
  const ops::Outcome o = ops::WriteWithRetries(Writer(device.Lib(), device.Handle()), check.option);
  device.Close();
  return Outcome(run, o);
}

int CmdOem(Run& run) {
  if (!run.args.Has("--vendor") || !run.args.Has("--product"))
    throw UsageError("oem needs --vendor TEXT and --product TEXT");
  std::string vendor, product;
  int code;
  if (!Cp936Arg(run, "the vendor name", run.args.Opt("--vendor"), &vendor, &code)) return code;
  if (!Cp936Arg(run, "the product name", run.args.Opt("--product"), &product, &code)) return code;
  const std::string cut_vendor = ops::CutOemName(vendor), cut_product = ops::CutOemName(product);
  if (cut_vendor != vendor) run.host.Err("quelmark: the vendor name is cut to 16 bytes: " + ToUtf8(cut_vendor) + "\n");
  if (cut_product != product)
    run.host.Err("quelmark: the product name is cut to 16 bytes: " + ToUtf8(cut_product) + "\n");
  run.result.Str("vendor", ToUtf8(cut_vendor)).Str("product", ToUtf8(cut_product));
  Device device(run.host);
  if (!run.Connect(device, cp936::kMsgCannotConnectOem, &code)) return code;
  run.host.Sleep(300);
  std::vector<std::string> warnings;
  const bool ok = ops::WriteOemIdentity(Writer(device.Lib(), device.Handle()), cut_vendor, cut_product,
                                        [&](const ops::Outcome& o) { warnings.push_back(ToUtf8(o.text)); });
  device.Close();
  if (ok) return run.End(kExitOk);
  std::string text;
  for (const auto& w : warnings) text += (text.empty() ? "" : " ") + w;
  return run.End(kExitFailed, text);
}

int CmdVoice(Run& run) {
  if (run.args.words.size() != 2) throw UsageError("voice needs one NAME");
  std::string voice;
  int code;
  if (!Cp936Arg(run, "the voice name", run.args.words[1], &voice, &code)) return code;
  const IniVoiceConfig reader(run.args.Opt("--voices", DefaultVoiceConfigPath()));
  Device device(run.host);
  // As the window: the connection first, then the voice and its value.
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  const ops::VoiceLookup lookup = ops::LookUpVoice(&reader, voice);
  if (!lookup.Found()) {
    device.Close();
    return run.End(kExitRefused, lookup.refusal.text + " (" + reader.Path() + ")");
  }
  const ops::Outcome o = ops::WriteVoice(Writer(device.Lib(), device.Handle()), lookup.option);
  device.Close();
  run.result.Str("option", ToUtf8(lookup.option));
  return Outcome(run, o);
}

int CmdDiag(Run& run) {
  Device device(run.host);
  int code;
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  Json values;
  for (const char* name : {"V0", "V1", "V2", "V3", "V4"}) {
    const std::string v = ToUtf8(GetOption(device.Lib(), device.Handle(), name));
    run.Line(std::string(name) + "=" + v);
    values.Str(name, v);
  }
  device.Close();
  run.result.Raw("values", values.Text());
  return run.End(kExitOk);
}

int CmdVersion(Run& run) {
  Device device(run.host);
  int code;
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  char buffer[256] = {};
  uint16_t reply = 1100;
  device.Lib().SendCmd(device.Handle(), &reply, buffer, sizeof buffer, 0, 1000);
  device.Close();
  if (reply != 2000) return run.End(kExitFailed, "the version (command 1100) was not answered (reply " +
                                                     std::to_string(reply) + ")");
  const std::string text = ToUtf8(std::string(buffer, strnlen(buffer, sizeof buffer)));
  run.Line(text);
  run.result.Str("version", text);
  return run.End(kExitOk);
}

int CmdRestart(Run& run) {
  Device device(run.host);
  int code;
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  uint16_t reply = 1004;
  device.Lib().SendCmd(device.Handle(), &reply, nullptr, 0, 0, 1000);
  device.Close();
  run.Line("restart sent");
  return run.End(kExitOk);
}

// ---------------------------------------------------------------- flash, boot loader, firmware

int CmdFlashRead(Run& run) {
  if (run.args.words.size() != 2 || run.args.words[1] != "read") throw UsageError("flash read --out FILE");
  if (!run.args.Has("--out")) throw UsageError("flash read needs --out FILE");
  uint64_t offset = 0, length = 0;
  if (run.args.Has("--offset") && !ParseNumber(run.args.Opt("--offset"), &offset))
    throw UsageError("--offset: \"" + run.args.Opt("--offset") + "\" is no number");
  if (offset > kFlashSize) return run.End(kExitRefused, "--offset lies beyond the 2 MB flash");
  length = kFlashSize - offset;
  if (run.args.Has("--length") && !ParseNumber(run.args.Opt("--length"), &length))
    throw UsageError("--length: \"" + run.args.Opt("--length") + "\" is no number");
  if (length > kFlashSize - offset) return run.End(kExitRefused, "the range passes the end of the 2 MB flash");
  Device device(run.host);
  int code;
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  std::string data;
  const uint64_t start = run.host.NowMs();
  const std::string error = ReadFlash(device, uint32_t(offset), uint32_t(length), &data, run.mode);
  const uint64_t ms = run.host.NowMs() - start;
  device.Close();
  if (!error.empty()) return run.End(kExitFailed, error);
  const std::string out = run.args.Opt("--out");
  std::ofstream f(out, std::ios::binary | std::ios::trunc);
  f.write(data.data(), std::streamsize(data.size()));
  f.close();
  if (!f) return run.End(kExitFailed, "could not write " + out);
  char line[160];
  snprintf(line, sizeof line, "read %llu bytes from flash offset 0x%06llX into %s in %.2f s",
           (unsigned long long)data.size(), (unsigned long long)offset, out.c_str(), double(ms) / 1000);
  run.Line(line);
  run.result.Int("offset", int64_t(offset)).Int("length", int64_t(data.size())).Str("out", out).Int("ms", int64_t(ms));
  return run.End(kExitOk);
}

bool LoadBootImage(Run& run, std::string* image, int* code) {
  if (run.args.Has("--image")) {
    if (ReadWholeFile(run.args.Opt("--image"), image) && !image->empty()) return true;
    *code = run.End(kExitRefused, "cannot read the image " + run.args.Opt("--image"));
    return false;
  }
  if (run.host.BootImage(image) && !image->empty()) return true;
  *code = run.End(kExitRefused, "the program carries no boot-loader image; give --image FILE");
  return false;
}

std::string DefaultBackupPath(const std::string& dir, const std::string& terminal) {
  std::string name;
  for (char c : terminal) name += (isalnum(static_cast<unsigned char>(c)) || c == '.') ? c : '-';
  char stamp[32];
  const time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
  return (dir.empty() ? "" : dir + "/") + "quelmark-boot-backup-" + name + "-" + stamp + ".bin";
}

int CmdBoot(Run& run) {
  if (run.args.words.size() != 2 || (run.args.words[1] != "verify" && run.args.words[1] != "update"))
    throw UsageError("boot verify|update [--image FILE]");
  std::string image;
  int code;
  if (!LoadBootImage(run, &image, &code)) return code;
  if (image.size() > kFlashSize) return run.End(kExitRefused, "the image is larger than the flash");
  Device device(run.host);
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  run.result.Int("image_bytes", int64_t(image.size()));
  if (run.args.words[1] == "verify") {
    std::string flash;
    const std::string error = ReadFlash(device, 0, uint32_t(image.size()), &flash, run.mode);
    device.Close();
    if (!error.empty()) return run.End(kExitFailed, error);
    const int64_t diff = FirstDifference(flash, image);
    run.result.Bool("equal", diff < 0);
    if (diff >= 0) {
      char what[96];
      snprintf(what, sizeof what, "the boot loader in flash differs from the image at offset 0x%06llX",
               (long long)diff);
      run.result.Int("first_difference", diff);
      return run.End(kExitMismatch, what);
    }
    run.Line("the boot loader in flash equals the image (" + std::to_string(image.size()) + " bytes)");
    return run.End(kExitOk);
  }
  const std::string backup = run.args.Opt("--backup", DefaultBackupPath("", device.Name()));
  const BootUpdateResult r = BootUpdate(device, image, backup, run.mode, false);
  device.Close();
  if (!r.backup_path.empty()) {
    if (!run.json) run.host.Err("quelmark: " + device.Name() + ": backup of the boot area saved to " + r.backup_path + "\n");
    run.result.Str("backup", r.backup_path);
  }
  run.result.Int("writes", r.writes).Bool("restored", r.restored);
  if (r.exit != kExitOk) return run.End(r.exit, r.error);
  run.Line("boot loader written and verified (" + std::to_string(image.size()) + " bytes, " +
           std::to_string(r.writes) + (r.writes == 1 ? " write" : " writes") + "); restart sent");
  return run.End(kExitOk);
}

int CmdFirmware(Run& run) {
  if (run.args.words.size() != 3 || run.args.words[1] != "write")
    throw UsageError("firmware write FILE --load-address ADDR [--plain|--lzo]");
  if (!run.args.Has("--load-address")) throw UsageError("firmware write needs --load-address ADDR");
  if (run.args.flags.count("--plain") && run.args.flags.count("--lzo"))
    throw UsageError("--plain and --lzo exclude each other");
  const fwimage::Form form = run.args.flags.count("--lzo") ? fwimage::Form::Lzo : fwimage::Form::Plain;
  uint64_t address = 0;
  if (!ParseNumber(run.args.Opt("--load-address"), &address) || address > 0xFFFFFFFFu)
    return run.End(kExitRefused, "the load address \"" + run.args.Opt("--load-address") + "\" is no 32-bit number");
  std::string error = fwimage::check_load_address(uint32_t(address));
  if (!error.empty()) return run.End(kExitRefused, error);
  std::string file;
  if (!ReadWholeFile(run.args.words[2], &file)) return run.End(kExitRefused, "cannot read " + run.args.words[2]);
  fwimage::Bytes payload;
  error = fwimage::pack_payload(fwimage::Bytes(file.begin(), file.end()), form, uint32_t(address), &payload);
  if (!error.empty()) return run.End(kExitRefused, error);
  Device device(run.host);
  int code;
  if (!run.Connect(device, ops::kCannotConnect, &code)) return code;
  const std::string data(payload.begin(), payload.end());
  error = WriteBlock(device, data, fwimage::storage_target(form), uint32_t(address), run.mode, "writing firmware");
  if (!error.empty()) return run.End(kExitFailed, error);
  // What the terminal should now hold at the header: its header and the payload.
  fwimage::Header header;
  header.magic = form == fwimage::Form::Lzo ? fwimage::kMagicLzo : fwimage::kMagicPlain;
  header.address_high = uint16_t(address >> 16);
  header.length = uint32_t(payload.size());
  uint8_t head[fwimage::kHeaderSize];
  fwimage::encode_header(header, head);
  const std::string expected = std::string(reinterpret_cast<char*>(head), sizeof head) + data;
  std::string flash;
  error = ReadFlash(device, fwimage::kHeaderOffset, uint32_t(expected.size()), &flash, run.mode);
  device.Close();
  if (!error.empty()) return run.End(kExitFailed, error);
  const int64_t diff = FirstDifference(flash, expected);
  run.result.Str("form", fwimage::form_name(form)).Int("image_bytes", int64_t(file.size()))
      .Int("payload_bytes", int64_t(payload.size())).Int("load_address", int64_t(address));
  if (diff >= 0) {
    char what[96];
    snprintf(what, sizeof what, "the read-back differs at flash offset 0x%06llX",
             (long long)(fwimage::kHeaderOffset + diff));
    return run.End(kExitMismatch, what);
  }
  char line[200];
  snprintf(line, sizeof line,
           "firmware written and verified (%s, %zu bytes as %zu, load address 0x%08llX); the boot loader "
           "starts it at the next power-on",
           fwimage::form_name(form), file.size(), payload.size(), (unsigned long long)address);
  run.Line(line);
  return run.End(kExitOk);
}

}  // namespace

int Main(Host& host, const std::vector<std::string>& args) {
  Args a;
  try {
    a = Parse(args);
  } catch (const UsageError& e) {
    host.Err("quelmark: " + std::string(e.what()) + "\n" + Usage());
    return kExitUsage;
  }
  if (a.flags.count("--help") || a.flags.count("-h")) {
    host.Out(Usage());
    return kExitOk;
  }
  if (a.words.empty()) {
    host.Err(Usage());
    return kExitUsage;
  }
  const std::string& c = a.words[0];
  Run run(host, a, c == "flash" || c == "boot" || c == "firmware"
                       ? c + (a.words.size() > 1 ? " " + a.words[1] : "")
                       : c);
  try {
    if (c == "get") return CmdGet(run);
    if (c == "set") return CmdSet(run);
    if (c == "preset") return CmdPreset(run);
    if (c == "serial") return CmdSerial(run);
    if (c == "oem") return CmdOem(run);
    if (c == "voice") return CmdVoice(run);
    if (c == "diag") return CmdDiag(run);
    if (c == "version") return CmdVersion(run);
    if (c == "restart") return CmdRestart(run);
    if (c == "flash") return CmdFlashRead(run);
    if (c == "boot") return CmdBoot(run);
    if (c == "firmware") return CmdFirmware(run);
    if (c == "batch") {
      BatchOptions o;
      if (a.words.size() != 2) throw UsageError("batch needs one PLAN.csv");
      o.plan = a.words[1];
      uint64_t jobs = 1;
      if (a.Has("--jobs") && (!ParseNumber(a.Opt("--jobs"), &jobs) || jobs < 1 || jobs > 64))
        throw UsageError("--jobs: 1 to 64");
      o.jobs = int(jobs);
      o.report = a.Opt("--report");
      o.retry = a.Opt("--retry");
      o.voices = a.Opt("--voices", DefaultVoiceConfigPath());
      o.backup_dir = a.Opt("--backup-dir", ".");
      o.json = run.json;
      if (a.Has("--image")) {
        if (!ReadWholeFile(a.Opt("--image"), &o.boot_image) || o.boot_image.empty()) {
          host.Err("quelmark: cannot read the image " + a.Opt("--image") + "\n");
          return kExitRefused;
        }
      } else {
        host.BootImage(&o.boot_image);
      }
      return RunBatch(host, o);
    }
    throw UsageError("unknown command \"" + c + "\"");
  } catch (const UsageError& e) {
    host.Err("quelmark: " + std::string(e.what()) + "\n" + Usage());
    return kExitUsage;
  }
}

}  // namespace qcli
