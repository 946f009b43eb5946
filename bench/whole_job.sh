#!/usr/bin/env bash
# The whole job, mailbox to PDFs, against the tool chain a user would run
# instead, on the same mailbox served by a private Dovecot:
#   program: voxafax-print /0: download, conversion into the store, printing
#            to a folder printer (one PDF per fax), filing
#   chain:   fetchmail into one BSMTP batch (its fastest output), the batch
#            as an mbox, ripmime over it in one process, tiff2pdf per TIFF
# The contenders alternate, one warm-up each, then BENCH_RUNS timed runs;
# after every run the PDFs' pages, the messages and the emptied mailbox are
# checked. Prints messages per second (median, min-max), CPU seconds and the
# ratio of each back-to-back pair.
#   bench/whole_job.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need_root
bench_need fetchmail ripmime tiff2pdf pdfinfo /usr/sbin/dovecot /usr/bin/time
bench_build voxafax-print make_fax_tiff
bench_corpus
bench_workdir
bench_dovecot
bench_fetchmailrc bsmtp "$W/chain/all.bsmtp"
mails=("$CORPUS"/faxes/*.eml)

ours() {
    local d="$W/ours" rc=0
    bench_profile "$d"
    bench_load "${mails[@]}"
    sync
    bench_start
    bench_program "$d" "$W/ours.time" /0 || rc=$?
    bench_stop
    bench_check "program exit status" "$rc" 0
    bench_check "messages left on the server" "$(bench_spool_count)" 0
    bench_check "PDFs printed" "$(find "$d/prints" -name '*.pdf' | wc -l)" "$FAXES"
    bench_check "pages printed" "$(bench_pdf_pages "$d/prints")" "$FAX_PAGES"
    bench_check "messages filed as printed" \
        "$(find "$d/store/.VOXA-FAXes.Printed/cur" -type f | wc -l)" "$FAXES"
}

chain() {
    local d="$W/chain" f
    rm -rf "$d"
    mkdir -p "$d/parts"
    bench_load "${mails[@]}"
    sync
    bench_start
    bench_fetchmail bsmtp
    bench_bsmtp_to_mbox "$d/all.bsmtp" "$d/all.mbox"
    ripmime --mailbox -i "$d/all.mbox" -d "$d/parts" --no-nameless -q >/dev/null
    for f in "$d"/parts/*.tif; do tiff2pdf -o "${f%.tif}.pdf" "$f"; done
    bench_stop
    bench_check "messages left on the server" "$(bench_spool_count)" 0
    bench_check "messages fetched" "$(grep -c '^From MAILER-DAEMON' "$d/all.mbox")" "$FAXES"
    bench_check "PDFs made" "$(find "$d/parts" -name '*.pdf' | wc -l)" "$FAXES"
    bench_check "pages made" "$(bench_pdf_pages "$d/parts")" "$FAX_PAGES"
}

echo "whole job: $FAXES fax mails, $FAX_PAGES pages, $((FAX_BYTES / 1000)) kB"
bench_machine
bench_runs_note
ours_s=() chain_s=() ours_cpu=() chain_cpu=()
for i in $(seq 0 "$BENCH_RUNS"); do
    ours
    [ "$i" = 0 ] || { ours_s+=("$secs"); ours_cpu+=("$cpu"); }
    chain
    [ "$i" = 0 ] || { chain_s+=("$secs"); chain_cpu+=("$cpu"); }
    [ "$i" = 0 ] && echo "  warm-up done" || echo "  run $i: program ${ours_s[-1]} s, chain ${chain_s[-1]} s"
done

ours_rate=$(bench_rate "$FAXES" "${ours_s[@]}")
chain_rate=$(bench_rate "$FAXES" "${chain_s[@]}")
ratio=$(bench_ratios "${chain_s[*]}" "${ours_s[*]}")
bench_row_head
bench_row "Whole job (msg/s)" "$(bench_fmt "$ours_rate")" \
    "fetchmail+ripmime+tiff2pdf $(bench_fmt "$chain_rate")" "$(bench_fmt "$ratio" 2)x" \
    "at least 3x"
# The same runs by CPU time: what the work costs apart from waits on the disk
# (the program's fsyncs) and on other work of the machine.
bench_row "Whole job (CPU s per run)" "$(bench_fmt "$(bench_stats "${ours_cpu[@]}")" 2)" \
    "fetchmail+ripmime+tiff2pdf $(bench_fmt "$(bench_stats "${chain_cpu[@]}")" 2)" \
    "$(bench_fmt "$(bench_ratios "${chain_cpu[*]}" "${ours_cpu[*]}")" 2)x" ""
