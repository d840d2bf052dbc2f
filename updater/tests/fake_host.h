// A recording stand-in for everything outside the boot updater: the library's
// calls, the console, the ARP utility, the clock and the resources. Every call
// is logged in order as one text line; replies are scripted.
#pragma once

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "updater/qvebupd.h"

class FakeHost : public qvebupd::Host {
 public:
  // ---- script
  int32_t handle = 77;                    // what Init returns (0: no connection)
  std::deque<uint16_t> replies110;        // answers to 110, in turn; then reply110
  uint16_t reply110 = 2000;
  bool touch110 = true;                   // false: the library leaves the word as it is
  uint16_t reply1003 = 2000;
  uint16_t reply1004 = 2000;
  bool hasImage = true;
  std::string image = std::string("\x00\x01\xff image \r\n\x00", 13);
  bool throwOnData = false;

  // ---- record
  std::vector<std::string> log;
  std::string out, err;
  std::string sentImage, sentParams;

  int32_t Init(const char* module, const char* address, int32_t port, int32_t baud,
               int32_t extra1, int32_t extra2) override {
    log.push_back("INIT " + std::string(module) + " " + address + " " + std::to_string(port) +
                  " " + std::to_string(baud) + " " + std::to_string(extra1) + " " +
                  std::to_string(extra2));
    return handle;
  }
  int32_t SendCmd(int32_t h, uint16_t* reply, void* buffer, int32_t size, int32_t length,
                  int32_t timeoutMs) override {
    log.push_back("CMD " + std::to_string(*reply) + " h=" + std::to_string(h) +
                  (buffer ? " buf" : " null") + " " + std::to_string(size) + " " +
                  std::to_string(length) + " t=" + std::to_string(timeoutMs));
    if (*reply == 1003) *reply = reply1003;
    else if (*reply == 1004) *reply = reply1004;
    return 0;
  }
  int32_t SendCmdData(int32_t h, uint16_t* reply, const void* data, int32_t length,
                      const void* params, int32_t paramsLength, int32_t timeoutMs) override {
    log.push_back("DATA " + std::to_string(*reply) + " h=" + std::to_string(h) + " len=" +
                  std::to_string(length) + " plen=" + std::to_string(paramsLength) +
                  " t=" + std::to_string(timeoutMs));
    if (throwOnData) throw std::bad_alloc();
    sentImage.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
    sentParams.assign(static_cast<const char*>(params), static_cast<std::size_t>(paramsLength));
    uint16_t answer = reply110;
    if (!replies110.empty()) {
      answer = replies110.front();
      replies110.pop_front();
    }
    if (touch110) *reply = answer;
    return 0;
  }
  int32_t Close(int32_t h) override {
    log.push_back("CLOSE " + std::to_string(h));
    return 0;
  }
  void Out(const std::string& text) override { out += text; }
  void Err(const std::string& text) override { err += text; }
  void Arp(const std::string& parameters) override { log.push_back("ARP " + parameters); }
  void Sleep(uint32_t ms) override { log.push_back("SLEEP " + std::to_string(ms)); }
  bool LoadResource(const char* name, std::string* data) override {
    log.push_back("RESOURCE " + std::string(name));
    if (!hasImage) return false;
    *data = image;
    return true;
  }

  // The log without the lines of one kind, for tests that look at the rest.
  std::vector<std::string> Commands() const {
    std::vector<std::string> v;
    for (const std::string& l : log) {
      if (l.compare(0, 4, "CMD ") == 0 || l.compare(0, 5, "DATA ") == 0 ||
          l.compare(0, 6, "CLOSE ") == 0) {
        v.push_back(l.substr(0, l.find(" h=")));
      }
    }
    return v;
  }
};
