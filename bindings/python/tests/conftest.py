"""Shared fixtures: the library under test (KEL32_LIBRARY, set by CTest to
the build's libkel32.so), the test PKI, and servers that are always stopped."""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent.parent          # the project's top directory
sys.path.insert(0, str(HERE))

import kel32  # noqa: E402
from script_server import MailDrop, ScriptServer  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def library():
    """The library, with no pause after each command (the tests need no pacing)."""
    lib = kel32.library()
    kel32.configure(step_delay=0)
    yield lib
    kel32.configure(step_delay=0.025)


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """The test PKI of the library's own tests: ca.pem, server-chain.pem, server.key ..."""
    d = tmp_path_factory.mktemp("pki")
    subprocess.run(["bash", str(SOURCE / "tests" / "fixtures" / "make_test_pki.sh"), str(d)], check=True,
                   stdout=subprocess.DEVNULL)
    return d


@pytest.fixture
def server():
    """A ScriptServer, stopped after the test whatever happened."""
    s = ScriptServer()
    yield s
    s.stop()


@pytest.fixture
def maildrop():
    drops = []

    def make(**kw):
        d = MailDrop(**kw)
        drops.append(d)
        return d
    yield make
    for d in drops:
        d.close()


@pytest.fixture(autouse=True)
def no_channel_left():
    """Every test gives back each channel it took."""
    from kel32 import _native
    before = len(_native._free)
    yield
    if _native._attached:
        assert len(_native._free) == before or before == 0, "a channel was not given back"


def closed_port() -> int:
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port
