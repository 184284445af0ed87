#!/usr/bin/env python3
"""Lines of code, product against tests, as the project counts them.

A line counts when it is not blank and not a comment: C++ (.cpp, .h) lines that
do not start with //, /* or *, and Python and transcript (.transcript: the
program's black-box cases as data) lines that do not start with #, in the
files git tracks. Product: src/ and forward/src/. Tests: tests/,
forward/tests/ and fuzz/ (the fuzz, soak and fault harnesses and every test
tool; not the fuzz corpora). Benchmarks (bench/, forward/bench/) measure and
assert nothing; they are counted apart.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GROUPS = {
    "product": ("src/", "forward/src/"),
    "tests": ("tests/", "forward/tests/", "fuzz/"),
    "benchmarks": ("bench/", "forward/bench/"),
}
HASH = re.compile(r"^\s*(#|$)")
SLASHES = re.compile(r"^\s*(//|/\*|\*|$)")
COMMENT = {".py": HASH, ".transcript": HASH, ".cpp": SLASHES, ".h": SLASHES}


def count(files):
    total = 0
    for name in files:
        skip = COMMENT.get(os.path.splitext(name)[1])
        if skip is None or "/seeds/" in name or "/corpus/" in name:
            continue
        with open(os.path.join(ROOT, name), encoding="utf-8", errors="replace") as f:
            total += sum(1 for line in f if not skip.match(line))
    return total


def main():
    files = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, capture_output=True, text=True).stdout.split()
    lines = {group: count(f for f in files if f.startswith(prefixes)) for group, prefixes in GROUPS.items()}
    share = 100 * lines["tests"] / max(1, lines["tests"] + lines["product"])
    print(f"lines: product {lines['product']}, tests {lines['tests']} ({share:.0f}% of the code; asked: at most a third), "
          f"benchmarks {lines['benchmarks']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
