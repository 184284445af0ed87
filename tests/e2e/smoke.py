#!/usr/bin/env python3
"""End-to-end smoke checks of one build of the program, driven only through its
standard streams, so they run against any build through a launcher:

  tests/e2e/smoke.py --launcher scripts/wine-run --build build/win-x64 --platform "x64 windows"
  tests/e2e/smoke.py --launcher "scripts/arm64-env run" --build build/win-arm64 \
      --platform "arm64 windows" --share /var/tmp/quorl-socket-bridge-arm64/tmp=Z:\\tmp

--share HOST=WINDOWS names a host folder that the launched programs see under
WINDOWS (the allowlist of each check is written there). Writes a GoogleTest-style
XML report with --xml and ends with "N passed, N failed"."""

import argparse
import contextlib
import os
import random
import shlex
import sys
import tempfile
import time
import traceback
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qsb_client import (ABSENT, ALLOWLIST_QUERY, ALLOWLIST_REPLY, AVAILABLE, CLOSE, DATA, EOF, OPEN, OPEN_FAILED,
                        OPENED, PING, PONG, SERVICE_REPLY, WATCH, WATCH_STATE, Program, ProtocolError, frame,
                        run_to_end, start_pipe_server)

HELLO_BYTES = bytes.fromhex("51534631010001000000000000000000")


class Context:
    def __init__(self, args):
        self.launcher = shlex.split(args.launcher)
        self.build = os.path.abspath(args.build)
        self.exe = os.path.join(self.build, "quorl-socket-bridge.exe")
        self.server_exe = os.path.join(self.build, "test-pipe-server.exe")
        self.platform = args.platform
        host, _, win = args.share.partition("=")
        self.share_host, self.share_win = host, win.rstrip("\\")
        self.tag = f"qsb-smoke-{os.getpid()}-{random.randrange(1 << 30)}"

    def allowlist(self, *pipes):
        folder = tempfile.mkdtemp(prefix="qsb-smoke-", dir=self.share_host)
        with open(os.path.join(folder, "http-pipe.allow"), "w", newline="\n") as f:
            f.write("# smoke\n" + "".join(p + "\n" for p in pipes))
        return self.share_win + "\\" + os.path.basename(folder) + "\\http-pipe.allow"

    def product(self, *args):
        return Program(self.launcher, self.exe, list(args))

    def pipe_server(self, name, *options):
        return start_pipe_server(self.launcher, self.server_exe, name, *options)


@contextlib.contextmanager
def bridge_session(ctx, suffix, *server_options):
    """A pipe server for a fresh listed pipe and a bridge run to it, greeted;
    both are stopped on every path."""
    pipe = "\\\\.\\pipe\\" + ctx.tag + suffix
    server = ctx.pipe_server(pipe, *server_options)
    p = ctx.product("--user-allowlist", ctx.allowlist(pipe), "bridge", "--socket", pipe)
    try:
        expect(p.read_exactly(16, 60), HELLO_BYTES, "Hello")
        yield p
    finally:
        p.kill()
        server.close_input()
        server.wait(60)


def end_normally(p):
    p.close_input()
    expect(p.wait(), 0, "exit status at the end of input")


def expect(actual, wanted, what):
    if actual != wanted:
        raise ProtocolError(f"{what}: expected {wanted!r}, got {actual!r}")


def check_fixed_lines(ctx):
    code, out, err = run_to_end(ctx.launcher, ctx.exe, ["--version"])
    expect((code, out, err), (0, b"quorl-socket-bridge 1 windows\r\n", b""), "--version")
    code, out, err = run_to_end(ctx.launcher, ctx.exe, ["--platform"])
    expect((code, out, err), (0, ctx.platform.encode() + b"\r\n", b""), "--platform")


def check_hello_and_ping(ctx):
    p = ctx.product("service")
    try:
        expect(p.read_exactly(16, 60), HELLO_BYTES, "Hello")
        payload = bytes(range(256)) * 3
        p.send(frame(PING, 0, payload) + frame(PING, 7, b"abc"))
        expect(p.read_frame(), (PONG, 0, payload), "Pong for stream 0")
        expect(p.read_frame(), (PONG, 7, b"abc"), "Pong for stream 7")
        p.close_input()
        expect(p.wait(), 0, "exit status at the end of input")
    finally:
        p.kill()


