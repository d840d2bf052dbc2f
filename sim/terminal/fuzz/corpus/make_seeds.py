#!/usr/bin/env python3
"""Writes the seed inputs of the terminal-side fuzz targets.

fuzz_firmware_packet: records [flags u8][length u16 LE][packet], see the top of
fuzz_firmware_packet.cpp (checksums and connection ids are fixed by the target).
fuzz_option_file: option store files.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def rec(flags, data):
    return struct.pack("<BH", flags, len(data)) + data


def cmd(number, seq=0, data=b""):
    return struct.pack("<HHHH", number, 0, 0, seq) + data


def mask(value, seed):
    out = "%02X" % seed
    run = seed
    for c in value:
        run ^= c
        out += "%02X" % run
    return out.encode()


def write(target, name, data):
    d = os.path.join(HERE, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


connect = rec(0, cmd(1000))
image = bytes(range(256)) * 8
write("fuzz_firmware_packet", "options", connect
      + rec(0, cmd(11, 1, b"ShowCheckIn\0"))
      + rec(0, cmd(12, 2, b"ShowCheckIn=0\0"))
      + rec(0, cmd(12, 3, b"~DeviceName=" + mask(b"Gate", 0xC0) + b"\0"))
      + rec(0, cmd(12, 4, b"~DeviceName=C0F\0"))
      + rec(0, cmd(11, 5, b"V2\0"))
      + rec(0, cmd(12, 5, b"V2=1\0")))
write("fuzz_firmware_packet", "update", connect
      + rec(0, cmd(1003, 1))
      + rec(0, cmd(1500, 2, struct.pack("<I", len(image))))
      + rec(0, cmd(1501, 3, image[:1024]))
      + rec(0, cmd(1501, 4, image[1024:]))
      + rec(0, cmd(110, 5, struct.pack("<II", 0, 0)))
      + rec(0, cmd(110, 6, struct.pack("<II", 1, 0)))
      + rec(0, cmd(1502, 7))
      + rec(0, cmd(1004, 8)))
write("fuzz_firmware_packet", "read_two_peers", connect + rec(1, cmd(1000))
      + rec(0, cmd(111, 1, struct.pack("<II", 0xFF800000, 2500)))
      + rec(1, cmd(1100, 1))
      + rec(0, cmd(111, 1, struct.pack("<II", 0, 0)))
      + rec(8, cmd(2000, 2)) + rec(0, cmd(1001, 3)))

write("fuzz_option_file", "defaults",
      b"~OEMVendor=OEM\n~DeviceName=TA100\n~SerialNumber=000000\nShowCheckIn=1\n"
      b"VTRAKeyLayouts=322A3023373839343536334344424131414244433133\nVoices=0\n")
write("fuzz_option_file", "crlf_cp936", b"A=1\r\n\r\n\xc9\xcf=\xba\xa3=x\r\n~E=\n")
write("fuzz_option_file", "bad_twice", b"A=1\nA=2\n")
