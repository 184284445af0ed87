"""The field suite: quorl-socket-forward, real ssh to a private sshd on loopback,
the bridge under Wine started the way Windows OpenSSH starts a session command,
and real clients (ssh, sockets), on the bed of fieldbed.py, made
once per session and stopped on every path (options: conftest.py).

  pytest-3 tests/field --forward build/native/quorl-socket-forward --build build/win-x64 [-k NAME]"""

import array
import contextlib
import fcntl
import os
import pathlib
import re
import select
import shutil
import signal
import socket
import subprocess
import termios
import threading
import time

import pytest

from fieldbed import (ECHO, EARLY_REPLY, GREETING, PIPE, ROOT, WAIT, FieldBed, connect, describe, free_port,
                      listening, pattern, receive_exactly, running, wait_until, windows_path)

HTTP = PIPE + "qsb-field-http"
BED_PIPES = [ECHO, HTTP]


def forward(case, address, pipe, *options):
    """A forwarder in the `-- COMMAND` form, with the remote command right for
    cmd.exe: a pipe path holds nothing cmd treats specially, so it goes unquoted."""
    return case.forwarder([*options, "--listen", address, "--", "ssh", "win-host",
                           f"quorl-socket-bridge bridge --socket {pipe}"])


def echo(address, data, timeout=WAIT):
    """Sends `data` through an echoing stream and checks that it all comes back."""
    with connect(address, timeout) as s:
        writer = threading.Thread(target=s.sendall, args=(data,), daemon=True)
        writer.start()
        back = receive_exactly(s, len(data))
        writer.join(timeout)
    assert back == data, f"{len(back)} of {len(data)} bytes came back" + ("" if len(back) != len(data) else ", changed")


def run(argv, env, timeout=WAIT):
    return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)


def tcp_address():
    return f"tcp:{free_port()}"


@pytest.fixture(scope="session")
def bed(pytestconfig):
    # SIGTERM and SIGHUP unwind like Ctrl-C, so that everything started is stopped.
    def interrupt(number, frame):
        raise KeyboardInterrupt(f"signal {number}")

    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGHUP, interrupt)
    with FieldBed(pytestconfig.getoption("forward"), pytestconfig.getoption("build"), BED_PIPES) as bed:
        yield bed


@pytest.fixture
def case(bed):
    with bed.case() as case:
        yield case


# -- raw bytes ----------------------------------------------------------

def test_64_streams(bed, case):
    """64 connections at once, each echoing its own bytes through one session,
    then one more once they have ended: the forwarder's stream limit and the
    bridge's agree, and a stream the bridge still counts is retried, not refused."""
    case.pipe_server(ECHO, "--instances", "64")
    address = f"unix:{bed.socket_path('many.sock')}"
    forward(case, address, ECHO)
    failures = []

    def one(size):
        try:
            echo(address, pattern(size))
        except Exception as error:
            failures.append(f"{size} bytes: {error}")

    threads = [threading.Thread(target=one, args=(200000 + n,)) for n in range(64)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 2)
    assert not failures and not any(t.is_alive() for t in threads), "; ".join(failures[:5])
    echo(address, pattern(50000))


# -- endings -------------------------------------------------------------------

def unsent_bytes(s):
    """Bytes written to this socket that its peer has not yet read (for a Unix
    socket) or acknowledged (for TCP): SIOCOUTQ."""
    count = array.array("i", [0])
    fcntl.ioctl(s.fileno(), termios.TIOCOUTQ, count)
    return count[0]


def upload_until_stalled(s):
    """Writes body bytes until the socket takes no more for a while (the server
    behind the pipe is not reading); returns how many it took."""
    block = pattern(1 << 20)
    wrote = 0
    s.setblocking(False)
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        try:
            wrote += s.send(block[wrote % len(block):])
        except BlockingIOError:
            _, writable, _ = select.select([], [s], [], 0.5)
            if not writable:
                return wrote
    raise AssertionError("the upload never stalled")


def read_reply(s):
    head = b""
    while b"\r\n\r\n" not in head:
        block = s.recv(4096)
        assert block, f"the reply ended early: {head!r}"
        head += block
    headers, _, body = head.partition(b"\r\n\r\n")
    length = int(re.search(rb"Content-Length: (\d+)", headers).group(1))
    return headers + b"\r\n\r\n" + body + receive_exactly(s, length - len(body))


