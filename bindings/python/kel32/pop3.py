"""Reading mail over POP3: messages saved to files, attachments decoded into files of their own."""
from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator, Optional

from . import _common as S
from . import _native as N
from . import constants as C

_UID_SIZE = 128


@dataclass(frozen=True)
class SavedMessage:
    """A message saved by Message.save: the email file (header and body
    text, with a note where each attachment went) and the attachment files."""

    path: Path
    attachments: list = field(default_factory=list)


class Message:
    """One message of the mailbox, by its number (1 is the first)."""

    def __init__(self, box: "Pop3", number: int) -> None:
        self._box = box
        self.number = number

    def __repr__(self) -> str:
        return f"<kel32.Message {self.number}>"

    @property
    def size(self) -> int:
        """Its size on the server, in bytes (LIST)."""
        return self._box.size(self.number)

    @property
    def uid(self) -> str:
        """Its unique id (UIDL)."""
        return self._box.uid(self.number)

    def top(self, lines: int = 0) -> str:
        """The header and the first ``lines`` lines of the body (TOP), undecoded."""
        return self._box.top(self.number, lines)

    def save(self, directory: N.PathLike, attachments_dir: Optional[N.PathLike] = None,
             file_name: Optional[str] = None) -> SavedMessage:
        """Retrieves the message (RETR) into ``directory``/``file_name``
        (default "<number>.eml") and every attachment, decoded, into
        ``attachments_dir`` (default: ``directory``). Both are made when missing.
        """
        return self._box.save(self.number, directory, attachments_dir, file_name)

    def delete(self) -> None:
        """Marks the message for deletion (DELE); it goes when the session closes."""
        self._box.delete(self.number)


class Pop3(S.Session):
    """One POP3 session.

    >>> with kel32.Pop3("mail.example.com", user="bob", password="...") as box:
    ...     for m in box.messages():
    ...         saved = m.save("inbox", "attachments")

    port: default 995 with tls="implicit", else 110. tls: "starttls"
    (default: STLS required before the login), "implicit", "opportunistic"
    or "off"; the certificate is checked as for Smtp. The login is USER/PASS,
    or APOP with apop=True, or AUTH with a token (XOAUTH2, OAUTHBEARER) or
    a forced mechanism (auth="plain").

    Not for use from several threads at once; one Pop3 per thread.
    """

    def __init__(self, host: str, port: Optional[int] = None, *, user: str, password: str = "",
                 tls: Optional[str] = "starttls", token: Optional[str] = None, auth: str = "auto",
                 apop: bool = False, ca_file: Optional[N.PathLike] = None,
                 server_name: Optional[str] = None, verify: bool = True,
                 log_file: Optional[N.PathLike] = None) -> None:
        super().__init__()
        self.host = host
        self._tls = S.tls_mode(tls)
        self.port = int(port) if port is not None else (995 if self._tls == C.KEL_TLS_IMPLICIT else 110)
        self._user = S.bounded("user", user, S.LOGIN_LIMIT)
        self._password = S.bounded("password", password, S.LOGIN_LIMIT)
        self._token = S.bounded("token", token, S.TOKEN_LIMIT) if token else b""
        self._auth = S.mechanism(auth, S.POP3_MECHANISMS)
        self._apop = apop
        self._ca_file = ca_file
        self._server_name = server_name
        self._verify = verify
        self._log_file = log_file

    def connect(self) -> "Pop3":
        """Connects, starts TLS and logs in. Raises KelError (the channel is freed again)."""
        channel = self._take()
        lib = N.library()
        try:
            S.apply_log(channel, self._log_file)
            lib.kelIntegerParam(channel, C.KEL_AUTO_CALL_DRIVER, 1)
            lib.kelIntegerParam(channel, C.KEL_POP3_PORT, self.port)
            S.apply_tls(channel, self._tls, self._verify, self._ca_file, self._server_name)
            lib.kelIntegerParam(channel, C.KEL_ENABLE_APOP, 1 if self._apop else 0)
            N.check(lib.kelIntegerParam(channel, C.KEL_AUTH_MECHANISM, self._auth), channel,
                    "kelIntegerParam(KEL_AUTH_MECHANISM)")
            N.check(lib.kelStringParam(channel, C.KEL_OAUTH_TOKEN, self._token), channel,
                    "kelStringParam(KEL_OAUTH_TOKEN)")
            rc = lib.kelPop3Connect(channel, N.encode(self.host), self._user, self._password)
            N.check(rc, channel, "kelPop3Connect")
        except BaseException:
            self._drop()
            raise
        return self

    def count(self) -> int:
        """The number of messages in the mailbox (STAT)."""
        return N.check(N.library().kelGetEmailCount(self.channel), self.channel, "kelGetEmailCount")

    def __len__(self) -> int:
        return self.count()

    def messages(self) -> Iterator[Message]:
        """Every message of the mailbox, first to last (counted when the iteration starts)."""
        for number in range(1, self.count() + 1):
            yield Message(self, number)

    def message(self, number: int) -> Message:
        return Message(self, number)

    def size(self, number: int) -> int:
        return N.check(N.library().kelGetEmailSize(self.channel, number), self.channel, "kelGetEmailSize")

    def uid(self, number: int) -> str:
        if number < 1:
            raise ValueError("message numbers start at 1")
        buffer = ctypes.create_string_buffer(_UID_SIZE)
        N.check(N.library().kelGetEmailUID(self.channel, number, buffer, _UID_SIZE), self.channel,
                "kelGetEmailUID")
        # The reply's own form "number uid" is kept by some servers' libraries: the last word is the id.
        words = buffer.value.decode("utf-8", "replace").split()
        return words[-1] if words else ""

    def top(self, number: int, lines: int = 0, size: int = 65536) -> str:
        """The header and the first ``lines`` lines of a message, at most ``size`` bytes."""
        buffer = ctypes.create_string_buffer(max(size, 128) + 1)
        n = N.check(N.library().kelGetEmailLines(self.channel, number, lines, buffer, max(size, 128)),
                    self.channel, "kelGetEmailLines")
        return buffer.raw[:n].decode("utf-8", "replace")

    def delete(self, number: int) -> None:
        N.check(N.library().kelDeleteEmail(self.channel, number), self.channel, "kelDeleteEmail")

    def save(self, number: int, directory: N.PathLike, attachments_dir: Optional[N.PathLike] = None,
             file_name: Optional[str] = None) -> SavedMessage:
        """Message.save by number."""
        channel = self.channel
        lib = N.library()
        directory = os.path.abspath(os.fspath(directory))
        attachments_dir = os.path.abspath(os.fspath(attachments_dir)) if attachments_dir is not None else directory
        name = file_name or f"{number}.eml"
        if os.sep in name or (os.altsep and os.altsep in name):
            raise ValueError("file_name is a name, not a path")
        args = (S.bounded_path("file_name", name), S.bounded_path("directory", directory),
                S.bounded_path("attachments_dir", attachments_dir))
        os.makedirs(directory, exist_ok=True)
        os.makedirs(attachments_dir, exist_ok=True)
        N.check(lib.kelGetEmailFile(channel, number, *args), channel, "kelGetEmailFile")
        names = N.debug_text(channel, C.KEL_DEBUG_ATTACH_LIST, 4096)
        files = [Path(attachments_dir) / n for n in names.split(N.ATTACH_SEPARATOR) if n]
        return SavedMessage(path=Path(directory) / name, attachments=files)
