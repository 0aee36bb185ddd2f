#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""SMTP server for the tests: aiosmtpd on 127.0.0.1, delivering into a Maildir.

Binds a free port itself and prints it as the first line of standard output,
so that a test never races another one for a port. Each accepted message is
stored as received (CR LF line ends, dots already unstuffed), behind three
header lines naming the peer, the sender and the recipients:
    X-Peer: 127.0.0.1
    X-MailFrom: <sender>
    X-RcptTo: <rcpt1>, <rcpt2>
Files are named new/000001.kestrel, new/000002.kestrel, ... in delivery order.
"""

import argparse
import base64
import asyncio
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class MaildirHandler:
    def __init__(self, maildir, refuse_data, refuse_rcpt):
        self.maildir = maildir
        self.refuse_data = refuse_data
        self.refuse_rcpt = set(address.lower() for address in refuse_rcpt)
        self.count = 0
        for sub in ("tmp", "new", "cur"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refuse_rcpt:
            return "550 5.1.1 Mailbox unavailable (refused by test server)"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.refuse_data:
            return "554 Transaction failed: refused by test server"
        content = envelope.original_content or envelope.content or b""
        if isinstance(content, str):
            content = content.encode("utf-8", "surrogateescape")
        head = "X-Peer: %s\r\nX-MailFrom: %s\r\nX-RcptTo: %s\r\n" % (
            session.peer[0],
            envelope.mail_from,
            ", ".join(envelope.rcpt_tos),
        )
        self.count += 1
        name = "%06d.kestrel" % self.count
        tmp = os.path.join(self.maildir, "tmp", name)
        with open(tmp, "wb") as out:
            out.write(head.encode("ascii", "replace"))
            out.write(content)
        os.rename(tmp, os.path.join(self.maildir, "new", name))
        return "250 Message accepted for delivery"


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (
            isinstance(auth_data, LoginPassword)
            and auth_data.login == user.encode()
            and auth_data.password == password.encode()
        )
        return AuthResult(success=ok, handled=False)

    return authenticate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--maildir", required=True)
    parser.add_argument("--max-size", type=int, default=256 * 1024 * 1024)
    parser.add_argument("--refuse-data", action="store_true")
    parser.add_argument("--refuse-rcpt", action="append", default=[],
                        help="recipient answered with 550 (repeatable)")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--auth", help="USER:PASSWORD; AUTH becomes required")
    parser.add_argument("--xoauth2", help="USER:TOKEN; AUTH XOAUTH2 accepts this bearer token")
    parser.add_argument("--implicit-tls", action="store_true",
                        help="TLS from the first byte (needs --tls-cert)")
    args = parser.parse_args()

    handler = MaildirHandler(args.maildir, args.refuse_data, args.refuse_rcpt)
    tls_context = None
    if args.tls_cert:
        tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls_context.load_cert_chain(args.tls_cert, args.tls_key)
    options = dict(
        data_size_limit=args.max_size,
        hostname="kestrel-test",
        tls_context=tls_context,
        require_starttls=args.require_starttls,
    )
    if args.auth:
        user, _, password = args.auth.partition(":")
        options.update(
            authenticator=make_authenticator(user, password),
            auth_required=True,
            auth_require_tls=tls_context is not None,
        )

    if args.xoauth2:
        token_user, _, token = args.xoauth2.partition(":")
        expected = base64.b64encode(
            ("user=%s\x01auth=Bearer %s\x01\x01" % (token_user, token)).encode()).decode()

        async def auth_XOAUTH2(self, server, auth_args):
            ok = len(auth_args) > 1 and auth_args[1] == expected
            return AuthResult(success=ok, handled=False)

        MaildirHandler.auth_XOAUTH2 = auth_XOAUTH2
        options.update(auth_required=True, auth_require_tls=tls_context is not None)

    implicit = tls_context if args.implicit_tls else None
    if implicit is not None:
        # The handshake happens before the greeting; no STARTTLS on top of it.
        # The connection is already encrypted, though aiosmtpd cannot tell.
        options.update(tls_context=None, require_starttls=False, auth_require_tls=False)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(handler, loop=loop, **options), "127.0.0.1", 0,
                           ssl=implicit)
    )
    port = server.sockets[0].getsockname()[1]
    sys.stdout.write("%d\n" % port)
    sys.stdout.flush()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, loop.stop)
    try:
        loop.run_forever()
    finally:
        server.close()
        loop.close()


if __name__ == "__main__":
    main()
