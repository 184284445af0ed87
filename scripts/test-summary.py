#!/usr/bin/env python3
"""Adds up the GoogleTest XML results of the given build folders and prints
one closing line "N passed, N failed" (a failing test is listed first)."""
import glob
import os
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
for build in sys.argv[1:]:
    for path in sorted(glob.glob(os.path.join(build, "test-results", "*.xml"))):
        try:
            tree = ET.parse(path)
        except ET.ParseError:
            print(f"{path}: unreadable result file (the test program died)")
            failed += 1
            continue
        for case in tree.iter("testcase"):
            name = f"{os.path.basename(build)}: {case.get('classname')}.{case.get('name')}"
            if case.find("failure") is not None or case.find("error") is not None:
                failed += 1
                print(f"FAILED {name}")
            elif case.get("result") == "skipped" or case.find("skipped") is not None:
                skipped += 1
            else:
                passed += 1
line = f"{passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
sys.exit(1 if failed else 0)
