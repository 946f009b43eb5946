#!/usr/bin/env bash
# Every benchmark in one go, then the summary table: each row with the
# program's figure, the figure of what a user would run instead, and their
# ratio, measured side by side in the same run.
#   bash bench/run_all.sh [--full]
# --full (or BENCH_CORPUS=full): 200 fax mails of 1 to 5 pages (501 pages)
# and 4 long faxes of 10 to 30 MB; by default 60 fax mails and 2 long faxes.
# The walk has 10,000 messages either way (BENCH_WALK sets another count):
# a growth with the inbox shows only in a long one. The default takes about
# five minutes on two cores, --full about eight.
# Needs root and the benchmark packages: bash scripts/install-deps.sh --bench.
# Other settings (BENCH_RUNS, VOXAFAX_BINARY_DIR): see bench/lib.sh.
set -euo pipefail
[ "${1:-}" = --full ] && export BENCH_CORPUS=full
export BENCH_CORPUS=${BENCH_CORPUS:-small}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_need_root
bench_need fetchmail safecat ripmime tiff2pdf pdfinfo strace /usr/sbin/dovecot /usr/bin/time
walk=${BENCH_WALK:-10000}

echo "== building"
bench_build voxafax-print make_fax_tiff bench_pop_convert bench_pop3_ceiling bench_tiff_to_pdf
bench_corpus
BENCH_RESULTS=$(mktemp)
export BENCH_RESULTS
trap 'rm -f "$BENCH_RESULTS"' EXIT
rev=$(git -C "$BENCH_SRC" rev-parse --short HEAD 2>/dev/null || echo "not a git checkout")
started=$(date +%s)

for b in whole_job download convert tiff_to_pdf memory syscalls waits; do
    echo
    echo "== $b"
    bash "$here/$b.sh"
done
echo
echo "== whole_job while another process writes and syncs on the same disk"
BENCH_CONTEND=1 bash "$here/whole_job.sh"
if [ "$BENCH_CORPUS" = full ]; then
    echo
    echo "== whole_job, 2,000 faxes"
    BENCH_COPIES=10 BENCH_RUNS=${BENCH_RUNS_LONG:-3} BENCH_CONTENDERS="ours chain durable" bash "$here/whole_job.sh"
fi
echo
echo "== walk_tenths"
bash "$here/walk_tenths.sh" "$walk"

echo
echo "== summary: commit $rev, $BENCH_CORPUS corpus ($FAXES fax mails, $FAX_PAGES pages," \
    "$((FAX_BYTES / 1000)) kB; $BIG long faxes, $((BIG_BYTES / 1000)) kB), $(($(date +%s) - started)) s"
bench_row_head
while IFS='|' read -r work program anchor ratio goal; do
    # shellcheck disable=SC2059
    printf "$BENCH_ROW_FORMAT" "$work" "$program" "$anchor" "$ratio" "$goal"
done <"$BENCH_RESULTS"
