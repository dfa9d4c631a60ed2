#!/usr/bin/env python3
"""Writes a message built by another program than ours, for the POP3 tests.

    make_foreign.py OUT-FILE

The message is multipart/mixed: a quoted-printable text part with lines
that begin with dots and an "=" sign, a base64 attachment in 76-character
lines (the email package's own layout), one in 60-character lines, and a
nested multipart/alternative with plain and HTML text.
"""
import base64
import random
import sys
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.nonmultipart import MIMENonMultipart
from email.mime.text import MIMEText
import email.charset


def main():
    rng = random.Random(1939)
    msg = MIMEMultipart("mixed")
    msg["From"] = "Foreign Sender <foreign@example.test>"
    msg["To"] = "<e2epop@example.test>"
    msg["Subject"] = "foreign message"

    qp = email.charset.Charset("utf-8")
    qp.body_encoding = email.charset.QP
    text = MIMEText(".leading dot\n..two dots\n.\nan = sign and caf\u00e9\n" + "long " * 30 + "\n", "plain", qp)
    msg.attach(text)

    a76 = bytes(rng.randrange(256) for _ in range(3000))
    part76 = MIMEApplication(a76, "octet-stream")
    part76.add_header("Content-Disposition", "attachment", filename="lines76.bin")
    msg.attach(part76)

    a60 = bytes(rng.randrange(256) for _ in range(2000))
    part60 = MIMENonMultipart("application", "octet-stream")
    encoded = base64.b64encode(a60).decode()
    part60.set_payload("\n".join(encoded[i:i + 60] for i in range(0, len(encoded), 60)) + "\n")
    part60["Content-Transfer-Encoding"] = "base64"
    part60.add_header("Content-Disposition", "attachment", filename="lines60.bin")
    msg.attach(part60)

    alt = MIMEMultipart("alternative")
    alt.attach(MIMEText("plain alternative\n", "plain"))
    alt.attach(MIMEText("<p>html alternative</p>\n", "html"))
    msg.attach(alt)

    with open(sys.argv[1], "wb") as f:
        f.write(msg.as_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))


if __name__ == "__main__":
    main()
