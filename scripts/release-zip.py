#!/usr/bin/env python3
"""Zips one Windows program with its installation notes, byte for byte the same
for the same inputs: fixed order, fixed modes, and SOURCE_DATE_EPOCH (the last
commit's time) as every entry's time.

  scripts/release-zip.py PROGRAM.exe ARCH VERSION OUTPUT.zip"""

import os
import sys
import time
import zipfile

program, arch, version, output = sys.argv[1:5]
here = os.path.dirname(os.path.abspath(__file__))
stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800))[:6]
with open(os.path.join(here, "..", "docs", "install-windows.txt"), encoding="utf-8") as f:
    notes = f.read().replace("VERSION", version).replace("ARCH", arch)
with zipfile.ZipFile(output, "w", zipfile.ZIP_DEFLATED) as archive:
    for name, data in (("quorl-socket-bridge.exe", open(program, "rb").read()),
                       ("INSTALL.txt", notes.replace("\n", "\r\n").encode("utf-8"))):
        entry = zipfile.ZipInfo(f"quorl-socket-bridge-{version}-windows-{arch}/{name}", stamp)
        entry.external_attr = 0o644 << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(entry, data)
