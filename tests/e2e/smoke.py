#!/usr/bin/env python3
"""End-to-end checks of one build of the program, driven only through its
standard streams, so they run against any build through a launcher:

  tests/e2e/smoke.py --launcher scripts/wine-run --build build/win-x64 --platform "x64 windows"
  tests/e2e/smoke.py --launcher "scripts/arm64-env run" --build build/win-arm64 \
      --platform "arm64 windows" --share /var/tmp/quorl-socket-bridge-arm64/tmp=Z:\\tmp

Each row of ROWS is one run: its arguments, a pipe server if it needs one, the
frames it is sent, then the exit status, the frames on standard output (read
before its input is closed) and the text on standard error. The smoke rows run
in CI against every build; --full runs every row.

--share HOST=WINDOWS names a host folder that the launched programs see under
WINDOWS (the allowlist of each run is written there). Writes a GoogleTest-style
XML report with --xml and ends with "N passed, N failed"."""

import argparse
import collections
import os
import random
import shlex
import sys
import tempfile
import time
import traceback
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qsb_client import (ABSENT, ALLOWLIST_QUERY, ALLOWLIST_REPLY, AVAILABLE, CLOSE, DATA, EOF, HELLO, OPEN,  # noqa: E402
                        OPEN_FAILED, OPENED, PING, PONG, SERVICE_REPLY, WATCH, WATCH_STATE, Program, ProtocolError,
                        frame, start_pipe_server)

ANY = object()  # a payload that may be anything (a pipe's display label)
ECHOED = random.randbytes(1 << 20)
NOT_LISTED = b"This named pipe is not in the HTTP allowlist."


def frames(*triples):
    return b"".join(frame(kind, stream, payload) for kind, stream, payload in triples)


def hello(*replies):
    return [(HELLO, 0, b"")] + list(replies)


def bridge(allowlist):
    return ["--user-allowlist", allowlist, "bridge", "--socket", "{pipe}"]


# args: "{pipe}" is the row's pipe, "{allow}" an allowlist listing it (in
# capitals: the match ignores case), "{none}" an empty one. input and output
# may be functions of the pipe's path (bytes).
Row = collections.namedtuple("Row", "name args server input status output error smoke")
ROWS = [
    Row("version", ["--version"], None, b"", 0, b"quorl-socket-bridge 1 windows\r\n", b"", True),
    Row("platform", ["--platform"], None, b"", 0, "{platform}\r\n", b"", True),
    Row("ping", ["service"], None, frames((PING, 0, bytes(range(256)) * 3), (PING, 7, b"abc")), 0,
        hello((PONG, 0, bytes(range(256)) * 3), (PONG, 7, b"abc")), b"", True),
    Row("watch", ["--user-allowlist", "{allow}", "service"], ["--mode", "echo"], lambda p: frame(WATCH, 5, p), 0,
        hello((SERVICE_REPLY, 5, b""), (WATCH_STATE, 5, bytes([AVAILABLE]))), b"", True),
    Row("watch an absent pipe", ["--user-allowlist", "{allow}", "service"], None, lambda p: frame(WATCH, 5, p), 0,
        hello((SERVICE_REPLY, 5, b""), (WATCH_STATE, 5, bytes([ABSENT]))), b"", False),
    Row("bridge echo", bridge("{allow}"), ["--mode", "echo"],
        frame(OPEN, 1) + b"".join(frame(DATA, 1, ECHOED[at:at + 65536]) for at in range(0, len(ECHOED), 65536)), 0,
        hello((OPENED, 1, ANY), (DATA, 1, ECHOED)), b"", True),
    # Named for LocalSystem but owned by the Administrators group.
    Row("refused owner.s-1-5-18", bridge("{allow}"), ["--sddl", "O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)", "--mode", "echo"],
        frame(OPEN, 3), 0, hello((OPEN_FAILED, 3, b"The named pipe owner does not match the SID in its name.")), b"",
        True),
    Row("unlisted bridge pipe", bridge("{none}"), None, b"", 1, [], NOT_LISTED + b"\r\n", False),
    Row("allowlist queries", ["--user-allowlist", "{allow}", "service"], None,
        lambda p: frames((ALLOWLIST_QUERY, 1, p), (ALLOWLIST_QUERY, 2, p + b"x"), (WATCH, 3, b"pipe-without-prefix")),
        0, hello((ALLOWLIST_REPLY, 1, b"\x01"), (SERVICE_REPLY, 2, NOT_LISTED),
                 (SERVICE_REPLY, 3, b"Enter a local named pipe path beginning with \\\\.\\pipe\\.")), b"", False),
    Row("input ending inside a header", ["service"], None, frame(PING, 1, b"xyz")[:10], 1, hello(),
        b"Truncated input frame.\r\n", False),
    Row("Open in service mode", ["service"], None, frame(OPEN, 1), 1, hello(), b"Invalid service request.\r\n", False),
    Row("bad magic", ["service"], None, b"QSF2" + frame(PING, 1)[4:], 1, hello(), b"Invalid bridge frame.\r\n", False),
    Row("64 streams and no 65th", bridge("{allow}"), ["--mode", "echo", "--instances", "64"],
        b"".join(frame(OPEN, s) for s in range(1, 66)), 0,
        hello(*[(OPENED, s, ANY) for s in range(1, 65)], (OPEN_FAILED, 65, b"Stream limit exceeded.")), b"", False),
    Row("the server ends", bridge("{allow}"), ["--send", "bye", "--mode", "close"], frame(OPEN, 9), 0,
        hello((OPENED, 9, ANY), (DATA, 9, b"bye"), (EOF, 9, b""), (CLOSE, 9, b"")), b"", False),
]


