"""KEL32 from Python: sending mail over SMTP with MIME attachments, reading
it over POP3 with every attachment decoded into a file of its own.

    import kel32

    with kel32.Smtp("mail.example.com", 587, tls="starttls",
                    user="alice@example.com", password="...") as smtp:
        result = smtp.send(to=["bob@example.com"], subject="Report",
                           body="The report is attached.", attachments=["report.pdf"])
    print(result.accepted, result.refused)

    with kel32.Pop3("mail.example.com", user="bob", password="...") as box:
        for m in box.messages():
            m.save("inbox", "attachments")

The package calls the C library (libkel32.so; KEL32.dll or KEL64.dll on
Windows) through ctypes; set KEL32_LIBRARY to the library's path when it
is not installed where the system finds it. Failures raise KelError with
the library's code and text. The codes of kel32.h are in kel32.constants.
"""
from . import constants
from ._native import (KelError, LibraryNotFound, attach, configure, error_text, library, release,
                      version)
from .batch import Outgoing, send_many
from .pop3 import Message, Pop3, SavedMessage
from .smtp import RecipientsRefused, SendResult, Smtp

__version__ = "3.4.1"

__all__ = [
    "KelError", "LibraryNotFound", "RecipientsRefused",
    "Smtp", "SendResult", "Pop3", "Message", "SavedMessage", "Outgoing", "send_many",
    "attach", "release", "configure", "version", "error_text", "library", "constants",
]
