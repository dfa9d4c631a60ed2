"""kel32.Smtp against scripted servers: the dialogue byte for byte, the
message as a mail reader decodes it, the results and the errors."""
import base64
import email
import email.policy

import pytest
from conftest import closed_port

import kel32
from kel32 import constants as C


def envelope(server, auth_plain=None, recipients=(), refuse=()):
    server.send("220 mail.example.test ESMTP\r\n")
    if auth_plain:
        server.expect_line("EHLO example.test\r\n").send("250-mail.example.test\r\n250 AUTH PLAIN\r\n")
        server.expect_line(f"AUTH PLAIN {auth_plain}\r\n").send("235 2.7.0 ok\r\n")
    else:
        server.expect_line("HELO example.test\r\n").send("250 mail.example.test\r\n")
    server.expect_line("MAIL FROM:<alice@example.test>\r\n").send("250 ok\r\n")
    for r in recipients:
        server.expect_line(f"RCPT TO:<{r}>\r\n")
        server.send(f"550 5.1.1 <{r}>: unknown\r\n" if r in refuse else "250 ok\r\n")
    return server


def test_send_logs_in_and_the_message_decodes_as_given(server, tmp_path):
    odd = tmp_path / "q3, final|v2.dat"
    odd.write_bytes(bytes(range(256)) * 40)
    (tmp_path / "chart.bin").write_bytes(b"\x00chart\xff")
    token = base64.b64encode(b"\0alice\0secret").decode()
    envelope(server, token, ["bob@example.test", "carol@example.test"])
    server.expect_line("DATA\r\n").send("354 go\r\n").read_data().send("250 queued\r\n")
    server.expect_line("QUIT\r\n").send("221 bye\r\n").close()
    server.start()

    with kel32.Smtp("127.0.0.1", server.port, tls="off", user="alice", password="secret",
                    sender="Alice <alice@example.test>") as smtp:
        result = smtp.send(to=["Bob <bob@example.test>"], cc="carol@example.test",
                           subject="Grüße, Bob", body="Héllo Bob,\nthe figures.\n",
                           attachments=[odd, (tmp_path / "chart.bin", "Chart 3.bin")])
        assert smtp.auth_mechanism == "PLAIN"
    assert server.finish(), server.failures
    assert result.accepted == ["bob@example.test", "carol@example.test"]
    assert result.refused == {}

    m = email.message_from_bytes(server.last_data, policy=email.policy.default)
    assert m["Subject"] == "Grüße, Bob"
    assert m["From"] == "Alice <alice@example.test>"
    parts = list(m.iter_parts())
    assert parts[0].get_content().replace("\r\n", "\n") == "Héllo Bob,\nthe figures.\n"
    assert [(p.get_filename(), p.get_content()) for p in parts[1:]] == [
        ("q3, final|v2.dat", bytes(range(256)) * 40), ("Chart 3.bin", b"\x00chart\xff")]


def test_refused_recipients_are_listed_and_the_others_get_the_message(server):
    envelope(server, None, ["bob@example.test", "nobody@example.test"], refuse=["nobody@example.test"])
    server.expect_line("DATA\r\n").send("354 go\r\n").read_data().send("250 queued\r\n")
    # Every recipient refused: no DATA, and the library ends the connection.
    server.expect_line("MAIL FROM:<alice@example.test>\r\n").send("250 ok\r\n")
    server.expect_line("RCPT TO:<nobody@example.test>\r\n").send("550 5.1.1 <nobody@example.test>: unknown\r\n")
    server.start()

    with kel32.Smtp("127.0.0.1", server.port, tls="off", sender="alice@example.test") as smtp:
        result = smtp.send(to=["bob@example.test", "nobody@example.test"], body="hi")
        assert result.accepted == ["bob@example.test"]
        assert result.refused == {"nobody@example.test": "550 5.1.1 <nobody@example.test>: unknown"}
        with pytest.raises(kel32.RecipientsRefused) as caught:
            smtp.send(to="nobody@example.test", body="hi")
    assert caught.value.code == C.KEL_ERR_NO_RECIPIENT
    assert caught.value.result.accepted == []
    assert list(caught.value.result.refused) == ["nobody@example.test"]
    assert server.finish(), server.failures


