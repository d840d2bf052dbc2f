#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets (fuzz_ethernet/, fuzz_serial/).

Record format of both targets: [flags u8][length u16 LE][bytes]; see the
flag lists at the top of fuzz_ethernet.cpp and fuzz_serial.cpp.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
LOADER_MAC = bytes([0x02, 0x51, 0x4D, 0x00, 0x00, 0x01])
HOST_MAC = bytes([0x02, 0x00, 0x00, 0x00, 0x00, 0x07])
LOADER_IP = bytes([192, 168, 1, 201])
HOST_IP = bytes([192, 168, 1, 50])


def rec(flags, data):
    return struct.pack("<BH", flags, len(data)) + data


def cmd(number, conn=0, seq=0, data=b""):
    # checksum left 0: the targets fix it (flag 0x02)
    return struct.pack("<HHHH", number, 0, conn, seq) + data


def ether(dst, etype, payload):
    f = dst + HOST_MAC + struct.pack(">H", etype) + payload
    return f + bytes(max(0, 60 - len(f)))


def ipv4(proto, payload, dst=LOADER_IP, options=b"", frag=0):
    hl = 20 + len(options)
    h = struct.pack(">BBHHHBBH", 0x40 | hl // 4, 0, hl + len(payload), 0x1234, frag, 64, proto, 0)
    return h + HOST_IP + dst + options + payload


def udp(payload, sport=50000, dport=4370):
    return struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload


def udp_cmd(c, **kw):
    return rec(0x07, ether(LOADER_MAC, 0x0800, ipv4(17, udp(c), **kw)))


def icmp_echo(data):
    return bytes([8, 0, 0, 0, 0x12, 0x34, 0, 1]) + data


def arp(target):
    a = struct.pack(">HHBBH", 1, 0x0800, 6, 4, 1) + HOST_MAC + HOST_IP + bytes(6) + target
    return rec(0, ether(b"\xff" * 6, 0x0806, a))


def u32(*v):
    return struct.pack("<" + "I" * len(v), *v)


def transfer(wrap, size, chunk):
    out = [wrap(cmd(1000)), wrap(cmd(1500, 0, 1, u32(size)))]
    seq = 2
    for at in range(0, size, chunk):
        out.append(wrap(cmd(1501, 0, seq, bytes((at + i) & 0xFF for i in range(min(chunk, size - at))))))
        seq += 1
    out.append(wrap(cmd(110, 0, seq, u32(0, 0))))
    return b"".join(out)


def ethernet_seeds():
    connect = udp_cmd(cmd(1000))
    return {
        "arp_any": arp(bytes([192, 168, 1, 7])),
        "ping": rec(0x01, ether(LOADER_MAC, 0x0800, ipv4(1, icmp_echo(b"hello")))),
        "ping_broadcast_options": rec(0x01, ether(LOADER_MAC, 0x0800, ipv4(
            1, icmp_echo(b"x" * 40), dst=b"\xff" * 4, options=b"\x01\x01\x01\x00"))),
        "first_fragment": rec(0x01, ether(LOADER_MAC, 0x0800, ipv4(1, icmp_echo(b"f"), frag=0x2000))),
        "connect_version": connect + udp_cmd(cmd(1100, 0, 1)),
        "connect_read": connect + udp_cmd(cmd(111, 0, 1, u32(0xFF800000, 2500))),
        "connect_nop_disconnect": connect + udp_cmd(cmd(2000, 0, 1)) + udp_cmd(cmd(1001, 0, 2)),
        "transfer_flash": transfer(lambda c: udp_cmd(c), 3000, 1024),
        "desync": rec(0x08, b"") + connect,
        "raw_long": rec(0x10, struct.pack("<HH", 0x0001, 1537) + bytes(64)),
        "raw_bad_status": rec(0x10, struct.pack("<HH", 0x0201, 64) + bytes(64)) + connect,
    }


def serial_wrap(c):
    return rec(0x07, c)


def serial_seeds():
    return {
        "connect_version": serial_wrap(cmd(1000)) + serial_wrap(cmd(1100, 0, 1)),
        "connect_read": serial_wrap(cmd(1000)) + serial_wrap(cmd(111, 0, 1, u32(0xFF800000, 1500))),
        "transfer_flash": transfer(serial_wrap, 4100, 2032),
        "length_zero": rec(0x00, bytes([1, 1, 0x81, 0x7E, 0, 0, 0, 0]) + bytes(40)),
        "short_packet": rec(0x01, bytes(5)),
        "bad_marker": rec(0x00, bytes([1, 1, 0x80, 0x7E, 8, 0, 0, 0]) + bytes(8)),
        "line_error": rec(0x08, b"") + serial_wrap(cmd(1000)),
        "repeat": serial_wrap(cmd(1000)) + serial_wrap(cmd(2000, 0, 1)) + serial_wrap(cmd(2000, 0, 1)),
    }


def write(name, seeds):
    d = os.path.join(HERE, name)
    os.makedirs(d, exist_ok=True)
    for k, v in seeds.items():
        with open(os.path.join(d, k), "wb") as f:
            f.write(v)


if __name__ == "__main__":
    write("fuzz_ethernet", ethernet_seeds())
    write("fuzz_serial", serial_seeds())
