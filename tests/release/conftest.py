import os

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def pytest_addoption(parser):
    parser.addoption("--dist", default=os.path.join(ROOT, "dist"))
    parser.addoption("--ca", help="the root the programs' signatures must verify against")
    parser.addoption("--allowed-signers", help="the signers SHA256SUMS.sig must verify with")


@pytest.fixture(scope="session")
def dist(pytestconfig):
    return pytestconfig.getoption("dist")


@pytest.fixture(scope="session")
def ca(pytestconfig):
    return pytestconfig.getoption("ca")


@pytest.fixture(scope="session")
def signers(pytestconfig):
    return pytestconfig.getoption("allowed_signers")
