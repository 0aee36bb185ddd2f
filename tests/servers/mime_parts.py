#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Splits a stored message into its decoded leaf parts with Python's email package.

Usage: mime_parts.py MESSAGE OUTDIR
Writes each leaf part's decoded content to OUTDIR/<n> (n from 1) and prints one
line per part: n TAB content type TAB file name (empty when the part has none).
"""

import email
import email.policy
import os
import sys


def main():
    message_file, out_dir = sys.argv[1], sys.argv[2]
    with open(message_file, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.compat32)
    n = 0
    for part in message.walk():
        if part.is_multipart():
            continue
        n += 1
        payload = part.get_payload(decode=True) or b""
        with open(os.path.join(out_dir, str(n)), "wb") as out:
            out.write(payload)
        name = part.get_filename() or ""
        name = name.replace("\t", " ").replace("\n", " ")
        sys.stdout.write("%d\t%s\t%s\n" % (n, part.get_content_type(), name))


if __name__ == "__main__":
    main()
