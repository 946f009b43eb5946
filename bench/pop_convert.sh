#!/usr/bin/env bash
# POP download and MIME conversion figures against a private Dovecot on
# loopback (needs root, dovecot-pop3d, fetchmail, ripmime):
#  - a corpus of fax messages (1 to 5 TIFF pages each) and a few 20 MB ones;
#  - our download + conversion vs fetchmail's download alone;
#  - our conversion alone vs ripmime's extraction of the same files;
#  - peak memory converting one 30 MB message vs one 30 KB message.
#   bench/pop_convert.sh [faxes=40] [big=3] [build folder]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
faxes=${1:-40}
big=${2:-3}
build=${3:-${VOXAFAX_BINARY_DIR:-$src/build}}
PY=/usr/bin/python3
[ "$(id -u)" = 0 ] || { echo "needs root (Dovecot serves mail as uid 8)"; exit 1; }
for tool in fetchmail ripmime /usr/sbin/dovecot; do
    command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install fetchmail ripmime dovecot-pop3d)"; exit 1; }
done
[ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_pop_convert >/dev/null

W=$(mktemp -d /tmp/vfbench.XXXXXX)
chmod 755 "$W"
trap '"$src/peers/dovecot-pop3-stop.sh" "$W/st"; rm -rf "$W"' EXIT

PORT=$("$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
POP3_USER=fax1 POP3_PASSWORD=fax1pass "$src/peers/dovecot-pop3-start.sh" "$W/st" "$W/maildir" "$PORT" >/dev/null

# The corpus, staged once and loaded into Dovecot before every download.
mkdir -p "$W/stage"
for pages in 1 2 3 4 5; do
    "$PY" "$src/tests/scripts/walk_mkfax.py" "$W/stage" fax $((faxes / 5)) fax1@127.0.0.1 "$pages"
done
bigfax() { # bigfax FILE MEGABYTES
    "$PY" - "$1" "$2" <<'PYEOF'
import base64, os, sys
path, mb = sys.argv[1], int(sys.argv[2])
with open(path, "wb") as f:
    f.write(b"From: Big Sender <big@localhost>\r\nTo: fax1@127.0.0.1\r\nSubject: big fax\r\n"
            b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
            b"--b\r\nContent-Type: text/plain\r\n\r\nA large fax.\r\n--b\r\n"
            b"Content-Type: image/tiff; name=\"big.tif\"\r\nContent-Transfer-Encoding: base64\r\n\r\n")
    chunk = base64.b64encode(os.urandom(57 * 1024))
    lines = b"\r\n".join(chunk[i:i + 76] for i in range(0, len(chunk), 76)) + b"\r\n"
    written = 0
    while written < mb * 1024 * 1024:
        f.write(lines)
        written += len(lines)
    f.write(b"--b--\r\n")
PYEOF
}
for i in $(seq 1 "$big"); do bigfax "$W/stage/new/big$i.eml" 20; done
n=$(ls "$W/stage/new" | wc -l)
bytes=$(du -sb "$W/stage/new" | cut -f1)
load() { "$src/peers/dovecot-pop3-add.sh" "$W/maildir" "$W"/stage/new/*; }
secs() { "$PY" -c 'import sys,time; print("%.3f" % (time.time()-float(sys.argv[1])))' "$1"; }
now() { "$PY" -c 'import time; print(time.time())'; }
echo "corpus: $n messages, $((bytes / 1024 / 1024)) MB ($big of 20 MB)"

# Ours: download, then conversion into a Maildir.
load
rm -rf "$W/home"
t0=$(now)
"$build/bench/bench_pop_convert" download "$W/home" "$PORT"
mkdir -p "$W/saved" && cp "$W"/home/In/* "$W/saved/"
"$build/bench/bench_pop_convert" convert "$W/home"
echo "ours: download + conversion $(secs "$t0") s"
got=$(find "$W/home/Maildir/new" -type f | wc -l)
[ "$got" = "$n" ] || echo "WARNING: $got of $n messages converted"

# fetchmail: download only, each message handed to a shell that writes it.
load
mkdir -p "$W/fm"
cat >"$W/fetchmailrc" <<RC
set no syslog
poll 127.0.0.1 with proto POP3 port $PORT
  user "fax1" there with password "fax1pass" is "root" here
  options no keep fetchall sslproto ''
  mda "/bin/sh -c 'cat > $W/fm/m.\$\$'"
RC
chmod 600 "$W/fetchmailrc"
t0=$(now)
FETCHMAILHOME="$W" fetchmail -f "$W/fetchmailrc" --nosyslog -s >"$W/fetchmail.log" 2>&1 || true
echo "fetchmail: download $(secs "$t0") s ($(ls "$W/fm" | wc -l) messages)"
[ -n "$(ls "$W/fm")" ] || tail -5 "$W/fetchmail.log"

# Conversion alone vs ripmime on the same saved files.
rm -rf "$W/home2" && mkdir -p "$W/home2/In" && cp "$W"/saved/* "$W/home2/In/"
t0=$(now)
"$build/bench/bench_pop_convert" convert "$W/home2"
echo "ours: conversion alone $(secs "$t0") s"
mkdir -p "$W/rip"
t0=$(now)
for f in "$W"/saved/*; do
    d="$W/rip/$(basename "$f")"
    mkdir -p "$d"
    ripmime -i "$f" -d "$d" --no-nameless 2>/dev/null || true
done
echo "ripmime: extraction $(secs "$t0") s"

# Peak memory for one 30 MB message and one 30 KB message.
for size in 30M 30K; do
    rm -rf "$W/one" && mkdir -p "$W/one/In"
    if [ "$size" = 30M ]; then
        bigfax "$W/one/raw" 30
    else
        "$PY" -c 'import sys; sys.stdout.write("From: a@b\r\nSubject: small\r\nContent-Type: text/plain; x=y\r\n\r\n" + "0123456789 small fax text line\r\n" * 950)' >"$W/one/raw"
    fi
    { printf '+OK %s octets\r\n' "$(stat -c %s "$W/one/raw")"; cat "$W/one/raw"; printf '.\r\n'; } >"$W/one/In/1.TXT"
    echo -n "message of $(du -h "$W/one/In/1.TXT" | cut -f1): "
    "$build/bench/bench_pop_convert" convert "$W/one"
done
