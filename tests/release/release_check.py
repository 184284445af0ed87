#!/usr/bin/env python3
"""Checks what scripts/release left in dist/: the sums, the Windows zips, and
the forwarder's .deb and .tar.gz with the files a user gets, their modes, the
package's dependencies, and that the installed forwarder runs.

  tests/release/release_check.py [--dist dist] [--xml FILE]

Ends with "N passed, N failed"."""

import argparse
import gzip
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import traceback
import xml.etree.ElementTree as ET
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MACHINES = {"arm64": 0xAA64, "x64": 0x8664}


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(quorl-socket-bridge VERSION ([0-9.]+)", f.read()).group(1)


def pe_machine(data):
    offset = int.from_bytes(data[0x3C:0x40], "little")
    assert data[:2] == b"MZ" and data[offset:offset + 4] == b"PE\0\0", "not a PE program"
    return int.from_bytes(data[offset + 4:offset + 6], "little")


def check_sums(dist, v):
    names = sorted(os.listdir(dist))
    expected = sorted([f"quorl-socket-bridge-{v}-windows-arm64.zip", f"quorl-socket-bridge-{v}-windows-x64.zip",
                       f"quorl-socket-forward_{v}_amd64.deb", f"quorl-socket-forward-{v}-Linux-x86_64.tar.gz",
                       "SHA256SUMS"])
    assert names == expected, names
    done = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    listed = sorted(line.split()[1] for line in open(os.path.join(dist, "SHA256SUMS")))
    assert listed == sorted(n for n in expected if n != "SHA256SUMS"), listed


def zipped_programs(dist, v):
    programs = {}
    for arch in MACHINES:
        with zipfile.ZipFile(os.path.join(dist, f"quorl-socket-bridge-{v}-windows-{arch}.zip")) as z:
            top = f"quorl-socket-bridge-{v}-windows-{arch}/"
            assert sorted(z.namelist()) == [top + "INSTALL.txt", top + "quorl-socket-bridge.exe"], z.namelist()
            program = z.read(top + "quorl-socket-bridge.exe")
            assert pe_machine(program) == MACHINES[arch], arch
            notes = z.read(top + "INSTALL.txt").decode()
            assert f"quorl-socket-bridge {v} for Windows {arch}" in notes and "http-pipe.allow" in notes, notes[:200]
            programs[arch] = program
    return programs


def check_package(root, v, programs):
    """The files a user gets, below `root` (the .deb's usr/ or the tarball's
    top folder), with their modes, and the forwarder runs."""
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
                 "share/quorl-socket-forward/launchd/org.quorl.socket-forward.agent.plist"):
        assert mode(path) == 0o644, path
    page = gzip.decompress(read("share/man/man1/quorl-socket-forward.1.gz")).decode()
    assert page.startswith(".TH QUORL\\-SOCKET\\-FORWARD 1") and ".SH DEPLOY" in page, page[:200]
    for arch, program in programs.items():
        path = f"share/quorl-socket-bridge/windows-{arch}/quorl-socket-bridge.exe"
        mode(path)
        assert read(path) == program, f"{path} is not the zipped program"
    ran = subprocess.run([os.path.join(root, "bin/quorl-socket-forward"), "--version"], capture_output=True, text=True)
    assert ran.stdout == f"quorl-socket-forward {v}\n", ran


def check_deb(dist, v, programs):
    deb = os.path.join(dist, f"quorl-socket-forward_{v}_amd64.deb")
    fields = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True, text=True, check=True).stdout
    depends = re.search(r"^Depends: (.*)$", fields, re.M).group(1)
    assert "openssh-client" in [d.strip().split()[0] for d in depends.split(",")], depends
    assert re.search(r"^Version: " + re.escape(v) + "$", fields, re.M), fields
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["dpkg-deb", "-x", deb, folder], check=True)
        check_package(os.path.join(folder, "usr"), v, programs)


def check_tarball(dist, v, programs):
    with tempfile.TemporaryDirectory() as folder:
        with tarfile.open(os.path.join(dist, f"quorl-socket-forward-{v}-Linux-x86_64.tar.gz")) as tar:
            tar.extractall(folder)
        check_package(os.path.join(folder, f"quorl-socket-forward-{v}-Linux-x86_64"), v, programs)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    parser.add_argument("--xml")
    args = parser.parse_args()
    v = version()
    suite = ET.Element("testsuite", name="Release")
    passed = failed = 0
    programs = {}
    steps = [("sums", lambda: check_sums(args.dist, v)),
             ("zips", lambda: programs.update(zipped_programs(args.dist, v))),
             ("deb", lambda: check_deb(args.dist, v, programs)),
             ("tarball", lambda: check_tarball(args.dist, v, programs))]
    for name, step in steps:
        case = ET.SubElement(suite, "testcase", classname="Release", name=name)
        try:
            step()
            passed += 1
            print(f"[  OK  ] {name}")
        except Exception as error:
            failed += 1
            text = f"{error!r}\n{traceback.format_exc()}"
            ET.SubElement(case, "failure", message=str(error)[:200]).text = text
            print(f"[FAILED] {name}: {text}")
    suite.set("tests", str(passed + failed))
    suite.set("failures", str(failed))
    if args.xml:
        os.makedirs(os.path.dirname(args.xml), exist_ok=True)
        ET.ElementTree(suite).write(args.xml, encoding="utf-8", xml_declaration=True)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
