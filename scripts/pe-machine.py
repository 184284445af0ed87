#!/usr/bin/env python3
"""Checks that a file is a Windows console program (PE) for the given machine."""
import struct
import sys

MACHINES = {"arm64": 0xAA64, "x64": 0x8664}
path, want = sys.argv[1], sys.argv[2]
try:
    data = open(path, "rb").read()
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[offset:offset + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    machine = struct.unpack_from("<H", data, offset + 4)[0]
    subsystem = struct.unpack_from("<H", data, offset + 24 + 68)[0]
except (OSError, ValueError, struct.error) as error:
    print(f"{path}: {error}")
    sys.exit(1)
if machine != MACHINES[want] or subsystem != 3:
    print(f"{path}: machine 0x{machine:04x}, subsystem {subsystem}; expected 0x{MACHINES[want]:04x} console (3)")
    sys.exit(1)
print(f"{path}: PE console program for {want} (machine 0x{machine:04x})")
