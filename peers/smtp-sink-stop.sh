#!/bin/bash
# Stops the sink that smtp-sink-start.sh started with this STATE_DIR.
STATE=${1:?usage: $0 STATE_DIR}
PIDFILE="$STATE/smtp-sink.pid"
[ -f "$PIDFILE" ] || exit 0
PID=$(cat "$PIDFILE")
if kill "$PID" 2>/dev/null; then
    for _ in $(seq 1 40); do
        kill -0 "$PID" 2>/dev/null || break
        # A finished process whose parent does not reap it stays a zombie.
        [ "$(awk '{print $3}' "/proc/$PID/stat" 2>/dev/null)" = Z ] && break
        sleep 0.05
    done
    kill -9 "$PID" 2>/dev/null || true
fi
rm -f "$PIDFILE"
