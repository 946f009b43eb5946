#!/usr/bin/env python3
"""Drives a command in a pseudo-terminal as a person would: waits for each
expected text on the screen, then types the answer.

usage: companion_pty.py TRANSCRIPT STEP... -- COMMAND [ARG...]
  expect:TEXT  wait (up to 60 s) until TEXT has appeared since the last expect
  send:TEXT    type TEXT and Enter
  eof          type Ctrl-D
The screen is written to TRANSCRIPT. Exit status: the command's, or 124 when
an expected text did not come.
"""
import os
import pty
import select
import sys
import time


def main():
    transcript, rest = sys.argv[1], sys.argv[2:]
    split = rest.index("--")
    steps, command = rest[:split], rest[split + 1:]
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)
    screen = b""
    seen = 0  # what an expect has matched so far

    def read_some(timeout):
        nonlocal screen
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            return True
        try:
            data = os.read(fd, 4096)
        except OSError:  # the command has ended and closed the terminal
            return False
        if not data:
            return False
        screen += data
        return True

    status = None
    for step in steps:
        if step.startswith("expect:"):
            want = step[len("expect:"):].encode()
            deadline = time.monotonic() + 60
            while screen.find(want, seen) < 0:
                if time.monotonic() > deadline or not read_some(0.2):
                    status = 124
                    break
            if status:
                sys.stderr.write(f"companion_pty: never saw {want!r}\n")
                break
            seen = screen.find(want, seen) + len(want)
        elif step.startswith("send:"):
            os.write(fd, step[len("send:"):].encode() + b"\n")
        elif step == "eof":
            os.write(fd, b"\x04")
    if status is None:
        while read_some(1.0):
            pass
        _, wstatus = os.waitpid(pid, 0)
        status = os.waitstatus_to_exitcode(wstatus)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    with open(transcript, "wb") as f:
        f.write(screen)
    sys.exit(status)


main()
