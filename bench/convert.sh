#!/usr/bin/env bash
# Conversion alone, on the same messages (fax mails and long faxes):
#   program: the program's conversion of downloaded message files into the
#            Maildir store (bench_pop_convert convert), one process
#   ripmime: extraction of every attachment, one process over the folder,
#            as it runs and with its output synced after it
# Alternating, one warm-up each, BENCH_RUNS timed runs; after every run the
# stored messages and the extracted TIFFs are counted. MB/s of mail.
#   bench/convert.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need_root
bench_need ripmime /usr/sbin/dovecot
bench_build bench_pop_convert
bench_corpus
bench_workdir
bench_dovecot
mails=("$CORPUS"/faxes/*.eml "$CORPUS"/big/*.eml)
count=${#mails[@]}
bytes=$((FAX_BYTES + BIG_BYTES))

# The program's input is what its download leaves in In/; ripmime's is the
# same messages as plain files.
bench_load "${mails[@]}"
"$BENCH_BUILD/bench/bench_pop_convert" download "$W/dl" "$POP_PORT" >/dev/null
mkdir -p "$W/in" "$W/eml"
cp "$W"/dl/In/*.TXT "$W/in/"
cp "${mails[@]}" "$W/eml/"
bench_check "messages downloaded" "$(find "$W/in" -type f | wc -l)" "$count"

program() {
    rm -rf "$W/home"
    mkdir -p "$W/home/In"
    cp "$W"/in/* "$W/home/In/"
    sync
    bench_start
    "$BENCH_BUILD/bench/bench_pop_convert" convert "$W/home" >/dev/null
    bench_stop
    bench_check "messages stored" "$(find "$W/home/Maildir/new" -type f | wc -l)" "$count"
    bench_check "message files left" "$(find "$W/home/In" -maxdepth 1 -name '*.TXT' | wc -l)" 0
}

# ripmime as it runs, and made as durable as the program's store: its
# output synced (syncfs) before it counts as done.
rip() { # plain | durable
    rm -rf "$W/rip"
    mkdir -p "$W/rip"
    sync
    bench_start
    ripmime -i "$W/eml" -d "$W/rip" --no-nameless -q >/dev/null 2>&1
    [ "$1" = durable ] && sync -f "$W/rip"
    bench_stop
    bench_check "TIFFs extracted" "$(find "$W/rip" -name '*.tif' | wc -l)" "$count"
}
one() {
    case $1 in
    program) program ;;
    *) rip "$1" ;;
    esac
}

echo "conversion: $count messages, $((bytes / 1000)) kB"
bench_machine
bench_runs_note
bench_alternate one program plain durable

mb=$(awk -v b="$bytes" 'BEGIN { printf "%.6f", b / 1e6 }')
bench_row_head
# shellcheck disable=SC2086
{
    bench_row "Conversion (MB/s)" "$(bench_fmt "$(bench_rate "$mb" ${wall[program]})")" \
        "ripmime, one process $(bench_fmt "$(bench_rate "$mb" ${wall[plain]})")" \
        "$(bench_fmt "$(bench_ratios "${wall[plain]}" "${wall[program]}")" 2)x" "at least 2x"
    bench_row "Conversion, durable (MB/s)" "$(bench_fmt "$(bench_rate "$mb" ${wall[program]})")" \
        "ripmime, then its output synced $(bench_fmt "$(bench_rate "$mb" ${wall[durable]})")" \
        "$(bench_fmt "$(bench_ratios "${wall[durable]}" "${wall[program]}")" 2)x" ""
    bench_row "Conversion (CPU s per run)" "$(bench_fmt "$(bench_stats ${cpus[program]})" 2)" \
        "ripmime $(bench_fmt "$(bench_stats ${cpus[plain]})" 2)" \
        "$(bench_fmt "$(bench_ratios "${cpus[plain]}" "${cpus[program]}")" 2)x" ""
}
