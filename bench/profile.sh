#!/usr/bin/env bash
# Where the CPU of one whole run goes (voxafax-print /0 over the fax mails,
# as in bench/whole_job.sh): perf samples the program's own CPU clock (no
# hardware counters needed) and prints the CPU milliseconds per message, then
# the shares by library and the top functions.
#   bench/profile.sh [TOP]       (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need_root
bench_need perf pdfinfo /usr/sbin/dovecot
bench_build voxafax-print make_fax_tiff
bench_corpus
bench_workdir
bench_dovecot
top=${1:-25}

d="$W/ours"
bench_profile "$d"
bench_load "$CORPUS"/faxes/*.eml
rc=0
VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini" VOXAFAX_POP3_PORT=$POP_PORT \
    VOXAFAX_ANSWERS=no perf record -q -e cpu-clock -F 4000 -g -o "$W/perf.data" \
    "$BENCH_BUILD/voxafax-print" /0 </dev/null >/dev/null 2>"$d/stderr" || rc=$?
bench_check "program exit status" "$rc" 0
bench_check "pages printed" "$(bench_pdf_pages "$d/prints")" "$FAX_PAGES"

ms=$(perf script -i "$W/perf.data" -F period 2>/dev/null | awk '{ s += $1 } END { printf "%.1f", s / 1e6 }')
echo "CPU of one run over $FAXES fax mails: $ms ms, $(awk -v m="$ms" -v f="$FAXES" 'BEGIN { printf "%.2f", m / f }') ms per message"
echo "by library (self):"
perf report -i "$W/perf.data" --stdio -q --no-children --sort dso -g none 2>/dev/null | grep -v '^$' | head -12
echo "top functions (self):"
perf report -i "$W/perf.data" --stdio -q --no-children --sort dso,sym -g none 2>/dev/null |
    grep -v '^$' | head -"$top"
