#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Cuts one file's message into message/partial pieces (RFC 2046 5.2.2) the
way another sender's mail program does, with Python's email package: the
whole message's head in the first piece's body, every piece naming the set's
id, its number and the total, and showing the id in its own Message-ID.

Usage: piece_shapes.py OUTDIR NAME SENDER ID PIECES SEED [BYTES]

Writes OUTDIR/file (the file the message carries) and OUTDIR/N.eml for each
piece N.
"""

import os
import random
import sys
from email.message import Message
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mail_shapes import as_bytes, file_part, name_headers  # noqa: E402


def main():
    out_dir, name, sender, set_id, count, seed = sys.argv[1:7]
    size = int(sys.argv[7]) if len(sys.argv) > 7 else 6000
    count = int(count)
    rng = random.Random(int(seed))
    data = rng.randbytes(size)
    whole = MIMEMultipart()
    whole["From"] = sender
    whole["Subject"] = "file " + name
    whole.attach(MIMEText("In %d pieces\n" % count))
    part = file_part(data, "base64")
    name_headers(part, name, "quoted")
    whole.attach(part)
    lines = as_bytes(whole).splitlines(keepends=True)
    cuts = [len(lines) * n // count for n in range(count + 1)]
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "file"), "wb") as f:
        f.write(data)
    for number in range(1, count + 1):
        piece = Message()
        piece["From"] = sender
        piece["To"] = "Point <point@example.org>"
        piece["Subject"] = "%s %d of %d" % (name, number, count)
        piece["Message-ID"] = "<%d.%s>" % (number, set_id)
        piece.set_type("message/partial")
        piece.set_param("id", set_id)
        piece.set_param("number", str(number))
        piece.set_param("total", str(count))
        piece.set_payload(b"".join(lines[cuts[number - 1]:cuts[number]]).decode("ascii"))
        with open(os.path.join(out_dir, "%d.eml" % number), "wb") as f:
            f.write(as_bytes(piece))


if __name__ == "__main__":
    main()
