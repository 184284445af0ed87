#!/usr/bin/env python3
"""quorl-socket-forward end to end with the real bridge under Wine in place of
ssh: 64 concurrent local connections each echoing random data through a pipe
server with every byte checked, an HTTP request through a pipe server, and the
bridge exiting mid-session. With --bench it instead prints the throughput and
round-trip time of one echoing connection through the forwarder and the bridge,
beside the bridge driven directly with frames (figures, not checks).

  forward/tests/e2e/forward_wine_e2e.py --forward build/native/quorl-socket-forward \
      --build build/win-x64 [--launcher scripts/wine-run] [--share /tmp=Z:\\tmp]

--share HOST=WINDOWS names a host folder that the launched programs see under
WINDOWS (the allowlist of each check is written there). Ends with
"N passed, N failed" and exit status 0 only when every check passed."""

import argparse
import statistics
import struct
import os
import random
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

WAIT = 60  # seconds: the bound of every wait (a cold Wine start takes a while)


class Context:
    def __init__(self, args):
        self.forward = os.path.abspath(args.forward)
        self.launcher = shlex.split(args.launcher)
        build = os.path.abspath(args.build)
        self.exe = os.path.join(build, "quorl-socket-bridge.exe")
        self.server_exe = os.path.join(build, "test-pipe-server.exe")
        host, _, win = args.share.partition("=")
        self.share_host, self.share_win = host, win.rstrip("\\")
        self.tag = f"qsf-e2e-{os.getpid()}-{random.randrange(1 << 30)}"
        self.cleanup = []

    def folder(self):
        path = tempfile.mkdtemp(prefix="qsf-e2e-", dir=self.share_host)
        self.cleanup.append(lambda: shutil.rmtree(path, ignore_errors=True))
        return path

    def allowlist(self, pipe):
        folder = self.folder()
        with open(os.path.join(folder, "http-pipe.allow"), "w", newline="\n") as f:
            f.write(pipe + "\n")
        return self.share_win + "\\" + os.path.basename(folder) + "\\http-pipe.allow"

    def pipe_server(self, name, *options):
        server = subprocess.Popen(self.launcher + [self.server_exe, "--name", name] + list(options),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.cleanup.append(lambda: stop(server))
        line = read_line(server.stdout, WAIT)
        if line.strip() != b"ready":
            raise AssertionError(f"pipe server said {line!r}")
        return server

    def forwarder(self, pipe, socket_path, *bridge_args):
        command = self.launcher + [self.exe, "--user-allowlist", self.allowlist(pipe), "bridge", "--socket", pipe]
        process = subprocess.Popen([self.forward, "-v", "--listen", "unix:" + socket_path, "--"] + command,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.cleanup.append(lambda: stop(process))
        deadline = time.monotonic() + WAIT
        while not os.path.exists(socket_path):
            if process.poll() is not None:
                raise AssertionError(f"forwarder ended: {process.stderr.read().decode(errors='replace')}")
            if time.monotonic() > deadline:
                raise AssertionError("the forwarder did not listen in time")
            time.sleep(0.05)
        return process

    def close(self):
        for action in reversed(self.cleanup):
            try:
                action()
            except Exception:
                pass
        self.cleanup = []


def read_line(stream, timeout):
    result = {}

    def reader():
        result["line"] = stream.readline()

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    thread.join(timeout)
    return result.get("line", b"")


def stop(process):
    if process.poll() is None:
        if process.stdin:
            process.stdin.close()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)


def connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(WAIT)
    s.connect(path)
    return s


def echo_check(path, size, seed, failures):
    try:
        data = random.Random(seed).randbytes(size)
        with connect(path) as s:
            received = bytearray()

            def reader():
                while len(received) < size:
                    block = s.recv(65536)
                    if not block:
                        return
                    received.extend(block)

            thread = threading.Thread(target=reader)
            thread.start()
            for at in range(0, size, 16384):
                s.sendall(data[at:at + 16384])
            thread.join(WAIT)
            if bytes(received) != data:
                failures.append(f"stream {seed}: {len(received)} of {size} bytes came back"
                                + ("" if len(received) != size else ", different"))
    except Exception as error:
        failures.append(f"stream {seed}: {error!r}")


def check_64_concurrent_echoes(ctx):
    pipe = "\\\\.\\pipe\\" + ctx.tag + "-echo"
    ctx.pipe_server(pipe, "--instances", "64")
    path = os.path.join(ctx.folder(), "forward.sock")
    forwarder = ctx.forwarder(pipe, path)
    failures = []
    threads = [threading.Thread(target=echo_check, args=(path, 200000, seed, failures)) for seed in range(64)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 2)
    assert not failures, "; ".join(failures[:5])
    # A 65th and later connections are served once streams have ended.
    more = []
    echo_check(path, 50000, 1000, more)
    assert not more, more
    forwarder.send_signal(signal.SIGTERM)
    assert forwarder.wait(WAIT) == 0
    assert not os.path.exists(path)


def check_http_request(ctx):
    pipe = "\\\\.\\pipe\\" + ctx.tag + "-http"
    body = "hello through the bridge"
    response = f"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: {len(body)}\r\n\r\n{body}"
    ctx.pipe_server(pipe, "--send", response)
    path = os.path.join(ctx.folder(), "forward.sock")
    forwarder = ctx.forwarder(pipe, path)
    if shutil.which("curl"):
        out = subprocess.run(["curl", "-sS", "--max-time", str(WAIT), "--unix-socket", path, "http://bridge/"],
                             capture_output=True, timeout=WAIT * 2)
        assert out.returncode == 0, out.stderr
        assert out.stdout.decode() == body, out.stdout
    else:
        with connect(path) as s:
            s.sendall(b"GET / HTTP/1.0\r\nHost: bridge\r\n\r\n")
            got = b""
            while not got.endswith(body.encode()):
                block = s.recv(65536)
                assert block, got
                got += block
            assert got.startswith(b"HTTP/1.0 200 OK"), got
    forwarder.send_signal(signal.SIGINT)
    assert forwarder.wait(WAIT) == 0


def check_bridge_exit_mid_session(ctx):
    pipe = "\\\\.\\pipe\\" + ctx.tag + "-exit"
    ctx.pipe_server(pipe, "--instances", "2")
    path = os.path.join(ctx.folder(), "forward.sock")
    forwarder = ctx.forwarder(pipe, path)
    with connect(path) as s:
        s.sendall(b"ping")
        got = b""
        while len(got) < 4:
            block = s.recv(16)
            assert block, got
            got += block
        assert got == b"ping", got
        # The command (the Wine process running the bridge) goes away.
        children = subprocess.run(["pgrep", "-P", str(forwarder.pid)], capture_output=True, text=True).stdout.split()
        assert children, "no command process found"
        for child in children:
            os.kill(int(child), signal.SIGKILL)
        assert forwarder.wait(WAIT) == 1
        err = forwarder.stderr.read().decode(errors="replace")
        assert "quorl-socket-forward: the command ended with signal 9" in err, err
        assert s.recv(16) == b"", "the local connection is closed"
    assert not os.path.exists(path)


def frame(kind, stream, payload=b""):
    return b"QSF1" + struct.pack("<HHII", 1, kind, stream, len(payload)) + payload


class DirectBridge:
    """The bridge on its standard streams, spoken to in frames on stream 1."""

    def __init__(self, ctx, pipe):
        command = ctx.launcher + [ctx.exe, "--user-allowlist", ctx.allowlist(pipe), "bridge", "--socket", pipe]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        ctx.cleanup.append(lambda: stop(self.process))
        self.pending = b""
        assert self.next_frame()[0] == 1  # Hello
        self.process.stdin.write(frame(2, 1))
        kind, _, _ = self.next_frame()
        assert kind == 3, kind  # Opened

    def next_frame(self):
        while True:
            if len(self.pending) >= 16:
                kind, stream, length = struct.unpack("<HII", self.pending[6:16])
                if len(self.pending) >= 16 + length:
                    payload = self.pending[16:16 + length]
                    self.pending = self.pending[16 + length:]
                    return kind, stream, payload
            block = self.process.stdout.read(1 << 20)
            assert block, "the bridge ended"
            self.pending += block

    def send(self, data):
        for at in range(0, len(data), 1 << 20):
            self.process.stdin.write(frame(5, 1, data[at:at + (1 << 20)]))

    def receive(self, size):
        got = 0
        while got < size:
            kind, _, payload = self.next_frame()
            if kind == 5:
                got += len(payload)


class SocketEcho:
    def __init__(self, path):
        self.socket = connect(path)

    def send(self, data):
        self.socket.sendall(data)

    def receive(self, size):
        got = 0
        while got < size:
            block = self.socket.recv(1 << 20)
            assert block, "the connection ended"
            got += len(block)


def measure(end, total, rounds):
    block = os.urandom(1 << 20)
    sender = threading.Thread(target=lambda: [end.send(block) for _ in range(total >> 20)])
    started = time.monotonic()
    sender.start()
    end.receive(total)
    sender.join(WAIT)
    rate = total / (1 << 20) / (time.monotonic() - started)
    samples = []
    for _ in range(rounds):
        started = time.monotonic()
        end.send(b"r" * 64)
        end.receive(64)
        samples.append((time.monotonic() - started) * 1e6)
    samples.sort()
    return rate, statistics.median(samples), samples[len(samples) * 99 // 100]


def bench(ctx, mebibytes, rounds):
    pipe = "\\\\.\\pipe\\" + ctx.tag + "-bench"
    ctx.pipe_server(pipe, "--instances", "2")
    direct = measure(DirectBridge(ctx, pipe), mebibytes << 20, rounds)
    path = os.path.join(ctx.folder(), "forward.sock")
    ctx.forwarder(pipe, path)
    forwarded = measure(SocketEcho(path), mebibytes << 20, rounds)
    print(f"echo of {mebibytes} MiB on one stream through a pipe server under Wine, {rounds} round trips of 64 bytes")
    print(f"{'':34} {'MiB/s':>8} {'median RTT us':>14} {'p99 RTT us':>12}")
    for name, (rate, median, p99) in (("bridge driven directly", direct), ("through quorl-socket-forward", forwarded)):
        print(f"{name:34} {rate:8.1f} {median:14.0f} {p99:12.0f}")
    print(f"forwarder/direct throughput: {forwarded[0] / direct[0]:.2f}; "
          f"added median round trip: {forwarded[1] - direct[1]:.0f} us")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--forward", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--launcher", default=os.path.join(os.path.dirname(__file__), "../../../scripts/wine-run"))
    parser.add_argument("--share", default="/tmp=Z:\\tmp")
    parser.add_argument("--bench", type=int, metavar="MEBIBYTES", help="print figures instead of checking")
    parser.add_argument("--rounds", type=int, default=300)
    args = parser.parse_args()
    if args.bench:
        ctx = Context(args)
        try:
            bench(ctx, args.bench, args.rounds)
        finally:
            ctx.close()
        return 0
    passed = failed = 0
    for check in (check_64_concurrent_echoes, check_http_request, check_bridge_exit_mid_session):
        ctx = Context(args)
        started = time.monotonic()
        try:
            check(ctx)
            passed += 1
            print(f"ok   {check.__name__} ({time.monotonic() - started:.1f} s)")
        except Exception:
            failed += 1
            print(f"FAIL {check.__name__}")
            traceback.print_exc()
        finally:
            ctx.close()
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
