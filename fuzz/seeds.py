#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into a directory:
reply lines and messages of the tests, and the real messages of a corpus
directory given as the second argument (optional)."""
import os
import sys

out = sys.argv[1]
realmail = sys.argv[2] if len(sys.argv) > 2 else ""

smtp = [b"220 ready\r\n", b"250-first\r\n250 last\r\n", b"550 no\r\n", b"452 later\r\n",
        b"250-mx\r\n250-AUTH LOGIN CRAM-MD5\r\n250 SIZE 1000\r\n", b"334 PDEyMzQ1Ni43ODlAZXhhbXBsZT4=\r\n",
        b"235 ok\r\n", b"250\r\n", b"\r\n", b"2\r\n", b"-1\r\n", b"abc\r\n", b"250 que", b"354 go ahead\r\n"]
pop3 = [b"+OK ready <1896.697170952@dbc.mtview.ca.us>\r\n", b"-ERR no\r\n", b"+OK\r\n", b"+OK 2 320\r\n",
        b"+OKAY\r\n", b"abc\r\n", b"+OK 1 abc\r\n", b"+OK list\r\n1 a\r\n2 b\r\n.\r\n"]
lines = [b"one\r\ntwo\r\n", b"x" * 1500 + b"\r\n", b"Subject: a\r\n b\r\n\tc\r\nFrom: d\r\n", b".\r\n", b"..\r\n"]


def put(target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


for i, r in enumerate(smtp):
    for mode in (0, 4):
        put("reader", "smtp%d_%d" % (i, mode), bytes([mode, 7, 1]) + r)
for i, r in enumerate(pop3):
    for mode in (1, 5):
        put("reader", "pop3%d_%d" % (i, mode), bytes([mode, 9, 3]) + r)
for i, r in enumerate(lines):
    for mode in (2, 6, 10, 14):
        put("reader", "line%d_%d" % (i, mode), bytes([mode, 200, 5]) + r)


def stuffed(message):
    text = message.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    body = b"".join((b"." + l if l.startswith(b".") else l) for l in text.splitlines(True))
    if not body.endswith(b"\r\n"):
        body += b"\r\n"
    return b"+OK message follows\r\n" + body + b".\r\n"


messages = [b"Subject: hi\r\n\r\nbody\r\n",
            b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
            b"Content-Type: text/plain\r\n\r\ntext\r\n--b1\r\nContent-Type: application/octet-stream;\r\n"
            b" name=\"a.bin\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;"
            b" filename=\"a.bin\"\r\n\r\nAAECAwQ=\r\n--b1--\r\n"]
if realmail and os.path.isdir(realmail):
    for name in sorted(os.listdir(realmail)):
        if name.endswith(".eml"):
            with open(os.path.join(realmail, name), "rb") as f:
                data = f.read()
            if len(data) <= 16384:
                messages.append(data)
for i, m in enumerate(messages):
    put("retrieve", "msg%d" % i, bytes([i % 16, 0x31, 0x17]) + stuffed(m))
    put("codecs", "msg%d" % i, m[:4096])
texts = [b"<a@b.c>\x00a\x00mail.example.com\x00<x@y.z>,<u@v.w>\x00\x00\x00",
         b"Name <a@b.c>\x00b.c\x00host\x00Joe <j@x>\x00<c@d>\x00<e@f>",
         b"line one\nline two\nline three\x00two\x00127.0.0.1\x00<" + b"a" * 1100 + b"@x>\x00\x00"]
for i, t in enumerate(texts):
    put("text", "text%d" % i, bytes([64 + i]) + t)

# IMAP: a session from the greeting, and the FETCH of a message (to a file
# and to a buffer), in blocking and non-blocking mode.
imap_session = (b"* OK [CAPABILITY IMAP4rev1 LITERAL+ SASL-IR AUTH=PLAIN] ready\r\n"
                b"A1 OK [CAPABILITY IMAP4rev1 UIDPLUS] in\r\n"
                b"* 3 EXISTS\r\n* OK [UIDVALIDITY 42] ok\r\n* FLAGS (\\Seen \\Deleted)\r\nA2 OK [READ-WRITE] done\r\n"
                b"* SEARCH 9 3 5\r\nA3 OK done\r\n")
imap_plain = (b"* OK ready\r\nA1 OK\r\n* CAPABILITY IMAP4rev1\r\n* LIST (\\X) \"/\" {3}\r\nabc\r\n"
              b"A1 OK\r\n+ go\r\n+ go\r\nA2 NO [ALERT] no\r\n")
for i, m in enumerate(messages):
    fetch = b"* 1 FETCH (UID 1 FLAGS (\\Seen) BODY[] {%d}\r\n" % len(m) + m + b" RFC822.SIZE %d)\r\n" % len(m)
    for mode in (1, 2, 5, 6, 9):
        put("imap", "fetch%d_%d" % (i, mode), bytes([mode, 0x31, 0x17]) + fetch + b"A1 OK done\r\n")
for mode in (0, 4, 16, 20):
    put("imap", "session_%d" % mode, bytes([mode, 0x42, 0x05]) + imap_session)
    put("imap", "plain_%d" % mode, bytes([mode, 0x42, 0x05]) + imap_plain)
imap_idle = b"+ idling\r\n* 4 EXISTS\r\n* 1 RECENT\r\nA1 OK done\r\n* SEARCH 9 3 12\r\nA2 OK\r\n"
imap_noop = b"* 4 EXISTS\r\nA1 OK\r\n* SEARCH 12\r\nA2 OK\r\n"
imap_list = (b"* LIST (\\HasNoChildren) \"/\" INBOX\r\n* LIST () NIL {5}\r\nA&-B!\r\n"
             b"* LIST (\\Sent) \"/\" \"&2D3eAA-\"\r\nA1 OK\r\n")
for mode in (3, 13, 38, 43):
    put("imap", "idle_%d" % mode, bytes([mode, 0x42, 0x05]) + (imap_idle if mode & 32 else imap_noop))
for mode in (4, 9):
    put("imap", "list_%d" % mode, bytes([mode, 0x42, 0x05]) + imap_list)
