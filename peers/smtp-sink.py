#!/usr/bin/python3
"""A loopback SMTP sink for tests.

Every message is stored as OUT_DIR/new/<stamp>.json (envelope) and then
OUT_DIR/new/<stamp>.eml (the DATA bytes exactly as received, dot-unstuffed,
CR LF kept). Both are written into OUT_DIR/tmp first and renamed, so a test
that polls for *.eml never sees half a file. Prints "READY host port" once it
accepts connections.
"""
import argparse
import asyncio
import json
import os
import re
import ssl
import sys
import time

from aiosmtpd.smtp import SMTP


class Sink:
    def __init__(self, out_dir, reject_rcpt, tls):
        self.out_dir = out_dir
        self.reject = re.compile(reject_rcpt) if reject_rcpt else None
        self.tls = tls
        self.count = 0
        for sub in ("tmp", "new"):
            os.makedirs(os.path.join(out_dir, sub), exist_ok=True)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.reject and self.reject.search(address):
            return "550 5.1.1 <%s>: mailbox unavailable" % address
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        stamp = "%d.%06d.%d" % (time.time(), os.getpid(), self.count)
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "mail_options": envelope.mail_options,
            "rcpt_options": envelope.rcpt_options,
            "peer": list(session.peer) if session.peer else None,
            "helo": session.host_name,
            "tls": self.tls,
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
    a = ap.parse_args()

    ctx = None
    if a.smtps:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(a.smtps[0], a.smtps[1])
    sink = Sink(a.out_dir, a.reject_rcpt, bool(a.smtps))
    loop = asyncio.get_running_loop()

    def factory():
        # hostname given: no getfqdn() lookup; decode_data off: bytes kept.
        return SMTP(sink, hostname="sink.test", decode_data=False,
                    data_size_limit=33554432, enable_SMTPUTF8=False,
                    auth_require_tls=False)

    server = await loop.create_server(factory, host=a.host, port=a.port, ssl=ctx)
    print("READY %s %d" % (a.host, a.port), flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
