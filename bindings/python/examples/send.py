import sys

import kel32

try:
    with kel32.Smtp("127.0.0.1", 2525, tls="off", sender="<alice@example.test>") as smtp:
        smtp.send(to="<bob@example.test>", subject="Hello", body="Hello, Bob.\n",
                  attachments=["report.pdf", "photo.jpg"])   # files in the working directory
except kel32.KelError as e:                                   # e.code, and e.text with the server's reply
    print(f"send failed: {e.text}", file=sys.stderr)
    sys.exit(1)
