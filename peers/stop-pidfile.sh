#!/bin/bash
# Stops the process whose PID a peer's start script wrote to PIDFILE: SIGTERM,
# up to five seconds for it to end (a finished process that its parent does not
# reap stays a zombie: that counts as ended), then SIGKILL. No PIDFILE: nothing
# to stop.
PIDFILE=${1:?usage: $0 PIDFILE}
[ -f "$PIDFILE" ] || exit 0
PID=$(cat "$PIDFILE")
if kill "$PID" 2>/dev/null; then
    for _ in $(seq 1 100); do
        kill -0 "$PID" 2>/dev/null || break
        [ "$(awk '{print $3}' "/proc/$PID/stat" 2>/dev/null)" = Z ] && break
        sleep 0.05
    done
    kill -9 "$PID" 2>/dev/null || true
fi
rm -f "$PIDFILE"
