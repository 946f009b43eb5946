#!/usr/bin/env bash
# System calls and fsyncs per message of one whole run (voxafax-print /0 over
# the fax mails, as in bench/whole_job.sh) under strace -f -C: the calls by
# name, then the fsyncs, opens, mkdirs, reads and lseeks by the files they
# touched. strace slows the run down; only the counts are figures here.
# The store's message syncs and the In/ deletions are io_uring operations,
# not system calls: a second run counts them by kind (perf, the kernel's
# io_uring_submit_req events), and the fsyncs per message include them.
#   bench/syscalls.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need_root
bench_need strace pdfinfo /usr/sbin/dovecot
bench_build voxafax-print make_fax_tiff
bench_corpus
bench_workdir
bench_dovecot

d="$W/ours"
bench_profile "$d"
bench_load "$CORPUS"/faxes/*.eml
rc=0
VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini" VOXAFAX_POP3_PORT=$POP_PORT \
    VOXAFAX_ANSWERS=no strace -f -C -y -s 256 -o "$W/trace" "$BENCH_BUILD/voxafax-print" /0 \
    </dev/null >/dev/null 2>"$d/stderr" || rc=$?
bench_check "program exit status" "$rc" 0
bench_check "pages printed" "$(bench_pdf_pages "$d/prints")" "$FAX_PAGES"
bench_check "messages filed" "$(find "$d/store/.VOXA-FAXes.Printed/cur" -type f | wc -l)" "$FAXES"

echo "system calls: one whole run over $FAXES fax mails"
"$PY" "$BENCH_SRC/bench/syscalls.py" "$W/trace" "$FAXES" "$d" "$FAX_BYTES" >"$W/summary"
grep -v '^RESULT' "$W/summary"
IFS=$'\t' read -r _ calls fsyncs < <(grep '^RESULT' "$W/summary")

# The same run again, its io_uring operations counted by kind.
if command -v perf >/dev/null; then
    d="$W/ours2"
    bench_profile "$d"
    bench_load "$CORPUS"/faxes/*.eml
    rc=0
    VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini" VOXAFAX_POP3_PORT=$POP_PORT \
        VOXAFAX_ANSWERS=no perf record -q -e io_uring:io_uring_submit_req -o "$W/uring" \
        "$BENCH_BUILD/voxafax-print" /0 </dev/null >/dev/null 2>"$d/stderr" || rc=$?
    bench_check "program exit status (perf run)" "$rc" 0
    perf script -i "$W/uring" -F trace 2>/dev/null | grep -o 'opcode [A-Z_]*' | sort | uniq -c >"$W/ops"
    echo "  io_uring operations per message (not system calls):"
    awk -v n="$FAXES" '{ printf "    %-20s %8.2f\n", $3, $1 / n }' "$W/ops"
    uring_syncs=$(awk -v n="$FAXES" '$3 == "FSYNC" { s += $1 } END { printf "%.2f", s / n }' "$W/ops")
    fsyncs=$(awk -v a="$fsyncs" -v b="$uring_syncs" 'BEGIN { printf "%.2f", a + b }')
    echo "  fsyncs per message, system calls and io_uring: $fsyncs"
else
    echo "  (no perf here: the io_uring syncs are not counted)"
fi
bench_row_head
bench_row "System calls per message" "$calls" "" "" ""
bench_row "fsyncs per message" "$fsyncs" "" "" ""