def check_watch(ctx):
    pipe = "\\\\.\\pipe\\" + ctx.tag + "-watch"
    p = ctx.product("--user-allowlist", ctx.allowlist(pipe), "service")
    server = None
    try:
        expect(p.read_exactly(16, 60), HELLO_BYTES, "Hello")
        p.send(frame(WATCH, 5, pipe.encode()))
        expect(p.read_frame(), (SERVICE_REPLY, 5, b""), "Watch accepted")
        expect(p.read_frame(), (WATCH_STATE, 5, bytes([ABSENT])), "first state")
        server = ctx.pipe_server(pipe, "--mode", "echo")
        expect(p.read_frame(), (WATCH_STATE, 5, bytes([AVAILABLE])), "pipe appeared")
        server.close_input()
        server.wait(60)
        server = None
        expect(p.read_frame(), (WATCH_STATE, 5, bytes([ABSENT])), "pipe went away")
        p.close_input()
        expect(p.wait(), 0, "exit status")
    finally:
        if server:
            server.kill()
        p.kill()


def check_bridge_echo(ctx):
    with bridge_session(ctx, "-echo", "--mode", "echo") as p:
        p.send(frame(OPEN, 1))
        kind, stream, label = p.read_frame(60)
        expect((kind, stream), (OPENED, 1), f"Open answered ({label!r})")
        data = random.randbytes(1 << 20)
        for offset in range(0, len(data), 65536):
            p.send(frame(DATA, 1, data[offset:offset + 65536]))
        echoed = bytearray()
        while len(echoed) < len(data):
            kind, stream, payload = p.read_frame(60)
            expect((kind, stream), (DATA, 1), "echoed data frame")
            if not 1 <= len(payload) <= 32768:
                raise ProtocolError(f"data frame of {len(payload)} bytes")
            echoed += payload
        if bytes(echoed) != data:
            raise ProtocolError("echoed bytes differ")
        p.send(frame(CLOSE, 1))
        end_normally(p)
        expect(p.remaining_output(), b"", "nothing after the client's Close")


def check_refused_owner(ctx):
    # Named for LocalSystem but owned by the Administrators group.
    with bridge_session(ctx, "-owner.s-1-5-18", "--sddl", "O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)", "--mode", "echo") as p:
        p.send(frame(OPEN, 3))
        expect(p.read_frame(60), (OPEN_FAILED, 3, b"The named pipe owner does not match the SID in its name."),
               "refused pipe")
        end_normally(p)


def check_unlisted_bridge_pipe_writes_nothing(ctx):
    pipe = "\\\\.\\pipe\\" + ctx.tag + "-unlisted"
    code, out, err = run_to_end(ctx.launcher, ctx.exe, ["--user-allowlist", ctx.allowlist(), "bridge", "--socket", pipe])
    expect((code, out, err), (1, b"", b"This named pipe is not in the HTTP allowlist.\r\n"), "unlisted bridge pipe")


def check_truncated_and_invalid_input(ctx):
    code, out, err = run_to_end(ctx.launcher, ctx.exe, ["service"], stdin=frame(PING, 1, b"xyz")[:10])
    expect((code, out, err), (1, HELLO_BYTES, b"Truncated input frame.\r\n"), "input ending inside a header")
    code, out, err = run_to_end(ctx.launcher, ctx.exe, ["service"], stdin=frame(OPEN, 1))
    expect((code, out, err), (1, HELLO_BYTES, b"Invalid service request.\r\n"), "Open in service mode")
    code, out, err = run_to_end(ctx.launcher, ctx.exe, ["service"], stdin=b"QSF2" + frame(PING, 1)[4:])
    expect((code, out, err), (1, HELLO_BYTES, b"Invalid bridge frame.\r\n"), "bad magic")


