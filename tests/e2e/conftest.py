"""Which build the transcripts run against, and how it is started:

  pytest-3 tests/e2e --launcher scripts/wine-run --build build/win-x64 --platform "x64 windows"
  pytest-3 tests/e2e -m smoke --launcher "scripts/arm64-env run" --build build/win-arm64 \
      --platform "arm64 windows" --share /var/tmp/quorl-socket-bridge-arm64/tmp=Z:\\tmp

--share HOST=WINDOWS names a host folder that the launched programs see under
WINDOWS (each case's allowlist is written there). With --host PATH the cases run
natively against the transcript host (ctest's `transcripts`), and those that
start a pipe server are skipped: only the Windows builds have pipes."""

import os
import shlex
import tempfile
import types

import pytest


def pytest_addoption(parser):
    parser.addoption("--launcher", default="scripts/wine-run")
    parser.addoption("--build", default="build/win-x64")
    parser.addoption("--platform", default="x64 windows")
    parser.addoption("--share", default="/tmp=Z:\\tmp")
    parser.addoption("--host", help="the native transcript host instead of a Windows build")


def pytest_configure(config):
    config.addinivalue_line("markers", "smoke: the short set run against every build")


@pytest.fixture(scope="session")
def target(pytestconfig):
    option = pytestconfig.getoption
    if option("host"):
        return types.SimpleNamespace(launcher=[], platform="native", share_host=tempfile.gettempdir(), share_win=None,
                                     exe=lambda name: os.path.abspath(option("host")))
    host, _, win = option("share").partition("=")
    build = os.path.abspath(option("build"))
    return types.SimpleNamespace(launcher=shlex.split(option("launcher")), platform=option("platform"),
                                 share_host=host.rstrip("/"), share_win=win.rstrip("\\"),
                                 exe=lambda name: os.path.join(build, name + ".exe"))
