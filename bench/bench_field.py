#!/usr/bin/env python3
"""Figures of the forwarder in the field, on the bed of fieldbed.py (a private
sshd on loopback and the bridge under Wine behind cmd.exe); prints, asserts
nothing. In interleaved rounds:

- echo through quorl-socket-forward, ssh and the bridge (`--ssh win-host`), on
  one stream and on 16 streams at once;
- the transport's ceiling, the same bytes through `ssh HOST COMMAND` copying
  standard input to standard output: on win-host `stdio-copy` (a Windows
  program under Wine behind cmd.exe, as the bridge runs) and on posix-host
  `cat` (ssh alone);
- the forwarder running the bridge under Wine without ssh
  (`-- scripts/wine-run quorl-socket-bridge.exe bridge --socket PIPE`);
then the time from a new local connection to its first byte echoed, idle and
while 16 streams are busy (median and p99), also through `--local` with the
bed's stand-in of WSL's interop (cmd.exe under Wine, no ssh), beside a new ssh
session per connection running a plain stdio relay, and how long a session
takes to start.

  bench/bench_field.py --forward build/native/quorl-socket-forward --build build/win-x64 \\
      [--also before=DIR ...] [--mib 32] [--rounds 3] [--samples 200]

`--also NAME=DIR` adds the echo through ssh on 1 and 16 streams with the
bridge of another build (`--remote-program` on its folder), interleaved with
the others: before=DIR for the code before a change.

Figures depend on the machine's load: compare the paths within one run."""

import argparse
import fcntl
import os
import select
import signal
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "field"))
from fieldbed import (ECHO, ROOT, WAIT, FieldBed, connect, receive_exactly, start_local, wait_until,  # noqa: E402
                      windows_path)

BLOCK = 1 << 16


