#!/bin/bash
# Two profiles on one store (two accounts set up by copying one configuration:
# their own program folders, one Maildir), started at the same moment over and
# over: every fax is printed once, filed once and answered at most once.
set -u
BIN="${VOXAFAX_BINARY_DIR:-build}/voxafax-print"
SRC="${VOXAFAX_SOURCE_DIR:-.}"
MKFAX="$SRC/tests/scripts/mkfax.py"
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
[ -x "$BIN" ] || { echo "skip: no program at $BIN"; exit 77; }

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
. "$SRC/tests/scripts/checks.bash"

M=$T/Maildir
mkdir -p "$T/prints" "$M/new" "$M/cur" "$M/tmp"
for p in a b; do
    mkdir -p "$T/$p/home" "$T/$p/cfg"
    printf '[Windows Messaging Settings]\nmaildir = %s\n' "$M" >"$T/$p/cfg/stores.ini"
    printf '[Fax PDF]\ndirectory = %s\n' "$T/prints" >"$T/$p/cfg/printers.ini"
    printf '[VOXA-FAX]\nVoxa_Fax_Addr=4165551234@voxafax.example\nPrinter_Type=Fax PDF\nUse_Profile=y\nUse_Defaults=1\nConfirm_Receipt=y\n' \
        >"$T/$p/cfg/voxafax.ini"
done
export VOXAFAX_TICK_MS=100 VOXAFAX_SMTP_PORT=1 VOXAFAX_ANSWERS=no
run() { # run PROFILE: one run, its exit status in $T/PROFILE/rc
    VOXAFAX_HOME="$T/$1/home" VOXAFAX_PROFILE="$T/$1/cfg/voxafax.ini" \
        timeout 120 "$BIN" /0 </dev/null >/dev/null 2>>"$T/$1/stderr"
    echo $? >>"$T/$1/rc"
}

ROUNDS=4
for round in $(seq 1 $ROUNDS); do
    "$PY" "$MKFAX" "$M" bigfax 3
    "$PY" "$MKFAX" "$M" badfax 2
    # mkfax numbers each kind from 1: each round's faxes get their own names
    for f in "$M"/new/*.walk*; do mv "$f" "${f/.walk/.r${round}walk}"; done
    sed -i "s/^Message-Id: <walk-\(.*\)@/Message-Id: <walk-\1-r$round@/" "$M"/new/*
    run a &
    run b &
    wait
done
run a

faxes=$((ROUNDS * 5))
printed=$(count "$M/.VOXA-FAXes.Printed/cur")
unprintable=$(count "$M/.VOXA-FAXes.Unprintable/cur")
receipts=$(($(count "$T/a/home/Out") + $(count "$T/b/home/Out")))
twice=$(ls "$T/prints" | sed 's/^[0-9]*-[0-9]*-[0-9]*-//' | sort | uniq -d | wc -l)
echo "     exit statuses a: $(tr '\n' ' ' <"$T/a/rc")b: $(tr '\n' ' ' <"$T/b/rc")"
check "every fax filed once" eq "$((printed + unprintable))" $faxes
check "under its verdict" eq "$unprintable" $((ROUNDS * 2))
check "each fax printed once" eq "$(count "$T/prints")" $faxes
check "no fax printed twice" eq "$twice" 0
check "each unprintable fax answered once" eq "$receipts" $((ROUNDS * 2))
check "nothing left in the inbox" eq "$(($(count "$M/new") + $(count "$M/cur")))" 0
if grep -q 4 "$T/a/rc" "$T/b/rc"; then
    check "a run kept out says why" grep -qh "another voxafax-print is working on the store" \
        "$T/a/stderr" "$T/b/stderr"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
