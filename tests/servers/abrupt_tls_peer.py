# SPDX-License-Identifier: GPL-2.0-or-later
# A peer speaking TLS from the first byte on 127.0.0.1: it greets, answers
# one line with its last word and drops the connection without TLS's own
# goodbye (close_notify), as some MTAs do when they end a session.
# Usage: abrupt_tls_peer.py CERT KEY GREETING LAST; prints its port, then
# serves one connection (30 s at most).
import os
import socket
import ssl
import sys

cert, key, greeting, last = sys.argv[1:5]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
listener = socket.create_server(("127.0.0.1", 0))
listener.settimeout(30)
print(listener.getsockname()[1], flush=True)
conn, _ = listener.accept()
conn.settimeout(30)
tls = context.wrap_socket(conn, server_side=True)
tls.sendall(greeting.encode() + b"\r\n")
line = b""
while not line.endswith(b"\n"):
    chunk = tls.recv(1)
    if not chunk:
        break
    line += chunk
tls.sendall(last.encode() + b"\r\n")
os.close(tls.fileno())
os._exit(0)
