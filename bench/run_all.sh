#!/usr/bin/env bash
# Every benchmark in one go, then the summary table: each row with the
# program's figure, the figure of what a user would run instead, and their
# ratio, measured side by side in the same run.
#   bash bench/run_all.sh [--full]
# --full (or BENCH_CORPUS=full): 200 fax mails of 1 to 5 pages (501 pages)
# and 4 long faxes of 10 to 30 MB, and the whole job once more over 2,000
# faxes; by default 60 fax mails and 2 long faxes. Either way 50 accounts of
# 20 faxes each are started together (BENCH_ACCOUNTS, BENCH_ACCOUNT_FAXES).
# The walk has 10,000 messages either way (BENCH_WALK sets another count):
# a growth with the inbox shows only in a long one. The default takes about
# fifteen minutes on two cores, --full about 33 minutes on a quiet machine (a
# third of it the 2,000 faxes, which the chains deliver slowly) and about an
# hour while other work runs.
# Needs root and the benchmark packages: bash scripts/install-deps.sh --bench.
# Other settings (BENCH_RUNS, VOXAFAX_BINARY_DIR): see bench/lib.sh.
set -euo pipefail
[ "${1:-}" = --full ] && export BENCH_CORPUS=full
export BENCH_CORPUS=${BENCH_CORPUS:-small}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_need_root
bench_need fetchmail safecat ripmime tiff2pdf pdfinfo strace setsid /usr/sbin/dovecot /usr/bin/time
walk=${BENCH_WALK:-10000}

echo "== building"
bench_build voxafax-print make_fax_tiff bench_pop_convert bench_pop3_ceiling bench_tiff_to_pdf
bench_corpus
BENCH_RESULTS=$(mktemp)
export BENCH_RESULTS
trap 'rm -f "$BENCH_RESULTS" "$BENCH_RESULTS.per-message"' EXIT
rev=$(git -C "$BENCH_SRC" rev-parse --short HEAD 2>/dev/null || echo "not a git checkout")
started=$(date +%s)

# Long benchmarks (many runs of many processes) run BENCH_RUNS_LONG times.
long_runs=${BENCH_RUNS_LONG:-3}
# A benchmark that stops (a failed check) is named at the end; the others
# still run.
failed=()
step() { # TITLE SCRIPT [ARGS]: one benchmark, its settings in the environment
    local t=$SECONDS title=$1 script=$2
    shift 2
    echo
    echo "== $title"
    bash "$here/$script.sh" "$@" || failed+=("$title")
    echo "  ($((SECONDS - t)) s)"
}
step "whole job" whole_job
BENCH_LONG=1 BENCH_CONTENDERS="ours chain" step "whole job, the long faxes" whole_job
for b in download_convert download convert tiff_to_pdf memory syscalls waits; do step "$b" "$b"; done
BENCH_CONTEND=1 step "whole job while another process writes and syncs on the same disk" whole_job
if [ "$BENCH_CORPUS" = full ]; then
    BENCH_COPIES=10 BENCH_RUNS=$long_runs BENCH_CONTENDERS="ours chain durable" \
        step "whole job, 2,000 faxes" whole_job
fi
BENCH_RUNS=$long_runs step "many accounts started together" many_accounts
step "walk_tenths" walk_tenths "$walk"

echo
echo "== summary: commit $rev, $BENCH_CORPUS corpus ($FAXES fax mails, $FAX_PAGES pages," \
    "$((FAX_BYTES / 1000)) kB; $BIG long faxes, $((BIG_BYTES / 1000)) kB), $(($(date +%s) - started)) s"
bench_row_head
while IFS='|' read -r work program anchor ratio goal; do
    # shellcheck disable=SC2059
    printf "$BENCH_ROW_FORMAT" "$work" "$program" "$anchor" "$ratio" "$goal"
done <"$BENCH_RESULTS"
# Time per message of the whole job, the small mailbox beside the large one
# (--full): flat when the second costs per fax what the first does.
if [ "$(wc -l <"$BENCH_RESULTS.per-message" 2>/dev/null || echo 0)" -ge 2 ]; then
    read -r n1 p1 c1 <<<"$(head -n 1 "$BENCH_RESULTS.per-message")"
    read -r n2 p2 c2 <<<"$(tail -n 1 "$BENCH_RESULTS.per-message")"
    # shellcheck disable=SC2059
    printf "$BENCH_ROW_FORMAT" "Whole job, ms per message, $n1 -> $n2" "$p1 -> $p2" "chain $c1 -> $c2" \
        "$(awk -v a="$p1" -v b="$p2" 'BEGIN { printf "%.2f", b / a }')x growth" "flat (1.0x)"
fi
if [ ${#failed[@]} != 0 ]; then
    printf 'bench: stopped by a failed check or error: %s\n' "${failed[@]}" >&2
    exit 1
fi
