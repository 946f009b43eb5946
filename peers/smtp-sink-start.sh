#!/bin/bash
# Starts the loopback SMTP sink: smtp-sink-start.sh STATE_DIR OUT_DIR PORT
#   [--smtps CERT KEY] [--starttls CERT KEY] [--require-starttls]
#   [--auth USER:PASS] [--auth-required] [--xoauth2 USER:TOKEN]
#   [--reject-rcpt REGEX] [--host ADDR]
# or the raw recorder (smtp-sink-raw.py, no aiosmtpd needed):
#   smtp-sink-start.sh STATE_DIR OUT_DIR PORT --raw [--tarpit S] [--reject-rcpt REGEX]
# Prints "READY host port" when it accepts connections; its PID is kept in
# STATE_DIR/smtp-sink.pid for smtp-sink-stop.sh.
set -euo pipefail
if [ $# -lt 3 ]; then
    echo "usage: $0 STATE_DIR OUT_DIR PORT [--smtps CERT KEY] [--reject-rcpt REGEX] [--host ADDR]" >&2
    exit 2
fi
STATE=$1 OUT=$2 PORT=$3
shift 3
PY=/usr/bin/python3
SINK=smtp-sink.py
if [ "${1:-}" = --raw ]; then
    SINK=smtp-sink-raw.py
    shift
elif ! "$PY" -c 'import aiosmtpd' 2>/dev/null; then
    echo "smtp-sink: $PY cannot import aiosmtpd (apt-get install python3-aiosmtpd)" >&2
    exit 3
fi
mkdir -p "$STATE" "$OUT"
HERE=$(cd "$(dirname "$0")" && pwd)
PYTHONUNBUFFERED=1 "$PY" "$HERE/$SINK" "$OUT" "$PORT" "$@" \
    </dev/null >"$STATE/smtp-sink.log" 2>&1 &
echo $! >"$STATE/smtp-sink.pid"
for _ in $(seq 1 100); do
    if grep -q '^READY ' "$STATE/smtp-sink.log" 2>/dev/null; then
        grep '^READY ' "$STATE/smtp-sink.log"
        exit 0
    fi
    if ! kill -0 "$(cat "$STATE/smtp-sink.pid")" 2>/dev/null; then
        echo "smtp-sink: did not start:" >&2
        cat "$STATE/smtp-sink.log" >&2
        exit 1
    fi
    sleep 0.05
done
echo "smtp-sink: not ready after 5 s" >&2
kill "$(cat "$STATE/smtp-sink.pid")" 2>/dev/null || true
exit 1
