#!/usr/bin/env bash
# System calls and fsyncs per message of one whole run (voxafax-print /0 over
# the fax mails, as in bench/whole_job.sh) under strace -f -C: the calls by
# name, then the fsyncs, opens, mkdirs, reads and lseeks by the files they
# touched. strace slows the run down; only the counts are figures here.
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
bench_row_head
bench_row "System calls per message" "$calls" "" "" ""
bench_row "fsyncs per message" "$fsyncs" "" "" ""
