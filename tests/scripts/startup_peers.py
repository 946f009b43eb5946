#!/usr/bin/env python3
"""Small stand-ins for the servers a run meets, for the start-up script.

usage: startup_peers.py MODE PORTFILE

Listens on 127.0.0.1 on a free port, writes the port number to PORTFILE and
serves connections one after the other until it is killed. MODE:
  pop-badpass  a POP3 server that refuses every password
  pop-empty    a POP3 server with an empty mailbox
  smtp         an SMTP server's greeting and "500" to everything (a wrong port)
Only the standard library is used.
"""
import socket
import sys


def lines(conn):
    buf = b""
    while True:
        data = conn.recv(4096)
        if not data:
            return
        buf += data
        while b"\r\n" in buf:
            line, buf = buf.split(b"\r\n", 1)
            yield line.decode("latin-1")


def pop(conn, badpass):
    conn.sendall(b"+OK POP3 ready\r\n")
    for line in lines(conn):
        cmd = line.split(" ", 1)[0].upper()
        if cmd == "PASS" and badpass:
            conn.sendall(b"-ERR [AUTH] Authentication failed.\r\n")
        elif cmd == "STAT":
            conn.sendall(b"+OK 0 0\r\n")
        elif cmd == "QUIT":
            conn.sendall(b"+OK bye\r\n")
            return
        else:
            conn.sendall(b"+OK\r\n")


def smtp(conn):
    conn.sendall(b"220 mail.example.test ESMTP\r\n")
    for _ in lines(conn):
        conn.sendall(b"500 5.5.1 Command unrecognized\r\n")


def main():
    mode, portfile = sys.argv[1], sys.argv[2]
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    with open(portfile + ".tmp", "w") as f:
        f.write(str(srv.getsockname()[1]))
    import os
    os.rename(portfile + ".tmp", portfile)
    while True:
        conn, _ = srv.accept()
        try:
            if mode == "smtp":
                smtp(conn)
            else:
                pop(conn, mode == "pop-badpass")
        except OSError:
            pass
        finally:
            conn.close()


if __name__ == "__main__":
    main()
