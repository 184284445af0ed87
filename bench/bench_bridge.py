#!/usr/bin/env python3
"""End-to-end throughput, latency and memory of the bridge under Wine, set
against a relay of the kind peer tools are (`pipe-client-bench --mode relay`:
one process per connection, raw bytes, no framing, no identity check), a
direct pipe client of the same test server (`pipe-client-bench`) and a plain
stdin-to-stdout copy (`stdio-copy`), and how long a client waits for answers
while other streams keep the output busy. Prints figures; it asserts nothing
about speed and is not part of CI.

  bench/bench_bridge.py [--build build/win-x64] [--also before=DIR ...] [--driver build/native/bench/frame-driver]
                        [--launcher scripts/wine-run] [--rounds 3] [--settings unpinned,pinned]
                        [--only rounds|probes|trace] [--probes 100] [--probe-rate-mib 10]

The throughput and Ping figures are taken by `frame-driver`, a native client
that is never the bottleneck (large reads, frames cut in place, many frames
per write, every byte checked). Each round runs every measurement once per
setting, interleaved: `unpinned`, and `pinned` with the client, the programs
and the Wine server all on one core (`taskset -c 0`; the server is restarted
for each setting), since the two rank differently under Wine. With
`--also before=DIR` the program of another build (the code before a change)
runs beside this one in every measurement, so that load hits both alike. The
summary gives the median over the rounds. Beside each of the bridge's rates
comes the processor time per MiB of the program and the Wine server (which
serves the test server too), less swayed by the machine's load. Memory is the Linux view of the Wine
process running the bridge (VmRSS and Private_* of /proc/PID/smaps_rollup),
unpinned.

The probes then measure, one at a time, a Ping round trip, Open to Opened, and
a 64-byte request echoed through the pipe on a stream of its own: idle, and
beside 1 and 62 streams whose server sends as fast as it can, with the
program's standard output read at a capped rate that stands for a WAN link and
at full speed. Each gives its median and p99, with each busy stream's share of
the bytes written meanwhile (1.0 is a fair share).

`--only trace` counts the Wine server's requests per 32 KiB block of one-stream
echo (and of a source stream): a private prefix's server runs in the
foreground with `-d1`, the bridge's requests are counted for two transfer sizes,
and the difference is divided by the blocks between them, per thread and per
request."""

import argparse
import collections
import os
import random
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from qsb_client import (CLOSE, DATA, OPEN, OPEN_FAILED, OPENED, PING, PONG, Program, ProtocolError, frame,
                        start_pipe_server)


