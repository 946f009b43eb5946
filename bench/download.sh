#!/usr/bin/env bash
# POP3 download alone, the corpus (fax mails and long faxes) served by a
# private Dovecot, into a file per message:
#   program:   the program's POP3 client (bench_pop_convert download), which
#              keeps every message safe on disk before deleting it on the server
#   ceiling:   bench_pop3_ceiling, a minimal pipelining client, no fsync
#   durable:   the same client syncing its output (one syncfs) before QUIT,
#              the promise the program keeps
#   fetchmail: into one BSMTP batch (its fastest output), and through a
#              delivery command per message
# Alternating, one warm-up each, BENCH_RUNS timed runs; after every run the
# messages written and the emptied mailbox are checked.
#   bench/download.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need_root
bench_need fetchmail /usr/sbin/dovecot
bench_build bench_pop_convert bench_pop3_ceiling
bench_corpus
bench_workdir
bench_dovecot
bench_fetchmailrc bsmtp "$W/fm/all.bsmtp"
bench_fetchmailrc mda "$W/fm"
mails=("$CORPUS"/faxes/*.eml "$CORPUS"/big/*.eml)
count=${#mails[@]}
bytes=$((FAX_BYTES + BIG_BYTES))

# run NAME: one download by NAME into a fresh folder; sets secs and cpu.
run() {
    local name=$1 got
    rm -rf "$W/home" "$W/fm" "$W/ceiling"
    [ "$name" = durable ] && how=sync || how=
    mkdir -p "$W/fm" "$W/ceiling"
    bench_load "${mails[@]}"
    sync
    bench_start
    case $name in
    program) "$BENCH_BUILD/bench/bench_pop_convert" download "$W/home" "$POP_PORT" >/dev/null ;;
    ceiling | durable)
        # shellcheck disable=SC2086
        "$BENCH_BUILD/bench/bench_pop3_ceiling" "$POP_PORT" fax1 fax1pass "$W/ceiling" $how >/dev/null
        ;;
    bsmtp | mda) bench_fetchmail "$name" ;;
    esac
    bench_stop
    case $name in
    program) got=$(find "$W/home/In" -maxdepth 1 -type f -name '*.TXT' | wc -l) ;;
    ceiling | durable)
        got=$(find "$W/ceiling" -type f | wc -l)
        bench_check "bytes written by the ceiling client" "$(du -cb "$W"/ceiling/* | tail -1 | cut -f1)" "$bytes"
        ;;
    bsmtp) got=$(grep -c '^MAIL FROM:' "$W/fm/all.bsmtp") ;;
    mda) got=$(find "$W/fm" -name 'm.*' -type f | wc -l) ;;
    esac
    bench_check "$name: messages written" "$got" "$count"
    bench_check "$name: messages left on the server" "$(bench_spool_count)" 0
}

echo "download: $count messages, $((bytes / 1000)) kB ($BIG long faxes of $((BIG_BYTES / 1000)) kB)"
bench_machine
bench_runs_note
contenders=(program ceiling durable bsmtp mda)
bench_alternate run "${contenders[@]}"

mb=$(awk -v b="$bytes" 'BEGIN { printf "%.6f", b / 1e6 }')
for c in "${contenders[@]}"; do
    # shellcheck disable=SC2086
    printf '  %-8s %s MB/s, %s msg/s, CPU %s s\n' "$c" "$(bench_fmt "$(bench_rate "$mb" ${wall[$c]})" 1)" \
        "$(bench_fmt "$(bench_rate "$count" ${wall[$c]})")" "$(bench_fmt "$(bench_stats ${cpus[$c]})" 2)"
done
# The faster fetchmail mode is the anchor.
# shellcheck disable=SC2086
fm=$(awk -v m="$(bench_stats ${wall[mda]})" -v b="$(bench_stats ${wall[bsmtp]})" \
    'BEGIN { split(m, x, " "); split(b, y, " "); print (x[1] < y[1] ? "mda" : "bsmtp") }')
bench_row_head
# shellcheck disable=SC2086
bench_row "Download (MB/s)" "$(bench_fmt "$(bench_rate "$mb" ${wall[program]})" 1)" \
    "minimal pipelining client $(bench_fmt "$(bench_rate "$mb" ${wall[ceiling]})" 1)" \
    "$(bench_fmt "$(bench_ratios "${wall[ceiling]}" "${wall[program]}")" 2)x" ""
# shellcheck disable=SC2086
bench_row "Download (MB/s)" "$(bench_fmt "$(bench_rate "$mb" ${wall[program]})" 1)" \
    "the same, syncfs before QUIT $(bench_fmt "$(bench_rate "$mb" ${wall[durable]})" 1)" \
    "$(bench_fmt "$(bench_ratios "${wall[durable]}" "${wall[program]}")" 2)x" "at least 0.9x"
# shellcheck disable=SC2086
bench_row "Download (MB/s)" "$(bench_fmt "$(bench_rate "$mb" ${wall[program]})" 1)" \
    "fetchmail ($fm) $(bench_fmt "$(bench_rate "$mb" ${wall[$fm]})" 1)" \
    "$(bench_fmt "$(bench_ratios "${wall[$fm]}" "${wall[program]}")" 2)x" ""
