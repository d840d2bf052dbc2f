// The boot updater's own declarations of the device-communication library's four
// calls (libvordlix). main.cpp also includes the library's header when it is
// there, so that a difference between the two fails the build.
#pragma once

#include <cstdint>

extern "C" {
int32_t VORDLIX_INIT(const char* module, const char* address, int32_t port, int32_t baud,
                     int32_t extra1, int32_t extra2);
int32_t VORDLIX_SENDCMD(int32_t handle, uint16_t* reply, void* buffer, int32_t size,
                        int32_t length, int32_t timeout_ms);
int32_t VORDLIX_SENDCMDDATA(int32_t handle, uint16_t* reply, const void* data, int32_t length,
                            const void* params, int32_t params_length, int32_t timeout_ms);
int32_t VORDLIX_CLOSE(int32_t handle);
}
