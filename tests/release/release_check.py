"""Checks what scripts/release left in dist/: the sums and their signature, the
Windows zips (each program's signature and version resource), the forwarder's
.deb and .tar.gz with the files a user gets, their modes, the package's
dependencies, and that the installed forwarder runs, and the macOS archives
(their executables are read, not run). Options (conftest.py):

  pytest-3 tests/release/release_check.py [--dist dist] [--ca ROOT.pem] [--allowed-signers FILE]

--ca: the root the programs' signatures must verify against; without it the
programs must be the unsigned builds themselves. --allowed-signers: the signers
SHA256SUMS.sig must verify with; without it there must be no SHA256SUMS.sig."""

import gzip
import os
import re
import struct
import subprocess
import tarfile
import tempfile
import zipfile

import pefile
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MACHINES = {"arm64": 0xAA64, "x64": 0x8664}
WINDOWS_PRESETS = {"arm64": "win-arm64", "x64": "win-x64-zig"}
# Mach-O CPU types of the macOS archives (CPU_TYPE_ARM64, CPU_TYPE_X86_64).
MACOS_CPUS = {"arm64": 0x0100000C, "x86_64": 0x01000007}
SIGNER = "release@quorl-socket-bridge"


with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
    V = re.search(r"project\(quorl-socket-bridge VERSION ([0-9.]+)", f.read()).group(1)


def test_sums(dist, signers, v=V):
    names = sorted(os.listdir(dist))
    packed = [f"quorl-socket-bridge-{v}-windows-arm64.zip", f"quorl-socket-bridge-{v}-windows-x64.zip",
              f"quorl-socket-forward_{v}_amd64.deb", f"quorl-socket-forward-{v}-Linux-x86_64.tar.gz"] + \
             [f"quorl-socket-forward-{v}-macos-{arch}.tar.gz" for arch in MACOS_CPUS]
    assert names == sorted(packed + ["SHA256SUMS"] + (["SHA256SUMS.sig"] if signers else [])), names
    done = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    listed = sorted(line.split()[1] for line in open(os.path.join(dist, "SHA256SUMS")))
    assert listed == sorted(packed), listed


def test_sums_signature(dist, signers):
    """SHA256SUMS.sig verifies as the README says."""
    if not signers:
        pytest.skip("no --allowed-signers")

    with open(os.path.join(dist, "SHA256SUMS"), "rb") as f:
        done = subprocess.run(["ssh-keygen", "-Y", "verify", "-f", signers, "-I", SIGNER, "-n", "file",
                               "-s", os.path.join(dist, "SHA256SUMS.sig")], stdin=f, capture_output=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="module")
def programs(dist, v=V):
    programs = {}
    for arch in MACHINES:
        with zipfile.ZipFile(os.path.join(dist, f"quorl-socket-bridge-{v}-windows-{arch}.zip")) as z:
            top = f"quorl-socket-bridge-{v}-windows-{arch}/"
            assert sorted(z.namelist()) == [top + "INSTALL.txt", top + "quorl-socket-bridge.exe"], z.namelist()
            program = z.read(top + "quorl-socket-bridge.exe")
            assert pefile.PE(data=program, fast_load=True).FILE_HEADER.Machine == MACHINES[arch], arch
            notes = z.read(top + "INSTALL.txt").decode()
            assert f"quorl-socket-bridge {v} for Windows {arch}" in notes and "http-pipe.allow" in notes, notes[:200]
            programs[arch] = program
    return programs


def test_signatures(programs, ca):
    """Each zipped program verifies against the root, and without its signature
    is byte for byte the unsigned build; with no root it is that build."""
    for arch, program in programs.items():
        with open(os.path.join(ROOT, "build", WINDOWS_PRESETS[arch], "quorl-socket-bridge.exe"), "rb") as f:
            unsigned = f.read()
        if ca is None:
            assert program == unsigned, f"{arch}: the zipped program is not the unsigned build"
            continue
        with tempfile.TemporaryDirectory() as folder:
            signed, removed = os.path.join(folder, "signed.exe"), os.path.join(folder, "removed.exe")
            with open(signed, "wb") as f:
                f.write(program)
            done = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", signed],
                                  capture_output=True, text=True)
            assert done.returncode == 0, f"{arch}: " + " / ".join((done.stdout + done.stderr).strip().splitlines()[-3:])
            subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", removed],
                           capture_output=True, check=True)
            with open(removed, "rb") as f:
                assert f.read() == unsigned, f"{arch}: without its signature the program is not the unsigned build"


