#!/usr/bin/env bash
# Whole runs of voxafax-print against real loopback peers (Dovecot POP3, the
# SMTP sink, a folder printer): wall time per fax from mailbox to PDF, filed
# message and delivered receipt, and the program's peak memory for small and
# for large faxes (it must not grow with the size of a message).
#   bench/whole_run.sh [faxes=20] [big_pages=150] [build folder]
# Needs root (Dovecot serves mail as uid 8), dovecot-pop3d, python3-aiosmtpd,
# cups (the peer scripts), poppler-utils.
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
faxes=${1:-20}
big_pages=${2:-150}
export VOXAFAX_SOURCE_DIR=$src VOXAFAX_BINARY_DIR=${3:-${VOXAFAX_BINARY_DIR:-$src/build}}
. "$src/tests/scripts/system_peers.bash"
sys_skip() { echo "cannot run: $*"; exit 1; }
sys_require

W=$(mktemp -d /tmp/vfbench.XXXXXX)
trap 'sys_stop; rm -rf "$W"' EXIT
sys_start "$W" >/dev/null || exit 1
export VOXAFAX_POP3_PORT=$POP_PORT VOXAFAX_SMTP_PORT=$SMTP_PORT

# run LABEL COUNT PAGES: COUNT faxes of PAGES pages each, one run over them.
run() {
    local label=$1 count=$2 pages=$3 n t0 ms rss size
    rm -rf "$W/home" "$W/store" "$W/folder-prints"
    rm -f "$SINK"/new/*
    sys_configure "Fax Folder"
    mkdir -p "$W/mails"
    "$B/tools/make_fax_tiff" "$W/mails/$label.tif" --pages "$pages" >/dev/null
    for n in $(seq 1 "$count"); do
        "$PY" "$src/tests/scripts/system_mkfax.py" "$W/mails/$label$n.eml" "$n" fax1@127.0.0.1 \
            "gateway$n@localhost" "$W/mails/$label.tif"
    done
    "$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/mails/$label"*.eml
    size=$(stat -c %s "$W/mails/${label}1.eml")
    t0=$(date +%s%N)
    /usr/bin/time -f %M -o "$W/rss" "$B/voxafax-print" /0 </dev/null >/dev/null 2>&1
    ms=$((($(date +%s%N) - t0) / 1000000))
    rss=$(tail -n 1 "$W/rss")
    printf '%-6s %4d faxes x %3d pages (%7d bytes each): %6d ms, %5d ms/fax, peak RSS %6d KiB; %s\n' \
        "$label" "$count" "$pages" "$size" "$ms" $((ms / count)) "$rss" \
        "$(ini_key "$PROFILE" print_status | sed 's/^ //'), $(ls "$SINK"/new/*.eml 2>/dev/null | wc -l) receipts"
}

run small "$faxes" 2
run big 2 "$big_pages"