def test_early_reply_closed_unread(bed, case):
    """A large upload answered at once with an error larger than the socket
    holds; the client closes without reading, so the forwarder's write of the
    reply's rest fails while what the client sent is still unread (the server
    reads nothing until the client has closed): every byte the client wrote
    reaches the server."""
    stats = bed.http.stats
    case.relay(HTTP, bed.http.port)
    path = bed.socket_path("upload.sock")
    forward(case, f"unix:{path}", HTTP)
    index = len(stats.early_counts)
    stats.release.clear()
    with connect(f"unix:{path}") as s:
        s.sendall(b"POST /early?hold HTTP/1.1\r\nHost: field\r\nContent-Length: 1073741824\r\n\r\n")
        wrote = upload_until_stalled(s)
        unread = unsent_bytes(s)
    stats.release.set()
    assert unread > 0, "the client closed with nothing left for the forwarder to read"
    count = stats.early_count(index, WAIT)
    assert count == wrote, f"closed unread: the client wrote {wrote} bytes, the server got {count}"


def test_early_reply_read(bed, case):
    """A large upload answered at once with an error; the client shuts down
    its writing, then reads: the reply arrives whole and the server gets every byte."""
    size, stats = 8 << 20, bed.http.stats
    case.relay(HTTP, bed.http.port)
    address = tcp_address()
    forward(case, address, HTTP)
    index = len(stats.early_counts)
    with connect(address) as s:
        s.sendall(f"POST /early HTTP/1.1\r\nHost: field\r\nContent-Length: {size}\r\n\r\n".encode())
        s.sendall(pattern(size))
        s.shutdown(socket.SHUT_WR)
        reply = read_reply(s)
    assert reply.startswith(b"HTTP/1.1 413 ") and reply.endswith(b"\r\n\r\n" + EARLY_REPLY), reply
    count = stats.early_count(index, WAIT)
    assert count == size, f"read the reply: the client wrote {size} bytes, the server got {count}"


def test_reconnect(bed, case):
    """--reconnect: the remote bridge killed, then the local ssh killed; each
    time the forwarder starts the session again and serves the next client."""
    case.pipe_server(ECHO, "--instances", "4")
    path = bed.socket_path("reconnect.sock")
    forwarder = forward(case, f"unix:{path}", ECHO, "--reconnect")

    def ssh_child():
        children = run(["pgrep", "-P", str(forwarder.proc.pid), "-x", "ssh"], bed.env).stdout.split()
        return int(children[0]) if len(children) == 1 else None

    kills = [
        ("the remote bridge", lambda: bed.session_processes("quorl-socket-bridge")),
        ("the local ssh", lambda: [ssh_child()] if ssh_child() else []),
    ]
    for what, victims in kills:
        with connect(f"unix:{path}") as held:
            echo(f"unix:{path}", b"before: " + what.encode())
            old = wait_until(ssh_child, WAIT, "the forwarder's ssh")
            pids = victims()
            assert pids, f"no process found for {what}"
            for pid in pids:
                os.kill(pid, signal.SIGKILL)
            # A stream of the lost session is closed.
            held.settimeout(WAIT)
            assert held.recv(1) == b"", f"a stream outlived the session after killing {what}"
        wait_until(lambda: ssh_child() not in (None, old), WAIT, f"a new session after killing {what}")
        assert running(forwarder), describe(forwarder)
        echo(f"unix:{path}", b"after: " + what.encode())


# -- the new command-line form -----------------------------------------------

# Each remote shell the forwarder can build the command for, on the host that
# has it, a host that prints a line before the bridge starts, and this
# machine's Windows through WSL's interop (the bed's stand-in).
@pytest.mark.parametrize("options", [
    "--ssh posix-host --remote-shell posix",
    "--ssh win-host --remote-program {exe}",
    "-v --ssh greeting-host",
    "--local",
], ids=["POSIX shell", "the program by path", "a greeting first, shown under -v", "local"])
def test_new_form(bed, case, options):
    case.pipe_server(ECHO)
    address = f"unix:{bed.socket_path('new-form.sock')}"
    options = options.replace("{exe}", windows_path(bed.bridge_exe)).split()
    forwarder = case.forwarder(["--listen", address] + options + ["--pipe", ECHO])
    echo(address, os.urandom(65536))
    assert ("-v" not in options) or GREETING in forwarder.stderr_text(), describe(forwarder)


def test_watch_local(bed, case):
    """watch --local: a pipe coming and going, reported by the bridge that
    cmd.exe runs in service mode through WSL's interop."""
    watch = case.child(["quorl-socket-forward", "watch", "--local", ECHO])

    def next_line(state):
        line = f"{ECHO} {state}\n".encode()
        assert watch.read_exactly(len(line), WAIT) == line, describe(watch)

    next_line("absent")
    server = case.pipe_server(ECHO)
    next_line("available")
    server.end()
    next_line("absent")