def test_errors_carry_the_code_and_the_library_text():
    with pytest.raises(kel32.KelError) as caught:
        kel32.Smtp("127.0.0.1", closed_port(), tls="off", sender="a@example.test").connect()
    e = caught.value
    assert (e.code, e.call) == (-36, "kelSmtpConnect")
    assert e.text.startswith("Error attempting to connect.") and e.text in str(e) and "-36" in str(e)
    assert kel32.error_text(-8) == "Socket timed out."


def test_starttls_required_sends_no_password_to_a_server_without_it(server):
    server.send("220 ready\r\n").expect_line("EHLO example.test\r\n")
    server.send("250-mail\r\n250 AUTH PLAIN\r\n").close()
    server.start()
    with pytest.raises(kel32.KelError) as caught:
        kel32.Smtp("127.0.0.1", server.port, user="alice@example.test", password="secret").connect()
    assert caught.value.code == -95
    server.finish()
    assert b"AUTH" not in server.received


def test_starttls_checks_the_certificate(server, pki):
    chain, key = str(pki / "server-chain.pem"), str(pki / "server.key")
    for name, code in (("mail.example.test", 0), ("other.example.test", -93)):
        s = type(server)()
        s.send("220 ready\r\n").expect_line("EHLO example.test\r\n").send("250-mail\r\n250 STARTTLS\r\n")
        s.expect_line("STARTTLS\r\n").send("220 go\r\n").start_tls(chain, key)
        if code == 0:
            s.expect_line("EHLO example.test\r\n").send("250 mail\r\n").expect_line("QUIT\r\n").send("221 bye\r\n")
        s.close()
        s.start()
        smtp = kel32.Smtp("127.0.0.1", s.port, sender="a@example.test", ca_file=pki / "ca.pem", server_name=name)
        try:
            if code:
                with pytest.raises(kel32.KelError) as caught:
                    smtp.connect()
                assert caught.value.code == code
            else:
                with smtp:
                    assert smtp.encrypted and "TLS" in smtp.tls_info
                assert s.finish(), s.failures
        finally:
            s.stop()


def test_a_body_beginning_with_at_is_text_not_a_file_name(maildrop):
    drop = maildrop()
    with kel32.Smtp("127.0.0.1", drop.port, tls="off", sender="alice@example.test") as smtp:
        smtp.send(to="bob@example.test", subject="s", body="@/etc/passwd\n")
    assert b"Subject: s\r\n\r\n@/etc/passwd\r\n" in drop.messages[0]["data"]


@pytest.mark.parametrize("call, error", [
    (lambda: kel32.Smtp("h", tls="tls13"), ValueError),
    (lambda: kel32.Smtp("h", user="a", password="x" * 65), ValueError),
    (lambda: kel32.Smtp("h", user="a\r\nRSET", password="x"), ValueError),
    (lambda: kel32.Smtp("h", auth="ntlm"), ValueError),
    (lambda: kel32.Pop3("h", user="bob", password="x", auth="cram-md5"), ValueError),
])
def test_arguments_the_library_would_cut_or_refuse_are_refused_first(call, error):
    with pytest.raises(error):
        call()


def test_send_checks_its_arguments_before_anything_is_sent(maildrop, tmp_path):
    drop = maildrop()
    with kel32.Smtp("127.0.0.1", drop.port, tls="off", sender="alice@example.test") as smtp:
        with pytest.raises(ValueError):
            smtp.send(to=["Smith, John <john@example.test>"], body="x")
        with pytest.raises(FileNotFoundError):
            smtp.send(to="bob@example.test", body="x", attachments=[tmp_path / "missing.pdf"])
        with pytest.raises(ValueError):
            smtp.send(to=[], body="x")
    assert drop.messages == []


def test_a_failed_connect_or_an_exception_gives_the_channel_back(server):
    from kel32 import _native
    free = len(_native._free) if _native._attached else None
    with pytest.raises(kel32.KelError):
        kel32.Smtp("127.0.0.1", closed_port(), tls="off", sender="a@example.test").connect()
    server.send("220 ready\r\n").expect_line("HELO example.test\r\n").send("250 ok\r\n")
    server.start()
    with pytest.raises(RuntimeError):
        with kel32.Smtp("127.0.0.1", server.port, tls="off", sender="a@example.test"):
            raise RuntimeError("inside")
    assert len(_native._free) == (free if free is not None else 128)
