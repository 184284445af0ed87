"""The frame codec and the one child-program starter of the Python suites: a
program runs through a launcher command (Wine, the emulated ARM64 Wine, or none)."""

import contextlib
import os
import signal
import struct
import subprocess
import threading
import time

MAGIC = b"QSF1"
HEADER = struct.Struct("<4sHHII")

HELLO, OPEN, OPENED, OPEN_FAILED, DATA, EOF, CLOSE, PING, PONG = range(1, 10)
WATCH_STATE, ALLOWLIST_QUERY, SERVICE_REPLY, WATCH, UNWATCH, ALLOWLIST_REPLY = range(10, 16)


def frame(kind, stream, payload=b""):
    return HEADER.pack(MAGIC, 1, kind, stream, len(payload)) + payload


class ProtocolError(AssertionError):
    pass


class Program:
    """A program with piped standard streams, its output read as it comes. With
    `new_session` it leads a process group, so that stop_group() ends what it started."""

    def __init__(self, launcher, exe, args, env=None, new_session=False):
        self.proc = subprocess.Popen(list(launcher) + [exe] + list(args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                     start_new_session=new_session)
        self._out = bytearray()
        self._cond = threading.Condition()
        self._ended = False
        self._err = bytearray()
        threading.Thread(target=self._pump_out, daemon=True).start()
        self._err_ended = threading.Event()
        threading.Thread(target=self._pump_err, daemon=True).start()

    def _pump_out(self):
        for data in iter(lambda: self.proc.stdout.read1(1 << 16), b""):
            self._took(data)
        self._took(b"")

    def _took(self, data):
        with self._cond:
            self._out += data
            self._ended = not data
            self._cond.notify_all()

    def _pump_err(self):
        for data in iter(lambda: self.proc.stderr.read1(4096), b""):
            self._err += data
        self._err_ended.set()

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_input(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def read_exactly(self, size, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self._out) < size and not self._ended:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            if len(self._out) < size:
                raise ProtocolError(f"expected {size} bytes on standard output, got {len(self._out)} "
                                    f"(ended: {self._ended}); stderr: {bytes(self._err)!r}")
            data = bytes(self._out[:size])
            del self._out[:size]
            self._cond.notify_all()  # a subclass's reader held at a buffer limit may go on
            return data

    def read_frame(self, timeout=30):
        magic, version, kind, stream, length = HEADER.unpack(self.read_exactly(16, timeout))
        if magic != MAGIC or version != 1 or not 1 <= kind <= 15 or length > 1 << 20:
            raise ProtocolError(f"malformed frame header {magic!r} {version} {kind} {length}")
        return kind, stream, self.read_exactly(length, timeout)

    def wait(self, timeout=60):
        deadline = time.monotonic() + timeout
        code = self.proc.wait(timeout)
        with self._cond:
            self._cond.wait_for(lambda: self._ended, deadline - time.monotonic())
        # Its last words may still be in the pipe when it has exited.
        self._err_ended.wait(max(0, deadline - time.monotonic()))
        return code

    def stderr_text(self):
        return bytes(self._err).decode("utf-8", "replace")

    def remaining_output(self):
        with self._cond:
            return bytes(self._out)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def end(self, timeout=10):
        """Closes its input and waits for it to end, killing it after `timeout` s."""
        self.close_input()
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.proc.wait(timeout)
        self.kill()

    def stop_group(self, timeout=10):
        """SIGTERM to the program, then SIGKILL to its whole process group (it
        must have been started with `new_session`); returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass
        return self.proc.returncode


def start_pipe_server(launcher, exe, name, *options):
    """Starts test-pipe-server for `name` and returns it once it says it is
    ready to take clients."""
    server = Program(launcher, exe, ["--name", name] + list(options))
    line = b""
    while not line.endswith(b"\n"):
        line += server.read_exactly(1, 60)
    if line.strip() != b"ready":
        server.kill()
        raise ProtocolError(f"pipe server said {line!r}: {server.stderr_text()}")
    return server
