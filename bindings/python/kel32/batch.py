"""Many messages over many channels from one thread: the library's non-blocking mode and kelWait."""
from __future__ import annotations

import collections
import ctypes
import os
from dataclasses import dataclass, field
from typing import Any, Deque, Iterable, List, Optional, Sequence, Tuple, Union

from . import _native as N
from . import constants as C
from .smtp import Attachment, SendResult, Smtp


@dataclass
class Outgoing:
    """One message for send_many; the fields are those of Smtp.send."""

    to: Union[str, Sequence[str]]
    subject: str = ""
    body: str = ""
    cc: Union[str, Sequence[str], None] = None
    bcc: Union[str, Sequence[str], None] = None
    attachments: Sequence[Attachment] = field(default_factory=tuple)
    sender: Optional[str] = None
    body_format: str = "plain"


class _Lane:
    """One channel of send_many: its session and the message it carries."""

    def __init__(self, smtp: Smtp) -> None:
        self.smtp = smtp
        self.phase = "connect"           # connect, send, close
        self.job: Optional[Tuple[int, list, Optional[str]]] = None  # index, recipients, temporary file
        self.reconnects = 0

    def drop_job(self) -> None:
        if self.job and self.job[2]:
            try:
                os.unlink(self.job[2])
            except OSError:
                pass
        self.job = None


def send_many(messages: Iterable[Union[Outgoing, dict]], host: str, port: int = 587, *, channels: int = 8,
              wait: float = 1.0, **session: Any) -> List[Union[SendResult, Exception]]:
    """Sends every message over up to ``channels`` SMTP sessions at once, from this thread.

    messages: Outgoing objects (or dicts of their fields). session: the
    keyword arguments of Smtp (tls, user, password, token, sender, ca_file
    ...), the same for every session. Each session connects once and sends
    message after message; the library runs them all in non-blocking mode
    and kelWait sleeps until one has work (``wait`` seconds at most per
    wait). Returns one entry per message, in order: its SendResult, or the
    exception that ended it (KelError, RecipientsRefused among them; or the
    ValueError or FileNotFoundError of a message that could not be started).
    A session whose connection breaks connects again for its next message.
    """
    jobs: Deque[Tuple[int, Outgoing]] = collections.deque()
    for index, m in enumerate(messages):
        jobs.append((index, m if isinstance(m, Outgoing) else Outgoing(**m)))
    results: List[Any] = [None] * len(jobs)
    if not jobs:
        return []
    if channels < 1:
        raise ValueError("channels must be at least 1")
    lib = N.library()
    lanes: List[_Lane] = []
    last_error: Optional[Exception] = None

    def start_connect(lane: _Lane) -> bool:
        nonlocal last_error
        lane.phase = "connect"
        rc = lane.smtp._start_connect()
        if rc < 0:
            last_error = N.fail(rc, lane.smtp.channel, "kelSmtpConnect")
            return False
        return True

    def start_next(lane: _Lane) -> bool:
        """Starts the next message, or the QUIT when none is left. False: the lane is done."""
        while jobs:
            index, m = jobs.popleft()
            try:
                recipients, start, temporary = lane.smtp._prepare_send(
                    m.to, m.subject, m.body, cc=m.cc, bcc=m.bcc, attachments=m.attachments, sender=m.sender,
                    body_file=None, body_format=m.body_format, inline_images=True, strict=False)
            except (ValueError, OSError, N.KelError) as e:
                results[index] = e
                continue
            lane.job = (index, recipients, temporary)
            lane.phase = "send"
            rc = start()
            if rc < 0:
                finish(lane, rc)
                continue
            return True
        lane.phase = "close"
        return lib.kelClose(lane.smtp.channel) >= 0 and lib.kelStatistics(lane.smtp.channel, C.KEL_STAT_SOCKET) != -1

    def finish(lane: _Lane, rc: int) -> None:
        assert lane.job is not None
        index, recipients = lane.job[0], lane.job[1]
        try:
            results[index] = lane.smtp._finish_send(rc, recipients)
        except N.KelError as e:
            results[index] = e
        lane.drop_job()

    try:
        for _ in range(min(channels, len(jobs))):
            smtp = Smtp(host, port, **session)
            smtp._open(blocking=False)
            lane = _Lane(smtp)
            lanes.append(lane)
            if not start_connect(lane):
                lane.phase = "done"

        while True:
            live = [lane for lane in lanes if lane.phase != "done"]
            if not live:
                break
            count = len(live)
            channel_list = (ctypes.c_uint * count)(*(lane.smtp.channel for lane in live))
            ready = (ctypes.c_int * count)()
            rc = lib.kelWait(channel_list, count, int(wait * 1000), ready)
            if rc < 0:
                raise N.fail(rc, 0, "kelWait")
            for i, lane in enumerate(live):
                if not ready[i]:
                    continue
                rc = lib.kelDriver(lane.smtp.channel)
                if rc > 0:
                    continue                      # still working (KEL_WAITING or a state)
                channel = lane.smtp.channel
                if lane.phase == "connect":
                    if rc < 0:
                        last_error = N.fail(rc, channel, "kelSmtpConnect")
                        lane.phase = "done"
                    elif not start_next(lane):
                        lane.phase = "done"
                elif lane.phase == "send":
                    finish(lane, rc)
                    still_open = lib.kelStatistics(channel, C.KEL_STAT_SOCKET) != -1
                    if rc < 0 and not still_open and jobs and lane.reconnects < 3:
                        lane.reconnects += 1
                        if not start_connect(lane):
                            lane.phase = "done"
                    elif rc < 0 and not still_open:
                        lane.phase = "done"
                    elif not start_next(lane):
                        lane.phase = "done"
                else:
                    lane.phase = "done"           # the QUIT ended, well or not
            # Messages no session is left to carry share the last connect failure.
            if jobs and all(lane.phase == "done" for lane in lanes):
                error = last_error or N.KelError(-1, "no session could be opened", "send_many")
                while jobs:
                    results[jobs.popleft()[0]] = error
    finally:
        for lane in lanes:
            lane.drop_job()
            lane.smtp.abort()
    return results
