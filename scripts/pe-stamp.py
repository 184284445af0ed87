#!/usr/bin/env python3
"""Sets a Windows program's link time (the PE header's TimeDateStamp) to
SOURCE_DATE_EPOCH, or 0 without it, so that two builds of one commit are the
same bytes: zig 0.11's linker writes the time of linking and takes no option
against it. Then writes the header checksum, which zig leaves at 0: Authenticode
signing fills it in, and removing the signature again recomputes it, so an
unsigned program that carries it is byte for byte what a signed one becomes
without its signature.

  scripts/pe-stamp.py PROGRAM.exe"""
import os
import struct
import sys


def pe_checksum(data, field):
    """The image checksum: 16-bit words summed with end-around carry, the
    checksum field itself counted as 0, plus the file's length."""
    words = bytes(data[:field]) + b"\0\0\0\0" + bytes(data[field + 4:])
    if len(words) % 2:
        words += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


path = sys.argv[1]
stamp = int(os.environ.get("SOURCE_DATE_EPOCH", "0")) & 0xFFFFFFFF
with open(path, "r+b") as f:
    data = bytearray(f.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE file")
    checksum = pe + 24 + 64                           # optional header: CheckSum
    struct.pack_into("<I", data, pe + 8, stamp)       # COFF header: TimeDateStamp
    struct.pack_into("<I", data, checksum, pe_checksum(data, checksum))
    f.seek(0)
    f.write(data)