def run_to_end(launcher, exe, args, stdin=b"", timeout=60):
    p = subprocess.run(list(launcher) + [exe] + list(args), input=stdin, capture_output=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = 32768
MIB = 1 << 20
PIN = ["taskset", "-c", "0"]


class Bench:
    def __init__(self, args):
        self.launcher = shlex.split(args.launcher)
        self.build = os.path.abspath(args.build)
        self.exes = {}
        for other in args.also:
            name, _, folder = other.partition("=")
            self.exes[name] = os.path.join(os.path.abspath(folder), "quorl-socket-bridge.exe")
        self.exes["after" if args.also else "bridge"] = os.path.join(self.build, "quorl-socket-bridge.exe")
        self.main = list(self.exes)[-1]
        self.driver = os.path.abspath(args.driver)
        self.tag = f"qsb-bench-{os.getpid()}-{random.randrange(1 << 30)}"
        self.folder = tempfile.mkdtemp(prefix="qsb-bench-", dir=args.share.partition("=")[0])
        self.share_win = args.share.partition("=")[2].rstrip("\\") + "\\" + os.path.basename(self.folder)
        self.args = args
        self.pinned = False

    def launch(self):
        return (PIN if self.pinned else []) + self.launcher

    def tool(self, name):
        return os.path.join(self.build, name + ".exe")

    def pipe(self, what):
        return "\\\\.\\pipe\\" + self.tag + "-" + what

    def server(self, name, *options):
        return start_pipe_server(self.launch(), self.tool("test-pipe-server"), name, *options)

    def bridge_args(self, pipe):
        allow = os.path.join(self.folder, "http-pipe.allow")
        with open(allow, "a", newline="\n") as f:
            f.write(pipe + "\n")
        return ["--user-allowlist", self.share_win + "\\http-pipe.allow", "bridge", "--socket", pipe]

    def bridge(self, pipe, read_rate=None, buffer_limit=None, which=None):
        p = LinkProgram(self.launch(), self.exes[which or self.main], self.bridge_args(pipe), read_rate, buffer_limit)
        p.read_exactly(16, 60)  # Hello
        return p

    def drive(self, options, command):
        """frame-driver's figures for `command` (the driver and the program
        share the setting's cores)."""
        argv = (PIN if self.pinned else []) + [self.driver] + options + ["--"] + self.launcher + command
        p = subprocess.run(argv, capture_output=True, timeout=600)
        if p.returncode != 0:
            raise ProtocolError(f"frame-driver {' '.join(options)}: {p.returncode} {p.stderr.decode(errors='replace')!r}")
        return dict(word.split("=", 1) for word in p.stdout.decode().split())

    def direct(self, pipe, mode, mib):
        code, out, err = run_to_end(self.launch(), self.tool("pipe-client-bench"),
                                    ["--name", pipe, "--mode", mode, "--mib", str(mib)], timeout=300)
        if code != 0:
            raise ProtocolError(f"pipe-client-bench {mode}: {code} {err!r}")
        fields = dict(word.split("=", 1) for word in out.decode().split())
        return float(fields["mib_per_s"])

    def restart_server(self):
        """Ends this prefix's Wine server and starts a new one in the current
        setting: a process keeps the cores it was started with."""
        env = dict(os.environ, WINEPREFIX=wine_prefix())
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)
        subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=60)
        run_to_end(self.launch(), self.exes[self.main], ["--version"], timeout=120)


def server_cpu_seconds():
    """Processor time this prefix's Wine server has used so far (0 when none runs)."""
    prefix = wine_prefix().encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() not in ("wineserver", "wineserver64"):
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            continue
    return 0.0


def wine_prefix():
    """The prefix the launcher uses: WINEPREFIX, or scripts/wine-run's own."""
    return os.environ.get("WINEPREFIX") or os.path.join(REPO, "build", "wineprefix")


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


def with_server(b, name, mode, run, instances=1):
    server = b.server(b.pipe(name), "--mode", mode, "--instances", str(instances))
    try:
        return run(b.pipe(name))
    finally:
        server.close_input()
        server.wait(60)


def bridge_transfer(b, which, mode, mib, streams=1):
    """frame-driver's figures for `streams` streams through the bridge, each
    carrying `mib` MiB: echoed (`echo`), or sent by the server without pause
    (`source`)."""
    name = f"{mode}{streams}"
    options = ["--mode", mode, "--streams", str(streams), "--mib", str(mib)]

    def run(pipe):
        before = server_cpu_seconds()
        figures = b.drive(options, [b.exes[which]] + b.bridge_args(pipe))
        figures["server_cpu_s"] = server_cpu_seconds() - before
        return figures

    return with_server(b, name, mode, run, instances=streams)


def relay_transfer(b, mode, mib):
    """The same bytes through the peer-style relay: no frames."""
    options = ["--mode", mode, "--framing", "raw", "--mib", str(mib)]
    return with_server(b, f"relay-{mode}", mode,
                       lambda pipe: b.drive(options, [b.tool("pipe-client-bench"), "--name", pipe, "--mode", "relay"]))


def direct_transfer(b, mode, mib):
    return with_server(b, f"direct-{mode}", mode,
                       lambda pipe: b.direct(pipe, "echo" if mode == "echo" else "receive", mib))


