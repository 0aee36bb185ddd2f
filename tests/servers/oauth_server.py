#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A scripted OAuth 2.0 authorization server for the tests, over TLS on 127.0.0.1.

Binds a free port for TLS and one for plain HTTP (for a mail server's
introspection requests) and prints both on the first line of standard
output. Plays:
  POST /device      device authorization (RFC 8628 3.2)
  POST /token       the device_code grant, following --device (a comma list of
                    pending, slow_down, denied, expired, ok: one per check, the
                    last repeated), authorization_code with PKCE S256, and
                    refresh_token with rotation
  GET  /authorize   the browser's login page: redirects at once to the
                    redirect_uri with a code (and the state, or a forged one
                    with --forge-state)
  POST /introspect  RFC 7662, for a mail server that checks the tokens
Access tokens are access-1, access-2, ...; refresh tokens refresh-1, ... in
the order they are issued. --refresh-answer makes the refresh misbehave:
a reply too large, no JSON, fields of the wrong type, or none at all. Every request's form is appended to --log as one
JSON line, so that a test can see what the client sent.
"""

import argparse
import base64
import hashlib
import http.server
import json
import ssl
import sys
import threading
import urllib.parse


class State:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.issued = 0
        self.refresh = set(args.refresh_token)
        self.access = {}
        self.codes = {}
        self.device_steps = args.device.split(",")
        self.device_checks = 0

    def issue(self, with_refresh=True):
        self.issued += 1
        reply = {"access_token": "access-%d" % self.issued, "token_type": "Bearer",
                 "expires_in": self.args.expires_in}
        self.access[reply["access_token"]] = True
        if with_refresh:
            reply["refresh_token"] = "refresh-%d" % self.issued
            self.refresh.add(reply["refresh_token"])
        return reply


def challenge_of(verifier):
    digest = hashlib.sha256(verifier.encode()).digest()
    return base64.urlsafe_b64encode(digest).decode().rstrip("=")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self, form):
        with open(self.server.state.args.log, "a") as log:
            log.write(json.dumps({"path": self.path, "form": form}) + "\n")

    def reply(self, status, body, headers=()):
        data = json.dumps(body).encode() if body is not None else b""
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def error(self, code, status=400):
        self.reply(status, {"error": code, "error_description": "scripted " + code})

    def misbehave(self, how):
        if how == "silent":
            threading.Event().wait(120)
            return None
        body = {"huge": b'{"access_token": "' + b"x" * 100000 + b'"}',
                "garbage": b"<html>502 Bad Gateway</html>",
                "wrong-types": b'{"access_token": 42, "expires_in": [], "refresh_token": null}',
                }[how]
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        return None

    def do_GET(self):
        state = self.server.state
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        self.record(query)
        if url.path != "/authorize":
            return self.reply(404, None)
        code = "code-%d" % (len(state.codes) + 1)
        challenge = query.get("code_challenge", "")
        if state.args.tamper_challenge:
            challenge = challenge_of("some other verifier")
        with state.lock:
            state.codes[code] = (challenge, query.get("redirect_uri"),
                                 query.get("code_challenge_method"))
        answer = {"code": code,
                  "state": "forged" if state.args.forge_state else query.get("state", "")}
        location = query.get("redirect_uri", "") + "?" + urllib.parse.urlencode(answer)
        self.reply(302, None, [("Location", location)])

    def do_POST(self):
        state = self.server.state
        length = int(self.headers.get("Content-Length", "0"))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
        self.record(form)
        if self.path == "/introspect":
            active = form.get("token", "") in state.access
            return self.reply(200, {"active": True, "username": state.args.user} if active
                              else {"active": False})
        if form.get("client_id") != state.args.client_id:
            return self.error("invalid_client", 401)
        if self.path == "/device":
            return self.reply(200, {
                "device_code": "device-secret", "user_code": "KES-TREL",
                "verification_uri": "https://127.0.0.1:%d/activate" % self.server.server_port,
                "expires_in": state.args.device_expires_in, "interval": state.args.interval})
        if self.path != "/token":
            return self.reply(404, None)
        grant = form.get("grant_type")
        with state.lock:
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                if form.get("device_code") != "device-secret":
                    return self.error("invalid_grant")
                step = state.device_steps[min(state.device_checks, len(state.device_steps) - 1)]
                state.device_checks += 1
                errors = {"pending": "authorization_pending", "slow_down": "slow_down",
                          "denied": "access_denied", "expired": "expired_token"}
                if step in errors:
                    return self.error(errors[step])
                return self.reply(200, state.issue())
            if grant == "authorization_code":
                entry = state.codes.pop(form.get("code", ""), None)
                if (entry is None or entry[1] != form.get("redirect_uri") or entry[2] != "S256"
                        or challenge_of(form.get("code_verifier", "")) != entry[0]):
                    return self.error("invalid_grant")
                return self.reply(200, state.issue())
            if grant == "refresh_token" and state.args.refresh_answer != "normal":
                return self.misbehave(state.args.refresh_answer)
            if grant == "refresh_token":
                token = form.get("refresh_token", "")
                if token not in state.refresh:
                    return self.error("invalid_grant")
                if state.args.rotate:
                    state.refresh.discard(token)
                return self.reply(200, state.issue(with_refresh=state.args.rotate))
        return self.error("unsupported_grant_type")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--client-id", default="kestrel-test")
    parser.add_argument("--user", default="gate@example.org")
    parser.add_argument("--device", default="ok")
    parser.add_argument("--interval", type=int, default=1)
    parser.add_argument("--device-expires-in", type=int, default=60)
    parser.add_argument("--expires-in", type=int, default=3600)
    parser.add_argument("--refresh-token", action="append", default=[])
    parser.add_argument("--no-rotate", dest="rotate", action="store_false")
    parser.add_argument("--forge-state", action="store_true")
    parser.add_argument("--tamper-challenge", action="store_true")
    parser.add_argument("--refresh-answer", default="normal",
                        choices=["normal", "huge", "garbage", "wrong-types", "silent"])
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.state = State(args)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    plain.state = server.state
    threading.Thread(target=plain.serve_forever, daemon=True).start()
    print(server.server_port, plain.server_port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
