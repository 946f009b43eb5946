#!/bin/bash
# Prints a fax and a text on a private CUPS scheduler's queue by name and
# checks the PDFs that come out of it.
set -u
[ -x /usr/sbin/cupsd ] || { echo "cupsd not installed"; exit 77; }
SRC=${VOXAFAX_SOURCE_DIR:?}
BIN=${VOXAFAX_BINARY_DIR:?}
TEST="$BIN/tests/test_print"
[ -x "$TEST" ] || { echo "test_print not built"; exit 1; }

W=$(mktemp -d /tmp/voxafax-cups.XXXXXX)
chmod 755 "$W"
cleanup() {
    "$SRC/peers/cups-stop.sh" "$W/state"
    rm -rf "$W"
}
trap cleanup EXIT

for _ in $(seq 1 50); do
    PORT=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null || break
done
"$SRC/peers/cups-start.sh" "$W/state" "$PORT" vf-fax "$W/out" >/dev/null || {
    echo "could not start cupsd"
    cat "$W/state/log/error_log" 2>/dev/null
    exit 1
}

VOXAFAX_TEST_CUPS=1 CUPS_SERVER="127.0.0.1:$PORT" VOXAFAX_CUPS_QUEUE=vf-fax \
    VOXAFAX_CUPS_OUT="$W/out" TMPDIR="$W" \
    "$TEST" --gtest_filter='CupsPrinting.*' 2>&1 | tail -n 20
rc=${PIPESTATUS[0]}
ls "$W/out"/job-*.pdf >/dev/null 2>&1 || { echo "no job reached the queue"; exit 1; }
exit "$rc"