def test_version_resources(programs, v=V):
    major, minor, patch = (int(n) for n in v.split("."))
    for arch, program in programs.items():
        pe = pefile.PE(data=program)
        assert hasattr(pe, "VS_FIXEDFILEINFO"), f"{arch}: no version resource"
        fixed = pe.VS_FIXEDFILEINFO[0]
        # major.minor.patch.0, as file and as product version
        numbers = (major << 16 | minor, patch << 16) * 2
        got = (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS)
        assert got == numbers, f"{arch}: {[hex(n) for n in got]}"
        strings = {key.decode(): value.decode() for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                   for table in info.StringTable for key, value in table.entries.items()}
        for name, expected in (("FileVersion", v), ("ProductVersion", v), ("ProductName", "quorl-socket-bridge"),
                               ("OriginalFilename", "quorl-socket-bridge.exe")):
            assert strings.get(name) == expected, f"{arch}: {name} is {strings.get(name)!r}"
        assert strings.get("FileDescription"), f"{arch}: no FileDescription"


def runs_here(program, v):
    ran = subprocess.run([program, "--version"], capture_output=True, text=True)
    assert ran.stdout == f"quorl-socket-forward {v}\n", ran


def macho_for(cpu):
    """A check that a file is a 64-bit Mach-O executable (MH_EXECUTE) for the
    CPU; for arm64 also code-signed (LC_CODE_SIGNATURE), since macOS runs no
    unsigned arm64 code, not even ad hoc."""
    def check(program, v):
        with open(program, "rb") as f:
            data = f.read()
        magic, cputype, _, filetype, commands = struct.unpack_from("<IIIII", data)
        assert (magic, cputype, filetype) == (0xFEEDFACF, cpu, 2), \
            f"{program}: magic 0x{magic:x}, CPU 0x{cputype:x}, file type {filetype}"
        kinds, at = [], 32
        for _ in range(commands):
            kind, size = struct.unpack_from("<II", data, at)
            kinds.append(kind)
            at += size
        assert cpu != MACOS_CPUS["arm64"] or 0x1D in kinds, f"{program}: no code signature"
    return check


def check_package(root, v, programs, check_program):
    """The files a user gets, below `root` (the .deb's usr/ or the tarball's
    top folder), with their modes, and the forwarder itself (run where it can
    run here, read where it cannot)."""
    def mode(path):
        assert os.path.isfile(os.path.join(root, path)), f"{path} is missing from {root}"
        return os.stat(os.path.join(root, path)).st_mode & 0o777

    def read(path):
        with open(os.path.join(root, path), "rb") as f:
            return f.read()

    assert mode("bin/quorl-socket-forward") == 0o755
    for path in ("share/man/man1/quorl-socket-forward.1.gz", "share/doc/quorl-socket-forward/LICENSE",
                 "share/quorl-socket-forward/systemd/quorl-socket-forward-agent.socket",
                 "share/quorl-socket-forward/systemd/quorl-socket-forward-agent.service",
                 "share/quorl-socket-forward/systemd/quorl-socket-forward-wsl-agent.socket",
                 "share/quorl-socket-forward/systemd/quorl-socket-forward-wsl-agent.service",
                 "share/quorl-socket-forward/launchd/org.quorl.socket-forward.agent.plist"):
        assert mode(path) == 0o644, path
    page = gzip.decompress(read("share/man/man1/quorl-socket-forward.1.gz")).decode()
    assert page.startswith(".TH QUORL\\-SOCKET\\-FORWARD 1") and ".SH DEPLOY" in page, page[:200]
    for arch, program in programs.items():
        path = f"share/quorl-socket-bridge/windows-{arch}/quorl-socket-bridge.exe"
        mode(path)
        assert read(path) == program, f"{path} is not the zipped program"
    check_program(os.path.join(root, "bin/quorl-socket-forward"), v)


@pytest.mark.parametrize("system", ["deb", "Linux-x86_64"] + [f"macos-{arch}" for arch in MACOS_CPUS])
def test_package(dist, programs, system, v=V):
    check = macho_for(MACOS_CPUS[system[6:]]) if system.startswith("macos-") else runs_here
    with tempfile.TemporaryDirectory() as folder:
        if system == "deb":
            deb = os.path.join(dist, f"quorl-socket-forward_{v}_amd64.deb")
            fields = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True, text=True, check=True).stdout
            depends = re.search(r"^Depends: (.*)$", fields, re.M).group(1)
            assert "openssh-client" in [d.strip().split()[0] for d in depends.split(",")], depends
            assert re.search(r"^Version: " + re.escape(v) + "$", fields, re.M), fields
            subprocess.run(["dpkg-deb", "-x", deb, folder], check=True)
            return check_package(os.path.join(folder, "usr"), v, programs, check)
        with tarfile.open(os.path.join(dist, f"quorl-socket-forward-{v}-{system}.tar.gz")) as tar:
            tar.extractall(folder)
        check_package(os.path.join(folder, f"quorl-socket-forward-{v}-{system}"), v, programs, check)