# -- deploy ------------------------------------------------------------------

DEPLOYED = PIPE + "qsb-field-deployed-{}"
# Written as a user types it; deploy appends it in the allowlist's canonical form.
DEPLOYED_SERVICE = (PIPE + "QSB-Field-Service-{}\tserved-by  S-1-5-18",
                    PIPE + "qsb-field-service-{} served-by S-1-5-18")


# Over sftp, and through the file system where WSL shows the Windows drives:
# the same steps and rules either way, each with pipes of its own.
@pytest.mark.parametrize("target", [["--ssh", "win-host"], ["--local"]], ids=["ssh", "local"])
def test_deploy(bed, target):
    """deploy to the Windows-like host: fresh (the program installed, a pipe
    and a served-by entry added to the allowlist that is there, and a stream
    through the deployed program), again (nothing changes), and with another build (replaced)."""
    pipe, typed, service = (name.format(target[-1].strip("-")) for name in (DEPLOYED, *DEPLOYED_SERVICE))
    remote = os.path.join(bed.profile, "AppData", "Local", "Programs", "quorl-socket-bridge", "quorl-socket-bridge.exe")
    if os.path.exists(remote):
        os.remove(remote)
    with open(bed.allowlist, "rb") as f:
        allowlist_before = f.read()
    allowlist_inode = os.stat(bed.allowlist).st_ino
    builds = {}
    for name, exe in (("mingw", os.path.join(bed.build, "quorl-socket-bridge.exe")),
                      ("zig", os.path.join(ROOT, "build", "win-x64-zig", "quorl-socket-bridge.exe"))):
        folder = os.path.join(bed.temp, "deploy-" + name, "windows-x64")
        os.makedirs(folder, exist_ok=True)
        if os.path.exists(exe):
            shutil.copyfile(exe, os.path.join(folder, "quorl-socket-bridge.exe"))
            builds[name] = os.path.dirname(folder)
    assert "mingw" in builds, "no win-x64 build to deploy"

    def deploy(source, *more):
        done = run(["quorl-socket-forward", "deploy", *target, "--from", source] + list(more), bed.env,
                   timeout=WAIT * 2)
        out = done.stdout.decode(errors="replace")
        assert done.returncode == 0, f"deploy: status {done.returncode}: {out}{done.stderr.decode(errors='replace')}"
        return out

    def same_as(source):
        with open(remote, "rb") as a, open(os.path.join(source, "windows-x64", "quorl-socket-bridge.exe"), "rb") as b:
            return a.read() == b.read()

    allow = ["--allow", pipe, "--allow", typed]
    out = deploy(builds["mingw"], *allow)
    assert "installed " in out and same_as(builds["mingw"]), out
    assert f"adding {pipe} to the allowlist" in out and "confirms" in out, out
    assert f"confirms {service.split()[0]} as allowlisted" in out, out
    with open(bed.allowlist, "rb") as f:
        after = f.read()
    assert after == allowlist_before + f"{pipe}\r\n{service}\r\n".encode(), after
    assert os.stat(bed.allowlist).st_ino == allowlist_inode, "the allowlist was replaced, not added to"
    assert os.listdir(os.path.dirname(remote)) == ["quorl-socket-bridge.exe"], "a temporary file was left"

    with bed.case() as case:
        case.pipe_server(pipe)
        address = f"unix:{bed.socket_path('deployed.sock')}"
        forwarder = case.forwarder(["-v", "--listen", address, *target, "--pipe", pipe])
        echo(address, os.urandom(65536))
        assert "AppData\\Local\\Programs\\quorl-socket-bridge\\quorl-socket-bridge.exe bridge" in \
            forwarder.stderr_text(), describe(forwarder)

    out = deploy(builds["mingw"], *allow)
    assert "nothing changed" in out, out
    if "zig" in builds:
        out = deploy(builds["zig"])
        assert "replaced " in out and same_as(builds["zig"]), out


