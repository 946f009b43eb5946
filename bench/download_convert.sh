#!/usr/bin/env bash
# Download and conversion together, the fax mails served by a private
# Dovecot, up to the point where each message's parts are on disk:
#   program:   the program's POP3 download into In/ and its conversion of
#              In/ into the Maildir store (bench_pop_convert download, then
#              convert), each message kept on disk before it leaves the server
#   bsmtp:     fetchmail into one BSMTP batch (its fastest output)
#   ripmime:   the same batch as an mbox, ripmime over it in one process
# Alternating, one warm-up each, BENCH_RUNS timed runs; after every run the
# messages stored or fetched, the TIFFs extracted and the emptied mailbox are
# checked. Messages per second.
#   bench/download_convert.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need_root
bench_need fetchmail ripmime /usr/sbin/dovecot
bench_build bench_pop_convert
bench_corpus
bench_workdir
bench_dovecot
bench_fetchmailrc bsmtp "$W/fm/all.bsmtp"
mails=("$CORPUS"/faxes/*.eml)

run() { # program | bsmtp | ripmime
    rm -rf "${W:?}/home" "$W/fm"
    mkdir -p "$W/fm/parts"
    bench_load "${mails[@]}"
    sync
    bench_start
    case $1 in
    program)
        "$BENCH_BUILD/bench/bench_pop_convert" download "$W/home" "$POP_PORT" >/dev/null
        "$BENCH_BUILD/bench/bench_pop_convert" convert "$W/home" >/dev/null
        ;;
    bsmtp) bench_fetchmail bsmtp ;;
    ripmime)
        bench_fetchmail bsmtp
        bench_bsmtp_to_mbox "$W/fm/all.bsmtp" "$W/fm/all.mbox"
        ripmime --mailbox -i "$W/fm/all.mbox" -d "$W/fm/parts" --no-nameless -q >/dev/null
        ;;
    esac
    bench_stop
    bench_check "$1: messages left on the server" "$(bench_spool_count)" 0
    case $1 in
    program)
        bench_check "program: messages stored" "$(find "$W/home/Maildir/new" -type f | wc -l)" "$FAXES"
        bench_check "program: message files left" "$(find "$W/home/In" -maxdepth 1 -name '*.TXT' | wc -l)" 0
        ;;
    bsmtp) bench_check "bsmtp: messages" "$(grep -c '^MAIL FROM:' "$W/fm/all.bsmtp")" "$FAXES" ;;
    ripmime) bench_check "ripmime: TIFFs extracted" "$(find "$W/fm/parts" -name '*.tif' | wc -l)" "$FAXES" ;;
    esac
}

echo "download + conversion: $FAXES fax mails, $((FAX_BYTES / 1000)) kB"
bench_machine
bench_runs_note
contenders=(program bsmtp ripmime)
bench_alternate run "${contenders[@]}"

# shellcheck disable=SC2086
rate() { bench_fmt "$(bench_rate "$FAXES" ${wall[$1]})"; }
ratio() { bench_fmt "$(bench_ratios "${wall[$1]}" "${wall[program]}")" 2; }
bench_row_head
bench_row "Download + conversion (msg/s)" "$(rate program)" "fetchmail (bsmtp) $(rate bsmtp)" \
    "$(ratio bsmtp)x" "keep"
bench_row "Download + conversion (msg/s)" "$(rate program)" \
    "fetchmail (bsmtp) + ripmime $(rate ripmime)" "$(ratio ripmime)x" "keep"
