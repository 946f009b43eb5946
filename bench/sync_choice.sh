#!/usr/bin/env bash
# How a batch of converted messages is best made durable: 64 new files of
# 60 kB (a fax mail) written into a Maildir's tmp/, made durable by each
# mechanism of bench_sync_choice (fsync per file as it is written; all
# written, then fsync or fdatasync of each; sync_file_range to start the
# write-back at once, then fdatasync of each; one syncfs, alone or after
# sync_file_range; the store's syncer, fdatasync in groups in the
# background as the files are written), renamed into new/
# and the folder synced. Each mechanism alternates with the others,
# BENCH_RUNS batches after a warm-up, first on a quiet disk, then while
# another process writes 64 MB and syncs it in a loop on the same disk.
# Prints milliseconds per batch, median (min-max).
#   bench/sync_choice.sh [COUNT [SIZE]]        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_build bench_sync_choice
bench_workdir
count=${1:-64}
size=${2:-60000}
mechs=(each fsync fdatasync sfr syncfs sfr-syncfs group)

measure() { # measure LABEL
    local i m d
    declare -A ms
    for i in $(seq 0 "$BENCH_RUNS"); do
        for m in "${mechs[@]}"; do
            d="$W/box.$m.$i"
            mkdir -p "$d/tmp" "$d/new"
            t=$("$BENCH_BUILD/bench/bench_sync_choice" "$m" "$d" "$count" "$size") ||
                bench_die "bench_sync_choice $m failed"
            rm -rf "$d"
            [ "$i" = 0 ] || ms[$m]+="$t "
        done
    done
    for m in "${mechs[@]}"; do
        # shellcheck disable=SC2086
        printf '  %-9s %-10s %s ms per batch of %d\n' "$1" "$m" "$(bench_fmt "$(bench_stats ${ms[$m]})" 1)" "$count"
    done
}

echo "making $count files of $size bytes durable (64 files: one batch)"
bench_machine
measure quiet
# Another program writing and syncing on the same disk, as a backup or a
# database would.
(while :; do dd if=/dev/zero of="$W/other" bs=1M count=64 conv=fsync status=none; done) &
other=$!
bench_on_exit "kill $other 2>/dev/null; wait $other 2>/dev/null"
sleep 1
measure contended
