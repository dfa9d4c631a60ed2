"""The package against the real Postfix and Dovecot of tests/e2e (ctest -L e2e):
a login over STARTTLS, attachments there and back byte for byte, refusals
with the server's reply, many sessions at once, and the README's example."""
import os
import random
import re
import subprocess
import sys
import time

import pytest
from conftest import HERE, SOURCE

import kel32

pytestmark = pytest.mark.e2e


def test_send_over_starttls_then_read_back_every_attachment(mailstack, tmp_path):
    for user in ("pyuser", "pyfriend"):
        mailstack.empty(user)
    rng = random.Random(23)
    files = {"figures, q3.bin": bytes(rng.randrange(256) for _ in range(70000)), "note.txt": b"one\r\ntwo\r\n"}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)

    with kel32.Smtp(mailstack.host, mailstack.submission_port, tls="starttls", ca_file=mailstack.ca_file,
                    user="pyuser@example.test", password=mailstack.users["pyuser"]) as smtp:
        assert smtp.encrypted
        result = smtp.send(to=["Py User <pyuser@example.test>", "nobody@example.test"], cc="pyfriend@example.test",
                           subject="Zahlen für Q3", body="Die Zahlen.\n",
                           attachments=[tmp_path / name for name in files])
    assert result.accepted == ["pyuser@example.test", "pyfriend@example.test"]
    assert list(result.refused) == ["nobody@example.test"]
    assert re.match(r"55\d ", result.refused["nobody@example.test"])
    assert len(mailstack.wait_for_mail("pyuser", 1)) == 1

    with kel32.Pop3(mailstack.host, mailstack.pop3_port, tls="starttls", ca_file=mailstack.ca_file,
                    user="pyuser", password=mailstack.users["pyuser"]) as box:
        assert box.encrypted
        saved = []
        for m in box.messages():
            saved.append(m.save(tmp_path / "inbox", tmp_path / "attachments"))
            m.delete()
    assert len(saved) == 1
    assert [p.name for p in saved[0].attachments] == list(files)
    for path in saved[0].attachments:
        assert path.read_bytes() == files[path.name]
    with kel32.Pop3(mailstack.host, mailstack.pop3_port, tls="off", user="pyuser",
                    password=mailstack.users["pyuser"]) as box:
        assert box.count() == 0


def test_send_many_through_postfix(mailstack):
    mailstack.empty("pyfriend")
    messages = [kel32.Outgoing(to="pyfriend@example.test", subject=f"batch {i}", body=f"number {i}\n")
                for i in range(12)]
    results = kel32.send_many(messages, mailstack.host, mailstack.smtp_port, channels=4, tls="off",
                              sender="pyuser@example.test")
    assert all(isinstance(r, kel32.SendResult) for r in results), results
    assert len(mailstack.wait_for_mail("pyfriend", 12)) == 12


def readme_example() -> str:
    text = (SOURCE / "README.md").read_text(encoding="utf-8")
    section = text.split("## Using the library from Python", 1)[1]
    return section.split("```python\n", 1)[1].split("```", 1)[0]


def test_the_readme_example_is_the_file_and_it_runs(mailstack, tmp_path):
    example = HERE.parent / "examples" / "send.py"
    assert readme_example() == example.read_text(encoding="utf-8")
    (tmp_path / "report.pdf").write_bytes(b"%PDF-1.4 report\n")
    (tmp_path / "photo.jpg").write_bytes(b"\xff\xd8\xff\xe0 photo")
    started = time.time()
    r = subprocess.run([sys.executable, str(example)], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                       env=dict(os.environ))
    assert r.returncode == 0, r.stderr
    deadline = time.time() + 15
    while time.time() < deadline:
        for p in mailstack.maildir_files("bob"):
            if p.stat().st_mtime >= started - 1 and b"report.pdf" in p.read_bytes():
                return
        time.sleep(0.05)
    pytest.fail("the example's message did not reach bob's mailbox")
