#!/bin/bash
# Times whole runs that walk a Maildir inbox of single-page fax messages to a
# folder printer, and shows whether peak memory grows with the inbox: the
# same run over 100 and over 1,000 messages.
#
# usage: bench/inbox_walk.sh [BUILD_DIR] [SMALL] [LARGE]
set -u
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-${VOXAFAX_BINARY_DIR:-$SRC/build}}
SMALL=${2:-100}
LARGE=${3:-1000}
BIN="$BUILD/voxafax-print"
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
[ -x "$BIN" ] || { echo "no program at $BIN (build it first)"; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time)"; exit 1; }

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

one_run() { # count
    local n=$1 R="$T/run$1"
    mkdir -p "$R/home" "$R/cfg" "$R/prints"
    printf '[Windows Messaging Settings]\nmaildir = %s\n' "$R/Maildir" >"$R/cfg/stores.ini"
    printf '[Fax PDF]\ndirectory = %s\n' "$R/prints" >"$R/cfg/printers.ini"
    printf '[VOXA-FAX]\nVoxa_Fax_Addr=4165551234@voxafax.example\nPrinter_Type=Fax PDF\nUse_Profile=y\nUse_Defaults=1\n' \
        >"$R/cfg/voxafax.ini"
    "$PY" "$SRC/tests/scripts/walk_mkfax.py" "$R/Maildir" fax "$n" "" 1
    VOXAFAX_HOME="$R/home" VOXAFAX_PROFILE="$R/cfg/voxafax.ini" \
        /usr/bin/time -f "%e %M" -o "$R/time" "$BIN" /0 </dev/null >/dev/null 2>"$R/stderr"
    read -r secs kib <"$R/time"
    local printed filed
    printed=$(find "$R/prints" -name '*.pdf' | wc -l)
    filed=$(find "$R/Maildir/.VOXA-FAXes.Printed/cur" -type f 2>/dev/null | wc -l)
    local rate
    rate=$(awk -v n="$n" -v s="$secs" 'BEGIN { printf "%.1f", (s > 0 ? n / s : 0) }')
    printf '%6d messages  %7.2f s  %8s msg/s  peak %6d KiB  printed %d  filed %d\n' \
        "$n" "$secs" "$rate" "$kib" "$printed" "$filed"
    echo "$kib" >"$T/peak$n"
}

echo "inbox walk, single-page faxes, folder printer (one run each)"
one_run "$SMALL"
one_run "$LARGE"
small=$(cat "$T/peak$SMALL")
large=$(cat "$T/peak$LARGE")
awk -v a="$small" -v b="$large" -v s="$SMALL" -v l="$LARGE" \
    'BEGIN { printf "peak memory %d -> %d messages: %+d KiB (%.2fx)\n", s, l, b - a, b / a }'