def test_deploy_makes_only_a_missing_allowlist(bed):
    """deploy makes the allowlist only where sftp reports it missing: one that
    is there but cannot be read (write-only here, as an ACL may leave it) stops
    deploy with sftp's reason before anything changes, and stays as it was."""
    pipe = PIPE + "qsb-field-deploy-new"
    deploy = ["quorl-socket-forward", "deploy", "--ssh", "win-host", "--allow", pipe]
    kept = bed.allowlist + ".kept"
    with open(bed.allowlist, "rb") as f:
        original = f.read()
    mode = os.stat(bed.allowlist).st_mode & 0o7777
    try:
        os.chmod(bed.allowlist, 0o200)
        unreadable = run(deploy, bed.env, timeout=WAIT * 2)
        os.chmod(bed.allowlist, mode)
        with open(bed.allowlist, "rb") as f:
            after = f.read()
        os.rename(bed.allowlist, kept)
        missing = run(deploy, bed.env, timeout=WAIT * 2)
        with open(bed.allowlist, "rb") as f:
            made = f.read()
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(kept)
        with open(bed.allowlist, "wb") as f:
            f.write(original)
        os.chmod(bed.allowlist, mode)
    said = (f'quorl-socket-forward: Could not read the allowlist on win-host with sftp: remote open '
            f'"{os.path.realpath(bed.allowlist)}": Permission denied.\n')
    assert after == original, f"the allowlist that could not be read was changed to {after!r}"
    assert (unreadable.returncode, unreadable.stderr.decode(errors="replace")) == (1, said), unreadable
    assert missing.returncode == 0, missing
    assert made == b"# pipes added by quorl-socket-forward deploy\r\n" + pipe.lower().encode() + b"\r\n", made


# -- the README's agent cases --------------------------------------------------

AGENT = PIPE + "openssh-ssh-agent"
# As Windows makes the agent service's pipe: owned by LocalSystem, which the
# pipe's name does not say. Wine serves it as its one user, so a plain entry
# would pass here too; the server's account that refuses it on Windows is
# judged natively (CheckConnectedPipe.JudgesAPipeWithoutIdentityByItsOwnerAndServer).
SYSTEM_OWNED = "O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)"


def readme_block(deploy):
    """The sh block of README.md that holds `deploy`, as a user types it."""
    with open(os.path.join(ROOT, "README.md")) as f:
        blocks = [b for b in re.findall(r"^```sh\n(.*?)^```$", f.read(), re.M | re.S) if deploy in b]
    assert len(blocks) == 1, f"README.md has {len(blocks)} sh blocks with {deploy}"
    return blocks[0]


@pytest.mark.parametrize("target", ["--ssh win-host", "--local"], ids=["ssh", "wsl"])
def test_readme_agent(bed, case, tmp_path, target):
    """The README's blocks for the SSH agent service of Windows, run as written
    in bash: deploy allows its pipe as served by LocalSystem, the forwarder
    serves it, and ssh-add lists the key of a real agent behind that pipe."""
    case.callback(pathlib.Path(bed.allowlist).write_bytes, pathlib.Path(bed.allowlist).read_bytes())
    key, agent, port = str(tmp_path / "key"), str(tmp_path / "real-agent.sock"), free_port()
    bed.keygen(key, "qsb-field-readme")
    case.child(["ssh-agent", "-D", "-a", agent])
    wait_until(lambda: listening(f"unix:{agent}"), WAIT, "ssh-agent listening")
    assert run(["ssh-add", key], dict(bed.env, SSH_AUTH_SOCK=agent)).returncode == 0, "ssh-add of the test's key"
    case.child(["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,fork", f"UNIX-CONNECT:{agent}"])
    wait_until(lambda: listening(f"tcp:{port}"), WAIT, "socat listening")
    case.pipe_server(AGENT, "--mode", "relay", "--port", str(port), "--sddl", SYSTEM_OWNED)
    # Past its `&` line the block waits until the test sees that socket listen, as a user's typing would.
    script = re.sub(r"--listen (\S+).*&$", lambda m: m[0] + f'\necho "qsb-field-listen {m[1]}" >&2; read -r _',
                    readme_block(f"deploy {target} --allow '{AGENT}"), flags=re.M)
    # The user's own HOME and runtime folder, without the bed's record of deployed programs.
    env = {k: v for k, v in bed.env.items() if k != "XDG_CONFIG_HOME"}
    shell = case.child(["bash", "-ec", script], dict(env, HOME=str(tmp_path), XDG_RUNTIME_DIR=str(tmp_path)))

    def listens():
        said = re.search(r"^qsb-field-listen (\S+)$", shell.stderr_text(), re.M)
        return said and listening(said[1])

    with contextlib.suppress(AssertionError):
        wait_until(lambda: listens() or not running(shell), WAIT * 2, "the block's forwarder")
    assert listens(), f"the block's forwarder is not listening: {describe(shell)}"
    shell.send(b"\n")
    code = shell.proc.wait(WAIT)
    shell.stop_group()  # the block's forwarder, left in the background, holds the output open
    assert shell.wait(WAIT) == code == 0, describe(shell)
    key_line = run(["ssh-keygen", "-lf", key + ".pub"], bed.env).stdout.decode()
    out = shell.remaining_output().decode(errors="replace")
    assert key_line in out, f"the key {key_line.strip()} is not listed in:\n{out}{describe(shell)}"


