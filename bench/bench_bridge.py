#!/usr/bin/env python3
"""End-to-end throughput, latency and memory of the bridge under Wine, set
against a direct pipe client of the same test server (pipe-client-bench.exe)
and a plain stdin-to-stdout copy (stdio-copy.exe), and how long a client waits
for answers while other streams keep the output busy. Prints figures; it
asserts nothing about speed and is not part of CI.

  bench/bench_bridge.py [--build build/win-x64] [--launcher scripts/wine-run] [--rounds 3]
                            [--only rounds|probes] [--probes 100] [--probe-rate-mib 10]

Each round runs every measurement once, bridge and reference interleaved; the
summary gives the median over the rounds. Memory is the Linux view of the Wine
process running the bridge (VmRSS and Private_* of /proc/PID/smaps_rollup).

The probes then measure, one at a time, a Ping round trip, Open to Opened, and
a 64-byte request echoed through the pipe on a stream of its own: idle, and
beside 1 and 62 streams whose server sends as fast as it can, with the
program's standard output read at a capped rate that stands for a WAN link and
at full speed. Each gives its median and p99, with each busy stream's share of
the bytes written meanwhile (1.0 is a fair share)."""

import argparse
import os
import random
import shlex
import shutil
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from qsb_client import (CLOSE, DATA, OPEN, OPEN_FAILED, OPENED, PING, PONG, Program, ProtocolError, frame,
                        run_to_end, start_pipe_server)

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = 32768
PERIOD = 251
MIB = 1 << 20


def pattern(offset, size):
    """The server's source pattern: byte k of a stream is k % 251."""
    start = offset % PERIOD
    reps = (start + size) // PERIOD + 1
    return (bytes(range(PERIOD)) * reps)[start:start + size]


class Bench:
    def __init__(self, args):
        self.launcher = shlex.split(args.launcher)
        self.build = os.path.abspath(args.build)
        self.exe = os.path.join(self.build, "quorl-socket-bridge.exe")
        self.tag = f"qsb-bench-{os.getpid()}-{random.randrange(1 << 30)}"
        self.folder = tempfile.mkdtemp(prefix="qsb-bench-", dir=args.share.partition("=")[0])
        self.share_win = args.share.partition("=")[2].rstrip("\\") + "\\" + os.path.basename(self.folder)
        self.args = args

    def tool(self, name):
        return os.path.join(self.build, name + ".exe")

    def pipe(self, what):
        return "\\\\.\\pipe\\" + self.tag + "-" + what

    def server(self, name, *options):
        return start_pipe_server(self.launcher, self.tool("test-pipe-server"), name, *options)

    def bridge(self, pipe, read_rate=None, buffer_limit=None):
        allow = os.path.join(self.folder, "http-pipe.allow")
        with open(allow, "w", newline="\n") as f:
            f.write(pipe + "\n")
        p = LinkProgram(self.launcher, self.exe,
                        ["--user-allowlist", self.share_win + "\\http-pipe.allow", "bridge", "--socket", pipe],
                        read_rate, buffer_limit)
        p.read_exactly(16, 60)  # Hello
        return p

    def direct(self, pipe, mode, mib):
        code, out, err = run_to_end(self.launcher, self.tool("pipe-client-bench"),
                                    ["--name", pipe, "--mode", mode, "--mib", str(mib)], timeout=300)
        if code != 0:
            raise ProtocolError(f"pipe-client-bench {mode}: {code} {err!r}")
        fields = dict(word.split("=", 1) for word in out.decode().split())
        return float(fields["mib_per_s"])


