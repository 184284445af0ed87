"""The field test bed, on loopback, stopped on every path: a private sshd whose
authorized_keys force each host's wrapper: win-host runs the command through
cmd.exe under Wine as Windows OpenSSH does (its sftp starts in the Wine user's
profile), greeting-host the same after a greeting line, posix-host `sh -c`.
Clients get ssh, sftp and quorl-socket-forward first on PATH; a keep-alive
HTTP/1.1 server serves the pipes. For --local, WSL's interop is stood in for
on the clients' PATH: a `cmd.exe` that runs Wine's cmd with its arguments, as
WSL starts a Windows program, and a `wslpath` on `winepath`."""

import contextlib
import functools
import getpass
import http.server
import os
import random
import re
import shlex
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from qsb_client import Program, start_pipe_server  # noqa: E402  (the one child-program helper)

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SFTP_SERVER = "/usr/lib/openssh/sftp-server"
HOSTS = ("win-host", "greeting-host", "posix-host")
GREETING = "Welcome to win-host."
WAIT = 60  # seconds: the bound of a wait that includes starting Wine programs
PIPE = "\\\\.\\pipe\\"
ECHO = PIPE + "qsb-field-echo"


def wait_until(predicate, timeout, what, every=0.02):
    """Polls `predicate` until it returns a true value, for at most `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {timeout} s")
        time.sleep(every)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tcp_listening(port):
    """Whether something listens on 127.0.0.1:port (or any address), read from
    the kernel's table so that checking opens no connection."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            if any(line.split()[3] == "0A" and int(line.split()[1].rsplit(":", 1)[1], 16) == port
                   for line in list(f)[1:]):
                return True
    return False


def listening_socket_inodes():
    """The file inodes of the listening Unix sockets, from the kernel's socket
    diagnostics: a socket renamed into place after bind keeps its old name in
    /proc/net/unix, but its file's inode is the one at the path."""
    with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 4) as diag:  # NETLINK_SOCK_DIAG
        # unix_diag_req: listening sockets (1 << TCP_LISTEN), with their file (UDIAG_SHOW_VFS).
        request = struct.pack("=BBHIIIII", socket.AF_UNIX, 0, 0, 1 << 10, 0, 2, 0xFFFFFFFF, 0xFFFFFFFF)
        # nlmsghdr: SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP.
        diag.sendall(struct.pack("=IHHII", 16 + len(request), 20, 0x301, 1, 0) + request)
        inodes = set()
        while True:
            data, at = diag.recv(65536), 0
            while at + 16 <= len(data):
                length, kind = struct.unpack_from("=IH", data, at)
                if kind == 3:  # NLMSG_DONE
                    return inodes
                if kind == 2:  # NLMSG_ERROR
                    raise OSError("the kernel refused to list Unix sockets")
                attribute = at + 16 + 16  # past nlmsghdr and unix_diag_msg
                while attribute + 4 <= at + length:
                    size, tag = struct.unpack_from("=HH", data, attribute)
                    if tag == 1:  # UNIX_DIAG_VFS: inode, device
                        inodes.add(struct.unpack_from("=I", data, attribute + 4)[0])
                    attribute += (size + 3) & ~3
                at += (length + 3) & ~3


def unix_listening(path):
    """Whether a socket listens at `path`: the file alone may be left from a
    program that has gone, and a connection to try it would be a stream."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return False
    return stat.S_ISSOCK(info.st_mode) and info.st_ino in listening_socket_inodes()


def listening(address):
    """Whether a forwarder's listen address (unix:PATH, PATH, tcp:PORT, tcp:HOST:PORT) is listening."""
    if address.startswith("tcp:"):
        return tcp_listening(int(address.rsplit(":", 1)[1]))
    return unix_listening(address[5:] if address.startswith("unix:") else address)


def connect(address, timeout=WAIT):
    """A client connection to a forwarder's listen address."""
    if address.startswith("tcp:"):
        return socket.create_connection(("127.0.0.1", int(address.rsplit(":", 1)[1])), timeout=timeout)
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.connect(address[5:] if address.startswith("unix:") else address)
    return s


def receive_exactly(s, size):
    got = bytearray()
    while len(got) < size:
        block = s.recv(min(1 << 20, size - len(got)))
        if not block:
            break
        got.extend(block)
    return bytes(got)


