#include "cli/batch.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "cli/device.h"
#include "cli/quelmark.h"
#include "cli/text.h"
#include "tool/ops/connection.h"
#include "tool/ops/operations.h"
#include "tool/ops/sysutils.h"
#include "tool/ops/voice_config.h"

namespace qcli {

namespace {

const std::vector<std::string> kColumns = {"terminal", "port", "preset", "serial", "vendor",
                                           "product",  "voice", "options", "boot"};

std::string Lower(std::string s) {
  for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// One CSV line: fields separated by commas, "..." quoting with "" for a quote.
bool SplitCsv(const std::string& line, std::vector<std::string>* fields) {
  fields->clear();
  std::string f;
  bool quoted = false, was_quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        f += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        f += c;
      }
    } else if (c == '"' && Trim(f).empty()) {
      quoted = was_quoted = true;
      f.clear();
    } else if (c == ',') {
      fields->push_back(was_quoted ? f : Trim(f));
      f.clear();
      was_quoted = false;
    } else {
      f += c;
    }
  }
  if (quoted) return false;
  fields->push_back(was_quoted ? f : Trim(f));
  return true;
}

// Counts the writes (command 12) that pass through, for the report.
class CountingLibrary : public vordlix::Library {
 public:
  explicit CountingLibrary(vordlix::Library& inner) : inner_(inner) {}
  int32_t Init(const char* m, const char* a, int32_t p, int32_t b, int32_t e1, int32_t e2) override {
    return inner_.Init(m, a, p, b, e1, e2);
  }
  int32_t SendCmd(int32_t h, uint16_t* reply, void* buf, int32_t size, int32_t len, int32_t t) override {
    if (reply && *reply == 12) ++writes;
    return inner_.SendCmd(h, reply, buf, size, len, t);
  }
  int32_t SendCmdData(int32_t h, uint16_t* reply, const void* d, int32_t len, const void* p, int32_t pl,
                      int32_t t) override {
    return inner_.SendCmdData(h, reply, d, len, p, pl, t);
  }
  int32_t Close(int32_t h) override { return inner_.Close(h); }
  int writes = 0;

 private:
  vordlix::Library& inner_;
};

// What a row asks for, checked and in the terminal's bytes.
struct Planned {
  const PlanRow* row = nullptr;
  Settings settings;
  int preset = -1;
  std::string serial_option, vendor, product, voice_option;
  bool has_vendor = false, has_product = false;
  std::vector<std::string> options;  // "Name=Value"
  bool boot = false;
};