class LinkProgram(Program):
    """A Program whose standard output is read no faster than `read_rate`
    (bytes per second, None: as fast as it comes), as a slow link would, and
    not while `buffer_limit` bytes wait unread here, so a client slower than
    the program holds it back instead of piling its output up."""

    def __init__(self, launcher, exe, args, read_rate=None, buffer_limit=None):
        self._read_rate, self._buffer_limit = read_rate, buffer_limit
        super().__init__(launcher, exe, args)

    def _pump_out(self):
        # A capped link takes about a millisecond's worth per read and builds
        # up no credit while the program is quiet (at most 5 ms of it).
        piece = 1 << 16 if self._read_rate is None else max(1024, min(1 << 16, self._read_rate // 1000))
        ready_at = time.monotonic()
        while True:
            if self._buffer_limit is not None:
                with self._cond:
                    self._cond.wait_for(lambda: len(self._out) < self._buffer_limit)
            if self._read_rate is not None:
                wait = ready_at - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
            data = self.proc.stdout.read1(piece)
            if self._read_rate is not None:
                ready_at = max(ready_at, time.monotonic() - 0.005) + len(data) / self._read_rate
            self._took(data)
            if not data:
                return


def open_streams(p, streams):
    for stream in streams:
        p.send(frame(OPEN, stream))
    for stream in streams:
        kind, got, label = p.read_frame(60)
        if (kind, got) != (OPENED, stream):
            raise ProtocolError(f"Open {stream}: {kind} {got} {label!r}")


def finish(p, streams):
    for stream in streams:
        p.send(frame(CLOSE, stream))
    p.close_input()
    if p.wait(120) != 0:
        raise ProtocolError("bridge exit status: " + p.stderr_text())


def echo_frames(p, mib):
    """MiB/s of `mib` MiB sent as 32 KiB Data frames on stream 1 and read back,
    from the first byte sent to the last byte echoed; the bytes are compared."""
    total = mib * MIB
    data = random.randbytes(total)
    started = time.perf_counter()
    writer = threading.Thread(target=lambda: [p.send(frame(DATA, 1, data[o:o + BLOCK]))
                                              for o in range(0, total, BLOCK)])
    writer.start()
    echoed = []
    got = 0
    while got < total:
        kind, stream, payload = p.read_frame(60)
        if (kind, stream) != (DATA, 1):
            raise ProtocolError(f"unexpected frame {kind} on {stream}")
        echoed.append(payload)
        got += len(payload)
    seconds = time.perf_counter() - started
    writer.join(60)
    if b"".join(echoed) != data:
        raise ProtocolError("echoed bytes differ")
    return mib / seconds


def bridge_echo(b, mib):
    """One stream through the bridge to the echo server."""
    pipe = b.pipe("echo1")
    server = b.server(pipe, "--mode", "echo")
    p = b.bridge(pipe)
    try:
        open_streams(p, [1])
        result = echo_frames(p, mib)
        finish(p, [1])
        return result
    finally:
        p.kill()
        server.close_input()
        server.wait(60)


def stdio_echo(b, mib):
    """The same frames through stdio-copy.exe: what this driver itself can carry."""
    p = Program(b.launcher, b.tool("stdio-copy"), [])
    try:
        result = echo_frames(p, mib)
        p.close_input()
        p.wait(60)
        return result
    finally:
        p.kill()


def bridge_many(b, per_stream_mib, count=64):
    """64 streams at once: aggregate MiB/s, the slowest stream's share of its bytes
    when the fastest finished, completion spread, and memory idle and with streams open."""
    pipe = b.pipe("many")
    server = b.server(pipe, "--mode", "echo", "--instances", str(count))
    p = b.bridge(pipe)
    try:
        time.sleep(0.5)
        idle = memory_of(p)
        streams = list(range(1, count + 1))
        open_streams(p, streams)
        opened = memory_of(p)
        size = per_stream_mib * MIB
        chunk = random.randbytes(BLOCK)

        def write():
            for offset in range(0, size, BLOCK):
                p.send(b"".join(frame(DATA, s, chunk) for s in streams))

        started = time.perf_counter()
        writer = threading.Thread(target=write)
        writer.start()
        got = dict.fromkeys(streams, 0)
        done = {}
        share_at_first = None
        left = size * count
        while left:
            kind, stream, payload = p.read_frame(60)
            if kind != DATA:
                raise ProtocolError(f"unexpected frame {kind} on {stream}")
            got[stream] += len(payload)
            left -= len(payload)
            if got[stream] == size:
                done[stream] = time.perf_counter() - started
                if share_at_first is None:
                    share_at_first = min(got.values()) / size
        seconds = time.perf_counter() - started
        writer.join(60)
        loaded = memory_of(p)
        finish(p, streams)
        return {"aggregate": per_stream_mib * count / seconds, "slowest_share": share_at_first,
                "first_done": min(done.values()), "last_done": max(done.values()),
                "idle": idle, "opened": opened, "loaded": loaded}
    finally:
        p.kill()
        server.close_input()
        server.wait(60)


def bridge_receive(b, mib):
    """Server to client: MiB/s of Data frames from a server that sends without pause."""
    pipe = b.pipe("source")
    server = b.server(pipe, "--mode", "source")
    p = b.bridge(pipe)
    try:
        open_streams(p, [1])
        total = mib * MIB
        got = 0
        started = None
        tail = b""
        while got < total:
            kind, stream, payload = p.read_frame(60)
            if (kind, stream) != (DATA, 1):
                raise ProtocolError(f"unexpected frame {kind} on {stream}")
            if started is None:
                started = time.perf_counter()
                if payload[:64] != pattern(0, min(64, len(payload))):
                    raise ProtocolError("source bytes differ")
            got += len(payload)
            tail = payload
        seconds = time.perf_counter() - started
        if tail[-16:] != pattern(got - 16, 16):
            raise ProtocolError("source bytes differ at the end")
        # Frames already under way are still read, then the bridge ends the stream.
        p.send(frame(CLOSE, 1))
        p.close_input()
        if p.wait(120) != 0:
            raise ProtocolError("bridge exit status: " + p.stderr_text())
        return mib / seconds
    finally:
        p.kill()
        server.close_input()
        server.wait(60)


def round_trips(p, payload, count, answer_kind):
    """Median and p99 in microseconds of `count` Ping frames sent one at a time."""
    times = []
    message = frame(PING, 5, payload)
    for _ in range(count):
        started = time.perf_counter()
        p.send(message)
        answer = p.read_frame(30)
        times.append(time.perf_counter() - started)
        if answer != (answer_kind, 5, payload):
            raise ProtocolError(f"unexpected answer {answer!r}")
    times.sort()
    return times[len(times) // 2] * 1e6, times[int(len(times) * 0.99) - 1] * 1e6


def bridge_ping(b, payload, count):
    pipe = b.pipe("ping")
    p = b.bridge(pipe)
    try:
        result = round_trips(p, payload, count, PONG)
        finish(p, [])
        return result
    finally:
        p.kill()


def stdio_ping(b, payload, count):
    """The same frames through stdio-copy.exe, read by the same client code."""
    p = Program(b.launcher, b.tool("stdio-copy"), [])
    try:
        result = round_trips(p, payload, count, PING)
        p.close_input()
        p.wait(60)
        return result
    finally:
        p.kill()


class FrameWatch:
    """Reads every frame of a bridge run on a thread of its own, as a client
    must: counts each stream's Data bytes and notes when awaited frames come."""

    def __init__(self, p):
        self.p = p
        self.cond = threading.Condition()
        self.bytes = {}
        self.arrivals = {}
        self.failure = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            while True:
                kind, stream, payload = self.p.read_frame(120)
                with self.cond:
                    if kind == DATA:
                        self.bytes[stream] = self.bytes.get(stream, 0) + len(payload)
                    elif kind == OPEN_FAILED:
                        self.failure = f"OpenFailed {stream}: {payload!r}"
                    if self.arrivals.get((kind, stream), 0) is None:
                        self.arrivals[(kind, stream)] = time.perf_counter()
                    self.cond.notify_all()
        except ProtocolError as error:  # the end of the run, or a broken frame
            with self.cond:
                self.failure = self.failure or str(error)
                self.cond.notify_all()

    def expect(self, kind, stream):
        with self.cond:
            self.arrivals[(kind, stream)] = None

    def arrival(self, kind, stream, timeout=120):
        with self.cond:
            self.cond.wait_for(lambda: self.arrivals[(kind, stream)] is not None or self.failure, timeout)
            if self.arrivals[(kind, stream)] is None:
                raise ProtocolError(f"no frame {kind} on {stream}: {self.failure or 'time-out'}")
            return self.arrivals[(kind, stream)]

    def counts(self):
        with self.cond:
            return dict(self.bytes)


def percentiles_ms(seconds):
    ordered = sorted(seconds)
    return ordered[len(ordered) // 2] * 1e3, ordered[max(0, int(len(ordered) * 0.99) - 1)] * 1e3


def bridge_probes(b, busy, read_rate, probes):
    """The three probes beside `busy` streams of a server that sends as fast as
    it can, with standard output read at `read_rate` bytes/s (None: full speed)."""
    echo, first_probe = 100, 1000
    pipe = b.pipe(f"probe{busy}")
    server = b.server(pipe, "--mode", "choose", "--instances", str(busy + 4))
    p = b.bridge(pipe, read_rate=read_rate, buffer_limit=1 << 20)
    try:
        watch = FrameWatch(p)
        streams = list(range(1, busy + 1))
        for stream in streams + [echo]:
            watch.expect(OPENED, stream)
        p.send(b"".join(frame(OPEN, s) + frame(DATA, s, b"s") for s in streams) +
               frame(OPEN, echo) + frame(DATA, echo, b"e"))
        for stream in streams + [echo]:
            watch.arrival(OPENED, stream)
        time.sleep(0.5)  # every busy stream under way
        before = watch.counts()
        ping, opened, answer = [], [], []
        request = bytes(range(64))
        for n in range(probes):
            watch.expect(PONG, n + 1)
            sent = time.perf_counter()
            p.send(frame(PING, n + 1, b"probe..."))
            ping.append(watch.arrival(PONG, n + 1) - sent)

            stream = first_probe + n
            watch.expect(OPENED, stream)
            sent = time.perf_counter()
            p.send(frame(OPEN, stream))
            opened.append(watch.arrival(OPENED, stream) - sent)
            p.send(frame(CLOSE, stream))

            watch.expect(DATA, echo)
            sent = time.perf_counter()
            p.send(frame(DATA, echo, request))
            answer.append(watch.arrival(DATA, echo) - sent)
        after = watch.counts()
        shares = []
        if streams:
            sent_bytes = [after.get(s, 0) - before.get(s, 0) for s in streams]
            fair = sum(sent_bytes) / len(streams)
            shares = [x / fair for x in sent_bytes] if fair else [0.0]
        for stream in streams + [echo]:
            p.send(frame(CLOSE, stream))
        p.close_input()
        if p.wait(120) != 0:
            raise ProtocolError("bridge exit status: " + p.stderr_text())
        return {"ping": percentiles_ms(ping), "open": percentiles_ms(opened), "answer": percentiles_ms(answer),
                "share_min": min(shares) if shares else None, "share_max": max(shares) if shares else None}
    finally:
        p.kill()
        server.close_input()
        server.wait(60)


def run_probes(b, args):
    capped = args.probe_rate_mib * MIB
    frame_ms = (BLOCK + 16) / capped * 1e3
    print(f"probes: {args.probes} each, one at a time; median/p99 in ms from the request sent to the answer read; "
          f"one 32 KiB frame takes {frame_ms:.1f} ms at {args.probe_rate_mib} MiB/s", flush=True)
    results = {}
    for rate, name in ((capped, f"{args.probe_rate_mib}MiB/s"), (None, "full")):
        for busy in (0, 1, 62):
            r = bridge_probes(b, busy, rate, args.probes)
            results[(name, busy)] = r
            share = "" if r["share_min"] is None else f" busy_share_min={r['share_min']:.2f} max={r['share_max']:.2f}"
            print(f"probes read={name} busy={busy} ping_ms={r['ping'][0]:.2f}/{r['ping'][1]:.2f} "
                  f"open_ms={r['open'][0]:.2f}/{r['open'][1]:.2f} "
                  f"answer64_ms={r['answer'][0]:.2f}/{r['answer'][1]:.2f}{share}", flush=True)
        idle = results[(name, 0)]
        if rate is not None:
            print(f"goal at {name}: ping p99 <= {idle['ping'][1] + frame_ms:.1f} ms, open p99 <= "
                  f"{idle['open'][1] + frame_ms:.1f} ms beside busy streams; answer p99 <= idle + one frame per busy "
                  f"stream ({idle['answer'][1] + frame_ms:.1f} ms for 1, {idle['answer'][1] + 62 * frame_ms:.0f} ms "
                  f"for 62); no busy share below 0.5", flush=True)


def memory_of(p):
    """VmRSS and private bytes (kB) of the Wine process running the bridge:
    the launched process itself once `wine` has exec'd the preloader, else its
    descendant whose command line names the executable."""
    pid = find_process(p.proc.pid, "quorl-socket-bridge.exe")
    rss = private = None
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    with open(f"/proc/{pid}/smaps_rollup") as f:
        private = sum(int(line.split()[1]) for line in f if line.startswith(("Private_Clean:", "Private_Dirty:")))
    return {"pid": pid, "rss_kb": rss, "private_kb": private}


def find_process(root, exe_name):
    candidates = [root]
    seen = []
    while candidates:
        pid = candidates.pop()
        seen.append(pid)
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                candidates += [int(c) for c in f.read().split()]
        except OSError:
            pass
    for pid in seen:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if exe_name.encode() in f.read():
                    return pid
        except OSError:
            pass
    return root


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(REPO, "build", "win-x64"))
    parser.add_argument("--launcher", default=os.path.join(REPO, "scripts", "wine-run"))
    parser.add_argument("--share", default="/tmp=Z:\\tmp", help="HOST=WINDOWS folder the programs see")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--echo-mib", type=int, default=32)
    parser.add_argument("--receive-mib", type=int, default=64)
    parser.add_argument("--stream-mib", type=int, default=1, help="per stream, 64 streams")
    parser.add_argument("--pings", type=int, default=1000)
    parser.add_argument("--ping-bytes", type=int, default=64)
    parser.add_argument("--only", choices=("rounds", "probes"), help="run only the rounds or only the probes")
    parser.add_argument("--probes", type=int, default=100, help="probes of each kind per load")
    parser.add_argument("--probe-rate-mib", type=int, default=10, help="the capped read rate, MiB/s")
    args = parser.parse_args()
    b = Bench(args)
    rounds = 0 if args.only == "probes" else args.rounds
    rows = {key: [] for key in ("echo_bridge", "echo_direct", "echo_stdio", "many", "recv_bridge", "recv_direct",
                                "ping_bridge", "ping_stdio")}
    payload = bytes(i % 256 for i in range(args.ping_bytes))
    try:
        # Warm the prefix so that no measurement pays for a cold wineserver.
        run_to_end(b.launcher, b.exe, ["--version"], timeout=120)
        for n in range(1, rounds + 1):
            echo_pipe = b.pipe("direct-echo")
            source_pipe = b.pipe("direct-source")
            rows["echo_bridge"].append(bridge_echo(b, args.echo_mib))
            server = b.server(echo_pipe, "--mode", "echo")
            try:
                rows["echo_direct"].append(b.direct(echo_pipe, "echo", args.echo_mib))
            finally:
                server.close_input()
                server.wait(60)
            rows["echo_stdio"].append(stdio_echo(b, args.echo_mib))
            rows["many"].append(bridge_many(b, args.stream_mib))
            rows["recv_bridge"].append(bridge_receive(b, args.receive_mib))
            server = b.server(source_pipe, "--mode", "source")
            try:
                rows["recv_direct"].append(b.direct(source_pipe, "receive", args.receive_mib))
            finally:
                server.close_input()
                server.wait(60)
            rows["ping_bridge"].append(bridge_ping(b, payload, args.pings))
            rows["ping_stdio"].append(stdio_ping(b, payload, args.pings))
            m = rows["many"][-1]
            print(f"round={n} echo_bridge_mib_s={rows['echo_bridge'][-1]:.1f} "
                  f"echo_direct_mib_s={rows['echo_direct'][-1]:.1f} echo_stdio_mib_s={rows['echo_stdio'][-1]:.1f} "
                  f"many64_aggregate_mib_s={m['aggregate']:.1f} many64_slowest_share={m['slowest_share']:.3f} "
                  f"many64_done_s={m['first_done']:.2f}..{m['last_done']:.2f} "
                  f"recv_bridge_mib_s={rows['recv_bridge'][-1]:.1f} recv_direct_mib_s={rows['recv_direct'][-1]:.1f} "
                  f"ping_bridge_us={rows['ping_bridge'][-1][0]:.0f}/{rows['ping_bridge'][-1][1]:.0f} "
                  f"ping_stdio_us={rows['ping_stdio'][-1][0]:.0f}/{rows['ping_stdio'][-1][1]:.0f} "
                  f"mem_idle_kb={m['idle']['rss_kb']}/{m['idle']['private_kb']} "
                  f"mem_64_kb={m['opened']['rss_kb']}/{m['opened']['private_kb']} "
                  f"mem_64_loaded_kb={m['loaded']['rss_kb']}/{m['loaded']['private_kb']}", flush=True)
        if args.only != "rounds":
            run_probes(b, args)
    finally:
        shutil.rmtree(b.folder, ignore_errors=True)

    if rounds == 0:
        return 0
    med = statistics.median
    echo_b, echo_d = med(rows["echo_bridge"]), med(rows["echo_direct"])
    recv_b, recv_d = med(rows["recv_bridge"]), med(rows["recv_direct"])
    ping_b = med(r[0] for r in rows["ping_bridge"])
    ping_b99 = med(r[1] for r in rows["ping_bridge"])
    ping_s = med(r[0] for r in rows["ping_stdio"])
    ping_s99 = med(r[1] for r in rows["ping_stdio"])
    many = rows["many"]
    share = min(m["slowest_share"] for m in many)
    print("summary (median of %d rounds; memory = Linux VmRSS / Private_Clean+Private_Dirty of the Wine process)"
          % rounds)
    print(f"echo_1_stream  bridge={echo_b:.1f} MiB/s direct={echo_d:.1f} MiB/s ratio={echo_b / echo_d:.2f} (goal >= 0.7); "
          f"the same frames through stdio_copy={med(rows['echo_stdio']):.1f} MiB/s (this driver's ceiling)")
    print(f"echo_64_streams aggregate={med(m['aggregate'] for m in many):.1f} MiB/s "
          f"slowest_share_when_fastest_done={share:.3f} (worst round) "
          f"completion={med(m['first_done'] for m in many):.2f}..{med(m['last_done'] for m in many):.2f} s "
          f"(goal: no stream starved)")
    print(f"server_to_client bridge={recv_b:.1f} MiB/s direct={recv_d:.1f} MiB/s ratio={recv_b / recv_d:.2f} "
          f"(goal >= 0.5)")
    print(f"ping_{args.ping_bytes}B bridge median={ping_b:.0f} us p99={ping_b99:.0f} us; stdio_copy median={ping_s:.0f} us "
          f"p99={ping_s99:.0f} us; ratio={ping_b / ping_s:.2f} (goal <= 3)")
    print(f"memory idle rss={med(m['idle']['rss_kb'] for m in many):.0f} kB private={med(m['idle']['private_kb'] for m in many):.0f} kB; "
          f"64 streams open rss={med(m['opened']['rss_kb'] for m in many):.0f} kB "
          f"private={med(m['opened']['private_kb'] for m in many):.0f} kB; "
          f"after 64-stream echo rss={med(m['loaded']['rss_kb'] for m in many):.0f} kB "
          f"private={med(m['loaded']['private_kb'] for m in many):.0f} kB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
