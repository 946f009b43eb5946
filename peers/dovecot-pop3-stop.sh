#!/bin/bash
# Stops the Dovecot that dovecot-pop3-start.sh started with this STATE_DIR:
# SIGTERM to its master, which ends all of its children.
STATE=${1:?usage: $0 STATE_DIR}
PIDFILE="$STATE/dovecot.pid"
[ -f "$PIDFILE" ] || exit 0
PID=$(cat "$PIDFILE")
if kill "$PID" 2>/dev/null; then
    for _ in $(seq 1 100); do
        kill -0 "$PID" 2>/dev/null || break
        sleep 0.05
    done
    kill -9 "$PID" 2>/dev/null || true
fi
rm -f "$PIDFILE"