std::string CheckRow(const PlanRow& row, const VoiceConfigReader& voices, const std::string& boot_image,
                     Planned* p) {
  p->row = &row;
  if (Trim(row.terminal).empty()) return "no terminal";
  p->settings.address = row.terminal;
  p->settings.port = row.port;
  int32_t ignored;
  if (!row.port.empty() && !TryStrToInt(row.port, ignored)) return "port \"" + row.port + "\" is no integer";
  std::string text;
  if (!row.preset.empty()) {
    p->preset = ops::FindPreset(row.preset);
    if (p->preset < 0) return "no preset \"" + row.preset + "\"";
  }
  if (!row.serial.empty()) {
    if (!ToCp936(row.serial, &text)) return "the serial number is not code page 936";
    const ops::SerialNumberCheck check = ops::CheckSerialNumber(text);
    if (!check.Accepted()) return "serial number \"" + row.serial + "\": " + ToUtf8(check.refusal.text);
    p->serial_option = check.option;
  }
  if (!row.vendor.empty()) {
    if (!ToCp936(row.vendor, &text)) return "the vendor name is not code page 936";
    p->vendor = ops::CutOemName(text);
    p->has_vendor = true;
  }
  if (!row.product.empty()) {
    if (!ToCp936(row.product, &text)) return "the product name is not code page 936";
    p->product = ops::CutOemName(text);
    p->has_product = true;
  }
  if (!row.voice.empty()) {
    if (!ToCp936(row.voice, &text)) return "the voice name is not code page 936";
    const ops::VoiceLookup lookup = ops::LookUpVoice(&voices, text);
    if (!lookup.Found()) return "voice \"" + row.voice + "\": " + lookup.refusal.text;
    p->voice_option = lookup.option;
  }
  if (!row.options.empty()) {
    std::stringstream s(row.options);
    std::string item;
    while (std::getline(s, item, ';')) {
      if (Trim(item).empty()) continue;
      const size_t eq = item.find('=');
      if (eq == std::string::npos || Trim(item.substr(0, eq)).empty())
        return "option \"" + item + "\" is not NAME=VALUE";
      if (!ToCp936(Trim(item.substr(0, eq)) + "=" + Trim(item.substr(eq + 1)), &text))
        return "option \"" + item + "\" is not code page 936";
      p->options.push_back(text);
    }
  }
  // A row that sets one option to two values would never be as planned.
  std::map<std::string, std::string> values;
  std::vector<std::string> strings = ops::PresetStrings(p->preset);
  for (const std::string* one : {&p->serial_option, &p->voice_option})
    if (!one->empty()) strings.push_back(*one);
  if (p->has_vendor) strings.push_back("~OEMVendor=" + p->vendor);
  if (p->has_product) strings.push_back("~DeviceName=" + p->product);
  strings.insert(strings.end(), p->options.begin(), p->options.end());
  for (const std::string& s : strings) {
    const std::string name = s.substr(0, s.find('=')), value = s.substr(s.find('=') + 1);
    const auto [it, fresh] = values.emplace(name, value);
    if (!fresh && it->second != value)
      return "the option " + ToUtf8(name) + " is planned as \"" + ToUtf8(it->second) + "\" and as \"" +
             ToUtf8(value) + "\"";
  }
  const std::string boot = Lower(row.boot);
  if (boot == "yes" || boot == "1" || boot == "true") {
    if (boot_image.empty()) return "a boot update is planned, but there is no image (give --image FILE)";
    p->boot = true;
  } else if (!(boot.empty() || boot == "no" || boot == "0" || boot == "false")) {
    return "boot \"" + row.boot + "\": yes or no";
  }
  return "";
}

struct RowResult {
  bool ok = false;
  std::vector<std::string> read, written, verified;
  std::vector<std::string> errors;
  std::string backup;
  uint64_t ms = 0;
};

void AddOnce(std::vector<std::string>* list, const std::string& item) {
  for (const auto& x : *list)
    if (x == item) return;
  list->push_back(item);
}

// The writes of hidden options draw from the run-wide seed generator: one at a time.
std::mutex g_masked;

