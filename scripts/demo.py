#!/usr/bin/env python3
"""The program's main job, shown here under Wine the way an SSH client uses it:
a service-mode session watching a pipe come and go, then a bridge session
carrying several streams to an echo server with every byte checked."""

import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from qsb_client import (ALLOWLIST_QUERY, ALLOWLIST_REPLY, CLOSE, DATA, OPEN, OPENED, SERVICE_REPLY, WATCH,
                        WATCH_STATE, Program, frame, start_pipe_server)

STATES = {0: "Absent", 1: "Available", 2: "Undetermined"}


def main():
    launcher = ["scripts/wine-run"]
    build = sys.argv[1] if len(sys.argv) > 1 else "build/win-x64"
    exe = os.path.join(build, "quorl-socket-bridge.exe")
    server_exe = os.path.join(build, "test-pipe-server.exe")
    pipe = f"\\\\.\\pipe\\quorl-demo-{os.getpid()}"
    folder = tempfile.mkdtemp(prefix="quorl-demo-")
    with open(os.path.join(folder, "http-pipe.allow"), "w") as f:
        f.write("# pipes the demo client may reach\n" + pipe + "\n")
    allowlist = "Z:" + folder.replace("/", "\\") + "\\http-pipe.allow"
    print(f"allowlist {allowlist} lists {pipe}")

    def start_server():
        return start_pipe_server(launcher, server_exe, pipe, "--mode", "echo", "--instances", "4")

    print("\n== service mode: watch the pipe")
    service = Program(launcher, exe, ["--user-allowlist", allowlist, "service"])
    assert service.read_frame(60)[0] == 1
    print("<- Hello")
    service.send(frame(ALLOWLIST_QUERY, 1, pipe.encode()))
    kind, _, payload = service.read_frame()
    print(f"-> AllowlistQuery {pipe}\n<- {'AllowlistReply' if kind == ALLOWLIST_REPLY else payload.decode()}")
    service.send(frame(WATCH, 7, pipe.encode()))
    assert service.read_frame() == (SERVICE_REPLY, 7, b"")
    print("-> Watch 7\n<- ServiceReply (accepted)")

    def state():
        kind, stream, payload = service.read_frame()
        assert (kind, stream) == (WATCH_STATE, 7)
        print(f"<- WatchState 7: {STATES[payload[0]]}")

    state()
    print("   (starting a pipe server)")
    server = start_server()
    state()
    print("   (stopping the pipe server)")
    server.close_input()
    server.wait(60)
    state()
    service.close_input()
    print(f"   service ended with status {service.wait()}")

    print("\n== bridge mode: three streams to an echo server")
    server = start_server()
    bridge = Program(launcher, exe, ["--user-allowlist", allowlist, "bridge", "--socket", pipe])
    assert bridge.read_frame(60)[0] == 1
    print("<- Hello")
    sent = {}
    for stream in (1, 2, 3):
        bridge.send(frame(OPEN, stream))
        kind, got, label = bridge.read_frame(60)
        assert (kind, got) == (OPENED, stream)
        print(f"-> Open {stream}\n<- Opened {stream} (label {label.decode()!r})")
    for stream in (1, 2, 3):
        sent[stream] = random.randbytes(200_000 * stream)
        for offset in range(0, len(sent[stream]), 65536):
            bridge.send(frame(DATA, stream, sent[stream][offset:offset + 65536]))
    echoed = {stream: bytearray() for stream in sent}
    while any(len(echoed[s]) < len(sent[s]) for s in sent):
        kind, stream, payload = bridge.read_frame(60)
        assert kind == DATA
        echoed[stream] += payload
    for stream in sent:
        assert bytes(echoed[stream]) == sent[stream]
        print(f"stream {stream}: {len(sent[stream])} bytes sent and echoed back intact")
        bridge.send(frame(CLOSE, stream))
    bridge.close_input()
    print(f"   bridge ended with status {bridge.wait()}")
    server.close_input()
    server.wait(60)


if __name__ == "__main__":
    main()
