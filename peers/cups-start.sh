#!/bin/bash
# Starts a private cupsd on 127.0.0.1:PORT (and STATE/run/cups.sock) whose
# state lives in STATE_DIR; with QUEUE and OUT_DIR it also adds a default
# queue whose jobs land as OUT_DIR/job-<id>.pdf (the pdfdir backend).
#   cups-start.sh STATE_DIR PORT [QUEUE OUT_DIR]
# Prints the cupsd PID; writes STATE/cupsd.pid and STATE/cups.env.
set -euo pipefail
STATE=${1:?usage: $0 STATE_DIR PORT [QUEUE OUT_DIR]}
PORT=${2:?usage: $0 STATE_DIR PORT [QUEUE OUT_DIR]}
QUEUE=${3:-}
OUT=${4:-}
HERE=$(cd "$(dirname "$0")" && pwd)
CUPSD=/usr/sbin/cupsd
PPD=/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd

[ -x "$CUPSD" ] || { echo "cups-start: $CUPSD not installed" >&2; exit 3; }
if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
    echo "cups-start: port $PORT is already in use" >&2
    exit 1
fi
mkdir -p "$STATE"
STATE=$(cd "$STATE" && pwd)
# Filters run as lp: they must be able to reach the spool.
if command -v runuser >/dev/null && ! runuser -u lp -- test -x "$STATE"; then
    echo "cups-start: user lp cannot enter $STATE (a 0700 parent folder?)" >&2
    exit 1
fi
mkdir -p "$STATE"/{etc/ppd,serverbin/backend,spool/tmp,cache,run,log}
chmod 755 "$STATE" "$STATE"/{etc,serverbin,serverbin/backend,run,log,cache}
chmod 710 "$STATE/spool"
chgrp lp "$STATE/spool" "$STATE/spool/tmp" 2>/dev/null || true
chmod 1770 "$STATE/spool/tmp"
for f in /etc/cups/raw.types /etc/cups/raw.convs; do
    [ -f "$f" ] && cp "$f" "$STATE/etc/"
done
# ServerBin: the system's filters and backends, plus ours.
for d in /usr/lib/cups/*; do
    name=$(basename "$d")
    [ "$name" = backend ] && continue
    ln -sfn "$d" "$STATE/serverbin/$name"
done
for b in /usr/lib/cups/backend/*; do ln -sfn "$b" "$STATE/serverbin/backend/$(basename "$b")"; done
install -m 0700 -o root "$HERE/cups-backend-pdfdir" "$STATE/serverbin/backend/pdfdir"

cat > "$STATE/etc/cups-files.conf" <<CONF
ServerRoot $STATE/etc
ServerBin $STATE/serverbin
RequestRoot $STATE/spool
TempDir $STATE/spool/tmp
CacheDir $STATE/cache
StateDir $STATE/run
Printcap $STATE/run/printcap
ErrorLog $STATE/log/error_log
AccessLog $STATE/log/access_log
PageLog $STATE/log/page_log
User lp
Group lp
SystemGroup root lpadmin
FileDevice No
CONF
cat > "$STATE/etc/cupsd.conf" <<CONF
LogLevel ${CUPS_LOGLEVEL:-info}
Listen 127.0.0.1:$PORT
Listen $STATE/run/cups.sock
Browsing No
BrowseLocalProtocols none
DefaultShared No
WebInterface No
DefaultAuthType None
ErrorPolicy abort-job
MaxJobs 1000
<Location />
  Order allow,deny
  Allow from 127.0.0.1
  Allow from ::1
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
"$CUPSD" -t -c "$STATE/etc/cupsd.conf" -s "$STATE/etc/cups-files.conf" >/dev/null
"$CUPSD" -f -c "$STATE/etc/cupsd.conf" -s "$STATE/etc/cups-files.conf" </dev/null >/dev/null 2>&1 &
PID=$!
echo "$PID" > "$STATE/cupsd.pid"
for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
    kill -0 "$PID" 2>/dev/null || { echo "cups-start: cupsd ended; see $STATE/log/error_log" >&2; exit 1; }
    sleep 0.05
done
if grep -q "Unable to open listen socket" "$STATE/log/error_log" 2>/dev/null; then
    echo "cups-start: cupsd could not listen on port $PORT" >&2
    kill "$PID" 2>/dev/null || true
    exit 1
fi
echo "export CUPS_SERVER=127.0.0.1:$PORT" > "$STATE/cups.env"
if [ -n "$QUEUE" ]; then
    [ -n "$OUT" ] || { echo "cups-start: QUEUE needs OUT_DIR" >&2; exit 2; }
    mkdir -p "$OUT"
    OUT=$(cd "$OUT" && pwd)
    lpadmin -h "127.0.0.1:$PORT" -p "$QUEUE" -v "pdfdir:$OUT" -P "$PPD" -E 2>/dev/null
    lpadmin -h "127.0.0.1:$PORT" -d "$QUEUE"
fi
echo "$PID"
