#!/usr/bin/env python3
"""Checks that every test the documents name exists, so that a renamed or
removed test cannot leave a claim resting on nothing.

Read in docs/* and README.md:
  Suite.Name or Suite.*         a GoogleTest test or suite (TEST, TEST_F, TEST_P
                                in tests/, forward/tests/ and fuzz/)
  smoke row "NAME"              a row of tests/e2e/smoke.py
  field case `NAME`, the field suite's NAME case
                                a case_NAME function of tests/field/field_test.py
  `tests/...`, `forward/tests/...`, `fuzz/...`
                                a test source that must exist
Prints each missing name with its document and line, and exits 1 if there is
one. --xml writes a GoogleTest-style report, one case per document."""

import argparse
import glob
import os
import re
import sys
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITE_FOLDERS = ["tests", "forward/tests", "fuzz"]

GTEST_DEFINITION = re.compile(r"\b(?:TEST|TEST_F|TEST_P|TYPED_TEST)\(\s*(\w+)\s*,\s*(\w+)\s*\)")
GTEST_CITATION = re.compile(r"\b([A-Z][A-Za-z0-9]*)\.([A-Z][A-Za-z0-9_]*|\*)")
SMOKE_ROW_DEFINITION = re.compile(r"\bRow\(\s*\"([^\"]+)\"")
SMOKE_ROW_CITATION = re.compile(r"smoke rows? ((?:\"[^\"]+\"(?:, | and )?)+)")
FIELD_CASE_DEFINITION = re.compile(r"^def case_(\w+)\(", re.M)
FIELD_CASE_CITATION = re.compile(r"field case `(\w+)`|field suite's `?(\w+)`? case")
SOURCE_CITATION = re.compile(r"`((?:tests|forward/tests|fuzz)/[^`\s<>*]+)`")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def sources(pattern_ends):
    for folder in SUITE_FOLDERS:
        for path in glob.glob(os.path.join(ROOT, folder, "**", "*"), recursive=True):
            if path.endswith(pattern_ends) and os.path.isfile(path):
                yield path


def defined_names():
    tests, suites = set(), set()
    for path in sources((".cpp", ".h")):
        for suite, name in GTEST_DEFINITION.findall(read(path)):
            tests.add(f"{suite}.{name}")
            suites.add(suite)
    smoke = set(SMOKE_ROW_DEFINITION.findall(read(os.path.join(ROOT, "tests/e2e/smoke.py"))))
    field = set(FIELD_CASE_DEFINITION.findall(read(os.path.join(ROOT, "tests/field/field_test.py"))))
    return tests, suites, smoke, field


def missing_in(text, tests, suites, smoke, field):
    """(line, cited name) of each citation in `text` that names nothing."""
    for number, line in enumerate(text.splitlines(), 1):
        for suite, name in GTEST_CITATION.findall(line):
            if (name == "*" and suite not in suites) or (name != "*" and f"{suite}.{name}" not in tests):
                yield number, f"{suite}.{name}"
        for quoted in SMOKE_ROW_CITATION.findall(line):
            for row in re.findall(r"\"([^\"]+)\"", quoted):
                if row not in smoke:
                    yield number, f'smoke row "{row}"'
        for groups in FIELD_CASE_CITATION.findall(line):
            case = groups[0] or groups[1]
            if case not in field:
                yield number, f"field case {case}"
        for source in SOURCE_CITATION.findall(line):
            if not os.path.exists(os.path.join(ROOT, source)):
                yield number, source


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--xml")
    parser.add_argument("documents", nargs="*", help="default: docs/* and README.md")
    args = parser.parse_args()
    documents = args.documents or sorted(glob.glob(os.path.join(ROOT, "docs", "*"))) + [os.path.join(ROOT, "README.md")]
    names = defined_names()
    suite = ET.Element("testsuite", name="DocTestNames")
    missing = 0
    for path in documents:
        shown = os.path.relpath(path, ROOT)
        found = [f"{shown}:{line}: {name} names no test" for line, name in missing_in(read(path), *names)]
        case = ET.SubElement(suite, "testcase", classname="DocTestNames", name=shown)
        if found:
            ET.SubElement(case, "failure", message=f"{len(found)} missing").text = "\n".join(found)
        for text in found:
            print(text)
        missing += len(found)
    if args.xml:
        os.makedirs(os.path.dirname(args.xml), exist_ok=True)
        root = ET.Element("testsuites")
        root.append(suite)
        ET.ElementTree(root).write(args.xml)
    print(f"tests named in {len(documents)} documents: {missing} missing")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
