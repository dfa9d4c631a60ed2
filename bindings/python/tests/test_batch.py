"""send_many: many messages over several sessions at once, from one thread."""

import kel32
from conftest import closed_port


def test_messages_share_the_sessions_and_each_gets_its_own_result(maildrop, tmp_path):
    drop = maildrop(refuse=("nobody@example.test",))
    (tmp_path / "a.bin").write_bytes(b"\x01\x02" * 5000)
    messages = [kel32.Outgoing(to=f"user{i}@example.test", subject=f"n{i}", body=f"message {i}\n",
                               attachments=[tmp_path / "a.bin"] if i % 5 == 0 else ())
                for i in range(24)]
    messages[7] = {"to": ["nobody@example.test"], "subject": "n7", "body": "refused\n"}
    messages[9] = kel32.Outgoing(to=["user9@example.test", "nobody@example.test"], subject="n9", body="half\n")
    results = kel32.send_many(messages, "127.0.0.1", drop.port, channels=4, tls="off",
                              sender="alice@example.test")

    assert len(results) == 24
    assert isinstance(results[7], kel32.RecipientsRefused) and results[7].code == -78
    assert results[9].accepted == ["user9@example.test"] and list(results[9].refused) == ["nobody@example.test"]
    others = [r for i, r in enumerate(results) if i not in (7, 9)]
    assert all(isinstance(r, kel32.SendResult) and len(r.accepted) == 1 for r in others)
    # Every message but the refused one arrived, each once; the sessions ran side by side.
    subjects = sorted(int(m["data"].split(b"Subject: n")[1].split(b"\r\n")[0]) for m in drop.messages)
    assert subjects == [i for i in range(24) if i != 7]
    assert 2 <= drop.peak <= 4
    # The all-refused message cost its session the connection: one more was opened.
    assert drop.sessions == 5


def test_when_no_session_can_connect_every_message_gets_the_error():
    results = kel32.send_many([kel32.Outgoing(to="bob@example.test", body="x")] * 3, "127.0.0.1", closed_port(),
                              channels=2, tls="off", sender="alice@example.test")
    assert len(results) == 3
    assert all(isinstance(r, kel32.KelError) and r.code < 0 for r in results)


def test_a_message_with_bad_arguments_fails_alone(maildrop):
    drop = maildrop()
    results = kel32.send_many([{"to": "Smith, John <j@example.test>"}, {"to": "bob@example.test", "body": "ok"}],
                              "127.0.0.1", drop.port, channels=1, tls="off", sender="alice@example.test")
    assert isinstance(results[0], ValueError)
    assert isinstance(results[1], kel32.SendResult)
    assert len(drop.messages) == 1