def check_allowlist_queries(ctx):
    listed = "\\\\.\\pipe\\" + ctx.tag + "-listed"
    p = ctx.product("--user-allowlist", ctx.allowlist(listed.upper().replace("\\\\.\\PIPE", "\\\\.\\pipe")), "service")
    try:
        expect(p.read_exactly(16, 60), HELLO_BYTES, "Hello")
        p.send(frame(ALLOWLIST_QUERY, 1, listed.encode()) + frame(ALLOWLIST_QUERY, 2, (listed + "x").encode()) +
               frame(WATCH, 3, b"pipe-without-prefix"))
        expect(p.read_frame(), (ALLOWLIST_REPLY, 1, b"\x01"), "listed pipe")
        expect(p.read_frame(), (SERVICE_REPLY, 2, b"This named pipe is not in the HTTP allowlist."), "unlisted pipe")
        expect(p.read_frame(), (SERVICE_REPLY, 3, b"Enter a local named pipe path beginning with \\\\.\\pipe\\."),
               "bad path")
        p.close_input()
        expect(p.wait(), 0, "exit status")
    finally:
        p.kill()


def check_many_streams(ctx):
    with bridge_session(ctx, "-many", "--mode", "echo", "--instances", "64") as p:
        streams = range(1, 65)
        for stream in streams:
            p.send(frame(OPEN, stream))
        for stream in streams:
            kind, got, _ = p.read_frame(60)
            expect((kind, got), (OPENED, stream), "Opened in order")
        p.send(frame(OPEN, 65))
        expect(p.read_frame(60), (OPEN_FAILED, 65, b"Stream limit exceeded."), "the 65th stream")
        sent = {stream: random.randbytes(20000 + stream * 997) for stream in streams}
        for stream in streams:
            p.send(frame(DATA, stream, sent[stream]))
        echoed = {stream: bytearray() for stream in streams}
        left = sum(len(v) for v in sent.values())
        while left:
            kind, stream, payload = p.read_frame(60)
            expect(kind, DATA, "echoed data")
            echoed[stream] += payload
            left -= len(payload)
        for stream in streams:
            if bytes(echoed[stream]) != sent[stream]:
                raise ProtocolError(f"stream {stream}: echoed bytes differ")
            p.send(frame(CLOSE, stream))
        end_normally(p)


def check_server_end_gives_eof_then_close(ctx):
    with bridge_session(ctx, "-ends", "--send", "bye", "--mode", "close") as p:
        p.send(frame(OPEN, 9))
        expect(p.read_frame(60)[:2], (OPENED, 9), "Opened")
        expect(p.read_frame(60), (DATA, 9, b"bye"), "the server's bytes")
        expect(p.read_frame(60), (EOF, 9, b""), "Eof at the end of the pipe")
        expect(p.read_frame(60), (CLOSE, 9, b""), "then Close")
        end_normally(p)


# The smoke set runs in CI against every build; --full adds the rest.
SMOKE = [check_fixed_lines, check_hello_and_ping, check_watch, check_bridge_echo, check_refused_owner]
CHECKS = SMOKE + [check_unlisted_bridge_pipe_writes_nothing, check_truncated_and_invalid_input, check_allowlist_queries,
                  check_many_streams, check_server_end_gives_eof_then_close]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--platform", required=True)
    parser.add_argument("--share", default="/tmp=Z:\\tmp")
    parser.add_argument("--xml")
    parser.add_argument("--only")
    parser.add_argument("--full", action="store_true", help="every check, not only the smoke set")
    args = parser.parse_args()
    ctx = Context(args)
    suite = ET.Element("testsuite", name="Smoke")
    passed = failed = 0
    for check in CHECKS if args.full else SMOKE:
        if args.only and args.only not in check.__name__:
            continue
        started = time.monotonic()
        case = ET.SubElement(suite, "testcase", classname="Smoke", name=check.__name__)
        try:
            check(ctx)
            passed += 1
            print(f"[  OK  ] {check.__name__} ({time.monotonic() - started:.1f} s)")
        except Exception as error:  # every failure is reported, the next check still runs
            failed += 1
            ET.SubElement(case, "failure", message=str(error)).text = traceback.format_exc()
            print(f"[FAILED] {check.__name__}: {error}")
    if args.xml:
        os.makedirs(os.path.dirname(args.xml), exist_ok=True)
        root = ET.Element("testsuites")
        root.append(suite)
        ET.ElementTree(root).write(args.xml)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
