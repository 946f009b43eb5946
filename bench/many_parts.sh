#!/usr/bin/env bash
# Cost per attachment part of one message with many parts: a message of N
# small TIFF parts (1,000 and 10,000 by default) is converted from In/ into
# the Maildir inbox (bench_pop_convert convert), then every attachment is
# written out of the store again as the inbox walk does (extract). Each is a
# whole process, BENCH_RUNS timed runs after a warm-up; the figures are
# milliseconds per part. A cost that is linear in the parts gives the same
# figure for every N.
#   bench/many_parts.sh [N...]        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000)
bench_build bench_pop_convert
bench_workdir
drv="$BENCH_BUILD/bench/bench_pop_convert"

make_message() { # N FILE
    "$PY" - "$1" "$2" <<'PYEOF'
import base64, os, sys
n, out = int(sys.argv[1]), sys.argv[2]
lines = ["+OK %d octets" % (n * 1500), "From: Fax Sender <sender@example.test>",
         "Subject: many parts", "Date: Tue, 1 Jun 2021 10:20:30 +0200",
         "Content-Type: multipart/mixed; boundary=\"B\"", "", "--B",
         "Content-Type: text/plain", "", "cover page"]
for i in range(1, n + 1):
    data = b"II*\x00\x08\x00\x00\x00" + os.urandom(1016)
    b64 = base64.encodebytes(data).decode().splitlines()
    lines += ["--B", "Content-Type: image/tiff; name=\"p%d.tif\"" % i,
              "Content-Transfer-Encoding: base64", ""] + b64
lines += ["--B--", "."]
with open(out, "w", newline="") as f:
    f.write("\r\n".join(lines) + "\r\n")
PYEOF
}

echo "many parts: one message, 1 KB per part"
bench_machine
bench_runs_note
rows=()
for n in "${sizes[@]}"; do
    make_message "$n" "$W/msg$n.txt"
    conv=() extr=()
    for i in $(seq 0 "$BENCH_RUNS"); do
        rm -rf "$W/home"
        mkdir -p "$W/home/In"
        cp "$W/msg$n.txt" "$W/home/In/1.TXT"
        bench_start
        "$drv" convert "$W/home" >/dev/null
        bench_stop
        c=$secs
        bench_check "message files left" "$(find "$W/home/In" -maxdepth 1 -name '*.TXT' | wc -l)" 0
        bench_start
        "$drv" extract "$W/home" >/dev/null
        bench_stop
        [ "$i" = 0 ] || { conv+=("$c"); extr+=("$secs"); }
    done
    per() { awk -v n="$n" '{ printf "%.3f %.3f %.3f", $1 * 1000 / n, $2 * 1000 / n, $3 * 1000 / n }'; }
    rows+=("Convert, $n parts|$(bench_fmt "$(bench_stats "${conv[@]}" | per)" 3) ms/part")
    rows+=("Extract, $n parts|$(bench_fmt "$(bench_stats "${extr[@]}" | per)" 3) ms/part")
    echo "  $n parts: convert $(bench_stats "${conv[@]}" | cut -d' ' -f1) s," \
        "extract $(bench_stats "${extr[@]}" | cut -d' ' -f1) s (medians)"
done
bench_row_head
for r in "${rows[@]}"; do
    bench_row "${r%%|*}" "${r#*|}" "" "" "the same for every N"
done
