"""The library itself: loading it, the C prototypes, the error type, the
library-wide settings and the table of channels the classes share."""
from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Optional, Union

from . import constants as C

PathLike = Union[str, "os.PathLike[str]"]

#: The environment variable that names the library file to load.
LIBRARY_VARIABLE = "KEL32_LIBRARY"

#: The library splits attachment lists at these characters; the package
#: chooses control characters that no file name or attachment name holds.
ATTACH_SEPARATOR = "\x1f"
ALIAS_SEPARATOR = "\x1e"

_ERROR_TEXT_SIZE = 1024


class KelError(Exception):
    """A call of the library failed.

    ``code`` is the library's (negative) error code and ``text`` its
    kelErrorText, with the server's last reply where the library adds it.
    ``call`` names the C function that reported it.
    """

    def __init__(self, code: int, text: str, call: str = "") -> None:
        super().__init__(f"{text} (error {code}{', ' + call if call else ''})")
        self.code = code
        self.text = text
        self.call = call


class LibraryNotFound(OSError):
    """The shared library (libkel32.so, KEL32.dll or KEL64.dll) could not be loaded."""


# ---- Loading ----------------------------------------------------------------------

_lock = threading.RLock()
_lib: Optional[ctypes.CDLL] = None


def _candidates() -> list[str]:
    given = os.environ.get(LIBRARY_VARIABLE)
    if given:
        return [given]
    if sys.platform == "win32":
        return ["KEL64.dll" if ctypes.sizeof(ctypes.c_void_p) == 8 else "KEL32.dll"]
    names = ["libkel32.so.3", "libkel32.so"]
    found = ctypes.util.find_library("kel32")
    if found and found not in names:
        names.append(found)
    return names


def _declare(lib: ctypes.CDLL) -> None:
    u, i, s, b = ctypes.c_uint, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p
    table = {
        "kelAttach": (i, i),
        "kelRelease": (),
        "kelIntegerParam": (u, i, i),
        "kelStringParam": (u, i, s),
        "kelErrorText": (u, i, b, i),
        "kelDebug": (u, i, b, i),
        "kelStatistics": (u, i),
        "kelDriver": (u,),
        "kelWait": (ctypes.POINTER(u), i, i, ctypes.POINTER(i)),
        "kelSmtpConnect": (u, s, s, s),
        "kelSendEmail": (u, s, s, s, s, s, s),
        "kelVerifyUser": (u, s),
        "kelCommand": (u, s),
        "kelClose": (u,),
        "kelAbort": (u,),
        "kelPop3Connect": (u, s, s, s),
        "kelGetEmailCount": (u,),
        "kelGetEmailSize": (u, i),
        "kelDeleteEmail": (u, i),
        "kelGetEmailLines": (u, i, i, b, i),
        "kelGetEmailFile": (u, i, s, s, s),
        "kelGetEmailUID": (u, i, b, i),
        "kelExtractText": (s, s, b, i),
        "kelExtractLine": (s, i, b, i),
        "kelVerifyFormat": (s,),
        "kelEncodeBuffer": (s, b, i),
        "kelDecodeBuffer": (s, b, i),
    }
    for name, args in table.items():
        function = getattr(lib, name)
        function.argtypes = list(args)
        function.restype = ctypes.c_int


def library() -> ctypes.CDLL:
    """The loaded library, with every function's prototype declared.

    It is looked for as ``$KEL32_LIBRARY`` when that is set, else as
    libkel32.so.3 / libkel32.so on the system's library path (KEL32.dll or
    KEL64.dll, matching this Python, on Windows). Raises LibraryNotFound.
    """
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        errors = []
        # KEL32.dll uses the Windows convention (__stdcall); x86_64 has one.
        loader = getattr(ctypes, "WinDLL", ctypes.CDLL) if sys.platform == "win32" else ctypes.CDLL
        for name in _candidates():
            try:
                lib = loader(name)
            except OSError as e:
                errors.append(f"{name}: {e}")
                continue
            _declare(lib)
            _lib = lib
            return lib
        raise LibraryNotFound(
            "cannot load the KEL32 library (" + "; ".join(errors) + "); install it, or set "
            f"{LIBRARY_VARIABLE} to the path of libkel32.so (KEL32.dll or KEL64.dll on Windows)")


def encode(text: Optional[str]) -> Optional[bytes]:
    """Text for the library: UTF-8, or None for a null pointer."""
    return None if text is None else text.encode("utf-8")


def encode_path(path: PathLike) -> bytes:
    """A file or directory name in the form the library's file calls take."""
    text = os.fspath(path)
    if sys.platform == "win32":
        return text.encode("mbcs")
    return os.fsencode(text)


