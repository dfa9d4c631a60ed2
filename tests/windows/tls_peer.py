#!/usr/bin/env python3
"""The Linux-side TLS partner of the Windows tests: SMTP with STARTTLS and
POP3 over implicit TLS on 127.0.0.1, sharing one in-memory mailbox, with a
certificate of the test PKI (tests/fixtures/make_test_pki.sh); and POP3 over
implicit TLS on ::1 twice, with certificates of the same CA whose IP entries
are ::1, and 127.0.0.1 and ::2 (not the address connected to).

    tls_peer.py start DIR   makes the PKI in DIR, starts the peer in the
                            background, writes DIR/peer.txt (ports, CA file)
    tls_peer.py stop DIR    stops it
"""
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

MAILBOX = []
LOCK = threading.Lock()


def lines(f):
    while True:
        line = f.readline()
        if not line:
            return
        yield line


def serve_smtp(conn, ctx):
    f = conn.makefile("rwb", buffering=0)
    f.write(b"220 peer ESMTP\r\n")
    tls = False
    while True:
        line = f.readline()
        if not line:
            return
        verb = line.strip().split(b" ")[0].upper()
        if verb in (b"EHLO", b"HELO"):
            f.write(b"250-peer\r\n250 8BITMIME\r\n" if tls else b"250-peer\r\n250 STARTTLS\r\n")
        elif verb == b"STARTTLS" and not tls:
            f.write(b"220 go ahead\r\n")
            conn = ctx.wrap_socket(conn, server_side=True)
            f = conn.makefile("rwb", buffering=0)
            tls = True
        elif verb in (b"MAIL", b"RCPT"):
            f.write(b"250 ok\r\n" if tls else b"530 TLS first\r\n")
        elif verb == b"DATA":
            f.write(b"354 go\r\n")
            data = b""
            while True:
                l = f.readline()
                if not l or l == b".\r\n":
                    break
                data += l[1:] if l.startswith(b".") else l
            with LOCK:
                MAILBOX.append(data)
            f.write(b"250 stored\r\n")
        elif verb == b"QUIT":
            f.write(b"221 bye\r\n")
            return
        else:
            f.write(b"502 no\r\n")


def serve_pop3s(conn, ctx):
    conn = ctx.wrap_socket(conn, server_side=True)
    f = conn.makefile("rwb", buffering=0)
    f.write(b"+OK peer ready\r\n")
    while True:
        line = f.readline()
        if not line:
            return
        parts = line.strip().split(b" ")
        verb = parts[0].upper()
        with LOCK:
            box = list(MAILBOX)
        if verb in (b"USER", b"PASS", b"NOOP"):
            f.write(b"+OK\r\n")
        elif verb == b"STAT":
            f.write(b"+OK %d %d\r\n" % (len(box), sum(len(m) for m in box)))
        elif verb == b"RETR" and len(parts) == 2 and 1 <= int(parts[1]) <= len(box):
            message = box[int(parts[1]) - 1]
            out = b"".join(b"." + l if l.startswith(b".") else l for l in message.splitlines(True))
            f.write(b"+OK\r\n" + out + b".\r\n")
        elif verb == b"QUIT":
            f.write(b"+OK bye\r\n")
            return
        else:
            f.write(b"-ERR no\r\n")


def listen(handler, ctx, host="127.0.0.1"):
    s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    s.bind((host, 0))
    s.listen(8)

    def loop():
        while True:
            conn, _ = s.accept()

            def run(c=conn):
                try:
                    handler(c, ctx)
                except (OSError, ssl.SSLError, ValueError):
                    pass
                finally:
                    c.close()

            threading.Thread(target=run, daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()
    return s.getsockname()[1]


def main():
    command, d = sys.argv[1], os.path.abspath(sys.argv[2])
    pidfile = os.path.join(d, "peer.pid")
    if command == "stop":
        try:
            os.kill(int(open(pidfile).read()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
        return 0
    if command == "start":
        os.makedirs(d, exist_ok=True)
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run(["bash", os.path.join(here, "..", "fixtures", "make_test_pki.sh"), d], check=True,
                       stdout=subprocess.DEVNULL)
        for name, ips in (("v6", "IP:::1"), ("v6other", "IP:127.0.0.1,IP:::2")):
            ext = os.path.join(d, name + ".ext")
            with open(ext, "w") as f:
                f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                        "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:mail.example.test,%s\n" % ips)
            subprocess.run(["openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                            "-CAcreateserial", "-out", name + ".pem", "-days", "825", "-extfile", ext],
                           cwd=d, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(os.path.join(d, name + "-chain.pem"), "w") as f:
                f.write(open(os.path.join(d, name + ".pem")).read() + open(os.path.join(d, "ca.pem")).read())
        info = os.path.join(d, "peer.txt")
        if os.path.exists(info):
            os.remove(info)
        child = subprocess.Popen([sys.executable, __file__, "run", d], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        open(pidfile, "w").write(str(child.pid))
        for _ in range(100):
            if os.path.exists(info):
                return 0
            time.sleep(0.05)
        return 1
    # run: serve for at most ten minutes
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(os.path.join(d, "server-chain.pem"), os.path.join(d, "server.key"))
    smtp, pop3s = listen(serve_smtp, ctx), listen(serve_pop3s, ctx)
    # On ::1 where this host has IPv6 (port 0 where not).
    v6 = []
    for name in ("v6", "v6other"):
        ctx6 = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx6.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx6.load_cert_chain(os.path.join(d, name + "-chain.pem"), os.path.join(d, "server.key"))
        try:
            v6.append(listen(serve_pop3s, ctx6, "::1"))
        except OSError:
            v6.append(0)
    tmp = os.path.join(d, "peer.tmp")
    with open(tmp, "w") as f:
        f.write("%d %d %d %d\n" % (smtp, pop3s, v6[0], v6[1]))
    os.rename(tmp, os.path.join(d, "peer.txt"))
    time.sleep(600)
    return 0


if __name__ == "__main__":
    sys.exit(main())
