#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_vordlix_receive (corpus/fuzz_vordlix_receive/).

Input format: a mode byte (0x01: serial line), then records
[flags u8][length u16 LE][bytes]; see the flag list at the top of
fuzz_vordlix_receive.cpp. Checksums are left 0 and fixed by flag 0x01.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "fuzz_vordlix_receive")

SUM, CONN, SEQ, FRAME, SILENCE, LAST = 0x01, 0x02, 0x04, 0x08, 0x10, 0x80


def rec(flags, data):
    return struct.pack("<BH", flags, len(data)) + data


def pkt(code, field=0, seq=0, data=b""):
    return struct.pack("<HHHH", code, 0, field, seq) + data


def u32(*v):
    return struct.pack("<" + "I" * len(v), *v)


def reply(code=2000, data=b"", last=True):
    return rec(SUM | CONN | SEQ | (LAST if last else 0), pkt(code, data=data))


def session(chunk):
    """Good answers to every call the target makes."""
    out = [rec(SUM | SEQ | LAST, pkt(2000, 0x4242))]         # connect
    out.append(reply(data=b"BLDR Apr 14 2004\0"))            # 1100
    out.append(reply(data=b"Name=x\0"))                      # 11
    # 111 into 4096 bytes: announce, four chunks with their index, final 2000
    out.append(rec(SUM | CONN | SEQ, pkt(1500, data=u32(4096, 1024))))
    for i in range(4):
        out.append(rec(SUM | SEQ, pkt(1501, i, data=bytes([i]) * 1024)))
    out.append(rec(SUM | SEQ | LAST, pkt(2000, 3)))
    # 111 into 16 bytes: announced larger than the buffer
    out.append(rec(SUM | CONN | SEQ, pkt(1500, data=u32(4096, 1024))))
    out.append(rec(SUM | SEQ | LAST, pkt(2000, 3)))
    out.append(reply())                                      # 12
    out.append(reply())                                      # 1500
    for _ in range((3000 + chunk - 1) // chunk):
        out.append(reply())                                  # 1501
    out.append(reply())                                      # 110
    return out


def write(name, mode, records):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(bytes([mode]) + b"".join(records))


def framed(records):
    return [rec(r[0] | FRAME, r[3:]) for r in records]


def main():
    os.makedirs(OUT, exist_ok=True)
    write("udp_session", 0, session(1024))
    write("serial_session", 1, framed(session(2032)))
    # 2004 first, then the reply; a stale reply before the right one
    s = session(1024)
    write("udp_2004_then_reply", 0, s[:1] + [reply(2004)] + s[1:])
    stale = rec(SUM | CONN, pkt(2000, seq=0x7777, data=b"old\0"))
    write("udp_stale_then_reply", 0, s[:1] + [stale] + s[1:])
    # a refused 110 with its error code in bytes 4 and 5
    refused = rec(SUM | SEQ | LAST, pkt(2001, 3))
    write("udp_refused_110", 0, s[:-1] + [refused])
    # serial: noise, a broken frame, silence, then the session
    noise = rec(0, b"\x81\x7e\xff\x07garbage")
    broken = rec(FRAME | SILENCE, b"\x01\x02")
    write("serial_noise_first", 1, [noise, broken] + framed(session(2032)))


if __name__ == "__main__":
    main()
