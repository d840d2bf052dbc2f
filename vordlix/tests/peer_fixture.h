// Shared by the library's tests: a test peer of either transport, and a handle
// opened on it through the C functions.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "vordlix/testpeer/test_peer.h"
#include <vordlix/vordlix.h>

namespace vordlix::testing {

enum class Line { kUdp, kSerial };

// The time limit of calls that are meant to succeed: generous, because a peer that
// answers costs nothing of it, and a loaded machine may hold a thread for a while.
constexpr int32_t kLimitMs = 5000;

inline std::string LineName(const ::testing::TestParamInfo<Line>& info) {
  return info.param == Line::kUdp ? "Udp" : "Serial";
}

class VordlixPeerTest : public ::testing::TestWithParam<Line> {
 protected:
  void SetUp() override {
    setenv("VORDLIX_LOCAL_PORT", "0", 1);
    peer_ = GetParam() == Line::kUdp ? testpeer::TestPeer::StartUdp() : testpeer::TestPeer::StartSerial();
    if (GetParam() == Line::kSerial) setenv("VORDLIX_COM7", peer_->device().c_str(), 1);
  }
  void TearDown() override {
    if (handle_) VORDLIX_CLOSE(handle_);
  }

  // Opens a connection to the peer; connect_ms bounds the connect.
  int32_t Open(int32_t connect_ms = kLimitMs) {
    if (GetParam() == Line::kUdp)
      handle_ = VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer_->port(), 0, connect_ms, 0);
    else
      handle_ = VORDLIX_INIT("vxserial.dll", "COM7", 1, 115200, connect_ms, 0);
    return handle_;
  }

  std::unique_ptr<testpeer::TestPeer> peer_;
  int32_t handle_ = 0;
};

}  // namespace vordlix::testing