RowResult RunRow(Host& host, const Planned& p, const BatchOptions& options) {
  RowResult r;
  const uint64_t start = host.NowMs();
  CountingLibrary lib(host);
  Device device(host, &lib);
  bool connected = false;
  try {
    connected = device.Connect(p.settings);
  } catch (const EConvertError& e) {
    r.errors.push_back(std::string(e.what()) + ".");
    return r;
  }
  if (!connected) {
    r.errors.push_back(ops::kCannotConnect);
    r.ms = host.NowMs() - start;
    return r;
  }
  const bool writes = p.preset >= 0 || !p.serial_option.empty() || p.has_vendor || p.has_product ||
                      !p.voice_option.empty() || !p.options.empty();
  if (writes) host.Sleep(300);
  std::map<std::string, std::string> planned;  // name → the value last planned for it
  const ops::WriteOption write = [&](const std::string& option) {
    const std::string name = option.substr(0, option.find('='));
    planned[name] = option.substr(option.find('=') + 1);
    const int before = lib.writes;
    bool ok;
    if (!option.empty() && option[0] == '~') {
      std::lock_guard<std::mutex> lock(g_masked);
      ok = SetOption(lib, device.Handle(), option);
    } else {
      ok = SetOption(lib, device.Handle(), option);
    }
    AddOnce(&r.read, ToUtf8(name));
    if (lib.writes > before) AddOnce(&r.written, ToUtf8(name));
    return ok;
  };
  auto fail = [&](const std::string& what, const std::string& text) { r.errors.push_back(what + ": " + text); };
  if (p.preset >= 0) {
    const ops::Outcome o = ops::WritePreset(write, p.preset);
    if (o.Failed()) fail("preset " + std::to_string(p.preset), o.text);
  }
  if (!p.serial_option.empty() && !ops::RetriedWrite(write, p.serial_option)) fail("serial", ops::kSaveFail);
  if (p.has_vendor && !ops::RetriedWrite(write, "~OEMVendor=" + p.vendor)) fail("vendor", ops::kSaveFail);
  if (p.has_product && !ops::RetriedWrite(write, "~DeviceName=" + p.product)) fail("product", ops::kSaveFail);
  if (!p.voice_option.empty()) {
    const ops::Outcome o = ops::WriteVoice(write, p.voice_option);
    if (o.Failed()) fail("voice", o.text);
  }
  for (const std::string& option : p.options)
    if (!ops::RetriedWrite(write, option)) fail(ToUtf8(option.substr(0, option.find('='))), ops::kSaveFail);
  // What was written is read back.
  for (const std::string& name_utf8 : std::vector<std::string>(r.written)) {
    for (const auto& [name, value] : planned) {
      if (ToUtf8(name) != name_utf8) continue;
      const std::string now = GetOption(lib, device.Handle(), name);
      if (now == value)
        AddOnce(&r.verified, name_utf8);
      else
        fail(name_utf8, "reads back \"" + ToUtf8(now) + "\", not \"" + ToUtf8(value) + "\"");
    }
  }
  if (p.boot) {
    std::string dir = options.backup_dir.empty() ? "." : options.backup_dir;
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string name;
    for (char c : device.Name()) name += (isalnum(static_cast<unsigned char>(c)) || c == '.') ? c : '-';
    const BootUpdateResult b =
        BootUpdate(device, options.boot_image, dir + "/quelmark-boot-backup-" + name + ".bin", ProgressMode::Quiet,
                   true);
    r.read.push_back("boot");
    r.backup = b.backup_path;
    if (b.exit != kExitOk) {
      fail("boot", b.error);
    } else if (!b.already) {
      r.written.push_back("boot");
      r.verified.push_back("boot");
    }
  }
  device.Close();
  r.ok = r.errors.empty();
  r.ms = host.NowMs() - start;
  return r;
}

}  // namespace

std::string PlanRow::Key() const {
  const std::string address = ops::NormaliseAddress(terminal);
  if (ops::IsSerialAddress(address)) return address;
  int32_t p = 4370;
  if (!port.empty()) TryStrToInt(port, p);
  return address + ":" + std::to_string(p);
}

std::string ReadPlan(const std::string& text, std::vector<PlanRow>* rows) {
  rows->clear();
  std::stringstream s(text);
  std::string line;
  std::vector<int> column;  // plan column → index in kColumns
  int number = 0;
  while (std::getline(s, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Trim(line).empty() || Trim(line)[0] == '#') continue;
    std::vector<std::string> fields;
    if (!SplitCsv(line, &fields)) return "line " + std::to_string(number) + ": a quote is not closed";
    if (column.empty()) {
      for (const std::string& f : fields) {
        std::string name = Lower(f);
        if (name == "address") name = "terminal";
        if (name == "device_id" || name == "device-id") name = "port";
        if (name == "boot_update" || name == "boot-update") name = "boot";
        int found = -1;
        for (size_t i = 0; i < kColumns.size(); ++i)
          if (kColumns[i] == name) found = int(i);
        if (found < 0) return "line " + std::to_string(number) + ": unknown column \"" + f + "\"";
        column.push_back(found);
      }
      if (std::find(column.begin(), column.end(), 0) == column.end())
        return "line " + std::to_string(number) + ": the header has no column \"terminal\"";
      continue;
    }
    if (fields.size() > column.size())
      return "line " + std::to_string(number) + ": more fields than the header names";
    PlanRow row;
    row.line = number;
    std::string* slots[] = {&row.terminal, &row.port,  &row.preset,  &row.serial, &row.vendor,
                            &row.product,  &row.voice, &row.options, &row.boot};
    for (size_t i = 0; i < fields.size(); ++i) *slots[column[i]] = fields[i];
    rows->push_back(row);
  }
  if (column.empty()) return "the plan is empty";
  return "";
}

