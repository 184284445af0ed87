#!/usr/bin/env python3
"""Sets a Windows program's link time (the PE header's TimeDateStamp) to
SOURCE_DATE_EPOCH, or 0 without it, so that two builds of one commit are the
same bytes. zig 0.11's linker writes the time of linking and takes no option
against it. The header checksum, which Windows checks only for drivers, is
cleared with it (zig writes none).

  scripts/pe-stamp.py PROGRAM.exe"""
import os
import struct
import sys

path = sys.argv[1]
stamp = int(os.environ.get("SOURCE_DATE_EPOCH", "0")) & 0xFFFFFFFF
with open(path, "r+b") as f:
    data = bytearray(f.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE file")
    struct.pack_into("<I", data, pe + 8, stamp)       # COFF header: TimeDateStamp
    struct.pack_into("<I", data, pe + 24 + 64, 0)     # optional header: CheckSum
    f.seek(0)
    f.write(data)
