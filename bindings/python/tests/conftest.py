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


# ---- The real servers (tests/e2e/mailstack.sh, started by the CTest fixture) -----------

def pytest_configure(config):
    config.addinivalue_line("markers", "e2e: against the real Postfix and Dovecot of tests/e2e (ctest -L e2e)")


class Mailstack:
    def __init__(self) -> None:
        env = os.environ
        self.host = env.get("MAILSTACK_HOST", "127.0.0.1")
        self.smtp_port = int(env.get("MAILSTACK_SMTP_PORT", "2525"))
        self.submission_port = int(env.get("MAILSTACK_SUBMISSION_PORT", "2587"))
        self.pop3_port = int(env.get("MAILSTACK_POP3_PORT", "1110"))
        self.dir = Path(env.get("MAILSTACK_DIR", "/tmp/mailstack"))
        self.domain = env.get("MAILSTACK_DOMAIN", "example.test")
        self.ca_file = Path(env.get("MAILSTACK_CA_FILE", str(self.dir / "tls" / "ca.pem")))
        self.users = dict(u.split(":", 1) for u in env.get("MAILSTACK_USERS", "").split() if ":" in u)

    def maildir_files(self, user: str) -> list:
        base = self.dir / "mail" / self.domain / user
        return [p for sub in ("new", "cur") for p in (base / sub).glob("*") if p.is_file()]

    def empty(self, user: str) -> None:
        for p in self.maildir_files(user):
            p.unlink()

    def wait_for_mail(self, user: str, count: int, seconds: float = 15) -> list:
        import time
        end = time.monotonic() + seconds
        while len(files := self.maildir_files(user)) < count and time.monotonic() < end:
            time.sleep(0.02)
        return files


def _greets(host: str, port: int, prefix: bytes) -> str:
    import socket
    try:
        with socket.create_connection((host, port), timeout=3) as s:
            line = s.makefile("rb").readline()
            return "" if line.startswith(prefix) else f"{host}:{port} greeted with {line!r}"
    except OSError as e:
        return f"{host}:{port}: {e}"


@pytest.fixture(scope="session")
def mailstack():
    """The running test bed; skips the whole run (exit 77, CTest "skipped") when it is not
    there, or fails with KEL_E2E_REQUIRED=1 (CI)."""
    m = Mailstack()
    state = ""
    state_file = os.environ.get("KEL_E2E_STATE_FILE")
    if state_file and os.path.exists(state_file):
        state = Path(state_file).read_text().strip()
    why = state[len("unavailable:"):].strip() if state.startswith("unavailable:") else (
        _greets(m.host, m.smtp_port, b"220 ") or _greets(m.host, m.pop3_port, b"+OK"))
    if why:
        if os.environ.get("KEL_E2E_REQUIRED") == "1" or state == "up":
            pytest.fail(f"e2e mail stack unavailable: {why}")
        pytest.exit(f"e2e mail stack unavailable: {why} (tests/e2e/mailstack.sh install + start)", returncode=77)
    return m