int RunBatch(Host& host, const BatchOptions& options) {
  auto refuse = [&](const std::string& what) {
    host.Err("quelmark: " + options.plan + ": " + what + "\n");
    return kExitRefused;
  };
  std::string text;
  {
    std::ifstream f(options.plan, std::ios::binary);
    if (!f) return refuse("cannot be read");
    std::ostringstream s;
    s << f.rdbuf();
    text = s.str();
  }
  std::vector<PlanRow> rows;
  std::string error = ReadPlan(text, &rows);
  if (!error.empty()) return refuse(error);

  // Everything is checked before anything runs: two rows for one terminal, and
  // every row's input.
  std::map<std::string, int> seen;
  for (const PlanRow& row : rows) {
    const auto [it, fresh] = seen.emplace(row.Key(), row.line);
    if (!fresh)
      return refuse("lines " + std::to_string(it->second) + " and " + std::to_string(row.line) +
                    " both name the terminal " + row.Key());
  }
  const IniVoiceConfig voices(options.voices);
  std::vector<Planned> planned(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    error = CheckRow(rows[i], voices, options.boot_image, &planned[i]);
    if (!error.empty()) return refuse("line " + std::to_string(rows[i].line) + " (" + rows[i].Key() + "): " + error);
  }

  // A second run takes only the rows an earlier report does not show as done.
  std::vector<const Planned*> todo;
  if (!options.retry.empty()) {
    std::ifstream f(options.retry);
    if (!f) return refuse("the report " + options.retry + " cannot be read");
    std::map<std::string, bool> done;
    std::string line, key, ok;
    while (std::getline(f, line))
      if (JsonField(line, "terminal", &key) && JsonField(line, "ok", &ok))
        done[key.size() >= 2 ? key.substr(1, key.size() - 2) : key] = ok == "true";
    for (const Planned& p : planned) {
      auto it = done.find(p.row->Key());
      if (it == done.end() || !it->second) todo.push_back(&p);
    }
  } else {
    for (const Planned& p : planned) todo.push_back(&p);
  }

  std::ofstream report;
  if (!options.report.empty()) {
    report.open(options.report, std::ios::trunc);
    if (!report) return refuse("the report " + options.report + " cannot be written");
  }
  std::mutex out_lock;
  std::atomic<size_t> next{0};
  std::atomic<int> failed{0};
  const uint64_t start = host.NowMs();
  auto worker = [&]() {
    for (size_t i = next++; i < todo.size(); i = next++) {
      const Planned& p = *todo[i];
      const RowResult r = RunRow(host, p, options);
      if (!r.ok) ++failed;
      std::string error_text;
      for (const auto& e : r.errors) error_text += (error_text.empty() ? "" : "; ") + ToUtf8(e);
      Json j;
      j.Str("terminal", p.row->Key()).Int("line", p.row->line).Bool("ok", r.ok).List("read", r.read)
          .List("written", r.written).List("verified", r.verified);
      if (!r.backup.empty()) j.Str("backup", r.backup);
      if (!r.ok) j.Str("error", error_text);
      j.Int("ms", int64_t(r.ms));
      std::lock_guard<std::mutex> lock(out_lock);
      if (report.is_open()) {
        report << j.Text() << "\n";
        report.flush();
      }
      if (options.json) {
        host.Out(j.Text() + "\n");
      } else if (r.ok) {
        std::string written;
        for (const auto& w : r.written) written += (written.empty() ? "" : ", ") + w;
        host.Out(p.row->Key() + ": ok" + (written.empty() ? ", already as planned" : ", written: " + written) + "\n");
      } else {
        host.Out(p.row->Key() + ": failed: " + error_text + "\n");
        host.Err("quelmark: " + p.row->Key() + ": " + error_text + "\n");
      }
    }
  };
  std::vector<std::thread> threads;
  const int n = std::max(1, std::min<int>(options.jobs, int(todo.size())));
  for (int i = 0; i < n; ++i) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  const uint64_t ms = host.NowMs() - start;
  if (!options.json) {
    char line[128];
    snprintf(line, sizeof line, "%zu terminals, %d failed, %.1f s with %d jobs\n", todo.size(), failed.load(),
             double(ms) / 1000, n);
    host.Out(line);
  }
  return failed ? kExitBatchFailed : kExitOk;
}

}  // namespace qcli
