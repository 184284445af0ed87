"""Runs the black-box cases of cases.transcript (whose head gives their
grammar) against one build of the program, through the launcher that starts it,
driving it only through its standard streams (options: conftest.py)."""

import ast
import os
import random
import re
import shutil
import tempfile

import pytest

from qsb_client import Program, ProtocolError, frame, start_pipe_server

KINDS = {name: kind for kind, name in enumerate(
    "Hello Open Opened OpenFailed Data Eof Close Ping Pong WatchState AllowlistQuery ServiceReply Watch Unwatch "
    "AllowlistReply".split(), 1)}
# The pipe of the user Wine gives every process, as the program prints it.
PRODUCT = "\\\\.\\pipe\\org.quorltholm.quorltholm.s-1-5-21-0-0-0-1000"
ANY = object()


def read_cases():
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "cases.transcript"), encoding="utf-8") as f:
        text = re.sub(r"(?m)^[ \t]*#.*\n", "", f.read())
    cases = []
    for block in re.split(r"\n\s*\n", text.strip()):
        first, *steps = block.splitlines()
        kind, name = first.split(" ", 1)
        marks = [pytest.mark.smoke] if kind == "smoke" else []
        cases.append(pytest.param(steps, id=name.strip(), marks=marks))
    return cases


class Transcript:
    def __init__(self, target, name):
        self.target = target
        self.pipe = f"\\\\.\\pipe\\qsb-e2e-{os.getpid()}-{name.replace(' ', '-')}"
        # Only the UTF-16 command line carries "Jörg" and "김" (outside most
        # ANSI code pages) to the program intact.
        self.folder = tempfile.mkdtemp(prefix="qsb-e2e-", dir=target.share_host)
        self.allow_host = os.path.join(self.folder, "J\u00f6rg", "\uae40", "http-pipe.allow")
        os.makedirs(os.path.dirname(self.allow_host))
        allow = self.allow_host if target.share_win is None else \
            target.share_win + self.allow_host[len(target.share_host):].replace("/", "\\")
        self.words = {"{pipe}": self.pipe, "{name}": self.pipe[9:], "{platform}": target.platform,
                      "{product}": PRODUCT, "{allow}": allow}
        self.programs, self.servers = [], []
        self.allow("")

    def fill(self, text):
        return re.sub(r"\{\w+\}", lambda m: self.words.get(m.group(0), m.group(0)), text)

    def payload(self, text):
        if text == "*":
            return ANY
        if text.startswith("bytes:"):
            return random.Random(int(text[6:])).randbytes(int(text[6:]))
        literal, _, times = text.rpartition("*") if re.search(r"\"\*\d+$", text) else (text, "", "1")
        return self.fill(ast.literal_eval(literal) if literal else "").encode("latin-1") * int(times)

    def frames(self, text):
        """(kind, id, payload) of each `KIND ID [PAYLOAD]` in a ;-separated list."""
        for part in text.split(";"):
            kind, stream, payload = (part.split(None, 2) + [""])[:3]
            yield KINDS[kind], int(stream), self.payload(payload.strip())

    def allow(self, entries):
        with open(self.allow_host, "w", encoding="utf-8", newline="\n") as f:
            f.write("# e2e\n" + "".join(self.fill(e.strip()) + "\n" for e in entries.split(";") if e.strip()))

    def server(self, options):
        if options == "stop":
            return self.servers.pop().end(60)
        self.servers.append(start_pipe_server(self.target.launcher, self.target.exe("test-pipe-server"), self.pipe,
                                              *options.split()))

    def run(self, arguments):
        self.programs.append(Program(self.target.launcher, self.target.exe("quorl-socket-bridge"),
                                     [self.fill(a) for a in arguments.split()]))

    def send(self, text):
        p = self.programs[-1]
        match = re.fullmatch(r"(.*?)(?: (in|cut) (\d+))?", text)
        body, how, size = match.group(1), match.group(2), int(match.group(3) or 0)
        if how == "in":
            kind, stream, payload = next(self.frames(body))
            data = b"".join(frame(kind, stream, payload[at:at + size]) for at in range(0, len(payload), size))
        else:
            data = b"".join(frame(*f) for f in self.frames(body))
        try:
            p.send(data[:size] if how == "cut" else data)
        except BrokenPipeError:
            pass  # a program that ended early: its exit status and error line tell

    def expect(self, text):
        p = self.programs[-1]
        for kind, stream, payload in self.frames(text):
            got_kind, got_stream, got = p.read_frame(60)
            while (kind, got_kind, got_stream) == (KINDS["Data"],) * 2 + (stream,) and len(got) < len(payload):
                more = p.read_frame(60)
                if more[:2] != (kind, stream):
                    raise ProtocolError(f"stream {stream}: {more[:2]} amid its Data")
                got += more[2]
            shown = "*" if payload is ANY else payload[:80]
            assert (got_kind, got_stream) == (kind, stream) and payload in (ANY, got), \
                f"expected ({kind}, {stream}, {shown!r}), got ({got_kind}, {got_stream}, {got[:80]!r})"

    def out(self, text):
        wanted = self.payload(text)
        assert self.programs[-1].read_exactly(len(wanted), 60) == wanted

    def exit(self, text):
        p = self.programs[-1]
        status, _, line = text.partition(" ")
        p.close_input()
        error = (self.fill(ast.literal_eval(line)) + "\r\n") if line else ""
        assert (p.wait(), p.remaining_output(), p.stderr_text()) == (int(status), b"", error)

    def close(self):
        for p in self.programs:
            p.close_input()
            p.kill()
        while self.servers:
            self.server("stop")
        shutil.rmtree(self.folder, ignore_errors=True)


@pytest.mark.parametrize("steps", read_cases())
def test_transcript(target, steps, request):
    if target.share_win is None and any(step.split()[0] == "server" for step in steps):
        pytest.skip("a pipe server runs only under Windows")
    transcript = Transcript(target, request.node.callspec.id)
    try:
        for step in steps:
            verb, _, rest = step.strip().partition(" ")
            getattr(transcript, verb)(rest)
    finally:
        transcript.close()
