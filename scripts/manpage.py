#!/usr/bin/env python3
"""Writes the forwarder's manual page from the README's manual section, so that
the two cannot drift apart: the README is the one text, this only formats it.

  scripts/manpage.py README.md VERSION OUTPUT[.gz]

A name ending in .gz is written compressed, with no time or name inside, as
manual pages are installed."""

import gzip
import re
import sys


def manual_text(readme):
    """The fenced block of the forwarder's section that begins with NAME."""
    section = readme.split("## quorl-socket-forward", 1)[1]
    for block in re.findall(r"^```[^\n]*\n(.*?)^```", section, re.S | re.M):
        if block.startswith("NAME\n"):
            return block
    raise SystemExit("manpage.py: no manual block (one starting with NAME) in the README's forwarder section")


def roff(line):
    line = line.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + line if line.startswith((".", "'")) else line


def main():
    readme_path, version, output = sys.argv[1:4]
    with open(readme_path, encoding="utf-8") as f:
        text = manual_text(f.read())
    sections = []
    for line in text.splitlines():
        if line and not line[0].isspace():
            sections.append((line.strip(), []))
        elif sections:
            sections[-1][1].append(line[4:] if line.startswith("    ") else line.lstrip())
    out = [f'.TH QUORL\\-SOCKET\\-FORWARD 1 "" "quorl\\-socket\\-forward {version}" "User Commands"']
    for title, body in sections:
        while body and not body[-1].strip():
            body.pop()
        out.append(".SH " + title)
        if title == "NAME":
            out.append(roff(" ".join(b.strip() for b in body)).replace(" \\- ", " \\- ", 1))
            continue
        out.append(".nf")
        out.extend(roff(b) for b in body)
        out.append(".fi")
    text = ("\n".join(out) + "\n").encode("utf-8")
    if output.endswith(".gz"):
        with open(output, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0) as f:
            f.write(text)
    else:
        with open(output, "wb") as f:
            f.write(text)


main()
