#!/usr/bin/python3
"""A raw SMTP recorder for tests: the most gullible server there is.

It reads pipelined input in order and takes any of CR LF, a bare LF or a
bare CR for the end of a line, so a client that lets a message's own line
ends or a lone "." through is caught at once: the rest of the message
becomes commands here. Every line it reads is logged, and every transaction
it completes is stored.

    smtp-sink-raw.py OUT_DIR PORT [--host ADDR] [--tarpit SECONDS]
                     [--reject-rcpt REGEX]

OUT_DIR/lines.jsonl      one {"conn", "mode", "line"} per line read
OUT_DIR/transactions.jsonl  one {"conn", "mail_from", "rcpt_tos", "data"} per
                         message taken (data as text, line ends as read)
OUT_DIR/raw-N.bin        the bytes of connection N as received
--tarpit S               every reply (the greeting too) comes S seconds late
--reject-rcpt REGEX      "450 4.2.0 try later" for matching recipients

Prints "READY host port" once it accepts connections.
"""
import argparse
import asyncio
import json
import os
import re
import sys


class Recorder:
    def __init__(self, out_dir, tarpit, reject):
        self.out_dir = out_dir
        self.tarpit = tarpit
        self.reject = re.compile(reject) if reject else None
        self.conns = 0
        os.makedirs(out_dir, exist_ok=True)

    def append(self, name, record):
        with open(os.path.join(self.out_dir, name), "a") as f:
            f.write(json.dumps(record) + "\n")

    async def serve(self, reader, writer):
        self.conns += 1
        conn = self.conns
        raw = open(os.path.join(self.out_dir, "raw-%d.bin" % conn), "ab")

        async def reply(text):
            if self.tarpit:
                await asyncio.sleep(self.tarpit)
            writer.write(text.encode() + b"\r\n")
            await writer.drain()

        mode = "command"
        mail_from, rcpts, data = None, [], []
        buf = b""
        try:
            await reply("220 raw.test ESMTP recorder")
            while True:
                chunk = await reader.read(65536)
                if not chunk:
                    return
                raw.write(chunk)
                raw.flush()
                buf += chunk
                while True:
                    m = re.search(rb"\r\n|\n|\r", buf)
                    if not m:
                        break
                    # A CR at the very end may be the first half of CR LF.
                    if m.group() == b"\r" and m.end() == len(buf):
                        break
                    line = buf[: m.start()].decode("latin-1")
                    buf = buf[m.end():]
                    self.append("lines.jsonl", {"conn": conn, "mode": mode, "line": line})
                    if mode == "data":
                        if line == ".":
                            self.append("transactions.jsonl", {
                                "conn": conn, "mail_from": mail_from, "rcpt_tos": rcpts,
                                "data": "\r\n".join(data) + "\r\n"})
                            mail_from, rcpts, data, mode = None, [], [], "command"
                            await reply("250 2.0.0 taken")
                        else:
                            data.append(line[1:] if line.startswith(".") else line)
                        continue
                    verb = line[:4].upper()
                    if verb in ("HELO", "EHLO"):
                        await reply("250 raw.test")
                    elif line.upper().startswith("MAIL FROM:"):
                        mail_from = line[10:].strip()
                        await reply("250 2.1.0 ok")
                    elif line.upper().startswith("RCPT TO:"):
                        rcpt = line[8:].strip()
                        if self.reject and self.reject.search(rcpt):
                            await reply("450 4.2.0 try later")
                        else:
                            rcpts.append(rcpt)
                            await reply("250 2.1.5 ok")
                    elif verb == "DATA":
                        mode = "data"
                        await reply("354 go ahead")
                    elif verb in ("RSET", "NOOP"):
                        await reply("250 ok")
                    elif verb == "QUIT":
                        await reply("221 bye")
                        return
                    else:
                        await reply("500 what")
        except (ConnectionError, asyncio.IncompleteReadError):
            return
        finally:
            raw.close()
            writer.close()


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out_dir")
    ap.add_argument("port", type=int)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--tarpit", type=float, default=0)
    ap.add_argument("--reject-rcpt")
    a = ap.parse_args()
    rec = Recorder(a.out_dir, a.tarpit, a.reject_rcpt)
    server = await asyncio.start_server(rec.serve, host=a.host, port=a.port)
    print("READY %s %d" % (a.host, a.port), flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
