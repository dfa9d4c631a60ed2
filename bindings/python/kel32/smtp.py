"""Sending mail over SMTP."""
from __future__ import annotations

import os
import tempfile
from dataclasses import dataclass, field
from email.header import Header
from typing import Iterable, Optional, Sequence, Tuple, Union

from . import _common as S
from . import _native as N
from . import constants as C

#: An attachment: a file name, or (file name, name shown in the message).
Attachment = Union[N.PathLike, Tuple[N.PathLike, str]]

BODY_FORMATS = {
    "plain": C.KEL_BODY_PLAIN,
    "quoted-printable": C.KEL_BODY_QUOTED,
    "html": C.KEL_BODY_HTML,
    "enriched": C.KEL_BODY_ENRICHED,
    "iso-8859-1": C.KEL_BODY_ISO8859,
}
# Text beyond ASCII in a plain body goes as UTF-8, quoted-printable.
UTF8_PLAIN = b"Content-Type: text/plain; charset=utf-8"


@dataclass(frozen=True)
class SendResult:
    """What the server did with the recipients of one message.

    accepted: the addresses (without angle brackets) the server took, in
    the order given (To, then CC, then BCC); refused: address -> the
    server's reply for each one it refused. bytes_sent counts the body and
    attachments as sent.
    """

    accepted: list = field(default_factory=list)
    refused: dict = field(default_factory=dict)
    bytes_sent: int = 0


class RecipientsRefused(N.KelError):
    """The server refused every recipient (code -78), or some of them while
    strict=True was asked for (code -79, sent to the others). ``result``
    lists who was accepted and who refused, with the replies."""

    def __init__(self, code: int, text: str, call: str, result: SendResult) -> None:
        super().__init__(code, text, call)
        self.result = result


def _address_entry(entry: str) -> Tuple[str, str]:
    """An address as the library takes it ("<a@b>" or "Name <a@b>") and the bare address."""
    text = entry.strip()
    if not text:
        raise ValueError("an empty address")
    if any(c in text for c in ",\r\n"):
        raise ValueError(f"a comma or line break in the address {entry!r} (give one address per entry)")
    if "<" not in text:
        text = f"<{text}>"
    bare = text[text.index("<") + 1:]
    bare = bare[: bare.index(">")] if ">" in bare else bare
    return text, bare


def _address_list(entries: Union[str, Iterable[str], None]) -> Tuple[str, list]:
    if entries is None:
        return "", []
    if isinstance(entries, str):
        entries = [entries]
    texts, bares = [], []
    for entry in entries:
        text, bare = _address_entry(entry)
        texts.append(text)
        bares.append(bare)
    return ",".join(texts), bares


def _attachment_list(attachments: Iterable[Attachment]) -> str:
    parts = []
    for item in attachments:
        if isinstance(item, tuple):
            path, name = item
        else:
            path, name = item, os.path.basename(os.fspath(item))
        path_text = os.fspath(path)
        if not os.path.isfile(path_text):
            raise FileNotFoundError(f"attachment not found: {path_text}")
        if any(c in path_text for c in (N.ATTACH_SEPARATOR, N.ALIAS_SEPARATOR)) or \
                any(c in name for c in (N.ATTACH_SEPARATOR, N.ALIAS_SEPARATOR, '"', "\r", "\n")):
            raise ValueError(f"unusable characters in the attachment {item!r}")
        parts.append(path_text + N.ALIAS_SEPARATOR + name)
    return N.ATTACH_SEPARATOR.join(parts)


def _subject(subject: str) -> str:
    if subject.isascii():
        return subject.replace("\r", " ").replace("\n", " ")
    # An encoded word (RFC 2047) keeps text beyond ASCII intact.
    return Header(subject, "utf-8").encode(linesep=" ")


def parse_refused(text: str) -> dict:
    """The "address reply" lines of KEL_DEBUG_REFUSED_LIST as address -> reply."""
    refused = {}
    for line in text.splitlines():
        if not line.strip():
            continue
        address, _, reply = line.partition(" ")
        refused[address.strip("<>")] = reply
    return refused