def windows_path(path):
    """The path Wine's programs see for a Unix path (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@functools.lru_cache(maxsize=64)
def pattern(size):
    """`size` deterministic bytes; a different size gives different bytes."""
    return random.Random(size).randbytes(size)


def write_script(path, text):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + text)
    os.chmod(path, 0o755)


def _process_table():
    """pid -> (parent pid, session id) of every living process."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            table[int(entry)] = (int(fields[1]), int(fields[3]))
        except (OSError, IndexError, ValueError):
            continue
    return table


def session_members(pid):
    """Every living process below `pid`, and every process in the sessions
    those started: Wine's programs leave their parent (they are re-parented
    to init) but keep the session of the command that started them."""
    table = _process_table()
    children = {}
    for child, (parent, _) in table.items():
        children.setdefault(parent, []).append(child)
    below, todo = set(), [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            below.add(child)
            todo.append(child)
    sessions = {table[p][1] for p in below if p in table} - {table.get(pid, (0, 0))[1], 0}
    return sorted(below | {p for p, (_, sid) in table.items() if sid in sessions})


def program_name(pid):
    """The program a process runs, without folder or ".exe" (a Wine program's
    command line is its Windows one)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            first = f.read().split(b"\0")[0].decode(errors="replace").split(" ")[0]
    except OSError:
        return ""
    name = re.split(r"[\\/]", first)[-1]
    return name[:-4] if name.lower().endswith(".exe") else name


def start_local(argv, env):
    """A client-side program leading a process group of its own, so that
    stopping it stops what it started (ssh)."""
    return Program([], argv[0], argv[1:], env=env, new_session=True)


def running(program):
    return program.proc.poll() is None


def describe(program):
    status = "running" if running(program) else f"ended with {program.proc.returncode}"
    return f"{shlex.join(program.proc.args)}: {status}; stderr:\n{program.stderr_text()}"


class _Stats:
    """The body byte counts of the early-reply uploads."""

    def __init__(self):
        self.cond = threading.Condition()
        self.early_counts = []
        self.release = threading.Event()

    def early_count(self, index, timeout):
        """The body byte count of the index-th early-reply upload, once read."""
        with self.cond:
            self.cond.wait_for(lambda: len(self.early_counts) > index, timeout)
            return self.early_counts[index] if len(self.early_counts) > index else None


EARLY_REPLY = b"This upload is refused before its body is read.\n"


class _HttpHandler(http.server.BaseHTTPRequestHandler):
    """HTTP/1.1 for uploads answered early:
    POST /early       413 at once, before the body is read; then the body is
                      read and counted (up to its Content-Length or the end)
    POST /early?hold  413 at once with a body of 1 MiB (more than a socket
                      buffer holds, so the rest waits to be written), and the
                      body is read only once stats.release is set."""

    protocol_version = "HTTP/1.1"
    timeout = None

    def log_message(self, *args):
        pass

    def _reply(self, code, body):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        if self.path == "/early":
            self._reply(413, EARLY_REPLY)
            self._count_early(length)
        elif self.path == "/early?hold":
            self._reply(413, pattern(1 << 20))
            self.server.stats.release.wait(WAIT)
            self._count_early(length)
        else:
            self._reply(404, b"not found\n")

    def _count_early(self, length):
        count = 0
        while count < length:
            block = self.rfile.read1(min(1 << 16, length - count))
            if not block:
                break
            count += len(block)
        with self.server.stats.cond:
            self.server.stats.early_counts.append(count)
            self.server.stats.cond.notify_all()
        if count < length:
            self.close_connection = True


class HttpService(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self):
        super().__init__(("127.0.0.1", 0), _HttpHandler)
        self.stats = _Stats()
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    def handle_error(self, request, client_address):
        pass  # a client or relay that goes away mid-reply is the test's business

    def close(self):
        self.shutdown()
        self.server_close()


class Case(contextlib.ExitStack):
    """What one test case starts: stopped, in reverse order, when it ends."""

    def __init__(self, bed):
        super().__init__()
        self.bed = bed

    def child(self, argv, env=None):
        program = start_local(argv, env or self.bed.env)
        self.callback(program.stop_group)
        return program

    def pipe_server(self, name, *options):
        """test-pipe-server.exe for `name` in the bed's prefix, once it is ready."""
        server = start_pipe_server([self.bed.wine], os.path.join(self.bed.build, "test-pipe-server.exe"), name,
                                   *options)
        self.callback(server.end)
        return server

    def relay(self, name, port):
        """A pipe server relaying each connection to `name` to 127.0.0.1:port."""
        return self.pipe_server(name, "--mode", "relay", "--port", str(port), "--instances", "64")

    def forwarder(self, args, env=None):
        """quorl-socket-forward ARGS, as the user's shell would start it,
        returned once each of its --listen addresses listens."""
        process = self.child(["quorl-socket-forward"] + list(args), env)
        self.bed.wait_listening(process, [args[i + 1] for i, word in enumerate(args[:-1]) if word == "--listen"])
        return process


class FieldBed:
    def __init__(self, forward, build, pipes=()):
        self.forward = os.path.abspath(forward)
        self.build = os.path.abspath(build)
        self.bridge_exe = os.path.join(self.build, "quorl-socket-bridge.exe")
        self.pipes = list(pipes)
        self.prefix = os.path.join(ROOT, "build", "field-wineprefix")
        self.user = getpass.getuser()
        self.profile = os.path.join(self.prefix, "drive_c", "users", self.user)
        self._stack = contextlib.ExitStack()

    # -- life cycle --------------------------------------------------------

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self._stack.close()
            raise
        return self

    def __exit__(self, *exc):
        self._stack.close()
        return False

    def case(self):
        return Case(self)

    def _start(self):
        for path in (self.bridge_exe, os.path.join(self.build, "cmd-launcher.exe"),
                     os.path.join(self.build, "test-pipe-server.exe"), self.forward):
            if not os.path.exists(path):
                raise AssertionError(f"{path} is missing: build the native and win-x64 presets first")
        self.temp = tempfile.mkdtemp(prefix="qsb-field-")  # mode 0700
        self._stack.callback(shutil.rmtree, self.temp, True)
        for folder in ("keys", "remote", "remote/posix-bin", "bin", "runtime", "sockets"):
            os.makedirs(os.path.join(self.temp, folder), mode=0o700)
        self.runtime = os.path.join(self.temp, "runtime")
        self.sockets = os.path.join(self.temp, "sockets")

        self._start_wine()
        self._write_remote_side()
        self._start_sshd()
        self._write_client_side()
        self.http = HttpService()
        self._stack.callback(self.http.close)
        self._install_allowlist()

    def _start_wine(self):
        self.wine_env = {"WINEPREFIX": self.prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
        env = dict(os.environ, **self.wine_env)
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            print("field: making the Wine prefix build/field-wineprefix (once, about 10 s)")
            os.makedirs(self.prefix, exist_ok=True)
            subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=300)
            subprocess.run(["wineserver", "-w"], env=env, timeout=300)
        # One server for the whole suite: every session's Wine programs and the
        # test's pipe servers must share it to see each other's pipes, and a
        # program started while a server shuts down can fail at once.
        subprocess.run(["wineserver", "-p"], env=env, timeout=60)
        self._stack.callback(lambda: subprocess.run(["wineserver", "-k"], env=env, timeout=60,
                                                    stderr=subprocess.DEVNULL))
        # The first program of a new server starts Wine's services, which inherit
        # its standard handles and keep them open: started from an ssh session
        # they would hold its channel, and ssh would never see the command end.
        subprocess.run(["wine", "cmd.exe", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=WAIT)
        if not os.path.isdir(self.profile):
            raise AssertionError(f"the Wine prefix has no profile folder for {self.user}")

    def _write_remote_side(self):
        remote = os.path.join(self.temp, "remote")
        # Wine in the bed's prefix, for the hosts and for the test's pipe servers.
        self.wine = os.path.join(remote, "wine")
        exports = "".join(f"export {k}={shlex.quote(v)}\n" for k, v in self.wine_env.items())
        write_script(self.wine, exports + 'exec wine "$@"\n')
        launcher = shlex.quote(os.path.join(self.build, "cmd-launcher.exe"))
        # sftp is held to the files' modes, as a Windows user is to their ACLs:
        # run as root it would read a file that its mode closes.
        bound = "setpriv --bounding-set=-dac_override,-dac_read_search " if os.geteuid() == 0 else ""
        sftp = f"{bound}{SFTP_SERVER} -d {shlex.quote(self.profile)}"
        windows_like = (
            # cmd.exe finds quorl-socket-bridge.exe on its PATH, as on a host where it is installed.
            f"export WINEPATH={shlex.quote(windows_path(self.build))}\n"
            f'case "$SSH_ORIGINAL_COMMAND" in\n'
            f"  {SFTP_SERVER}) exec {sftp} ;;\n"
            f"esac\n")
        write_script(os.path.join(remote, "win-host"),
                     windows_like + f"exec {shlex.quote(self.wine)} {launcher}\n")
        write_script(os.path.join(remote, "greeting-host"),
                     windows_like + f"printf '%s\\r\\n' {shlex.quote(GREETING)}\n"
                     + f"exec {shlex.quote(self.wine)} {launcher}\n")
        posix_bin = os.path.join(remote, "posix-bin")
        write_script(os.path.join(posix_bin, "quorl-socket-bridge"),
                     f'exec {shlex.quote(self.wine)} {shlex.quote(self.bridge_exe)} "$@"\n')
        write_script(os.path.join(remote, "posix-host"),
                     f"PATH={shlex.quote(posix_bin)}:$PATH; export PATH\n"
                     f'case "$SSH_ORIGINAL_COMMAND" in\n'
                     f"  {SFTP_SERVER}) exec {SFTP_SERVER} ;;\n"
                     f"esac\n"
                     f'exec sh -c "$SSH_ORIGINAL_COMMAND"\n')

    def keygen(self, path, comment):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", path],
                       check=True, timeout=30, stdin=subprocess.DEVNULL)
        with open(path + ".pub") as f:
            return f.read().strip()

    def _start_sshd(self):
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's privilege-separation folder
        keys = os.path.join(self.temp, "keys")
        self.host_key = self.keygen(os.path.join(self.temp, "host_ed25519"), "field-bed-host")
        entries = []
        for host in HOSTS:
            public = self.keygen(os.path.join(keys, host), host)
            wrapper = os.path.join(self.temp, "remote", host)
            entries.append(f'command="{wrapper}",no-port-forwarding,no-X11-forwarding,no-agent-forwarding {public}')
        with open(os.path.join(self.temp, "authorized_keys"), "w") as f:
            f.write("\n".join(entries) + "\n")
        self.sshd_log = os.path.join(self.temp, "sshd.log")
        for attempt in range(3):
            self.port = free_port()
            config = os.path.join(self.temp, "sshd_config")
            with open(config, "w") as f:
                f.write(f"""ListenAddress 127.0.0.1
Port {self.port}
HostKey {self.temp}/host_ed25519
PidFile none
UsePAM no
StrictModes no
AuthorizedKeysFile {self.temp}/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
PrintMotd no
MaxStartups 100:30:200
MaxSessions 100
Subsystem sftp {SFTP_SERVER}
""")
            with open(self.sshd_log, "ab") as log:
                self.sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", config], stdin=subprocess.DEVNULL,
                                             stdout=log, stderr=log, start_new_session=True)
            try:
                wait_until(lambda: self.sshd.poll() is not None or self._sshd_answers(), 20, "sshd started")
            except AssertionError:
                self.sshd.kill()
                raise
            if self.sshd.poll() is None:
                break
            # Another program took the port between the check and sshd's bind.
        else:
            raise AssertionError(f"sshd did not start: {self.sshd_log_text()}")
        self._stack.callback(self._stop_sshd)

    def _sshd_answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
                return s.recv(64).startswith(b"SSH-2.0-")
        except OSError:
            return False

    def _stop_sshd(self):
        # Sessions outlive the listening daemon: end them, and the Wine programs
        # they started (wineserver -k later ends whatever is left in the prefix).
        below = session_members(self.sshd.pid)
        self.sshd.terminate()
        for pid in below:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        try:
            self.sshd.wait(10)
        except subprocess.TimeoutExpired:
            self.sshd.kill()
            self.sshd.wait(10)

    def sshd_log_text(self):
        with open(self.sshd_log, errors="replace") as f:
            return f.read()[-4000:]

    def _write_client_side(self):
        known_hosts = os.path.join(self.temp, "known_hosts")
        with open(known_hosts, "w") as f:
            f.write(f"[127.0.0.1]:{self.port} {self.host_key}\n")
        self.ssh_config = os.path.join(self.temp, "ssh_config")
        with open(self.ssh_config, "w") as f:
            for host in HOSTS:
                identity = os.path.join(self.temp, "keys", host)
                f.write(f"""Host {host}
  HostName 127.0.0.1
  Port {self.port}
  User {self.user}
  IdentityFile {identity}
  IdentitiesOnly yes
  UserKnownHostsFile {known_hosts}
  GlobalKnownHostsFile /dev/null
  StrictHostKeyChecking yes
  BatchMode yes
  LogLevel ERROR
""")
        bin_dir = os.path.join(self.temp, "bin")
        for tool in ("ssh", "sftp"):
            write_script(os.path.join(bin_dir, tool),
                         f'exec /usr/bin/{tool} -F {shlex.quote(self.ssh_config)} "$@"\n')
        # The forwarder as a package installs it: deploy finds the Windows
        # program in share/quorl-socket-bridge beside its own folder.
        prefix = os.path.join(self.temp, "prefix")
        os.makedirs(os.path.join(prefix, "bin"))
        shutil.copy2(self.forward, os.path.join(prefix, "bin", "quorl-socket-forward"))
        os.makedirs(os.path.join(prefix, "share", "quorl-socket-bridge", "windows-x64"))
        shutil.copy2(self.bridge_exe, os.path.join(prefix, "share", "quorl-socket-bridge", "windows-x64"))
        os.symlink(os.path.join(prefix, "bin", "quorl-socket-forward"), os.path.join(bin_dir, "quorl-socket-forward"))
        # WSL's interop: Windows programs run with their arguments made into a
        # command line as Wine makes it, the Windows PATH after Linux's, and
        # wslpath between the two kinds of path.
        write_script(os.path.join(bin_dir, "cmd.exe"), f"export WINEPATH={shlex.quote(windows_path(self.build))}\n"
                     f'exec {shlex.quote(self.wine)} cmd "$@"\n')
        exports = "".join(f"export {k}={shlex.quote(v)}\n" for k, v in self.wine_env.items())
        write_script(os.path.join(bin_dir, "wslpath"), exports + 'case "$1" in\n'
                     '  -u|-w) exec winepath "$@" ;;\n'
                     'esac\n'
                     'echo "wslpath: give -u or -w and a path" >&2; exit 1\n')
        env = {k: v for k, v in os.environ.items() if not k.startswith(("SSH_", "WINE", "XDG_RUNTIME_DIR"))}
        env["PATH"] = bin_dir + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin")
        env["XDG_RUNTIME_DIR"] = self.runtime
        # The forwarder's own record of deployed programs stays in the bed.
        env["XDG_CONFIG_HOME"] = os.path.join(self.temp, "config")
        self.env = env

    def _install_allowlist(self):
        """Puts the allowlist where a Windows user would, through sftp, and checks
        that the bridge believes it."""
        local = os.path.join(self.temp, "http-pipe.allow")
        with open(local, "w", newline="\n") as f:
            f.write("# pipes of the field test bed\n" + "".join(pipe + "\n" for pipe in self.pipes))
        batch = ("-mkdir AppData\n-mkdir AppData/Local\n-mkdir AppData/Local/QuorlSSH\n"
                 f"put {local} AppData/Local/QuorlSSH/http-pipe.allow\n")
        done = subprocess.run(["sftp", "-b", "-", "win-host"], input=batch, env=self.env, capture_output=True,
                              text=True, timeout=WAIT)
        if done.returncode != 0:
            raise AssertionError(f"sftp put failed: {done.stderr}{self.sshd_log_text()}")
        self.allowlist = os.path.join(self.profile, "AppData", "Local", "QuorlSSH", "http-pipe.allow")
        if not os.path.exists(self.allowlist):
            raise AssertionError("sftp did not land in %LOCALAPPDATA%")
        if self.pipes:
            # Hello (and no sentence) means the pipe is listed in a believed file.
            code, out, err = self.ssh("win-host", f"quorl-socket-bridge bridge --socket {self.pipes[0]}")
            if code != 0 or not out.startswith(b"QSF1") or err:
                raise AssertionError(f"the bridge refused the allowlist: status {code}, {out[:64]!r}, {err!r}")

    # -- helpers for the tests ---------------------------------------------

    def ssh(self, host, command):
        """`ssh HOST COMMAND` as typed; returns status, stdout and stderr bytes."""
        done = subprocess.run(["ssh", host, command], stdin=subprocess.DEVNULL, env=self.env, capture_output=True,
                              timeout=WAIT)
        return done.returncode, done.stdout, done.stderr

    def socket_path(self, name):
        return os.path.join(self.sockets, name)

    def wait_listening(self, process, addresses):
        def ready():
            if not running(process):
                raise AssertionError(f"the forwarder ended before it listened: {describe(process)}")
            return all(listening(address) for address in addresses)

        wait_until(ready, WAIT, f"{shlex.join(process.proc.args)} listening")

    def session_processes(self, program):
        """Pids of the sessions' living processes that run `program`."""
        return [pid for pid in session_members(self.sshd.pid) if program_name(pid) == program]