class Context:
    def __init__(self, args):
        self.launcher = shlex.split(args.launcher)
        self.build = os.path.abspath(args.build)
        self.platform = args.platform
        host, _, win = args.share.partition("=")
        self.share_host, self.share_win = host, win.rstrip("\\")
        self.tag = f"qsb-smoke-{os.getpid()}-{random.randrange(1 << 30)}"

    def allowlist(self, *pipes):
        folder = tempfile.mkdtemp(prefix="qsb-smoke-", dir=self.share_host)
        with open(os.path.join(folder, "http-pipe.allow"), "w", newline="\n") as f:
            f.write("# smoke\n" + "".join(p + "\n" for p in pipes))
        return self.share_win + "\\" + os.path.basename(folder) + "\\http-pipe.allow"


def read_expected(p, expected):
    """Reads the frames `expected` names, in order, Data of one stream joined."""
    for kind, stream, payload in expected:
        got_kind, got_stream, got = p.read_frame(60)
        while kind == DATA and (got_kind, got_stream) == (DATA, stream) and len(got) < len(payload):
            more_kind, more_stream, more = p.read_frame(60)
            if (more_kind, more_stream) != (DATA, stream):
                raise ProtocolError(f"stream {stream}: ({more_kind}, {more_stream}) amid its Data")
            got += more
        if (got_kind, got_stream) != (kind, stream) or (payload is not ANY and got != payload):
            raise ProtocolError(f"expected ({kind}, {stream}, {payload if payload is ANY else payload[:80]!r}), "
                                f"got ({got_kind}, {got_stream}, {got[:80]!r})")


def run_row(ctx, row):
    pipe = "\\\\.\\pipe\\" + ctx.tag + "-" + row.name.replace(" ", "-")
    lists = {"{allow}": ctx.allowlist(pipe.replace("pipe\\", "PIPE\\")), "{none}": ctx.allowlist()}
    args = [lists.get(a, a).replace("{pipe}", pipe) for a in row.args]
    server = start_pipe_server(ctx.launcher, os.path.join(ctx.build, "test-pipe-server.exe"), pipe,
                               *row.server) if row.server else None
    p = Program(ctx.launcher, os.path.join(ctx.build, "quorl-socket-bridge.exe"), args)
    try:
        p.send(row.input(pipe.encode()) if callable(row.input) else row.input)
        if isinstance(row.output, list):
            read_expected(p, row.output)
        else:
            wanted = row.output.replace("{platform}", ctx.platform).encode() if isinstance(row.output, str) \
                else row.output
            if p.read_exactly(len(wanted), 60) != wanted:
                raise ProtocolError(f"standard output is not {wanted!r}")
        p.close_input()
        got = (p.wait(), p.remaining_output(), p.stderr_text().encode())
        if got != (row.status, b"", row.error):
            raise ProtocolError(f"status, more output, stderr: expected {(row.status, b'', row.error)!r}, got {got!r}")
    finally:
        p.kill()
        if server:
            server.close_input()
            server.wait(60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--platform", required=True)
    parser.add_argument("--share", default="/tmp=Z:\\tmp")
    parser.add_argument("--xml")
    parser.add_argument("--only")
    parser.add_argument("--full", action="store_true", help="every row, not only the smoke set")
    args = parser.parse_args()
    ctx = Context(args)
    suite = ET.Element("testsuite", name="Smoke")
    passed = failed = 0
    for row in ROWS:
        if (not args.full and not row.smoke) or (args.only and args.only not in row.name):
            continue
        started = time.monotonic()
        case = ET.SubElement(suite, "testcase", classname="Smoke", name=row.name)
        try:
            run_row(ctx, row)
            passed += 1
            print(f"[  OK  ] {row.name} ({time.monotonic() - started:.1f} s)")
        except Exception as error:  # every failure is reported, the next row still runs
            failed += 1
            ET.SubElement(case, "failure", message=str(error)).text = traceback.format_exc()
            print(f"[FAILED] {row.name}: {error}")
    if args.xml:
        os.makedirs(os.path.dirname(args.xml), exist_ok=True)
        root = ET.Element("testsuites")
        root.append(suite)
        ET.ElementTree(root).write(args.xml)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
