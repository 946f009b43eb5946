#!/usr/bin/env python3
"""A small POP3 server on loopback for the hostile-server tests.

usage: pop_hostile_server.py PORT MAILDIR MODE

Serves the files of MAILDIR/new, in name order, to any user and password;
DELE marks a message and an accepted QUIT removes the marked files. MODE:
  normal       behaves
  drip SECONDS answers RETR with its reply line, then sends one byte of the
               message every SECONDS, without end
Prints READY once it listens. Only the standard library is used.
"""
import os
import socketserver
import sys
import time

PORT = int(sys.argv[1])
MAILDIR = sys.argv[2]
MODE = sys.argv[3]
DRIP = float(sys.argv[4]) if MODE == "drip" else 0


def mailbox():
    folder = os.path.join(MAILDIR, "new")
    return [os.path.join(folder, n) for n in sorted(os.listdir(folder))]


class Session(socketserver.StreamRequestHandler):
    def say(self, text):
        self.wfile.write(text.encode("latin-1") + b"\r\n")
        self.wfile.flush()

    def handle(self):
        box = mailbox()
        deleted = set()
        self.say("+OK hostile test server ready")
        for raw in self.rfile:
            words = raw.decode("latin-1").strip().split()
            if not words:
                continue
            cmd, args = words[0].upper(), words[1:]
            if cmd in ("USER", "PASS", "NOOP", "RSET"):
                self.say("+OK")
            elif cmd == "STAT":
                self.say("+OK %d %d" % (len(box), sum(os.path.getsize(f) for f in box)))
            elif cmd in ("LIST", "UIDL"):
                self.say("+OK")
                for i, f in enumerate(box, 1):
                    self.say("%d %s" % (i, os.path.getsize(f) if cmd == "LIST" else os.path.basename(f)))
                self.say(".")
            elif cmd == "RETR":
                with open(box[int(args[0]) - 1], "rb") as f:
                    data = f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
                self.say("+OK %d octets" % len(data))
                if MODE == "drip":
                    for i in range(len(data)):
                        time.sleep(DRIP)
                        self.wfile.write(data[i:i + 1])
                        self.wfile.flush()
                    return
                lines = [b"." + l if l.startswith(b".") else l for l in data.split(b"\r\n")]
                self.wfile.write(b"\r\n".join(lines).rstrip(b"\r\n") + b"\r\n.\r\n")
                self.wfile.flush()
            elif cmd == "DELE":
                deleted.add(box[int(args[0]) - 1])
                self.say("+OK")
            elif cmd == "QUIT":
                for f in deleted:
                    os.unlink(f)
                self.say("+OK bye")
                return
            else:
                self.say("-ERR unknown command")


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that gives up mid-drip is expected here


with Server(("127.0.0.1", PORT), Session) as server:
    print("READY", flush=True)
    server.serve_forever()