def echo_rate(address, total, streams):
    """MiB/s of echoed bytes (counted once) over `streams` connections sharing
    `total` bytes."""
    each = total // streams
    data = os.urandom(BLOCK)
    failures = []

    def one():
        try:
            with connect(address) as s:
                writer = threading.Thread(target=lambda: [s.sendall(data) for _ in range(each // BLOCK)])
                writer.start()
                got = 0
                while got < each:
                    block = s.recv(1 << 20)
                    if not block:
                        raise AssertionError(f"the stream ended after {got} of {each} bytes")
                    got += len(block)
                writer.join(WAIT)
        except Exception as error:
            failures.append(error)

    threads = [threading.Thread(target=one) for _ in range(streams)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 4)
    took = time.monotonic() - started
    if failures:
        raise AssertionError(failures[0])
    return total / (1 << 20) / took


def copy_rate(bed, host, command, total):
    """MiB/s through `ssh HOST COMMAND` that copies its input to its output,
    with the same large reads and writes as the echo through the forwarder."""
    copier = subprocess.Popen(["ssh", host, command], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              env=bed.env, start_new_session=True)
    try:
        data = os.urandom(BLOCK)
        out = copier.stdout.fileno()
        # Pipes as deep as the forwarder's socket buffers: at 64 KiB the
        # switches between this client and ssh would set the pace.
        for pipe in (copier.stdin.fileno(), out):
            fcntl.fcntl(pipe, fcntl.F_SETPIPE_SZ, 1 << 20)

        def receive(size):
            got = 0
            while got < size:
                ready, _, _ = select.select([out], [], [], WAIT)
                block = os.read(out, 1 << 20) if ready else b""
                if not block:
                    raise AssertionError(f"ssh {host} {command} gave {got} of {size} bytes")
                got += len(block)

        # The session is up once a first block has come back.
        os.write(copier.stdin.fileno(), data)
        receive(BLOCK)
        started = time.monotonic()
        chunk = data * 16
        threading.Thread(target=lambda: [copier.stdin.write(chunk) for _ in range(total // len(chunk))],
                         daemon=True).start()
        receive(total // len(chunk) * len(chunk))
        took = time.monotonic() - started
    finally:
        copier.kill()
        os.killpg(copier.pid, signal.SIGKILL)
        copier.wait()
    return total / (1 << 20) / took


def first_byte_times(address, samples):
    """Milliseconds from connect() to the first byte echoed, one new connection each."""
    times = []
    for _ in range(samples):
        started = time.monotonic()
        with connect(address) as s:
            s.sendall(b"x")
            assert receive_exactly(s, 1) == b"x"
            times.append((time.monotonic() - started) * 1000)
    return times


def session_first_byte_times(bed, samples):
    """Milliseconds from starting `ssh win-host stdio-copy` to its first byte
    echoed: a new ssh session per connection with a plain stdio relay on the
    host, the way relay scripts carry each connection (the relay here opens
    no pipe, so the figure is the least such a connection costs)."""
    times = []
    for _ in range(samples):
        started = time.monotonic()
        relay = start_local(["ssh", "win-host", "stdio-copy"], bed.env)
        try:
            relay.send(b"x")
            relay.read_exactly(1, WAIT)
            times.append((time.monotonic() - started) * 1000)
        finally:
            relay.close_input()
            relay.stop_group()
    return times


class Busy:
    """16 streams echoing without pause until stopped."""

    def __init__(self, address, streams=16):
        self.stop = threading.Event()
        self.moved = 0
        self.threads = [threading.Thread(target=self._run, args=(address,), daemon=True) for _ in range(streams)]
        for t in self.threads:
            t.start()

    def _run(self, address):
        data = os.urandom(BLOCK)
        with connect(address) as s:
            while not self.stop.is_set():
                s.sendall(data)
                self.moved += len(receive_exactly(s, BLOCK))

    def close(self):
        self.stop.set()
        for t in self.threads:
            t.join(WAIT)


def p99(values):
    return sorted(values)[min(len(values) - 1, len(values) * 99 // 100)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--forward", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--mib", type=int, default=32, help="MiB moved per measurement")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--samples", type=int, default=200, help="connections per latency figure")
    parser.add_argument("--session-samples", type=int, default=20, help="new ssh sessions timed, about 1 s each")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=DIR",
                        help="another build's bridge, run on win-host beside this one's")
    args = parser.parse_args()
    total = args.mib << 20

    with FieldBed(args.forward, args.build, [ECHO]) as bed, bed.case() as case:
        case.pipe_server(ECHO, "--instances", "20")
        starts = []
        for _ in range(args.rounds):
            started = time.monotonic()
            code, _, _ = bed.ssh("win-host", "quorl-socket-bridge --version")
            starts.append(time.monotonic() - started)
            assert code == 0
        ssh_path = f"unix:{bed.socket_path('bench-ssh.sock')}"
        started = time.monotonic()
        case.forwarder(["--listen", ssh_path, "--ssh", "win-host", "--pipe", ECHO])
        forwarder_start = time.monotonic() - started
        local_path = f"unix:{bed.socket_path('bench-local.sock')}"
        wine_env = dict(bed.env, **bed.wine_env)
        case.forwarder(["--listen", local_path, "--", os.path.join(ROOT, "scripts", "wine-run"),
                        bed.bridge_exe, "bridge", "--socket", ECHO], env=wine_env)
        interop_path = f"unix:{bed.socket_path('bench-interop.sock')}"
        case.forwarder(["--listen", interop_path, "--local", "--pipe", ECHO])

        paths = [
            ("forwarder + ssh + bridge, 1 stream", lambda: echo_rate(ssh_path, total, 1)),
            ("forwarder + ssh + bridge, 16 streams", lambda: echo_rate(ssh_path, total, 16)),
            ("ssh win-host stdio-copy (Wine, cmd.exe)", lambda: copy_rate(bed, "win-host", "stdio-copy", total)),
            ("ssh posix-host cat (ssh alone)", lambda: copy_rate(bed, "posix-host", "cat", total)),
            ("forwarder + bridge under Wine, no ssh, 1 stream", lambda: echo_rate(local_path, total, 1)),
            ("forwarder + bridge under Wine, no ssh, 16 streams", lambda: echo_rate(local_path, total, 16)),
        ]
        for other in args.also:
            label, _, folder = other.partition("=")
            other_path = f"unix:{bed.socket_path(f'bench-{label}.sock')}"
            program = windows_path(os.path.join(folder, "quorl-socket-bridge.exe"))
            case.forwarder(["--listen", other_path, "--ssh", "win-host", "--remote-program", program, "--pipe", ECHO])
            paths[2:2] = [
                (f"forwarder + ssh + bridge ({label}), 1 stream", lambda p=other_path: echo_rate(p, total, 1)),
                (f"forwarder + ssh + bridge ({label}), 16 streams", lambda p=other_path: echo_rate(p, total, 16)),
            ]
        rates = {name: [] for name, _ in paths}
        for _ in range(args.rounds):
            for name, measure in paths:
                rates[name].append(measure())

        # A session started on demand: the first connection waits for ssh,
        # the host's shell and the bridge's Hello before its first byte.
        lazy_path = f"unix:{bed.socket_path('bench-lazy.sock')}"
        lazy = case.forwarder(["--idle-exit", "0.5", "--listen", lazy_path, "--ssh", "win-host", "--pipe", ECHO])

        def session_running():
            children = subprocess.run(["pgrep", "-P", str(lazy.proc.pid), "-x", "ssh"], capture_output=True)
            return children.returncode == 0

        lazy_starts = []
        for _ in range(args.rounds):
            wait_until(lambda: not session_running(), WAIT, "the idle session to end")
            lazy_starts += first_byte_times(lazy_path, 1)

        per_session = session_first_byte_times(bed, args.session_samples)
        idle = first_byte_times(ssh_path, args.samples)
        idle_local = first_byte_times(local_path, args.samples)
        idle_interop = first_byte_times(interop_path, args.samples)
        busy = Busy(ssh_path)
        try:
            loaded = first_byte_times(ssh_path, args.samples)
        finally:
            busy.close()

    print(f"throughput, {args.mib} MiB per measurement, {args.rounds} interleaved rounds (MiB/s, counted one way)")
    print(f"{'':52} {'median':>8}   rounds")
    for name, values in rates.items():
        print(f"{name:52} {statistics.median(values):8.1f}   " + " ".join(f"{v:.1f}" for v in values))
    print(f"\nnew connection to its first byte echoed, {args.samples} connections each (ms)")
    print(f"{'':52} {'median':>8} {'p99':>8}")
    for name, values in (("forwarder + ssh + bridge, idle", idle),
                         ("forwarder + ssh + bridge, 16 streams busy", loaded),
                         ("forwarder + bridge under Wine, no ssh, idle", idle_local),
                         ("forwarder --local (stand-in interop), idle", idle_interop)):
        print(f"{name:52} {statistics.median(values):8.2f} {p99(values):8.2f}")
    print(f"{f'a new ssh session per connection, stdio relay ({args.session_samples})':52} "
          f"{statistics.median(per_session):8.2f} {p99(per_session):8.2f}")
    ratio = (statistics.median(per_session) / statistics.median(idle), p99(per_session) / p99(idle))
    print(f"{'  its ratio to forwarder + ssh + bridge, idle':52} {ratio[0]:8.0f} {ratio[1]:8.0f}")
    print("\nsession start")
    print(f"{'ssh win-host quorl-socket-bridge --version (s)':52} {statistics.median(starts):8.2f}")
    print(f"{'forwarder --ssh win-host, start to listening (s)':52} {forwarder_start:8.2f}")
    print(f"{'--idle-exit: first connection to first byte (s)':52} {statistics.median(lazy_starts) / 1000:8.2f}   "
          + " ".join(f"{v / 1000:.2f}" for v in lazy_starts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
