// The "Update" button: writes the boot updater that the tool carries (resource
// "QVEBUPD") into the current directory as qvebupd.exe, runs it with the two
// connection-settings fields as its arguments, waits, reports its exit code and
// deletes the file again.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/resource.h"
#include "tool/uOEM.h"

namespace {

constexpr const char* kUpdaterFile = "qvebupd.exe";
constexpr const char* kUpdaterResource = "qvebupd";
constexpr unsigned kUpdaterMode = 0755;
constexpr int kShowHidden = 0;  // the window show code that hides the console

// The updater path of an updater directory; "" when the directory is not known,
// so that nothing is ever written, run or deleted elsewhere.
std::string UpdaterPath(const std::string& dir) {
  return dir.empty() ? std::string() : dir + "/" + kUpdaterFile;
}

struct ExitMessage {
  int32_t code;
  const char* text;
};
const ExitMessage kExitMessages[] = {
    {1, "Parameter error"},      {100, "Cannot connect!"}, {101, "check sum error!"},
    {102, "Not require update!"}, {103, "Update Fail!"},   {-1, "Missing files"},
};

// True when the file at `path` is exactly the updater resource, ready to run.
bool IsOurUpdater(const std::string& path) {
  const platform::Resource* resource = platform::FindResource(kUpdaterResource);
  if (path.empty() || resource == nullptr) return false;
  return platform::IsExecutableWithContent(
      path, std::string(reinterpret_cast<const char*>(resource->data), resource->size));
}

}  // namespace

uint32_t FileSizeOnDisk(const std::string& path) {
  uint64_t size = 0;
  if (!platform::FileSize(path, &size)) return 0xFFFFFFFFu;  // as an invalid file size
  return static_cast<uint32_t>(size);
}

void TForm1::ExtractUpdater() {
  try {
    UpdaterDir = platform::CurrentDirectory();
    const std::string path = UpdaterPath(UpdaterDir);
    const platform::Resource* resource = platform::FindResource(kUpdaterResource);
    if (path.empty() || resource == nullptr) return;
    const std::string bytes(reinterpret_cast<const char*>(resource->data), resource->size);

    // A file already there is kept only when it is exactly our updater: any file
    // of that name could have been left by anyone, so every byte is compared,
    // not only the size.
    bool write = true;
    if (platform::FileExists(path)) {
      write = static_cast<uint64_t>(FileSizeOnDisk(path)) != resource->size ||
              !platform::IsExecutableWithContent(path, bytes);
    }
    if (write) platform::ReplaceFile(path, bytes, kUpdaterMode);
  } catch (...) {
    // Reported by nothing: the run that follows finds the file or gives "Missing files".
  }
}

int32_t TForm1::RunAndWait(const std::string& commandLine, int showState) {
  // Any length is passed whole: the words live in strings, no fixed buffer.
  const std::vector<std::string> words = platform::SplitCommandLine(commandLine);
  if (words.empty()) return -1;
  // The program is the file itself, never one found by a search: a bare name
  // means the file of that name in the updater directory.
  std::string program = words[0];
  if (program.find('/') == std::string::npos) {
    if (UpdaterDir.empty()) return -1;
    program = UpdaterDir + "/" + program;
  }
  return platform::RunAndWait(program, words, showState == kShowHidden);
}

void TForm1::btnUpdateBootClick(void*) {
  // The file goes in every outcome, an error escaping the handler included.
  struct DeleteUpdater {
    TForm1& form;
    ~DeleteUpdater() {
      const std::string path = UpdaterPath(form.UpdaterDir);
      if (!path.empty()) platform::DeleteFile(path);
    }
  } deleteAtEnd{*this};

  ExtractUpdater();
  const std::string commandLine =
      std::string(kUpdaterFile) + " " + edtnetAddress.Text + " " + edtNetPort.Text;
  // Only our own updater is run: when the file at the updater path is not
  // byte for byte the resource (the extraction failed, or there is nothing to
  // compare with), nothing is started.
  const int32_t code =
      IsOurUpdater(UpdaterPath(UpdaterDir)) ? RunAndWait(commandLine, kShowHidden) : -1;

  if (code == 0) {
    ShowInformation("Update success!");
    btnUpdateBoot.Text = "Finish";
    Close();  // the window closes after this handler has returned
    return;
  }
  const char* text = "Unknown error";
  for (const ExitMessage& m : kExitMessages) {
    if (m.code == code) text = m.text;
  }
  ShowError(text);
}
