#!/usr/bin/env bash
# Peak memory of whole runs: the program (voxafax-print /0, mailbox to PDFs
# and filing) over the fax mails, and over the largest long fax alone (a real
# multi-page fax TIFF of about 30 MB of mail); fetchmail's over the same
# mailboxes for comparison.
# Every run is checked like the whole job. One more run of each samples the
# process's anonymous memory (heap, stacks) apart from its file mappings.
#   bench/memory.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need_root
bench_need fetchmail pdfinfo /usr/sbin/dovecot /usr/bin/time
bench_build voxafax-print make_fax_tiff
bench_corpus
bench_workdir
bench_dovecot
bench_fetchmailrc bsmtp "$W/fm/all.bsmtp"
[ -n "${BIG_MAX:-}" ] || bench_die "the corpus has no long fax"

# program SET [sample]: one whole run over SET (faxes or big); sets kib, or
# with "sample" anon and file (peaks of RssAnon and RssFile + RssShmem,
# KiB, from /proc every 10 ms).
program() {
    local d="$W/ours" n pages rc=0 files
    if [ "$1" = faxes ]; then files=("$CORPUS"/faxes/*.eml) n=$FAXES pages=$FAX_PAGES
    else files=("$BIG_MAX") n=1 pages=$BIG_MAX_PAGES; fi
    bench_profile "$d"
    bench_load "${files[@]}"
    if [ "${2:-}" = sample ]; then
        local pid k v a f s
        VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini" VOXAFAX_POP3_PORT=$POP_PORT \
            VOXAFAX_ANSWERS=no "$BENCH_BUILD/voxafax-print" /0 </dev/null >/dev/null 2>&1 &
        pid=$!
        anon=0 file=0
        while [ -r "/proc/$pid/status" ]; do
            a=0 f=0 s=0
            while read -r k v _; do
                case $k in RssAnon:) a=$v ;; RssFile:) f=$v ;; RssShmem:) s=$v ;; esac
            done <"/proc/$pid/status" 2>/dev/null || true
            [ "$a" -le "$anon" ] || anon=$a
            [ $((f + s)) -le "$file" ] || file=$((f + s))
            sleep 0.01
        done
        wait "$pid" || rc=$?
    else
        bench_program "$d" "$W/ours.time" /0 || rc=$?
        kib=$(tail -n 1 "$W/ours.time" | cut -d' ' -f2)
    fi
    bench_check "program exit status" "$rc" 0
    bench_check "messages left on the server" "$(bench_spool_count)" 0
    bench_check "pages printed" "$(bench_pdf_pages "$d/prints")" "$pages"
    bench_check "messages filed" "$(find "$d/store/.VOXA-FAXes.Printed/cur" -type f | wc -l)" "$n"
}

fetchmail_peak() { # SET
    local n
    rm -rf "$W/fm"
    mkdir -p "$W/fm"
    if [ "$1" = faxes ]; then bench_load "$CORPUS"/faxes/*.eml; n=$FAXES
    else bench_load "$BIG_MAX"; n=1; fi
    FETCHMAILHOME=$W /usr/bin/time -f %M -o "$W/fm.time" \
        fetchmail -f "$W/fetchmailrc.bsmtp" --pidfile "$W/fetchmail.pid" --nosyslog -s 2>>"$W/fetchmail.log" ||
        bench_die "fetchmail failed: $(tail -n 3 "$W/fetchmail.log")"
    kib=$(tail -n 1 "$W/fm.time")
    bench_check "fetchmail: messages" "$(grep -c '^MAIL FROM:' "$W/fm/all.bsmtp")" "$n"
}

echo "peak memory: $FAXES fax mails ($((FAX_BYTES / 1000)) kB) and one long fax alone" \
    "($((BIG_MAX_BYTES / 1000)) kB, $BIG_MAX_PAGES pages)"
declare -A peak
# Peaks need no warm-up; BENCH_RUNS runs of each for their spread.
for _ in $(seq 1 "$BENCH_RUNS"); do
    for set in faxes big; do
        program "$set"
        peak[p$set]+="$kib "
        fetchmail_peak "$set"
        peak[f$set]+="$kib "
    done
done
mib() { awk '{ printf "%.1f %.1f %.1f", $1 / 1024, $2 / 1024, $3 / 1024 }'; }
# shellcheck disable=SC2086
{
    ps=$(bench_stats ${peak[pfaxes]}) pb=$(bench_stats ${peak[pbig]})
    fs=$(bench_stats ${peak[ffaxes]}) fb=$(bench_stats ${peak[fbig]})
}
growth=$(bench_ratios "${peak[pbig]}" "${peak[pfaxes]}")
echo "  program: $(bench_fmt "$(mib <<<"$ps")" 1) MiB over the faxes, $(bench_fmt "$(mib <<<"$pb")" 1) MiB over the long fax"
echo "  fetchmail: $(bench_fmt "$(mib <<<"$fs")" 1) MiB, $(bench_fmt "$(mib <<<"$fb")" 1) MiB"
rss_split() { awk -v a="$anon" -v f="$file" 'BEGIN { printf "%.1f MiB anonymous + %.1f MiB mapped files", a / 1024, f / 1024 }'; }
program faxes sample
sample=$(rss_split)
program big sample
echo "  program, sampled: $sample over the faxes; $(rss_split) over the long fax"
bench_row_head
# The faxes' mean size, then the long fax's.
work="Peak memory, $((FAX_BYTES / FAXES / 1000)) KB -> $((BIG_MAX_BYTES / 1000000)) MB faxes (MiB)"
bench_row "$work" "$(mib <<<"$ps" | cut -d' ' -f1) -> $(mib <<<"$pb" | cut -d' ' -f1)" \
    "fetchmail $(mib <<<"$fs" | cut -d' ' -f1) -> $(mib <<<"$fb" | cut -d' ' -f1)" \
    "$(bench_fmt "$growth" 2)x growth" "keep (at most 1.5x)"
