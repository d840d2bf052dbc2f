/* libvordlix: the device-communication library of the Quelmark programs.
 *
 * Four C functions. VORDLIX_INIT opens a connection to one terminal through a
 * built-in transport chosen by the module name ("vxnet.dll": UDP, "vxserial.dll":
 * the serial line) and connects with command 1000; the other calls exchange
 * command packets on that connection. Calls block until they return; they may be
 * made from any thread, one at a time per handle.
 *
 * Results: VORDLIX_OK (0) or one of the negative VORDLIX_E_* values below. The
 * callers normally look at the reply code only: it holds the terminal's answer
 * (2000 = done), or VORDLIX_REPLY_FAILED (0xFFFF) when the call itself failed
 * (bad handle or arguments, no answer within the time limit, reply too large).
 * See vordlix/README.md for the environment variables of the transports.
 */
#ifndef VORDLIX_VORDLIX_H
#define VORDLIX_VORDLIX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VORDLIX_API __attribute__((visibility("default")))
#else
#define VORDLIX_API
#endif

/* Reply code written back when a call fails on the host's side. */
#define VORDLIX_REPLY_FAILED 0xFFFFu
/* Reply code of the terminal for a command it carried out. */
#define VORDLIX_REPLY_OK 2000u

#define VORDLIX_OK 0
#define VORDLIX_E_HANDLE (-1)    /* unknown or closed handle */
#define VORDLIX_E_ARGUMENT (-2)  /* null reply word, null buffer with a size or length, negative sizes */
#define VORDLIX_E_TIMEOUT (-3)   /* no matching reply within the time limit */
#define VORDLIX_E_IO (-4)        /* the transport failed (socket or device error) */
#define VORDLIX_E_OVERFLOW (-5)  /* the reply's data does not fit the caller's buffer */
#define VORDLIX_E_TOO_LONG (-6)  /* the request does not fit one packet of the transport */

/* Opens a connection. module: "vxnet.dll" or "vxserial.dll" (any other name opens
 * nothing). address: IPv4 text or host name for the network; "COMn" (or a device
 * path beginning with "/") for the serial line. port: the UDP port on the network,
 * the device ID on the serial line. baud: the serial line's rate (ignored on the
 * network). extra1: the connect time limit in milliseconds, 0 for the default
 * (2000 ms). extra2: reserved, pass 0.
 * Returns a non-zero handle, or 0 when no connection could be opened. */
VORDLIX_API int32_t VORDLIX_INIT(const char *module, const char *address, int32_t port,
                                 int32_t baud, int32_t extra1, int32_t extra2);

/* Sends one command. *reply: the command number on entry, the reply code on
 * return. buffer: length bytes of request data on entry (may be null when size
 * and length are 0); on return the reply's data, NUL-terminated when there is
 * room, within size bytes. A memory read (command 111) collects the read bytes
 * into the buffer. timeout_ms bounds the whole call. */
VORDLIX_API int32_t VORDLIX_SENDCMD(int32_t handle, uint16_t *reply, void *buffer, int32_t size,
                                    int32_t length, int32_t timeout_ms);

/* Hands over a block of data (command 1500 with its length, then commands 1501
 * with the data in order), then sends the command *reply with the parameter
 * block as its data. The reply code is that of the final command, or the first
 * refusal of the transfer. timeout_ms bounds the whole call. */
VORDLIX_API int32_t VORDLIX_SENDCMDDATA(int32_t handle, uint16_t *reply, const void *data,
                                        int32_t length, const void *params,
                                        int32_t params_length, int32_t timeout_ms);

/* Disconnects (command 1001, not answered) and releases the handle. */
VORDLIX_API int32_t VORDLIX_CLOSE(int32_t handle);

#ifdef __cplusplus
}
#endif

#endif /* VORDLIX_VORDLIX_H */