def error_text(code: int, channel: int = 0) -> str:
    """kelErrorText: the text of an error code.

    For -36, -49, -63, -78, -84 and -85 the library appends the channel's
    last server reply.
    """
    lib = library()
    with _lock:
        if not _attached:
            attach()
    buffer = ctypes.create_string_buffer(_ERROR_TEXT_SIZE)
    n = lib.kelErrorText(channel, code, buffer, _ERROR_TEXT_SIZE)
    return buffer.raw[: max(n, 0)].split(b"\0", 1)[0].decode("utf-8", "replace")


def fail(code: int, channel: int, call: str) -> KelError:
    return KelError(code, error_text(code, channel), call)


def check(code: int, channel: int, call: str) -> int:
    """code when it is not negative, else KelError."""
    if code < 0:
        raise fail(code, channel, call)
    return code


def debug_text(channel: int, code: int, size: int = 8192) -> str:
    buffer = ctypes.create_string_buffer(size)
    n = library().kelDebug(channel, code, buffer, size)
    if n < 0:
        return ""
    return buffer.value.decode("utf-8", "replace")


# ---- Channels ------------------------------------------------------------------------

_attached = 0
_free: list[int] = []


def attach(channels: int = 128) -> None:
    """Attaches the library with room for ``channels`` sessions at once (1 to 128).

    Optional: the first Smtp, Pop3 or send_many attaches 128 channels by
    itself. Each channel costs about 136 KB of (lazily used) memory. Raises
    KelError when the library is already attached with another count.
    """
    global _attached, _free
    with _lock:
        if _attached:
            if channels == _attached:
                return
            raise KelError(-72, f"the library is already attached with {_attached} channels", "kelAttach")
        lib = library()
        rc = lib.kelAttach(channels, 0)
        if rc < 0:
            raise fail(rc, 0, "kelAttach")
        _attached = channels
        _free = list(range(channels - 1, -1, -1))
        # Library-wide: lists with control characters as separators, so
        # commas and bars in file names need no care.
        lib.kelIntegerParam(0, C.KEL_ATTACH_SEPARATOR, ord(ATTACH_SEPARATOR))
        lib.kelIntegerParam(0, C.KEL_ALIAS_SEPARATOR, ord(ALIAS_SEPARATOR))


def release() -> None:
    """Releases the library: every channel's socket and file is closed.

    Runs by itself when Python exits; a later Smtp or Pop3 attaches again.
    """
    global _attached, _free
    with _lock:
        if _attached and _lib is not None:
            _lib.kelRelease()
        _attached = 0
        _free = []


atexit.register(release)


def acquire() -> int:
    """A free channel number (attaching the library first when needed)."""
    with _lock:
        if not _attached:
            attach()
        if not _free:
            raise KelError(-73, f"all {_attached} channels are in use", "kelAttach")
        return _free.pop()


def give_back(channel: int) -> None:
    """Ends whatever the channel still does, wipes its login texts and frees it."""
    with _lock:
        if not _attached or _lib is None:
            return
        lib = _lib
        lib.kelAbort(channel)
        for code in (C.KEL_SMTP_USER, C.KEL_SMTP_PASS, C.KEL_OAUTH_TOKEN):
            lib.kelStringParam(channel, code, b"")
        lib.kelStringParam(channel, C.KEL_LOG_FILE, b"")
        lib.kelIntegerParam(channel, C.KEL_AUTO_CALL_DRIVER, 1)
        _free.append(channel)


def configure(*, step_delay: Optional[float] = None, response_timeout: Optional[float] = None,
              connect_timeout: Optional[float] = None, data_timeout: Optional[float] = None) -> None:
    """Sets the library-wide timing, in seconds (each one for every channel).

    step_delay: the pause after each command (default 0.025);
    response_timeout: the wait for each reply (default 25);
    connect_timeout: the wait for a connection (default 60);
    data_timeout: each block of message data sent or received (default 25).
    """
    lib = library()
    with _lock:
        if not _attached:
            attach()
    for code, seconds in ((C.KEL_STEP_DELAY, step_delay), (C.KEL_RESPONSE_TIMEOUT, response_timeout),
                          (C.KEL_CONNECT_TIMEOUT, connect_timeout), (C.KEL_DATA_TIMEOUT, data_timeout)):
        if seconds is None:
            continue
        if seconds < 0:
            raise ValueError("a time cannot be negative")
        lib.kelIntegerParam(0, code, int(round(seconds * 1000)))


def version() -> str:
    """The library's version and build, e.g. "3.4.1 (build 17)"."""
    lib = library()
    with _lock:
        if not _attached:
            attach()
    v = lib.kelStatistics(0, C.KEL_STAT_VERSION)
    build = lib.kelStatistics(0, C.KEL_STAT_BUILD)
    return f"{v >> 8 & 0xF}.{v >> 4 & 0xF}.{v & 0xF} (build {build})"
