"""kel32.Pop3 against scripted servers: the dialogue byte for byte, saved
messages with their attachments decoded into files."""
from email.message import EmailMessage

import pytest

import kel32


def multipart(attachments):
    m = EmailMessage()
    m["From"] = "alice@example.test"
    m["To"] = "bob@example.test"
    m["Subject"] = "Figures"
    m.set_content("The figures.\n")
    for name, data in attachments:
        m.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    text = m.as_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    # Dot-stuffing of the multi-line reply.
    return b"\r\n".join(b"." + line if line.startswith(b".") else line for line in text.split(b"\r\n"))


def login(server):
    return server.send("+OK ready\r\n").expect_line("USER bob\r\n").send("+OK\r\n") \
        .expect_line("PASS bob-pass\r\n").send("+OK logged in\r\n")


def test_messages_are_counted_described_saved_and_deleted(server, tmp_path):
    data = bytes(range(256)) * 100
    message = multipart([("report, v2.bin", data), ("notes.txt", b"one\r\ntwo\r\n")])
    login(server).expect_line("STAT\r\n").send("+OK 1 9999\r\n")
    server.expect_line("LIST 1\r\n").send("+OK 1 9999\r\n")
    server.expect_line("UIDL 1\r\n").send("+OK 1 uid-0001\r\n")
    server.expect_line("TOP 1 0\r\n").send("+OK\r\nSubject: Figures\r\n\r\n.\r\n")
    server.expect_line("RETR 1\r\n").send("+OK\r\n" + message.decode("latin-1") + "\r\n.\r\n")
    server.expect_line("DELE 1\r\n").send("+OK deleted\r\n").expect_line("QUIT\r\n").send("+OK bye\r\n").close()
    server.start()

    inbox, attach = tmp_path / "inbox", tmp_path / "attachments"
    with kel32.Pop3("127.0.0.1", server.port, tls="off", user="bob", password="bob-pass") as box:
        messages = list(box.messages())
        assert [m.number for m in messages] == [1]
        m = messages[0]
        assert m.size == 9999 and m.uid == "uid-0001"
        assert "Subject: Figures" in m.top(0)
        saved = m.save(inbox, attach)
        m.delete()
    assert server.finish(), server.failures

    assert saved.path == inbox / "1.eml" and saved.path.exists()
    assert "Subject: Figures" in saved.path.read_text(errors="replace")
    assert saved.attachments == [attach / "report, v2.bin", attach / "notes.txt"]
    assert saved.attachments[0].read_bytes() == data
    assert saved.attachments[1].read_bytes() == b"one\r\ntwo\r\n"


def test_a_refused_login_is_a_kel_error(server):
    server.send("+OK ready\r\n").expect_line("USER bob\r\n").send("+OK\r\n")
    server.expect_line("PASS wrong\r\n").send("-ERR [AUTH] Authentication failed.\r\n")
    server.start()
    with pytest.raises(kel32.KelError) as caught:
        kel32.Pop3("127.0.0.1", server.port, tls="off", user="bob", password="wrong").connect()
    e = caught.value
    assert (e.code, e.call) == (-63, "kelPop3Connect")
    assert e.text.startswith("POP3 returned error. -ERR [AUTH] Authentication failed.")
    server.finish()


def test_a_directory_the_library_would_cut_short_is_refused(server, tmp_path):
    login(server).expect_line("QUIT\r\n").send("+OK bye\r\n").close()
    server.start()
    deep = tmp_path / ("d" * 130)
    with kel32.Pop3("127.0.0.1", server.port, tls="off", user="bob", password="bob-pass") as box:
        with pytest.raises(ValueError):
            box.message(1).save(deep)
        with pytest.raises(ValueError):
            box.message(1).save(tmp_path, file_name="sub/1.eml")
    assert not deep.exists()
    assert server.finish(), server.failures
