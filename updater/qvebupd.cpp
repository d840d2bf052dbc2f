#include "updater/qvebupd.h"

#include <exception>
#include <new>
#include <stdexcept>

#include "platform/strtoint.h"

namespace qvebupd {

std::string UpperAscii(const std::string& text) {
  std::string s = text;
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

void Updater::Print(const std::string& text) {
  host_.Out(text);
  lineOpen_ = !text.empty();
}

void Updater::Line(const std::string& text) {
  host_.Out(text + "\r\n");
  lineOpen_ = false;
}

bool Updater::ConnectDevice(const std::string& address, int32_t port) {
  const std::string upper = UpperAscii(address);
  if (upper.compare(0, 3, "COM") == 0) {
    handle_ = host_.Init("vxserial.dll", upper.c_str(), port, kSerialBaud, 0, 0);
  } else {
    // Forget stale neighbour entries first, so that a terminal that has just
    // changed its hardware address is reached.
    host_.Arp("-d *");
    host_.Arp(std::string("-d ") + kDefaultAddress);
    host_.Arp("-d " + upper);
    host_.Sleep(kArpSettleMs);
    handle_ = host_.Init("vxnet.dll", upper.c_str(), port, 0, 0, 0);
  }
  return handle_ != 0;
}

void Updater::DisconnectDevice() {
  if (handle_ != 0) {
    const int32_t h = handle_;
    handle_ = 0;  // closed at most once, whatever Close does
    host_.Close(h);
  }
}

std::string Updater::LoadBootImage() {
  std::string image;
  if (!host_.LoadResource(kImageResource, &image)) {
    throw std::runtime_error(std::string("Resource ") + kImageResource + " not found");
  }
  return image;
}

bool Updater::SendBootImage(const std::string& image, int32_t target, int32_t param) {
  reply_ = kCmdPrepare;
  host_.SendCmd(handle_, &reply_, nullptr, 0, 0, kShortTimeoutMs);

  reply_ = kCmdWriteImage;
  unsigned char block[8];
  for (int i = 0; i < 4; ++i) {
    block[i] = static_cast<unsigned char>(static_cast<uint32_t>(target) >> (8 * i));
    block[4 + i] = static_cast<unsigned char>(static_cast<uint32_t>(param) >> (8 * i));
  }
  if (image.size() > static_cast<std::size_t>(INT32_MAX)) {
    throw std::length_error("boot-loader image too large");
  }
  host_.SendCmdData(handle_, &reply_, image.data(), static_cast<int32_t>(image.size()), block,
                    static_cast<int32_t>(sizeof block), kImageTimeoutMs);
  return reply_ == kReplyOk;
}

int Updater::Run(const std::vector<std::string>& args) {
  handle_ = 0;
  std::string address;
  int32_t port = 0;
  if (args.empty()) {
    address = kDefaultAddress;
    port = kDefaultPort;
  } else if (args.size() == 1) {
    address = args[0];
    // The default looks at the text as given; the transport at the upper-cased one.
    port = address.compare(0, 3, "COM") == 0 ? kDefaultSerialDeviceId : kDefaultPort;
  } else {
    address = args[0];
    if (!platform::TryStrToInt(args[1], &port)) port = -1;
  }
  if (port == -1) return kExitParameterError;

  const std::string image = LoadBootImage();

  Print("Connect to device with " + address + ", " + std::to_string(port) + " ... ");
  if (!ConnectDevice(address, port)) {
    Line("Fail!");
    return kExitNoConnection;
  }
  Line("OK!");
  Line("Upgrading bootloader, Please wait... ");

  bool accepted = false;
  for (int attempt = 0; attempt < kTransferAttempts && !accepted; ++attempt) {
    accepted = SendBootImage(image, 0, 0);
  }
  if (!accepted) {
    Line("Fail!");
    DisconnectDevice();
    return kExitUpdateFailed;
  }

  reply_ = kCmdFinish;
  host_.SendCmd(handle_, &reply_, nullptr, 0, 0, kShortTimeoutMs);
  Line("OK! Please Restart the device.");
  DisconnectDevice();
  return kExitSuccess;
}

int Updater::Main(const std::vector<std::string>& args) {
  std::string what;
  try {
    return Run(args);
  } catch (const std::bad_alloc&) {
    what = "Out of memory";
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "Unknown error";
  }
  // Leave the device as the normal ends do: no connection survives the program.
  try {
    DisconnectDevice();
  } catch (...) {
  }
  try {
    if (lineOpen_) Line("");
    host_.Err("qvebupd: " + what + "\r\n");
  } catch (...) {
  }
  return kExitParameterError;
}

}  // namespace qvebupd