# -- doctor ------------------------------------------------------------------

DOCTOR_STEPS = ["ssh", "shell", "program", "allowlist", "server", "identity", "round trip"]
# Wine reads back whatever owner a pipe's descriptor names: this one is served
# as another account, as a service's pipe that is not in its name would be.
ANOTHER_ACCOUNT = "S-1-5-21-0-0-0-1001"
OWNED_BY_ANOTHER = f"O:{ANOTHER_ACCOUNT}D:(A;;FA;;;SY)(A;;FA;;;{ANOTHER_ACCOUNT})(A;;FR;;;WD)"


def serve(*options):
    return lambda bed, case: case.pipe_server(*options)


def register_task(bed, case):
    """An activation registration for HTTP, in the file the bridge reads."""
    folder = os.path.join(bed.profile, "AppData", "Local", "org.quorlssh")
    os.makedirs(folder)
    case.callback(shutil.rmtree, folder)
    with open(os.path.join(folder, "activations.tsv"), "w") as f:
        f.write(f"{HTTP}\t\\QSB Field Task\r\n")


@pytest.mark.parametrize("setup, args, failed, said", [
    (serve(ECHO), f"--ssh win-host --pipe {ECHO}", None, []),
    (serve(ECHO), f"--local --pipe {ECHO}", None, []),
    (None, f"--ssh win-host --pipe {PIPE}qsb-field-unlisted", "allowlist",
     ["not in the allowlist on win-host", f"Next: quorl-socket-forward deploy --ssh win-host --allow "
                                          f"'{PIPE}qsb-field-unlisted'"]),
    (None, f"--ssh win-host --pipe {HTTP}", "server",
     [f"no server is running for {HTTP}. Next: start the program that serves it on win-host."]),
    (register_task, f"--ssh win-host --pipe {HTTP}", "server",
     [f"no server is running for {HTTP}; the task \\QSB Field Task registered for it would start it",
      'Next: run schtasks /run /tn "\\QSB Field Task" on win-host, then doctor again.']),
    (serve(HTTP, "--sddl", OWNED_BY_ANOTHER), f"--ssh win-host --pipe {HTTP}", "identity",
     ["Named pipes without a canonical identity must be owned by the current user. Next:",
      f"with '{HTTP} served-by SID'", f"--allow '{HTTP} served-by SID'"]),
    (None, f"--ssh posix-host --pipe {ECHO}", "shell",
     ["posix, not cmd as --remote-shell assumes by default", "Next: give --remote-shell posix."]),
    (None, f"--ssh win-host --remote-program C:\\nowhere\\quorl-socket-bridge.exe --pipe {ECHO}", "program",
     ["C:\\nowhere\\quorl-socket-bridge.exe does not answer as quorl-socket-bridge",
      "Next: leave out --remote-program and put the program there: quorl-socket-forward deploy --ssh win-host"]),
], ids=["healthy", "healthy, local", "unlisted pipe", "no server", "no server, a task registered", "another account",
        "wrong remote shell", "no program"])
def test_doctor(bed, case, setup, args, failed, said):
    """doctor walks the chain: every step ok, or each step up to the failing one
    ok, that one failed with what it found and what to do next, the rest skipped."""
    if setup:
        setup(bed, case)
    done = run(["quorl-socket-forward", "doctor"] + args.split(), bed.env, timeout=WAIT * 3)
    out = done.stdout.decode(errors="replace")
    print(out)
    lines = out.splitlines()
    steps = [line.split(": ")[:2] for line in lines]
    at = DOCTOR_STEPS.index(failed) if failed else len(DOCTOR_STEPS)
    expected = ["ok"] * at + (["failed"] + ["skipped"] * (len(DOCTOR_STEPS) - at - 1) if failed else [])
    first = "cmd.exe" if "--local" in args else "ssh"
    assert [name.split(" \\\\")[0] for name, _ in steps] == [first] + DOCTOR_STEPS[1:], out
    assert [result for _, result in steps] == expected, out
    assert done.returncode == (1 if failed else 0), out + done.stderr.decode(errors="replace")
    for text in said:
        assert text in lines[at], out