class Smtp(S.Session):
    """One SMTP session.

    >>> with kel32.Smtp("mail.example.com", 587, tls="starttls",
    ...                 user="alice@example.com", password="...") as smtp:
    ...     result = smtp.send(to=["bob@example.com"], subject="Report",
    ...                        body="Attached.", attachments=["report.pdf"])

    tls: "starttls" (default: STARTTLS required before the login),
    "implicit" (TLS from the first byte, usually port 465), "opportunistic"
    (STARTTLS when offered) or "off". The certificate is checked against
    the system's roots or ``ca_file``, and against ``server_name`` (default:
    the host). user and password log in (AUTH CRAM-MD5, LOGIN or PLAIN, as
    the server offers; ``auth`` forces one); token is an OAuth 2.0 bearer
    token (XOAUTH2 or OAUTHBEARER). sender is the From address (default:
    the user when it is an address). log_file receives the library's trace
    of the session (passwords are never written). pipelining=True sends
    the envelope's commands in one go when the server offers PIPELINING
    (with a login only).

    Refused recipients: by default a refused address is skipped and the
    message goes to the others (see SendResult); strict=True in send()
    raises RecipientsRefused when any was refused.

    Not for use from several threads at once; one Smtp per thread.
    """

    def __init__(self, host: str, port: int = 587, *, tls: Optional[str] = "starttls",
                 user: Optional[str] = None, password: Optional[str] = None, token: Optional[str] = None,
                 auth: str = "auto", sender: Optional[str] = None, reply_to: Optional[str] = None,
                 ca_file: Optional[N.PathLike] = None, server_name: Optional[str] = None,
                 verify: bool = True, pipelining: bool = False,
                 log_file: Optional[N.PathLike] = None) -> None:
        super().__init__()
        self.host = host
        self.port = int(port)
        self._tls = S.tls_mode(tls)
        self._auth = S.mechanism(auth, S.SMTP_MECHANISMS)
        self._user = S.bounded("user", user, S.LOGIN_LIMIT) if user else b""
        self._password = S.bounded("password", password, S.LOGIN_LIMIT) if password else b""
        self._token = S.bounded("token", token, S.TOKEN_LIMIT) if token else b""
        if sender is None and user and "@" in user:
            sender = user
        self.sender = _address_entry(sender)[0] if sender else ""
        self._reply_to = _address_entry(reply_to)[0] if reply_to else ""
        self._ca_file = ca_file
        self._server_name = server_name
        self._verify = verify
        # The library logs in whenever it greets with EHLO for itself; without
        # a login it says HELO, and EHLO only where STARTTLS needs it.
        self._esmtp = bool(user or token)
        self._pipelining = pipelining
        self._log_file = log_file

    def connect(self) -> "Smtp":
        """Connects, greets (EHLO, or HELO without login and TLS), starts TLS and logs in.

        Raises KelError (the channel is freed again).
        """
        self._open(blocking=True)
        try:
            N.check(self._start_connect(), self.channel, "kelSmtpConnect")
        except BaseException:
            self._drop()
            raise
        return self

    def _open(self, blocking: bool) -> int:
        """Takes a channel and sets every parameter of the session on it."""
        channel = self._take()
        lib = N.library()
        try:
            S.apply_log(channel, self._log_file)
            lib.kelIntegerParam(channel, C.KEL_AUTO_CALL_DRIVER, 1 if blocking else 0)
            lib.kelIntegerParam(channel, C.KEL_SMTP_PORT, self.port)
            S.apply_tls(channel, self._tls, self._verify, self._ca_file, self._server_name)
            lib.kelIntegerParam(channel, C.KEL_ENABLE_ESMTP, 1 if self._esmtp else 0)
            lib.kelIntegerParam(channel, C.KEL_PIPELINING, 1 if self._pipelining else 0)
            N.check(lib.kelIntegerParam(channel, C.KEL_AUTH_MECHANISM, self._auth), channel,
                    "kelIntegerParam(KEL_AUTH_MECHANISM)")
            for code, text in ((C.KEL_SMTP_USER, self._user), (C.KEL_SMTP_PASS, self._password),
                               (C.KEL_OAUTH_TOKEN, self._token)):
                N.check(lib.kelStringParam(channel, code, text), channel, "kelStringParam")
        except BaseException:
            self._drop()
            raise
        return channel

    def _start_connect(self) -> int:
        return N.library().kelSmtpConnect(self.channel, N.encode(self.host), N.encode(self.sender),
                                          N.encode(self._reply_to))

    def send(self, to: Union[str, Sequence[str]], subject: str = "", body: str = "", *,
             cc: Union[str, Sequence[str], None] = None, bcc: Union[str, Sequence[str], None] = None,
             attachments: Iterable[Attachment] = (), sender: Optional[str] = None,
             body_file: Optional[N.PathLike] = None, body_format: str = "plain",
             inline_images: bool = True, strict: bool = False) -> SendResult:
        """Sends one message; returns its SendResult.

        to, cc, bcc: an address or a list of them, each "a@b" or "Name <a@b>"
        (bcc appears in no header). attachments: file names, or (file name,
        name shown) pairs; GIF, JPEG, BMP and TIFF files go inline unless
        inline_images=False. body: the text (line ends as \\n or \\r\\n), or
        body_file: a file whose content is the body. body_format: "plain",
        "html", "quoted-printable", "enriched" or "iso-8859-1"; a plain body
        with text beyond ASCII is sent as UTF-8, an HTML one with character
        references. sender overrides the session's From for this message.

        Raises RecipientsRefused when no recipient was accepted (or, with
        strict=True, when any was refused), KelError for every other failure.
        """
        recipients, start, temporary = self._prepare_send(
            to, subject, body, cc=cc, bcc=bcc, attachments=attachments, sender=sender,
            body_file=body_file, body_format=body_format, inline_images=inline_images, strict=strict)
        try:
            rc = start()
        finally:
            if temporary:
                os.unlink(temporary)
        return self._finish_send(rc, recipients)

    def _prepare_send(self, to, subject, body, *, cc, bcc, attachments, sender, body_file, body_format,
                      inline_images, strict):  # type: ignore[no-untyped-def]
        """Checks the arguments and sets the channel up for one message.

        Returns the recipients' addresses, the kelSendEmail call to make and
        the temporary body file to delete once the send has ended (or None).
        """
        channel = self.channel
        lib = N.library()
        to_text, to_bare = _address_list(to)
        if not to_bare:
            raise ValueError("no recipient")
        cc_text, cc_bare = _address_list(cc)
        bcc_text, bcc_bare = _address_list(bcc)
        if body_format not in BODY_FORMATS:
            raise ValueError(f"body_format must be one of {', '.join(BODY_FORMATS)}, not {body_format!r}")
        from_text = _address_entry(sender)[0] if sender else self.sender
        if not from_text:
            raise ValueError("no sender: give sender= to Smtp() or send()")
        attach_text = _attachment_list(attachments)
        if body_file is not None and body:
            raise ValueError("give body or body_file, not both")

        fmt = BODY_FORMATS[body_format]
        temporary = None
        if body_file is not None:
            message = b"@" + N.encode_path(body_file)
        else:
            if body_format == "html" and not body.isascii():
                body = body.encode("ascii", "xmlcharrefreplace").decode("ascii")
            if fmt == C.KEL_BODY_PLAIN and not body.isascii():
                fmt = C.KEL_BODY_CUSTOM
                lib.kelStringParam(channel, C.KEL_CONTENT_TYPE, UTF8_PLAIN)
            data = body.encode("utf-8")
            if data.startswith(b"@"):
                # The library reads a text beginning with "@" as a file name.
                handle, temporary = tempfile.mkstemp(prefix="kel32-body-")
                with os.fdopen(handle, "wb") as f:
                    f.write(data)
                message = b"@" + N.encode_path(temporary)
            else:
                message = data
        lib.kelIntegerParam(channel, C.KEL_BODY_FORMAT, fmt)
        lib.kelIntegerParam(channel, C.KEL_AUTO_INLINE, 1 if inline_images else 0)
        lib.kelIntegerParam(channel, C.KEL_SKIP_REFUSED, 1)
        lib.kelIntegerParam(channel, C.KEL_STRICT_RECIPIENTS, 1 if strict else 0)
        N.check(lib.kelStringParam(channel, C.KEL_FROM, N.encode(from_text)), channel,
                "kelStringParam(KEL_FROM)")
        args = (channel, N.encode(to_text), N.encode(cc_text), N.encode(bcc_text),
                N.encode(_subject(subject)), message, N.encode(attach_text))
        return to_bare + cc_bare + bcc_bare, lambda: lib.kelSendEmail(*args), temporary

    def _finish_send(self, rc: int, recipients: list) -> SendResult:
        """The result of a send that ended with rc, or its exception."""
        channel = self.channel
        result = self._result(recipients)
        if rc in (C.KEL_ERR_NO_RECIPIENT, C.KEL_ERR_SOME_REFUSED):
            raise RecipientsRefused(rc, N.error_text(rc, channel), "kelSendEmail", result)
        N.check(rc, channel, "kelSendEmail")
        return result

    def _result(self, recipients: list) -> SendResult:
        lib = N.library()
        channel = self.channel
        refused = {}
        if lib.kelStatistics(channel, C.KEL_STAT_REFUSED_COUNT) > 0:
            refused = parse_refused(N.debug_text(channel, C.KEL_DEBUG_REFUSED_LIST, 8192))
        accepted = [a for a in recipients if a not in refused]
        return SendResult(accepted=accepted, refused=refused,
                          bytes_sent=max(lib.kelStatistics(channel, C.KEL_STAT_TOTAL_SENT), 0))

    def verify(self, address: str) -> bool:
        """VRFY: True when the server says it knows the address."""
        rc = N.check(N.library().kelVerifyUser(self.channel, N.encode(_address_entry(address)[1])),
                     self.channel, "kelVerifyUser")
        return rc == 1
