#!/usr/bin/env python3
"""Checks that every test the documents name exists, so that a renamed or
removed test cannot leave a claim resting on nothing.

Read in docs/* and README.md:
  Suite.Name or Suite.*         a GoogleTest test or suite (TEST, TEST_F, TEST_P
                                in tests/, forward/tests/ and fuzz/)
  transcript case "NAME"        a case of tests/e2e/cases.transcript
  field case `NAME`, the field suite's NAME case
                                a test_NAME function of tests/field/field_test.py
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
TRANSCRIPT_DEFINITION = re.compile(r"^(?:case|smoke) (.+)$", re.M)
TRANSCRIPT_CITATION = re.compile(r"transcript\s+cases?\s+((?:\"[^\"]+\"(?:,\s+|\s+and\s+)?)+)")
FIELD_CASE_DEFINITION = re.compile(r"^def test_(\w+)\(", re.M)
FIELD_CASE_CITATION = re.compile(r"field\s+case\s+`(\w+)`|field\s+suite's\s+`?(\w+)`?\s+case")
SOURCE_CITATION = re.compile(r"`((?:tests|forward/tests|fuzz)/[^`\s<>*]+)`")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def suite_sources():
    for folder in SUITE_FOLDERS:
        for path in glob.glob(os.path.join(ROOT, folder, "**", "*"), recursive=True):
            if path.endswith((".cpp", ".h")) and os.path.isfile(path):
                yield path


def defined_names():
    tests, suites = set(), set()
    for path in suite_sources():
        for suite, name in GTEST_DEFINITION.findall(read(path)):
            tests.add(f"{suite}.{name}")
            suites.add(suite)
    transcripts = set(TRANSCRIPT_DEFINITION.findall(read(os.path.join(ROOT, "tests/e2e/cases.transcript"))))
    field = set(FIELD_CASE_DEFINITION.findall(read(os.path.join(ROOT, "tests/field/field_test.py"))))
    return tests, suites, transcripts, field


def missing_in(text, tests, suites, transcripts, field):
    """(line, cited name) of each citation in `text` that names nothing; a
    citation may be wrapped across lines."""
    def line_of(match):
        return text.count("\n", 0, match.start()) + 1

    for m in GTEST_CITATION.finditer(text):
        suite, name = m.groups()
        if (name == "*" and suite not in suites) or (name != "*" and f"{suite}.{name}" not in tests):
            yield line_of(m), f"{suite}.{name}"
    for m in TRANSCRIPT_CITATION.finditer(text):
        for case in re.findall(r"\"([^\"]+)\"", m.group(1)):
            if case not in transcripts:
                yield line_of(m), f'transcript case "{case}"'
    for m in FIELD_CASE_CITATION.finditer(text):
        case = m.group(1) or m.group(2)
        if case not in field:
            yield line_of(m), f"field case {case}"
    for m in SOURCE_CITATION.finditer(text):
        if not os.path.exists(os.path.join(ROOT, m.group(1))):
            yield line_of(m), m.group(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--xml")
    parser.add_argument("documents", nargs="*", help="default: docs/* and README.md")
    args = parser.parse_args()
    documents = args.documents or sorted(glob.glob(os.path.join(ROOT, "docs", "*"))) + [os.path.join(ROOT, "README.md")]
    names = defined_names()
    report = ET.Element("testsuites")
    suite = ET.SubElement(report, "testsuite", name="DocTestNames")
    missing = 0
    for path in documents:
        shown = os.path.relpath(path, ROOT)
        found = [f"{shown}:{line}: {name} names no test" for line, name in sorted(missing_in(read(path), *names))]
        case = ET.SubElement(suite, "testcase", classname="DocTestNames", name=shown)
        if found:
            ET.SubElement(case, "failure", message=f"{len(found)} missing").text = "\n".join(found)
        for text in found:
            print(text)
        missing += len(found)
    if args.xml:
        os.makedirs(os.path.dirname(args.xml), exist_ok=True)
        ET.ElementTree(report).write(args.xml)
    print(f"tests named in {len(documents)} documents: {missing} missing")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
