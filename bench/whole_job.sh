#!/usr/bin/env bash
# The whole job, mailbox to PDFs, against the tool chain a user would run
# instead, on the same mailbox served by a private Dovecot:
#   program: voxafax-print /0: download, conversion into the store, printing
#            to a folder printer (one PDF per fax), filing
#   chain:   fetchmail into one BSMTP batch (its fastest output), the batch
#            as an mbox, ripmime over it in one process, tiff2pdf per TIFF
#   mda:     fetchmail handing each message to a delivery command (a file
#            per message), ripmime per message, tiff2pdf per TIFF
#   durable: the same through safecat, which syncs each message before
#            fetchmail deletes it on the server, as the program does
# BENCH_COPIES=N serves N copies of the corpus (each with its own
# Message-Id); BENCH_LONG=1 serves the long faxes instead (figures in pages
# per second); BENCH_CONTEND=1 keeps another process writing 64 MB and
# syncing it, in a loop, on the same disk throughout. BENCH_CONTENDERS
# chooses among "ours chain mda durable" (all by default).
# The contenders alternate, one warm-up each, then BENCH_RUNS timed runs;
# after every run the PDFs' pages, the messages and the emptied mailbox are
# checked. Prints messages per second (median, min-max), CPU seconds and the
# ratio of each back-to-back pair.
#   bench/whole_job.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need_root
bench_need fetchmail safecat ripmime tiff2pdf pdfinfo /usr/sbin/dovecot /usr/bin/time
bench_build voxafax-print make_fax_tiff
bench_corpus
bench_workdir
bench_dovecot
bench_fetchmailrc bsmtp "$W/chain/all.bsmtp"
bench_fetchmailrc mda "$W/mda/mail"
bench_fetchmailrc durable "$W/durable/mail"
copies=${BENCH_COPIES:-1}
mails=("$CORPUS"/faxes/*.eml)
unit=msg/s amount=FAXES goal="at least 4x, toward 5x"
if [ "${BENCH_LONG:-0}" = 1 ]; then
    mails=("$CORPUS"/big/*.eml)
    FAXES=$BIG FAX_PAGES=$BIG_PAGES FAX_BYTES=$BIG_BYTES
    unit=pages/s amount=FAX_PAGES goal=keep
fi
if [ "$copies" != 1 ]; then
    mkdir -p "$W/mails"
    for c in $(seq 1 "$copies"); do
        for f in "${mails[@]}"; do
            sed "1,/^Message-Id: </s/^Message-Id: </&copy$c./" "$f" >"$W/mails/$c-${f##*/}"
        done
    done
    mails=("$W"/mails/*.eml)
    FAXES=$((FAXES * copies)) FAX_PAGES=$((FAX_PAGES * copies)) FAX_BYTES=$((FAX_BYTES * copies))
fi
# The row's name: the mailbox, as many faxes as it holds ("2,000").
label=", $(sed -E ':a; s/([0-9])([0-9]{3})($|,)/\1,\2\3/; ta' <<<"$FAXES")"
[ "${BENCH_LONG:-0}" = 1 ] && label+=" long faxes" || label+=" faxes"
[ "$copies" = 1 ] || goal="at least 4x, time per message flat"
if [ "${BENCH_CONTEND:-0}" = 1 ]; then
    label+=", busy disk" goal="at least 2x"
    (while :; do dd if=/dev/zero of="$W/other" bs=1M count=64 conv=fsync status=none; done) &
    other=$!
    bench_on_exit "kill $other 2>/dev/null; wait $other 2>/dev/null"
fi

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

# chain_each MODE: fetchmail through its delivery command, then a ripmime
# and a tiff2pdf per file.
chain_each() {
    local d="$W/$1" f n=0
    rm -rf "$d"
    mkdir -p "$d/mail/tmp" "$d/mail/new" "$d/parts" "$d/pdf"
    bench_load "${mails[@]}"
    sync
    bench_start
    bench_fetchmail "$1"
    for f in "$d"/mail/m.* "$d"/mail/new/*; do
        [ -f "$f" ] || continue
        n=$((n + 1))
        ripmime -i "$f" -d "$d/parts/$n" --no-nameless -q >/dev/null
        for t in "$d/parts/$n"/*.tif; do tiff2pdf -o "$d/pdf/$n-${t##*/}.pdf" "$t"; done
    done
    bench_stop
    bench_check "messages left on the server" "$(bench_spool_count)" 0
    bench_check "messages fetched" "$n" "$FAXES"
    bench_check "PDFs made" "$(find "$d/pdf" -name '*.pdf' | wc -l)" "$FAXES"
    bench_check "pages made" "$(bench_pdf_pages "$d/pdf")" "$FAX_PAGES"
}

echo "whole job$label: $FAXES fax mails, $FAX_PAGES pages, $((FAX_BYTES / 1000)) kB"
bench_machine
bench_runs_note
read -ra contenders <<<"${BENCH_CONTENDERS:-ours chain mda durable}"
one() {
    case $1 in
    ours | chain) "$1" ;;
    *) chain_each "$1" ;;
    esac
}
bench_alternate one "${contenders[@]}"

# shellcheck disable=SC2086
rate() { bench_fmt "$(bench_rate "${!amount}" ${wall[$1]})"; }
bench_row_head
# ratio C: the contender's time over the program's, run by run.
ratio() { bench_fmt "$(bench_ratios "${wall[$1]}" "${wall[ours]}")" 2; }
[ -z "${wall[chain]:-}" ] || bench_row "Whole job$label ($unit)" "$(rate ours)" \
    "fetchmail(bsmtp)+ripmime+tiff2pdf $(rate chain)" "$(ratio chain)x" "$goal"
[ -z "${wall[mda]:-}" ] || bench_row "Whole job$label ($unit)" "$(rate ours)" \
    "fetchmail(mda)+ripmime+tiff2pdf $(rate mda)" "$(ratio mda)x" ""
[ -z "${wall[durable]:-}" ] || bench_row "Whole job$label ($unit)" "$(rate ours)" \
    "the same, MDA syncing $(rate durable)" "$(ratio durable)x" ""
# The same runs by CPU time: what the work costs apart from waits on the disk
# (the program's syncs) and on other work of the machine.
# shellcheck disable=SC2086
[ -z "${cpus[chain]:-}" ] || bench_row "Whole job$label (CPU s/run)" \
    "$(bench_fmt "$(bench_stats ${cpus[ours]})" 2)" \
    "fetchmail(bsmtp)+ripmime+tiff2pdf $(bench_fmt "$(bench_stats ${cpus[chain]})" 2)" \
    "$(bench_fmt "$(bench_ratios "${cpus[chain]}" "${cpus[ours]}")" 2)x" ""
# Time per message: flat when a run of many faxes costs per fax what a run of
# few does. run_all.sh sets the figures of the quiet runs side by side.
# shellcheck disable=SC2086
per_msg() { awk -v f="$FAXES" -v m="$(bench_stats ${wall[$1]})" 'BEGIN { split(m, x, " "); printf "%.2f", x[1] * 1000 / f }'; }
echo "  ms per message (median run): program $(per_msg ours)${wall[chain]:+, chain $(per_msg chain)}"
if [ -n "${BENCH_RESULTS:-}" ] && [ "${BENCH_CONTEND:-0}${BENCH_LONG:-0}" = 00 ] && [ -n "${wall[chain]:-}" ]; then
    echo "$FAXES $(per_msg ours) $(per_msg chain)" >>"$BENCH_RESULTS.per-message"
fi
