"""Servers on 127.0.0.1 for the package's tests.

ScriptServer plays a script against each connection it accepts and checks
every byte it receives, as the library's own scripted server does:

    server = ScriptServer()
    server.send("220 hello\\r\\n").expect_line("EHLO ...\\r\\n").send("250 ok\\r\\n").close()
    server.start()
    ... drive the package against server.port ...
    assert server.finish(), server.failures

MailDrop is a small SMTP server for tests that open many sessions at once:
it answers every command, keeps every message, and refuses the
recipients it is told to refuse.
"""
from __future__ import annotations

import re
import socket
import ssl
import threading
from typing import Callable, List, Optional


class ScriptServer:
    def __init__(self, read_timeout: float = 10.0) -> None:
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._steps: List[Callable[[], None]] = []
        self._conn: Optional[socket.socket] = None
        self._pending = b""
        self._timeout = read_timeout
        self._thread: Optional[threading.Thread] = None
        self.failures: List[str] = []
        self.received = b""
        self.last_data = b""

    # ---- Script steps ---------------------------------------------------------------
    def accept(self) -> "ScriptServer":
        """Waits for the next connection (the first is accepted before the first step)."""
        self._steps.append(self._accept)
        return self

    def send(self, text: str) -> "ScriptServer":
        self._steps.append(lambda: self._conn.sendall(text.encode("utf-8")))  # type: ignore[union-attr]
        return self

    def expect_line(self, line: str) -> "ScriptServer":
        """Reads one line (up to LF) and compares it byte for byte."""
        def step() -> None:
            got = self._read_until(b"\n")
            if got != line.encode("utf-8"):
                self.failures.append(f"expected {line!r}, got {got!r}")
        self._steps.append(step)
        return self

    def expect_match(self, pattern: str) -> "ScriptServer":
        """Reads one line and matches it against a regular expression (for varying text)."""
        def step() -> None:
            got = self._read_until(b"\n")
            if not re.fullmatch(pattern.encode("utf-8"), got, re.S):
                self.failures.append(f"expected a line matching {pattern!r}, got {got!r}")
        self._steps.append(step)
        return self

    def read_data(self) -> "ScriptServer":
        """Reads a DATA part up to the line "." CR LF (kept in last_data without it)."""
        def step() -> None:
            data = self._read_until(b"\r\n.\r\n")
            self.last_data = data[: -len(b".\r\n")] if data.endswith(b"\r\n.\r\n") else data
        self._steps.append(step)
        return self

    def start_tls(self, chain: str, key: str) -> "ScriptServer":
        def step() -> None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(chain, key)
            self._conn = context.wrap_socket(self._conn, server_side=True)  # type: ignore[arg-type]
            self._pending = b""
        self._steps.append(step)
        return self

    def close(self) -> "ScriptServer":
        def step() -> None:
            if self._conn is not None:
                self._conn.close()
                self._conn = None
        self._steps.append(step)
        return self

    # ---- Running -----------------------------------------------------------------------
    def start(self) -> None:
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def finish(self, timeout: float = 20.0) -> bool:
        """Waits for the script's end; True when nothing failed."""
        if self._thread is not None:
            self._thread.join(timeout)
            if self._thread.is_alive():
                self.failures.append("the script did not end in time")
        self.stop()
        return not self.failures

    def stop(self) -> None:
        for s in (self._conn, self._listener):
            if s is not None:
                try:
                    s.close()
                except OSError:
                    pass

    def _run(self) -> None:
        try:
            self._accept()
            for step in self._steps:
                step()
        except Exception as e:  # recorded: the test reports it
            self.failures.append(f"script stopped: {e!r}")

    def _accept(self) -> None:
        if self._conn is not None:
            self._conn.close()
        self._listener.settimeout(self._timeout)
        self._conn, _ = self._listener.accept()
        self._conn.settimeout(self._timeout)
        self._pending = b""

    def _read_until(self, end: bytes) -> bytes:
        assert self._conn is not None
        while end not in self._pending:
            chunk = self._conn.recv(65536)
            if not chunk:
                raise ConnectionError(f"closed by the client while waiting for {end!r}")
            self._pending += chunk
            self.received += chunk
        cut = self._pending.index(end) + len(end)
        got, self._pending = self._pending[:cut], self._pending[cut:]
        return got


class MailDrop:
    """An SMTP server for many sessions at once: every message kept, some recipients refused."""

    def __init__(self, refuse: tuple = ()) -> None:
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self.refuse = {r.lower() for r in refuse}
        self.messages: List[dict] = []
        self.sessions = 0
        self.peak = 0
        self._live = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._threads: List[threading.Thread] = []
        self._accepter = threading.Thread(target=self._accept_loop, daemon=True)
        self._accepter.start()

    def close(self) -> None:
        self._stop.set()
        self._accepter.join(5)
        for t in self._threads:
            t.join(5)
        self._listener.close()

    def _accept_loop(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._threads.append(t)
            t.start()

    def _serve(self, conn: socket.socket) -> None:
        with self._lock:
            self.sessions += 1
            self._live += 1
            self.peak = max(self.peak, self._live)
        conn.settimeout(30)
        f = conn.makefile("rb")
        try:
            conn.sendall(b"220 maildrop ready\r\n")
            sender, rcpts = "", []
            for raw in f:
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                verb = line[:4].upper()
                if verb in ("EHLO", "HELO"):
                    conn.sendall(b"250-maildrop\r\n250 8BITMIME\r\n" if verb == "EHLO" else b"250 maildrop\r\n")
                elif verb == "MAIL":
                    sender, rcpts = line[10:], []
                    conn.sendall(b"250 2.1.0 Ok\r\n")
                elif verb == "RCPT":
                    address = line[8:].strip().strip("<>").lower()
                    if address in self.refuse:
                        conn.sendall(f"550 5.1.1 <{address}>: no such user\r\n".encode())
                    else:
                        rcpts.append(address)
                        conn.sendall(b"250 2.1.5 Ok\r\n")
                elif verb == "DATA":
                    conn.sendall(b"354 go ahead\r\n")
                    data = b""
                    for part in f:
                        if part == b".\r\n":
                            break
                        data += part
                    with self._lock:
                        self.messages.append({"from": sender, "to": rcpts, "data": data})
                    conn.sendall(b"250 2.0.0 Ok: queued\r\n")
                elif verb == "RSET":
                    sender, rcpts = "", []
                    conn.sendall(b"250 2.0.0 Ok\r\n")
                elif verb == "QUIT":
                    conn.sendall(b"221 2.0.0 Bye\r\n")
                    break
                else:
                    conn.sendall(b"502 5.5.2 Error: command not recognized\r\n")
        except OSError:
            pass
        finally:
            with self._lock:
                self._live -= 1
            conn.close()
