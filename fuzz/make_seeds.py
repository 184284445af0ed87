#!/usr/bin/env python3
"""Writes the generated seed corpora under fuzz/seeds/ from the real formats.

Run from anywhere: python3 fuzz/make_seeds.py. The output is the same on every
run, so the committed seeds can be checked by running it again and looking at
git status. Seeds written by hand (other names) are left alone.
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")

HELLO, OPEN, OPENED, OPEN_FAILED, DATA, EOF, CLOSE, PING, PONG = 1, 2, 3, 4, 5, 6, 7, 8, 9
WATCH_STATE, ALLOWLIST_QUERY, SERVICE_REPLY, WATCH, UNWATCH, ALLOWLIST_REPLY = 10, 11, 12, 13, 14, 15
NAMES = {1: "hello", 2: "open", 3: "opened", 4: "open-failed", 5: "data", 6: "eof", 7: "close", 8: "ping",
         9: "pong", 10: "watch-state", 11: "allowlist-query", 12: "service-reply", 13: "watch", 14: "unwatch",
         15: "allowlist-reply"}


def header(ftype, stream, length, version=1, magic=b"QSF1"):
    return magic + struct.pack("<HHII", version, ftype, stream, length)


def frame(ftype, stream, payload=b""):
    return header(ftype, stream, len(payload)) + payload


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def engine_input(stdin, script=b"", flags=0, output_budget=0):
    return bytes([flags, output_budget]) + struct.pack("<H", len(script)) + script + stdin


def frame_buffer_seeds():
    t = "frame_buffer_fuzz"
    payloads = {HELLO: b"", OPEN: b"", OPENED: b"user / app", OPEN_FAILED: b"Stream limit exceeded.",
                DATA: b"hello", EOF: b"", CLOSE: b"", PING: b"abc", PONG: b"abc", WATCH_STATE: b"\x01",
                ALLOWLIST_QUERY: b"\\\\.\\pipe\\app", SERVICE_REPLY: b"", WATCH: b"\\\\.\\pipe\\app",
                UNWATCH: b"", ALLOWLIST_REPLY: b"\x01"}
    for ftype, payload in payloads.items():
        write(t, "type-%02d-%s" % (ftype, NAMES[ftype]), frame(ftype, 7, payload))
    for length in (0, 1, 32768, 1048576):
        write(t, "data-length-%d" % length, frame(DATA, 1, bytes((i * 7) & 0xFF for i in range(length))))
    # Refused headers: their payload never needs to arrive.
    write(t, "data-length-1048577", header(DATA, 1, 1048577) + b"\x00" * 32)
    write(t, "type-00", header(0, 1, 0))
    write(t, "type-16", header(16, 1, 0))
    write(t, "version-0", header(PING, 1, 0, version=0))
    write(t, "version-2", header(PING, 1, 0, version=2))
    write(t, "bad-magic", header(PING, 1, 0, magic=b"QSF2"))
    write(t, "partial-header-10", frame(PING, 1, b"x")[:10])
    write(t, "partial-payload", frame(DATA, 3, b"0123456789")[:20])
    write(t, "session", frame(HELLO, 0) + frame(OPEN, 1) + frame(DATA, 1, b"GET / HTTP/1.1\r\n\r\n") +
          frame(PING, 0, b"keep") + frame(EOF, 1) + frame(CLOSE, 1))
    # Headers to build, 12 bytes each: type, stream ID, length. The top two bits
    # of type and length say how the rest is read (see frame_buffer_fuzz.cpp):
    # here types 0..31 as they stand; lengths 0..4095, or 1 MiB minus 0..3
    # (1 << 30, with 3 << 28 to append the payload), or 1 MiB plus 1 and more
    # (2 << 30).
    records = ((5, (1 << 30) | (3 << 28)), (0, 0), (1, 0), (15, 1), (16, 1), (8, 2 << 30), (5, 4095), (9, (1 << 30) | 3))
    write(t, "headers", b"".join(struct.pack("<III", ty, 5, ln) for ty, ln in records))


def bridge_seeds():
    t = "engine_bridge_fuzz"
    # Script bytes: connect answers, then read and write answers (see engine_harness.h).
    echo = frame(OPEN, 1) + frame(DATA, 1, b"ping me") + frame(PING, 9, b"p") + frame(EOF, 1) + frame(CLOSE, 1)
    write(t, "open-data-close", engine_input(echo, script=bytes([4, 0, 10, 1, 0, 5, 0, 0])))
    write(t, "server-ends", engine_input(frame(OPEN, 1) + frame(DATA, 1, b"x" * 100), script=bytes([4, 5, 5, 5])))
    write(t, "broken-109", engine_input(frame(OPEN, 2) + frame(DATA, 2, b"abc"), script=bytes([4, 6, 0, 0, 6])))
    write(t, "not-connected-233", engine_input(frame(OPEN, 2) + frame(DATA, 2, b"abc"), script=bytes([4, 7, 7])))
    write(t, "read-error-232", engine_input(frame(OPEN, 3) + frame(DATA, 3, b"abc"), script=bytes([4, 8, 6])))
    write(t, "stall-then-close", engine_input(frame(OPEN, 4) + frame(DATA, 4, b"q") + frame(CLOSE, 4),
                                              script=bytes([4, 10, 10, 0])))
    write(t, "partial-writes", engine_input(frame(OPEN, 5) + frame(DATA, 5, bytes(range(256)) * 40),
                                            script=bytes([4, 4, 3, 4, 9, 4, 200, 0])))
    write(t, "write-no-progress", engine_input(frame(OPEN, 5) + frame(DATA, 5, b"abc") + frame(DATA, 5, b"d"),
                                               script=bytes([4, 10, 5, 5])))
    write(t, "open-failed", engine_input(frame(OPEN, 6) + frame(OPEN, 7) + frame(DATA, 6, b"z"),
                                         script=bytes([0, 1, 2, 5])))
    write(t, "data-after-eof", engine_input(frame(OPEN, 8) + frame(EOF, 8) + frame(DATA, 8), script=bytes([4, 10])))
    many = b"".join(frame(OPEN, i) for i in range(1, 66)) + frame(DATA, 64, b"last")
    write(t, "stream-limit", engine_input(many, script=bytes([4, 10, 0])))
    write(t, "reopen", engine_input(frame(OPEN, 1) + frame(CLOSE, 1) + frame(OPEN, 1) + frame(DATA, 1, b"again"),
                                    script=bytes([4, 0, 9, 5])))
    write(t, "duplicate-open", engine_input(frame(OPEN, 1) + frame(OPEN, 1), script=bytes([4, 10])))
    write(t, "idle-end", engine_input(frame(OPEN, 1) + frame(PING, 0, b"still here"), script=bytes([4, 10]),
                                      flags=1))
    write(t, "not-allowlisted", engine_input(frame(OPEN, 1), flags=2))
    write(t, "output-dies", engine_input(frame(OPEN, 1) + frame(PING, 2, b"y" * 300), script=bytes([4, 0, 200]),
                                         output_budget=2))
    write(t, "output-in-pieces", engine_input(frame(OPEN, 1) + frame(DATA, 1, b"abc"), script=bytes([4, 0, 9, 5]),
                                              flags=4))
    write(t, "thread-refused", engine_input(frame(OPEN, 1) + frame(DATA, 1, b"a"), script=bytes([31, 31])))
    write(t, "service-frame", engine_input(frame(WATCH, 1, b"\\\\.\\pipe\\app")))
    write(t, "zero-stream", engine_input(frame(DATA, 0, b"a")))
    write(t, "truncated", engine_input(frame(OPEN, 1) + frame(DATA, 1, b"abcdef")[:12], script=bytes([4, 10])))
    write(t, "bad-frame", engine_input(frame(OPEN, 1) + header(16, 1, 0), script=bytes([4, 10])))


def service_seeds():
    t = "engine_service_fuzz"
    app = b"\\\\.\\pipe\\app"
    write(t, "watch-and-query", engine_input(frame(WATCH, 1, app) + frame(ALLOWLIST_QUERY, 2, app) +
                                             frame(PING, 0, b"hi") + frame(UNWATCH, 1) + frame(WATCH, 1, app),
                                             script=bytes([2, 0, 1, 2, 3, 4, 5, 6, 7])))
    write(t, "bad-paths", engine_input(frame(WATCH, 1, b"app-without-prefix!!") + frame(WATCH, 2, app + b" x") +
                                       frame(ALLOWLIST_QUERY, 3, b"\\\\.\\PIPE\\App") + frame(WATCH, 4, b"x" * 110)))
    write(t, "path-111", engine_input(frame(WATCH, 1, b"\\\\.\\pipe\\" + b"a" * 102)))
    write(t, "duplicate-watch", engine_input(frame(WATCH, 5, app) + frame(WATCH, 5, app + b"2"),
                                             script=bytes([2, 1, 2, 3])))
    write(t, "many-watches", engine_input(b"".join(frame(WATCH, i, app) for i in range(1, 67)),
                                          script=bytes([2, 2, 3, 1])))
    write(t, "idle-end", engine_input(frame(WATCH, 1, app), script=bytes([2, 0, 2, 1, 2]), flags=1))
    write(t, "bridge-frame", engine_input(frame(OPEN, 1)))
    write(t, "unwatch-with-payload", engine_input(frame(UNWATCH, 1, b"x")))
    write(t, "output-dies", engine_input(frame(WATCH, 1, app) + frame(PING, 1, b"p" * 200), output_budget=1))


def grammar_seeds():
    prefix = b"\\\\.\\pipe\\"
    for name, path in (("prefix-only", prefix), ("one-byte", prefix + b"a"), ("upper-prefix", b"\\\\.\\PIPE\\App"),
                       ("length-110", prefix + b"a" * 101), ("length-111", prefix + b"a" * 102),
                       ("forward-slashes", b"//./pipe/app"), ("space", prefix + b"a b"), ("high-byte", prefix + b"\xc3\xa9"),
                       ("sid-at-9", prefix + b".s-1-5-18"), ("sid", prefix + b"a.s-1-5-18"),
                       ("sid-last", prefix + b"x.s-1-5-18.s-1-5-32-544"), ("sid-leading-zero", prefix + b"a.s-1-05-18"),
                       ("sid-revision-zero", prefix + b"a.s-01-5-18"), ("sid-empty", prefix + b"a.s-"),
                       ("sid-letter", prefix + b"a.s-x"), ("sid-user", prefix + b"app.S-1-5-21-1-2-3-1001")):
        write("pipe_path_fuzz", name, path)
    app = prefix + b"app"
    for name, data in (("upper-entry", b"\x00" + app + b"\x00" + b"\\\\.\\PIPE\\APP\n"),
                       ("indented-crlf", b"\x00" + app + b"\x00" + b"# list\r\n\t  " + app + b" \r\n"),
                       ("bad-before", b"\x00" + app + b"\x00" + b"app\n" + app + b"\n"),
                       ("bad-after", b"\x00" + app + b"\x00" + app + b"\napp\n"),
                       ("remark-after-entry", b"\x00" + app + b"\x00" + app + b" # mine\n"),
                       ("bom", b"\x00" + app + b"\x00" + b"\xef\xbb\xbf" + app + b"\n"),
                       ("exactly-64k", b"\xf0" + app + b"\x00" + app + b"\n"),
                       ("over-64k", b"\xf1" + app + b"\x00" + app + b"\n"),
                       ("bad-request", b"\x00app\x00" + app)):
        write("allowlist_fuzz", name, data)
    for name, data in (("crlf", app + b"\t\\Quorl\\Start\r\n\r\n"), ("two-cr", app + b"\t\\T\r\r\n"),
                       ("blank-before-tab", app + b" \t\\T\n"), ("blank-task", app + b"\t \\T\n"),
                       ("trailing-blanks", app + b"\t\\T  \n"), ("hash", b"# comment\n"),
                       ("leading-tab", b"\t\\T\n"), ("trailing-tab", app + b"\t\n"),
                       ("three-fields", app + b"\t\\T\t\\U\n"), ("vertical-tab", app + b"\t\\T\x0bX\n"),
                       ("lone-backslash", app + b"\t\\\n"), ("ends-backslash", app + b"\t\\T\\\n"),
                       ("duplicate-case", app + b"\t\\T\n" + prefix + b"APP\t\\U\n"),
                       ("same-task", app + b"\t\\T\n" + app + b"2\t\\T\n"),
                       ("bad-utf8-task", app + b"\t\\T\xc0\x80\n"), ("bom", b"\xef\xbb\xbf" + app + b"\t\\T\n"),
                       ("unicode-task", app + b"\t\\Qu\xc3\xb6rl\\\xf0\x9f\x98\x80\n")):
        write("activation_registrations_fuzz", name, data)


if __name__ == "__main__":
    grammar_seeds()
    frame_buffer_seeds()
    bridge_seeds()
    service_seeds()
