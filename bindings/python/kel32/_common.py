"""What the SMTP and POP3 classes share: TLS and login settings of a channel."""
from __future__ import annotations

import os
from typing import Optional

from . import _native as N
from . import constants as C

TLS_MODES = {
    "off": C.KEL_TLS_OFF,
    "starttls": C.KEL_TLS_REQUIRED,
    "opportunistic": C.KEL_TLS_STARTTLS,
    "implicit": C.KEL_TLS_IMPLICIT,
}

SMTP_MECHANISMS = {
    "auto": C.KEL_AUTH_AUTO,
    "cram-md5": C.KEL_AUTH_CRAM_MD5,
    "login": C.KEL_AUTH_LOGIN,
    "plain": C.KEL_AUTH_PLAIN,
    "xoauth2": C.KEL_AUTH_XOAUTH2,
    "oauthbearer": C.KEL_AUTH_OAUTHBEARER,
}
POP3_MECHANISMS = {k: v for k, v in SMTP_MECHANISMS.items() if k not in ("cram-md5", "login")}

# The channel record's fields: longer texts would be cut short by the library.
LOGIN_LIMIT = 64
TOKEN_LIMIT = 4096
PATH_LIMIT = 127


def tls_mode(tls: Optional[str]) -> int:
    """The KEL_TLS_MODE value of a tls= argument.

    "starttls" requires STARTTLS (STLS): a server that does not offer it
    fails before any login is sent. "opportunistic" uses it only when
    offered, "implicit" speaks TLS from the first byte, "off" (or None)
    never uses TLS.
    """
    key = "off" if tls is None else str(tls).lower()
    if key not in TLS_MODES:
        raise ValueError(f"tls must be one of {', '.join(TLS_MODES)}, not {tls!r}")
    return TLS_MODES[key]


def mechanism(auth: str, table: dict[str, int]) -> int:
    key = auth.lower()
    if key not in table:
        raise ValueError(f"auth must be one of {', '.join(table)}, not {auth!r}")
    return table[key]


def bounded(name: str, text: str, limit: int) -> bytes:
    data = text.encode("utf-8")
    if len(data) > limit:
        raise ValueError(f"{name} is longer than the library takes ({limit} bytes)")
    if any(c in text for c in "\r\n\x01"):
        raise ValueError(f"{name} holds a line break or control character")
    return data


def bounded_path(name: str, path: N.PathLike) -> bytes:
    data = N.encode_path(path)
    if len(data) > PATH_LIMIT:
        raise ValueError(f"{name} is longer than the library takes ({PATH_LIMIT} bytes): {os.fspath(path)}")
    return data


def apply_tls(channel: int, tls: int, verify: bool, ca_file: Optional[N.PathLike],
              server_name: Optional[str]) -> None:
    lib = N.library()
    lib.kelIntegerParam(channel, C.KEL_TLS_MODE, tls)
    lib.kelIntegerParam(channel, C.KEL_TLS_VERIFY, 1 if verify else 0)
    ca = N.encode_path(ca_file) if ca_file is not None else b""
    N.check(lib.kelStringParam(channel, C.KEL_TLS_CA_FILE, ca), channel, "kelStringParam(KEL_TLS_CA_FILE)")
    name = N.encode(server_name) if server_name else b""
    N.check(lib.kelStringParam(channel, C.KEL_TLS_SERVER_NAME, name), channel,
            "kelStringParam(KEL_TLS_SERVER_NAME)")


def apply_log(channel: int, log_file: Optional[N.PathLike]) -> None:
    if log_file is not None:
        N.check(N.library().kelStringParam(channel, C.KEL_LOG_FILE, N.encode_path(log_file)), channel,
                "kelStringParam(KEL_LOG_FILE)")


class Session:
    """A channel of the library held for one SMTP or POP3 session."""

    def __init__(self) -> None:
        self._channel: Optional[int] = None

    @property
    def channel(self) -> int:
        """The library's channel number (for calls of your own through kel32.library())."""
        if self._channel is None:
            raise RuntimeError("not connected")
        return self._channel

    @property
    def connected(self) -> bool:
        return self._channel is not None

    @property
    def encrypted(self) -> bool:
        """True while the connection runs over TLS."""
        return self._channel is not None and N.library().kelStatistics(self._channel, C.KEL_STAT_TLS) == 1

    @property
    def tls_info(self) -> str:
        """Protocol and cipher of the last TLS handshake ("" without TLS)."""
        return N.debug_text(self.channel, C.KEL_DEBUG_TLS_INFO, 256)

    @property
    def auth_mechanism(self) -> str:
        """The SASL mechanism of the last login ("" when there was none)."""
        return N.debug_text(self.channel, C.KEL_DEBUG_AUTH_MECHANISM, 64)

    def _take(self) -> int:
        if self._channel is not None:
            raise RuntimeError("already connected")
        self._channel = N.acquire()
        return self._channel

    def _drop(self) -> None:
        channel, self._channel = self._channel, None
        if channel is not None:
            N.give_back(channel)

    def close(self) -> None:
        """Ends the session (QUIT) and frees the channel; closing twice is harmless.

        A failure of the QUIT exchange is not raised: the session is over anyway.
        """
        if self._channel is None:
            return
        try:
            N.library().kelClose(self._channel)
        finally:
            self._drop()

    def abort(self) -> None:
        """Drops the connection at once, without QUIT, and frees the channel."""
        self._drop()

    def __enter__(self):  # type: ignore[no-untyped-def]
        if self._channel is None:
            self.connect()  # type: ignore[attr-defined]
        return self

    def __exit__(self, kind, value, traceback) -> None:  # type: ignore[no-untyped-def]
        if kind is None:
            self.close()
        else:
            self.abort()

    def __del__(self) -> None:
        try:
            self._drop()
        except Exception:
            pass
