#!/usr/bin/env python3
"""Stand-ins for the servers a run meets, for the start-up script.

usage: startup_peers.py MODE PORTFILE

Listens on a free port of 127.0.0.1, writes the port to PORTFILE and serves
one connection after the other until killed. MODE: pop-badpass (a POP3
server that refuses every password), pop-empty (an empty mailbox), pop-big
(one message of 300 kB), silent (accepts and never answers), smtp (an SMTP
greeting, then "500" to everything: a wrong port).
"""
import os
import socket
import sys

mode, portfile = sys.argv[1], sys.argv[2]
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(8)
with open(portfile + ".tmp", "w") as f:
    f.write(str(srv.getsockname()[1]))
os.rename(portfile + ".tmp", portfile)
BIG = (b"From: a@example.net\r\nTo: fax1@127.0.0.1\r\nSubject: big\r\n\r\n" +
       b"".join(b"line %06d of a long message\r\n" % i for i in range(10000)))
held = []
while True:
    conn, _ = srv.accept()
    if mode == "silent":
        held.append(conn)
        continue
    with conn, conn.makefile("rb") as lines:
        try:
            conn.sendall(b"220 mail.example.test ESMTP\r\n" if mode == "smtp" else b"+OK ready\r\n")
            for line in lines:
                cmd = line.split(b" ", 1)[0].strip().upper()
                if mode == "smtp":
                    reply = b"500 5.5.1 Command unrecognized"
                elif cmd == b"PASS" and mode == "pop-badpass":
                    reply = b"-ERR [AUTH] Authentication failed."
                elif cmd == b"STAT":
                    reply = b"+OK 1 %d" % len(BIG) if mode == "pop-big" else b"+OK 0 0"
                elif mode == "pop-big" and cmd in (b"LIST", b"UIDL"):
                    arg = b"%d" % len(BIG) if cmd == b"LIST" else b"big-1"
                    reply = b"+OK\r\n1 " + arg + b"\r\n." if line.strip() == cmd else b"+OK 1 " + arg
                elif mode == "pop-big" and cmd == b"RETR":
                    reply = b"+OK\r\n" + BIG + b"."
                else:
                    reply = b"+OK"
                conn.sendall(reply + b"\r\n")
                if cmd == b"QUIT":
                    break
        except OSError:
            pass
