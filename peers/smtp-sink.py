#!/usr/bin/python3
"""A loopback SMTP sink for tests.

Every message is stored as OUT_DIR/new/<stamp>.json (envelope) and then
OUT_DIR/new/<stamp>.eml (the DATA bytes exactly as received, dot-unstuffed,
CR LF kept). Both are written into OUT_DIR/tmp first and renamed, so a test
that polls for *.eml never sees half a file. Prints "READY host port" once it
accepts connections.

Options: --smtps CERT KEY (implicit TLS), --starttls CERT KEY and
--require-starttls, --auth USER:PASS (PLAIN and LOGIN) and --auth-required,
--xoauth2 USER:TOKEN (an OAuth 2.0 bearer token), --reject-rcpt REGEX. No
login is offered unless --auth or --xoauth2 names one. The login a message
came with is its "auth_login".
"""
import argparse
import asyncio
import base64
import json
import os
import re
import ssl
import sys
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Sink:
    def __init__(self, out_dir, reject_rcpt, tls, xoauth2=None):
        self.out_dir = out_dir
        self.reject = re.compile(reject_rcpt) if reject_rcpt else None
        self.tls = tls
        self.xoauth2 = xoauth2
        self.count = 0
        for sub in ("tmp", "new"):
            os.makedirs(os.path.join(out_dir, sub), exist_ok=True)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.reject and self.reject.search(address):
            return "550 5.1.1 <%s>: mailbox unavailable" % address
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        # No "AUTH" line without a mechanism in it: a relay that sees AUTH
        # offered adds AUTH= to MAIL FROM, which the sink would refuse.
        session.host_name = hostname
        return [r for r in responses if r.strip() != "250-AUTH"]

    async def auth_XOAUTH2(self, server, args):
        # "user=U\x01auth=Bearer T\x01\x01"; a wrong token gets the reasons
        # as a challenge, then 535.
        if self.xoauth2 is None or len(args) != 2:
            return AuthResult(success=False)
        try:
            fields = dict(f.split("=", 1) for f in base64.b64decode(args[1]).decode().split("\x01") if f)
        except Exception:
            return AuthResult(success=False)
        user, token = self.xoauth2
        if fields.get("user") == user and fields.get("auth") == "Bearer " + token:
            return AuthResult(success=True, auth_data=LoginPassword(user.encode(), b""))
        await server.challenge_auth(json.dumps({"status": "401", "schemes": "Bearer"}))
        return AuthResult(success=False)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        stamp = "%d.%06d.%d" % (time.time(), os.getpid(), self.count)
        login = getattr(session.auth_data, "login", None)
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "mail_options": envelope.mail_options,
            "rcpt_options": envelope.rcpt_options,
            "peer": list(session.peer) if session.peer else None,
            "helo": session.host_name,
            "tls": self.tls or bool(session.ssl),
            "auth_login": login.decode() if isinstance(login, bytes) else login,
            "size": len(envelope.original_content or b""),
        }
        self._store(stamp + ".json", json.dumps(meta).encode())
        self._store(stamp + ".eml", envelope.original_content or b"")
        return "250 OK queued as %s" % stamp

    def _store(self, name, data):
        tmp = os.path.join(self.out_dir, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.rename(tmp, os.path.join(self.out_dir, "new", name))


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out_dir")
    ap.add_argument("port", type=int)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--smtps", nargs=2, metavar=("CERT", "KEY"))
    ap.add_argument("--reject-rcpt")
    ap.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    ap.add_argument("--require-starttls", action="store_true")
    ap.add_argument("--auth", metavar="USER:PASS")
    ap.add_argument("--auth-required", action="store_true")
    ap.add_argument("--xoauth2", metavar="USER:TOKEN")
    a = ap.parse_args()

    def tls_context(pair):
        if not pair:
            return None
        c = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        c.load_cert_chain(pair[0], pair[1])
        return c

    ctx = tls_context(a.smtps)
    starttls = tls_context(a.starttls)
    xoauth2 = tuple(a.xoauth2.split(":", 1)) if a.xoauth2 else None
    sink = Sink(a.out_dir, a.reject_rcpt, bool(a.smtps), xoauth2)
    loop = asyncio.get_running_loop()
    user, _, password = (a.auth or "").partition(":")

    def authenticator(server, session, envelope, mechanism, data):
        ok = data.login.decode() == user and data.password.decode() == password
        return AuthResult(success=ok, auth_data=data)

    # Without --auth the built-in mechanisms are not offered at all.
    excluded = ([] if a.auth else ["LOGIN", "PLAIN"]) + ([] if xoauth2 else ["XOAUTH2"])

    def factory():
        # hostname given: no getfqdn() lookup; decode_data off: bytes kept.
        return SMTP(sink, hostname="sink.test", decode_data=False,
                    data_size_limit=33554432, enable_SMTPUTF8=False,
                    tls_context=starttls, require_starttls=a.require_starttls,
                    authenticator=authenticator, auth_required=a.auth_required,
                    auth_exclude_mechanism=excluded, auth_require_tls=False)

    server = await loop.create_server(factory, host=a.host, port=a.port, ssl=ctx)
    print("READY %s %d" % (a.host, a.port), flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
