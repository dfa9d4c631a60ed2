#!/usr/bin/env python3
"""Reference extraction of attachment files with Python's email package.

    mail_oracle.py wire MESSAGE            the message as a POP3 server sends it
                                           (CR LF line ends, no dot stuffing)
    mail_oracle.py expect MESSAGE          the files the library should save
    mail_oracle.py compare LIST            LIST: lines "message<TAB>directory";
                                           prints "match" or "differ: why" per line
    mail_oracle.py composed LIST           LIST: lines "message<TAB>expectations" for
                                           messages the library composed; prints
                                           "match" or "differ: why" per line

The rules the library follows, applied to the tree that the email package
(policy.default) parses: every part with a file name is saved; so is every
leaf that is not text (an unnamed one as part-N.ext, N counting the files of
the message); a message/rfc822 part becomes a .eml file and its own parts
are taken too; uuencoded blocks of unnamed text parts become files. Names
lose any directory, control characters become "_", and ".", ".." and empty
names become "noname". A later file of a name already taken gets " (1)",
" (2)" ... before its extension, as no file is ever overwritten.
"""
import binascii
import email
import os
import re
import sys
from email import policy

EXTENSIONS = {
    "image/jpeg": "jpg", "image/png": "png", "image/gif": "gif", "image/bmp": "bmp",
    "image/tiff": "tif", "application/pdf": "pdf", "application/zip": "zip",
    "application/pgp-signature": "asc", "application/pgp-encrypted": "pgp",
    "application/pkcs7-signature": "p7s", "application/x-pkcs7-signature": "p7s",
    "application/pkcs7-mime": "p7m", "application/x-pkcs7-mime": "p7m",
    "application/msword": "doc", "audio/mpeg": "mp3", "audio/wav": "wav",
    "video/mp4": "mp4", "message/rfc822": "eml", "text/calendar": "ics",
}


def wire_bytes(path):
    data = open(path, "rb").read()
    # Every line ends in CR LF on the wire; a last line without one gets it.
    lines = re.split(rb"\r?\n", data)
    if lines and lines[-1] == b"":
        lines.pop()
    return b"".join(line + b"\r\n" for line in lines)


def safe_name(name):
    name = re.split(r"[\\/:]", name)[-1] if len(name) > 1 else name
    name = "".join("_" if ord(c) < 32 or ord(c) == 127 else c for c in name)
    if name in ("", ".", ".."):
        return "noname"
    raw = name.encode("utf-8", "replace")
    if len(raw) > 128:
        raw = raw[:128]
        while raw and (raw[-1] & 0xC0) == 0x80:
            raw = raw[:-1]
        if raw and raw[-1] >= 0xC0:
            raw = raw[:-1]
    return raw.decode("utf-8", "replace")


def extension(ctype):
    return EXTENSIONS.get(ctype, "bin")


UU_BEGIN = re.compile(rb"^begin [0-7]{3,4} (.+?)\r?$")


def uu_files(data):
    out = []
    name, body = None, b""
    for line in data.split(b"\n"):
        line = line.rstrip(b"\r")
        if name is None:
            m = UU_BEGIN.match(line)
            if m:
                name, body = m.group(1).decode("latin-1"), b""
            continue
        if line == b"end":
            out.append((name, body))
            name = None
            continue
        if line == b"" or line == b"`":
            continue
        try:
            body += binascii.a2b_uu(line)
        except binascii.Error:
            nbytes = (((line[0] - 32) & 63) * 4 + 5) // 3
            body += binascii.a2b_uu(line[:nbytes])
    return out


def files_of(msg):
    files = []

    def add(name, data):
        files.append((safe_name(name) if name else None, data))

    def walk(part):
        ctype = part.get_content_type()
        maintype = part.get_content_maintype()
        if maintype == "multipart":
            # A multipart without parts, or with a boundary never met, is text.
            payload = part.get_payload()
            if isinstance(payload, list):
                for sub in payload:
                    walk(sub)
            return
        name = part.get_filename()
        if ctype == "message/rfc822":
            payload = part.get_payload()
            inner = payload[0] if isinstance(payload, list) and payload else None
            files.append((safe_name(name) if name else "part-%d.eml" % (len(files) + 1), ("eml", inner)))
            if inner is not None:
                walk(inner)
            return
        if maintype == "message":
            return
        data = part.get_payload(decode=True) or b""
        if name:
            add(name, data)
        elif maintype != "text":
            files.append(("part-%d.%s" % (len(files) + 1, extension(ctype)), data))
        else:
            for uname, ubody in uu_files(data):
                add(uname, ubody)

    walk(msg)
    return files


def parse(path):
    return email.message_from_bytes(wire_bytes(path), policy=policy.default)


def free_name(name, taken):
    """The name a file gets when name is taken: "a (1).pdf", "a (2).pdf" ...
    (the extension from the last dot, unless at the start or over 16 long)."""
    if name is None:
        return name
    dot = name.rfind(".")
    if dot <= 0 or len(name) - dot > 16:
        dot = len(name)
    number = 0
    candidate = name
    while candidate in taken:
        number += 1
        candidate = "%s (%d)%s" % (name[:dot], number, name[dot:])
    return candidate


def final_files(path):
    result = {}
    for name, data in files_of(parse(path)):
        result[free_name(name, result)] = data
    return result


