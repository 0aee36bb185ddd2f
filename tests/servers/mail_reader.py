#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Reads a stored message as current mail readers do (email.policy.default).

Usage: mail_reader.py MESSAGE OUTDIR
Writes each item found (date as ISO 8601, message_id, from_name, to_name,
subject, text, text_charset, filename, defects, ...) into OUTDIR/<item> as
UTF-8 and prints the item names, one a line.
"""

import email
import email.policy
import os
import sys


def main():
    message_file, out_dir = sys.argv[1], sys.argv[2]
    with open(message_file, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    items = {}
    defects = [type(d).__name__ for d in message.defects]
    for name in ("Date", "Message-ID", "From", "To", "Subject"):
        header = message[name]
        if header is None:
            continue
        defects += ["%s: %s" % (name, type(d).__name__) for d in header.defects]
    if message["Date"] is not None and message["Date"].datetime is not None:
        items["date"] = message["Date"].datetime.isoformat()
    if message["Message-ID"] is not None:
        items["message_id"] = str(message["Message-ID"])
    for name in ("From", "To"):
        header = message[name]
        if header is not None and len(header.addresses) == 1:
            items[name.lower() + "_name"] = header.addresses[0].display_name
            items[name.lower() + "_address"] = header.addresses[0].addr_spec
    if message["Subject"] is not None:
        items["subject"] = str(message["Subject"])
    for part in message.walk():
        if part.is_multipart():
            continue
        if "text" not in items and part.get_content_type() == "text/plain":
            items["text"] = part.get_content()
            items["text_charset"] = part.get_content_charset() or ""
        elif "filename" not in items and part.get_filename():
            items["filename"] = part.get_filename()
    items["defects"] = "\n".join(defects)
    for key, value in items.items():
        with open(os.path.join(out_dir, key), "w", encoding="utf-8",
                  errors="surrogateescape") as out:
            out.write(value)
        sys.stdout.write(key + "\n")


if __name__ == "__main__":
    main()
