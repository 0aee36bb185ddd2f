#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Writes mails shaped the way mail clients, providers and other gateways send
files, for the receive tests, made with Python's email package where it can
make them and by hand where it cannot.

Usage: mail_shapes.py OUTDIR shapes
       mail_shapes.py OUTDIR bounces [RETURNED-MESSAGE-ID]
       mail_shapes.py OUTDIR random SEED COUNT

Writes OUTDIR/NNN.eml (in the order they go into the mailbox), the expected
files as OUTDIR/expected/N, and OUTDIR/manifest.tsv, one line per fact:
  message NNN.eml taken|failed|skipped   (failed: a part cannot be saved)
  file NNN.eml NAME N                    (NAME "*.ext": a name made up)
  existing NAME N                        (in the inbound before the run)
  joined                                 (a set of pieces becomes one message)
"""

import base64
import binascii
import email.charset
import email.policy
import os
import quopri
import random
import sys
import urllib.parse
from email.header import Header
from email.message import Message
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.nonmultipart import MIMENonMultipart
from email.mime.text import MIMEText

SENDER = "Node 100 <node100@example.org>"
CRLF_POLICY = email.policy.compat32.clone(linesep="\r\n")


class MailSet:
    def __init__(self, out_dir):
        self.out_dir = out_dir
        os.makedirs(os.path.join(out_dir, "expected"), exist_ok=True)
        self.manifest = []
        self.messages = 0
        self.contents = 0

    def content_file(self, data):
        self.contents += 1
        with open(os.path.join(self.out_dir, "expected", str(self.contents)), "wb") as f:
            f.write(data)
        return str(self.contents)

    def existing(self, name, data):
        self.manifest.append("existing\t%s\t%s" % (name, self.content_file(data)))

    def add(self, message_bytes, state, files, line_end=b"\r\n"):
        """files: (expected name, bytes) for every file the message carries."""
        self.messages += 1
        eml = "%03d.eml" % self.messages
        text = message_bytes.replace(b"\r\n", b"\n").replace(b"\n", line_end)
        with open(os.path.join(self.out_dir, eml), "wb") as f:
            f.write(text)
        self.manifest.append("message\t%s\t%s" % (eml, state))
        for name, data in files:
            self.manifest.append("file\t%s\t%s\t%s" % (eml, name, self.content_file(data)))

    def joined(self):
        self.manifest.append("joined")

    def close(self):
        with open(os.path.join(self.out_dir, "manifest.tsv"), "w") as f:
            f.write("\n".join(self.manifest) + "\n")


def crlf(text):
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def as_bytes(message):
    return message.as_bytes(policy=CRLF_POLICY)


def top(message, subject, sender=SENDER):
    message["From"] = sender
    message["To"] = "Point <point@example.org>"
    message["Subject"] = subject
    message["Message-ID"] = "<%s@example.org>" % subject.replace(" ", ".")
    return message


def binary(size, rng):
    return bytes(rng.getrandbits(8) for _ in range(size))


def text_lines(rng, count, high_bytes=False):
    """Text with CR LF line ends, as mail carries it: trailing blanks, "=",
    leading dots and "From ", long lines, and 8-bit bytes when asked."""
    words = [b"Area", b"FIDONET", b"=", b"x=3D", b"..dot", b"From", b"\tTab", b"  "]
    if high_bytes:
        words += [b"\xe4\xf6\xfc", b"\xc3\xa9t\xc3\xa9"]
    lines = []
    for _ in range(count):
        n = rng.randrange(0, 30)
        lines.append(b" ".join(rng.choice(words) for _ in range(n)))
    return b"\r\n".join(lines) + b"\r\n"


def encoded_payload(data, encoding):
    """The body of a part in its transfer encoding; text keeps CR LF line ends."""
    if encoding == "base64":
        return base64.encodebytes(data).decode("ascii")
    if encoding == "quoted-printable":
        return quopri.encodestring(data.replace(b"\r\n", b"\n")).decode("ascii")
    return data.replace(b"\r\n", b"\n").decode("ascii", "surrogateescape")


def file_part(data, encoding, maintype="application", subtype="octet-stream"):
    part = MIMENonMultipart(maintype, subtype)
    part.set_payload(encoded_payload(data, encoding))
    part["Content-Transfer-Encoding"] = encoding
    return part


def percent(name):
    return urllib.parse.quote(name.encode("utf-8"), safe="")


def name_headers(part, name, style, rng=None):
    """Names the part the way one kind of client or another does."""
    disposition = "attachment"
    if style == "quoted":
        part.set_param("name", name)
        part.add_header("Content-Disposition", disposition, filename=name)
    elif style == "type-only":
        part.set_param("name", name)
    elif style == "token":
        part.replace_header("Content-Type", part.get_content_type() + "; name=" + name)
    elif style == "rfc2231":
        part.add_header("Content-Disposition", disposition, filename=("utf-8", "", name))
    elif style == "rfc2231-sections":
        encoded = percent(name)
        chunks, at = [], 0
        while at < len(encoded):
            end = min(at + 30, len(encoded))
            while end < len(encoded) and "%" in encoded[end - 2 : end]:
                end += 1
            chunks.append(encoded[at:end])
            at = end
        params = ["filename*0*=utf-8''" + chunks[0]]
        params += ["filename*%d*=%s" % (i, c) for i, c in enumerate(chunks[1:], 1)]
        part["Content-Disposition"] = disposition + ";\r\n " + ";\r\n ".join(params)
    elif style == "rfc2047":
        words = Header(name, "utf-8").encode()
        part.replace_header("Content-Type", part.get_content_type() + '; name="' + words + '"')
        part["Content-Disposition"] = disposition + '; filename="' + words + '"'
    else:
        raise ValueError(style)


def uuencoded(name, data):
    lines = ["begin 644 " + name]
    for at in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[at : at + 45], backtick=True).decode("ascii").rstrip("\n"))
    lines += ["`", "end"]
    return "\n".join(lines) + "\n"


def shapes(mails):
    rng = random.Random(13)
    packet = binary(3000, rng)

    # A large provider: dozens of trace and signature lines before From:.
    message = MIMEMultipart()
    for i in range(32):
        message["Received"] = "from relay%d.provider.example (relay%d [10.0.0.%d])\n\tby mx; Mon" % (i, i, i)
    message["ARC-Seal"] = "i=1; a=rsa-sha256; t=1700000000; cv=none; b=" + "A" * 200
    message["DKIM-Signature"] = "v=1; a=rsa-sha256; d=provider.example; b=" + "B" * 300
    top(message, "provider")
    message.attach(MIMEText("Greetings\n"))
    part = file_part(packet, "base64")
    name_headers(part, "0a0b0c0d.pkt", "quoted")
    message.attach(part)
    mails.add(as_bytes(message), "taken", [("0a0b0c0d.pkt", packet)])

    # RFC 2231 names, whole and in sections.
    for style, name in (("rfc2231", "\u0444\u0430\u0439\u043b.pkt"),
                        ("rfc2231-sections", "\u20ac-a-long-name-that-a-client-splits-" + "x" * 40 + ".tic")):
        data = binary(700, rng)
        message = top(MIMEMultipart(), style)
        message.attach(MIMEText("See attachment\n"))
        part = file_part(data, "base64")
        name_headers(part, name, style)
        message.attach(part)
        mails.add(as_bytes(message), "taken", [(name, data)])

    # A message whose body is the file.
    data = binary(5000, rng)
    message = top(file_part(data, "base64"), "single part")
    name_headers(message, "single.pkt", "quoted")
    mails.add(as_bytes(message), "taken", [("single.pkt", data)])

    # A signed message: the file sits in a multipart inside multipart/signed.
    data = binary(2000, rng)
    inner = MIMEMultipart()
    inner.attach(MIMEText("Signed files\n"))
    part = file_part(data, "base64")
    name_headers(part, "signed.pkt", "quoted")
    inner.attach(part)
    message = top(MIMEMultipart("signed", protocol="application/pgp-signature", micalg="pgp-sha256"), "signed")
    message.attach(inner)
    signature = b"-----BEGIN PGP SIGNATURE-----\r\n\r\niQEz\r\n-----END PGP SIGNATURE-----\r\n"
    part = file_part(signature, "7bit", "application", "pgp-signature")
    name_headers(part, "signature.asc", "type-only")
    message.attach(part)
    mails.add(as_bytes(message), "taken", [("signed.pkt", data), ("signature.asc", signature)])

    # A quoted-printable file, and a .tic as mail clients send text: 7bit.
    qp_text = text_lines(rng, 40, high_bytes=True)
    tic = b"Area FIDONEWS\r\nFile fnews.zip\r\nDesc This week's news\r\nCrc 1A2B3C4D\r\n"
    message = top(MIMEMultipart(), "text files")
    message.attach(MIMEText("Two files\n"))
    part = file_part(qp_text, "quoted-printable", "text", "plain")
    name_headers(part, "notes.txt", "quoted")
    message.attach(part)
    part = file_part(tic, "7bit", "text", "plain")
    name_headers(part, "abcd1234.tic", "quoted")
    message.attach(part)
    mails.add(as_bytes(message), "taken", [("notes.txt", qp_text), ("abcd1234.tic", tic)])

    # A part whose name cannot be used: the message stays, the walk goes on.
    message = top(MIMEMultipart(), "unusable name")
    part = file_part(b"data", "base64")
    name_headers(part, "..", "quoted")
    message.attach(part)
    mails.add(as_bytes(message), "failed", [])

    # A uuencoded packet in a plain text body, as older gateways send it.
    data = binary(1000, rng)
    body = "Packet follows\n\n" + uuencoded("uu000001.pkt", data) + "\nBye\n"
    mails.add(as_bytes(top(MIMEText(body), "uuencoded")), "taken", [("uu000001.pkt", data)])

    # A forwarded message with its file.
    data = binary(1500, rng)
    forwarded = top(MIMEMultipart(), "original")
    forwarded.attach(MIMEText("Original text\n"))
    part = file_part(data, "base64")
    name_headers(part, "fwd.pkt", "quoted")
    forwarded.attach(part)
    message = top(MIMEMultipart(), "forwarded")
    message.attach(MIMEText("Forwarding\n"))
    message.attach(MIMEMessage(forwarded))
    mails.add(as_bytes(message), "taken", [("fwd.pkt", data)])

    # A file part without any name.
    data = binary(800, rng)
    message = top(MIMEMultipart(), "nameless")
    message.attach(MIMEText("No name\n"))
    message.attach(file_part(data, "base64"))
    mails.add(as_bytes(message), "taken", [("*.bin", data)])

    # An unknown transfer encoding: the message stays.
    message = top(MIMEMultipart(), "unknown encoding")
    part = file_part(b"", "7bit")
    part.replace_header("Content-Transfer-Encoding", "x-gzip64")
    part.set_payload("H4sIAAAAAAAAA0tMSgYAwkEkNQMAAAA=\n")
    name_headers(part, "packed.pkt", "quoted")
    message.attach(part)
    mails.add(as_bytes(message), "failed", [])

    # An RFC 2047 name.
    data = binary(600, rng)
    message = top(MIMEMultipart(), "rfc2047")
    part = file_part(data, "base64")
    name_headers(part, "p\u00e4ckchen.pkt", "rfc2047")
    message.attach(part)
    mails.add(as_bytes(message), "taken", [("p\u00e4ckchen.pkt", data)])

    # Names already in the inbound: the variants keep the extension.
    taken = []
    message = top(MIMEMultipart(), "names taken")
    for name, variant in (("taken.pkt", "taken_1.pkt"), ("2f6e0100.pkt", "2f6e0101.pkt"),
                          ("0000fff0.mo0", "0000fff1.mo0")):
        mails.existing(name, b"already here")
        data = binary(400, rng)
        part = file_part(data, "base64")
        name_headers(part, name, "quoted")
        message.attach(part)
        taken.append((variant, data))
    mails.add(as_bytes(message), "taken", taken)

    # Mail from someone else is not taken.
    message = top(MIMEText("Buy now\n"), "offer", sender="Spam <offers@example.com>")
    mails.add(as_bytes(message), "skipped", [])

    pieces(mails)
    bounces(mails)


def pieces(mails):
    """A file in message/partial pieces (RFC 2046 5.2.2), the whole message's
    head in the first piece's body, the pieces out of order, one of them twice."""
    rng = random.Random(17)
    data = binary(30000, rng)
    whole = top(MIMEMultipart(), "split whole")
    whole.attach(MIMEText("In three pieces\n"))
    part = file_part(data, "base64")
    name_headers(part, "split.pkt", "quoted")
    whole.attach(part)
    lines = as_bytes(whole).splitlines(keepends=True)
    cuts = [0, len(lines) // 3, 2 * len(lines) // 3, len(lines)]
    set_id = "split.%d@example.org" % rng.getrandbits(16)
    # Piece 2 comes twice, the second time under another Message-ID.
    for number, again in ((2, ""), (3, ""), (2, " again"), (1, "")):
        piece = Message()
        piece.set_type("message/partial")
        piece.set_param("id", set_id)
        piece.set_param("number", str(number))
        piece.set_param("total", "3")
        piece.set_payload(b"".join(lines[cuts[number - 1] : cuts[number]]).decode("ascii"))
        top(piece, "split %d of 3%s" % (number, again))
        mails.add(as_bytes(piece), "taken", [("split.pkt", data)] if number == 1 else [])
    mails.joined()


def header_block(*fields):
    block = Message()
    for name, value in fields:
        block[name] = value
    return block


def bounces(mails, returned_id=None):
    """Taken without a file: a delivery failure report (RFC 3464) that returns
    a message with its file (with the Message-ID given, if one is), and a text
    whose "begin" lines are prose."""
    report = MIMEMultipart("report", report_type="delivery-status")
    report.attach(MIMEText("Your message could not be delivered.\n"))
    status = Message()
    status.set_type("message/delivery-status")
    status.set_payload([
        header_block(("Reporting-MTA", "dns; mx.example.org")),
        header_block(("Original-Recipient", "rfc822; Node100@example.org"),
                     ("Final-Recipient", "rfc822; node100@example.org"),
                     ("Action", "failed"), ("Status", "5.1.1"),
                     ("Diagnostic-Code", "smtp; 550 5.1.1 <node100@example.org>:\n"
                                         "    Recipient address rejected")),
        header_block(("Original-Recipient", "rfc822; node200@example.org"),
                     ("Action", "Delayed"), ("Status", "4.4.1")),
    ])
    report.attach(status)
    returned = top(MIMEMultipart(), "returned")
    if returned_id:
        returned.replace_header("Message-ID", returned_id)
    returned.attach(MIMEText("Files for you\n"))
    part = file_part(b"returned packet", "base64")
    name_headers(part, "back.pkt", "quoted")
    returned.attach(part)
    report.attach(MIMEMessage(returned))
    mails.add(as_bytes(top(report, "delivery failure")), "taken", [])

    body = ("To send a file, uuencode it:\n\nbegin 644 yourfile.zip\n\n"
            "and mail the result.\nbegin 644 OTHER.ZIP\nThanks\n")
    mails.add(as_bytes(top(MIMEText(body), "prose begin")), "taken", [])


class RandomTrees:
    """Random MIME trees: nesting, encodings, names and line ends."""

    NAME_STYLES = ["quoted", "type-only", "token", "rfc2231", "rfc2231-sections", "rfc2047"]

    def __init__(self, rng, index):
        self.rng = rng
        self.index = index  # names differ between messages, in more than letter case
        self.files = []
        self.count = 0

    def name(self, style):
        self.count += 1
        n = self.count
        rng = self.rng
        ext = rng.choice([".pkt", ".tic", ".su%d" % rng.randrange(10), ".zip", ".txt"])
        if style == "token":
            return "%08x%s" % ((self.index << 12) | n, ext)
        base = rng.choice(["file", "F_\u00fcber", "\u0444\u0430\u0439\u043b",
                           "long-" + "n" * rng.randrange(40, 90)])
        return "r%d-%d-%s%s" % (self.index, n, base, ext)

    def leaf(self, depth):
        rng = self.rng
        kind = rng.choice(["binary", "binary", "text-file", "body", "nameless"])
        if kind == "body":
            text = "Body text %d\n" % self.count
            if rng.random() < 0.4:
                self.count += 1
                data = binary(rng.randrange(0, 3000), rng)
                name = "uu%d-%d.pkt" % (self.index, self.count)
                text += uuencoded(name, data) + "after\n"
                self.files.append((name, data))
            return MIMEText(text, rng.choice(["plain", "html"]) if "begin" not in text else "plain")
        if kind == "text-file":
            encoding = rng.choice(["7bit", "quoted-printable", "base64", "8bit"])
            data = text_lines(rng, rng.randrange(1, 60), high_bytes=encoding != "7bit")
            # No line end at the end: only where a delimiter follows, since
            # POP3 ends a message's last line in any case.
            if depth > 0 and rng.random() < 0.3:
                data = data[:-2]
            part = file_part(data, encoding, "text", "plain")
        else:
            data = binary(rng.randrange(0, 20000), rng)
            part = file_part(data, "base64")
        if kind == "nameless":
            self.files.append(("*.bin", data))
            return part
        style = rng.choice(self.NAME_STYLES)
        name = self.name(style)
        name_headers(part, name, style)
        self.files.append((name, data))
        return part

    def tree(self, depth):
        rng = self.rng
        roll = 0 if depth == 0 and rng.random() < 0.8 else rng.random()
        if depth < 4 and roll < 0.35:
            subtype = rng.choice(["mixed", "alternative", "related", "mixed"])
            node = MIMEMultipart(subtype)
            for _ in range(rng.randrange(1, 4)):
                node.attach(self.tree(depth + 1))
            return node
        if depth < 4 and roll < 0.45:
            inner = self.tree(depth + 1)
            top(inner, "forwarded %d" % self.count)
            return MIMEMessage(inner)
        return self.leaf(depth)


def random_round(mails, seed, count):
    rng = random.Random(seed)
    for i in range(count):
        trees = RandomTrees(rng, i)
        message = trees.tree(0)
        if isinstance(message, MIMEMessage):
            wrapper = MIMEMultipart()
            wrapper.attach(message)
            message = wrapper
        if message.get_content_maintype() != "multipart" and not trees.files:
            message = MIMEMultipart(_subparts=[message])
        top(message, "random %d %d" % (seed, i))
        mails.add(as_bytes(message), "taken", trees.files, rng.choice([b"\r\n", b"\n"]))


def main():
    out_dir, what = sys.argv[1], sys.argv[2]
    mails = MailSet(out_dir)
    if what == "shapes":
        shapes(mails)
    elif what == "bounces":
        bounces(mails, sys.argv[3] if len(sys.argv) > 3 else None)
    else:
        random_round(mails, int(sys.argv[3]), int(sys.argv[4]))
    mails.close()


if __name__ == "__main__":
    main()