def serialized(msg):
    try:
        return msg.as_bytes(policy=policy.compat32)
    except Exception:  # noqa: BLE001 - a message the generator cannot write
        return None


def compare(message, directory):
    want = final_files(message)
    have = sorted(os.listdir(directory)) if os.path.isdir(directory) else []
    have_set = {n.encode("utf-8", "surrogateescape").decode("utf-8", "replace") for n in have}
    problems = []
    for name in sorted(set(want) - have_set):
        problems.append("missing %r" % name)
    for name in sorted(have_set - set(want)):
        problems.append("extra %r" % name)
    for name in sorted(set(want) & have_set):
        data = open(os.path.join(directory, name), "rb").read()
        expect = want[name]
        if isinstance(expect, tuple):
            got = serialized(email.message_from_bytes(data, policy=policy.default))
            expect = serialized(expect[1]) if expect[1] is not None else b""
            if got != expect:
                problems.append("message %r differs" % name)
        elif data != expect:
            problems.append("%r: %d bytes, expected %d" % (name, len(data), len(expect)))
    return problems


def read_expectations(path):
    """Lines "key<TAB>hex" (attach: "attach<TAB>hex name<TAB>hex file path")."""
    want = {"attach": []}
    for line in open(path, encoding="ascii"):
        fields = line.rstrip("\n").split("\t")
        values = [bytes.fromhex(f) for f in fields[1:]]
        if fields[0] == "attach":
            want["attach"].append((values[0].decode("utf-8"), open(values[1].decode("utf-8"), "rb").read()))
        else:
            want[fields[0]] = values[0]
    return want


def text_of(raw, charset):
    return raw.decode(charset).replace("\r\n", "\n").rstrip("\n")


def raw_line_problems(data):
    """Every line ASCII and at most 998 octets; the body lines of Base64 and
    quoted-printable parts at most 76."""
    problems = []
    coded = False
    in_header = True
    for line in data.split(b"\r\n"):
        if len(line) > 998:
            problems.append("a line of %d octets" % len(line))
        if any(b > 127 for b in line):
            problems.append("8-bit line %r" % line[:40])
        if in_header:
            if line.lower().startswith(b"content-transfer-encoding:"):
                coded = b"base64" in line.lower() or b"quoted-printable" in line.lower()
            if line == b"":
                in_header = False
        elif line.startswith(b"--"):
            in_header, coded = True, False
        elif coded and len(line) > 76:
            problems.append("a coded line of %d characters" % len(line))
    return problems[:3]


def addresses(header):
    return "\x1e".join("%s\x1f%s" % (a.display_name, a.addr_spec) for a in header.addresses)


def check_composed(message, expect_path):
    data = wire_bytes(message)
    problems = raw_line_problems(data)
    msg = email.message_from_bytes(data, policy=policy.default)
    want = read_expectations(expect_path)
    if "subject" in want and str(msg["subject"]) != want["subject"].decode("utf-8"):
        problems.append("subject %r" % str(msg["subject"])[:80])
    for name in ("from", "to", "cc"):
        if name in want and (msg[name] is None or addresses(msg[name]) != want[name].decode("utf-8")):
            problems.append("%s %r" % (name, str(msg[name])[:200]))
    for kind in ("plain", "html", "enriched"):
        if "body_" + kind not in want:
            continue
        part = msg.get_body(preferencelist=(kind,)) if kind != "enriched" else next(
            (p for p in msg.walk() if p.get_content_type() == "text/enriched"), None)
        if part is None:
            problems.append("no %s body" % kind)
            continue
        got = part.get_content().replace("\r\n", "\n").rstrip("\n")
        expect = text_of(want["body_" + kind], want.get("charset", b"utf-8").decode())
        if got != expect:
            problems.append("%s body %r" % (kind, got[:80]))
    got_files = [(p.get_filename(), p.get_payload(decode=True)) for p in msg.walk()
                 if not p.is_multipart() and (p.get_filename() or p.is_attachment())]
    if got_files != want["attach"]:
        problems.append("attachments %r" % [(n, len(d or b"")) for n, d in got_files])
    return problems


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    mode, arg = sys.argv[1], sys.argv[2]
    if mode == "wire":
        sys.stdout.buffer.write(wire_bytes(arg))
    elif mode == "expect":
        for name, data in files_of(parse(arg)):
            size = "message" if isinstance(data, tuple) else "%d bytes" % len(data)
            print("%s\t%s" % (name, size))
    elif mode == "compare":
        for line in open(arg, encoding="utf-8"):
            message, directory = line.rstrip("\n").split("\t")
            try:
                problems = compare(message, directory)
            except Exception as exc:  # noqa: BLE001 - reported, not fatal
                problems = ["oracle failed: %s" % exc]
            print("%s\t%s" % (message, "match" if not problems else "differ: " + "; ".join(problems)))
    elif mode == "composed":
        for line in open(arg, encoding="utf-8"):
            message, expect = line.rstrip("\n").split("\t")
            try:
                problems = check_composed(message, expect)
            except Exception as exc:  # noqa: BLE001 - reported, not fatal
                problems = ["oracle failed: %r" % exc]
            print("%s\t%s" % (message, "match" if not problems else "differ: " + "; ".join(problems)))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
