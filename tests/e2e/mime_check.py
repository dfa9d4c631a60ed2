#!/usr/bin/env python3
"""Independent view of a mail message, for the end-to-end tests.

    mime_check.py MESSAGE-FILE OUT-DIR

Parses the message with Python's email package and writes into OUT-DIR:
  summary.txt   "key: value" lines: subject, from, to, cc, reply-to, bcc,
                content-type, parts, and per attachment "attachment: NAME SIZE"
  body.txt      the decoded text of the first text/plain or text/html part
  att-N-NAME    the decoded bytes of the N-th part that has a file name
"""
import email
import email.policy
import os
import sys


def main():
    path, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    with open(path, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.compat32)
    lines = []
    for key in ("Subject", "From", "To", "CC", "Reply-To", "Bcc", "Content-Type", "Message-ID"):
        value = msg.get(key)
        if value is not None:
            lines.append("%s: %s" % (key.lower(), " ".join(str(value).split())))
    body = None
    count = 0
    parts = 0
    for part in msg.walk():
        parts += 1
        if part.is_multipart():
            continue
        name = part.get_filename()
        payload = part.get_payload(decode=True) or b""
        if name:
            count += 1
            safe = os.path.basename(name)
            with open(os.path.join(out, "att-%d-%s" % (count, safe)), "wb") as f:
                f.write(payload)
            cid = part.get("Content-ID", "")
            lines.append("attachment: %s %d %s" % (safe, len(payload), cid))
        elif body is None and part.get_content_maintype() == "text":
            body = payload
    lines.append("parts: %d" % parts)
    with open(os.path.join(out, "summary.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(out, "body.txt"), "wb") as f:
        f.write(body or b"")


if __name__ == "__main__":
    main()