def bridge_memory(b, which, count=64, per_stream_mib=1):
    """Memory of the bridge idle, with `count` streams open, and after each has
    echoed `per_stream_mib` MiB."""
    pipe = b.pipe(f"memory-{which}")
    server = b.server(pipe, "--mode", "echo", "--instances", str(count))
    p = b.bridge(pipe, which=which)
    try:
        time.sleep(0.5)
        idle = memory_of(p)
        streams = list(range(1, count + 1))
        open_streams(p, streams)
        opened = memory_of(p)
        chunk = random.randbytes(BLOCK)
        writer = threading.Thread(target=lambda: [p.send(b"".join(frame(DATA, s, chunk) for s in streams))
                                                  for _ in range(per_stream_mib * MIB // BLOCK)])
        writer.start()
        left = per_stream_mib * MIB * count
        while left:
            kind, stream, payload = p.read_frame(60)
            if kind != DATA:
                raise ProtocolError(f"unexpected frame {kind} on {stream}")
            left -= len(payload)
        writer.join(60)
        loaded = memory_of(p)
        finish(p, streams)
        return {"idle": idle, "opened": opened, "loaded": loaded}
    finally:
        p.kill()
        server.close_input()
        server.wait(60)


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




TRACE_LINE = re.compile(r"^([0-9a-f]{4,8}): (\w+)\((.*)$")


def bridge_requests(lines, exe_name):
    """The Wine server requests of each run of `exe_name` in a trace of
    `-d1`, in the order the runs started: for each, (thread role, request
    name) -> count. A process is told by the pid its first thread is given;
    threads it starts itself join it. A run is the process whose thread opens
    the program's image first; its first thread is the engine's."""
    thread_pid, starting, runs = {}, {}, {}
    for line in lines:
        m = TRACE_LINE.match(line)
        if not m:
            continue
        tid, name, rest = m.groups()
        if rest.startswith(") ="):
            if name == "init_first_thread":
                thread_pid[tid] = re.search(r"\{ pid=([0-9a-f]+)", rest).group(1)
            elif name == "new_thread" and starting.pop(tid, False):
                thread_pid[re.search(r"tid=([0-9a-f]+)", rest).group(1)] = thread_pid.get(tid)
            continue
        if name == "new_thread":
            starting[tid] = "process=ffffffff" in rest
        pid = thread_pid.get(tid)
        if name == "create_file" and exe_name in rest and pid not in runs:
            runs[pid] = (tid, collections.defaultdict(collections.Counter))
        if pid in runs:
            runs[pid][1][tid][name] += 1
    found = []
    for main, by_thread in runs.values():
        roles = collections.Counter()
        for tid, names in by_thread.items():
            if tid == main:
                role = "engine"
            elif names["create_event"] and not (names["read"] or names["write"]):
                role = "helper"
            else:
                role = "pump"
            for name, n in names.items():
                roles[(role, name)] += n
        found.append(roles)
    return found


def run_trace(b, args):
    """Requests per 32 KiB block, from the difference between two sizes. The
    trace is read once the server has ended, so that all of it is written."""
    prefix = os.path.join(REPO, "build", "wineprefix-trace")
    os.environ["WINEPREFIX"] = prefix
    log_path = os.path.join(b.folder, "server-trace.log")
    run_to_end(b.launcher, b.exes[b.main], ["--version"], timeout=300)  # makes the prefix if need be
    subprocess.run(["wineserver", "-k"], capture_output=True, timeout=60)
    subprocess.run(["wineserver", "-w"], capture_output=True, timeout=60)
    sizes = [int(n) for n in args.trace_mib.split(",")]
    plan = [(mode, which, mib) for mode in ("echo", "source") for which in b.exes for mib in sizes]
    with open(log_path, "w") as log:
        server = subprocess.Popen(["wineserver", "-f", "-d1"], stderr=log)
    try:
        run_to_end(b.launcher, b.exes[b.main], ["--version"], timeout=300)  # Wine's services start here
        for mode, which, mib in plan:
            bridge_transfer(b, which, mode, mib)
    finally:
        subprocess.run(["wineserver", "-k"], capture_output=True, timeout=60)
        server.wait(60)
    with open(log_path, errors="replace") as f:
        runs = bridge_requests(f, "quorl-socket-bridge.exe")[1:]  # after the --version
    if len(runs) != len(plan):
        raise ProtocolError(f"the trace shows {len(runs)} runs of the bridge, not {len(plan)}")
    blocks = (sizes[1] - sizes[0]) * MIB / BLOCK
    for i in range(0, len(plan), 2):
        mode, which, _ = plan[i]
        small, large = runs[i], runs[i + 1]
        per = {key: (large[key] - small[key]) / blocks for key in set(small) | set(large)}
        per = {key: value for key, value in per.items() if abs(value) >= 0.05}
        parts = []
        for role in ("engine", "pump", "helper"):
            mine = sorted(((name, v) for (r, name), v in per.items() if r == role), key=lambda x: -x[1])
            if mine:
                parts.append(f"{role} {sum(v for _, v in mine):.2f} (" + " ".join(f"{name} {v:.2f}" for name, v in mine)
                             + ")")
        print(f"trace {mode} {which}: {sum(per.values()):.2f} server requests per 32 KiB block in the bridge; "
              + "; ".join(parts), flush=True)


def run_round(b, args, n, rows):
    """One measurement of each kind in the current setting, the programs
    taking turns."""
    setting = "pinned" if b.pinned else "unpinned"
    row = {}
    products = list(b.exes)

    def bridge(key, which, mode, mib, streams=1):
        """MiB/s, and the processor time per MiB of the program and the Wine server."""
        r = bridge_transfer(b, which, mode, mib, streams)
        row[key] = float(r["mib_per_s"])
        row[key + "_cpu"] = (float(r["program_cpu_s"]) + r["server_cpu_s"]) * 1000 / (mib * streams)
        return r

    for which in products:
        bridge(f"echo_{which}", which, "echo", args.echo_mib)
    row["echo_relay"] = float(relay_transfer(b, "echo", args.echo_mib)["mib_per_s"])
    row["echo_direct"] = direct_transfer(b, "echo", args.echo_mib)
    row["echo_stdio"] = float(b.drive(["--mode", "echo", "--framing", "copy", "--mib", str(args.echo_mib)],
                                      [b.tool("stdio-copy")])["mib_per_s"])
    for which in products:
        bridge(f"source_{which}", which, "source", args.receive_mib)
    row["source_relay"] = float(relay_transfer(b, "source", args.receive_mib)["mib_per_s"])
    row["source_direct"] = direct_transfer(b, "source", args.receive_mib)
    for streams in args.many:
        for which in products:
            r = bridge(f"many{streams}_{which}", which, "echo", args.many_mib, streams)
            row[f"many{streams}_{which}_frame"] = float(r["avg_read"])
            row[f"many{streams}_{which}_spread"] = (float(r["first_done_s"]), float(r["last_done_s"]))
    for which in products:
        r = b.drive(["--mode", "ping", "--count", str(args.pings)], [b.exes[which]] + b.bridge_args(b.pipe("ping")))
        row[f"ping_{which}"] = (float(r["median_us"]), float(r["p99_us"]))
    r = b.drive(["--mode", "ping", "--framing", "copy", "--count", str(args.pings)], [b.tool("stdio-copy")])
    row["ping_stdio"] = (float(r["median_us"]), float(r["p99_us"]))
    if not b.pinned:
        for which in products:
            row[f"memory_{which}"] = bridge_memory(b, which)
    rows[setting].append(row)
    words = []
    for key, value in row.items():
        if key.startswith("memory_"):
            words.append(f"{key}_kb=" + "/".join(f"{value[k]['rss_kb']}:{value[k]['private_kb']}"
                                                   for k in ("idle", "opened", "loaded")))
        elif isinstance(value, tuple):
            words.append(f"{key}={value[0]:.2f}/{value[1]:.2f}")
        else:
            words.append(f"{key}={value:.1f}")
    print(f"round={n} setting={setting} " + " ".join(words), flush=True)


def summarize(b, args, setting, rows):
    med = statistics.median
    products = list(b.exes)

    def m(key, part=None):
        return med(r[key] if part is None else r[key][part] for r in rows)

    print(f"summary {setting} (median of {len(rows)} rounds; MiB/s; {', '.join(products)} = the program's builds)")
    def cpu(key):
        return " ".join(f"{which}={m(f'{key}_{which}_cpu'):.1f}" for which in products)

    for kind, mib in (("echo", args.echo_mib), ("source", args.receive_mib)):
        figures = " ".join(f"{which}={m(f'{kind}_{which}'):.1f}" for which in products)
        ratios = " ".join(f"{which}/direct={m(f'{kind}_{which}') / m(f'{kind}_direct'):.2f} "
                          f"{which}/relay={m(f'{kind}_{which}') / m(f'{kind}_relay'):.2f}" for which in products)
        extra = f" stdio_copy={m('echo_stdio'):.1f} (the frames through a plain copy)" if kind == "echo" else ""
        print(f"  {kind}_1x{mib}MiB {figures} relay={m(f'{kind}_relay'):.1f} direct={m(f'{kind}_direct'):.1f} "
              f"{ratios}{extra}; processor ms per MiB (program and Wine server) {cpu(kind)}")
    for streams in args.many:
        figures = " ".join(f"{which}={m(f'many{streams}_{which}'):.1f} (frames of {m(f'many{streams}_{which}_frame'):.0f} B, "
                           f"streams done {m(f'many{streams}_{which}_spread', 0):.2f}..{m(f'many{streams}_{which}_spread', 1):.2f} s)"
                           for which in products)
        print(f"  echo_{streams}x{args.many_mib}MiB aggregate {figures}; processor ms per MiB {cpu(f'many{streams}')}")
    figures = " ".join(f"{which}={m(f'ping_{which}', 0):.0f}/{m(f'ping_{which}', 1):.0f}" for which in products)
    print(f"  ping_64B_us median/p99 {figures} stdio_copy={m('ping_stdio', 0):.0f}/{m('ping_stdio', 1):.0f}")
    if setting == "unpinned":
        for which in products:
            key = f"memory_{which}"
            phases = " ".join(f"{label}={med(r[key][phase]['rss_kb'] for r in rows):.0f}/"
                              f"{med(r[key][phase]['private_kb'] for r in rows):.0f}"
                              for label, phase in (("idle", "idle"), ("64_open", "opened"), ("64_after_echo", "loaded")))
            print(f"  memory_{which}_kB rss/private {phases}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(REPO, "build", "win-x64"))
    parser.add_argument("--also", action="append", default=[], metavar="NAME=DIR",
                        help="another build whose program runs beside this one's (before=DIR: the code before a "
                             "change); this build's is then called after")
    parser.add_argument("--driver", default=os.path.join(REPO, "build", "native", "bench", "frame-driver"))
    parser.add_argument("--launcher", default=os.path.join(REPO, "scripts", "wine-run"))
    parser.add_argument("--share", default="/tmp=Z:\\tmp", help="HOST=WINDOWS folder the programs see")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--settings", default="unpinned,pinned", help="unpinned, pinned or both, in this order")
    parser.add_argument("--echo-mib", type=int, default=32)
    parser.add_argument("--receive-mib", type=int, default=64)
    parser.add_argument("--many", default="64", help="stream counts of the many-stream echo, e.g. 16,64")
    parser.add_argument("--many-mib", type=int, default=4, help="per stream")
    parser.add_argument("--pings", type=int, default=1000)
    parser.add_argument("--only", choices=("rounds", "probes", "trace"), help="run only these")
    parser.add_argument("--probes", type=int, default=100, help="probes of each kind per load")
    parser.add_argument("--probe-rate-mib", type=int, default=10, help="the capped read rate, MiB/s")
    parser.add_argument("--trace-mib", default="4,12", help="the two transfer sizes of --only trace")
    args = parser.parse_args()
    args.many = [int(n) for n in args.many.split(",") if n]
    settings = [s for s in args.settings.split(",") if s]
    b = Bench(args)
    rounds = args.rounds if args.only in (None, "rounds") else 0
    rows = {setting: [] for setting in settings}
    try:
        if args.only == "trace":
            run_trace(b, args)
            return 0
        for n in range(1, rounds + 1):
            for setting in settings:
                b.pinned = setting == "pinned"
                b.restart_server()
                run_round(b, args, n, rows)
        b.pinned = False
        if rounds and "pinned" in settings:
            b.restart_server()
        if args.only in (None, "probes"):
            run_probes(b, args)
    finally:
        shutil.rmtree(b.folder, ignore_errors=True)
    for setting in settings:
        if rows[setting]:
            summarize(b, args, setting, rows[setting])
    return 0


if __name__ == "__main__":
    sys.exit(main())
