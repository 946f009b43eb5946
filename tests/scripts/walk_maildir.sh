#!/bin/bash
# Whole runs of the program over a Maildir store and a folder printer: faxes
# dropped into new/ the way an outside deliverer would, the store delivering
# (Use_Profile y, Use_Defaults 1: no POP), and the outcome checked in the
# Maildir++ folders, the printed PDFs and the status keys.
set -u
BIN="${VOXAFAX_BINARY_DIR:-build}/voxafax-print"
SRC="${VOXAFAX_SOURCE_DIR:-.}"
MKFAX="$SRC/tests/scripts/mkfax.py"
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
[ -x "$BIN" ] || { echo "skip: no program at $BIN"; exit 77; }
command -v pdfinfo >/dev/null || { echo "skip: pdfinfo missing"; exit 77; }

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
. "$SRC/tests/scripts/checks.bash"

# A fresh program folder, configuration folder, Maildir and printer folder.
# Extra profile lines come as arguments.
setup() {
    R="$T/$1"
    shift
    mkdir -p "$R/home" "$R/cfg" "$R/prints"
    export VOXAFAX_HOME="$R/home" VOXAFAX_PROFILE="$R/cfg/voxafax.ini" VOXAFAX_TICK_MS=100
    export VOXAFAX_SMTP_PORT=1 VOXAFAX_ANSWERS=no
    printf '[Windows Messaging Settings]\nmaildir = %s\n\n[Gateway]\nmaildir = %s\n' \
        "$R/Maildir" "$R/Gateway" >"$R/cfg/stores.ini"
    printf '[Fax PDF]\ndirectory = %s\n' "$R/prints" >"$R/cfg/printers.ini"
    {
        echo "[VOXA-FAX]"
        echo "Voxa_Fax_Addr=4165551234@voxafax.example"
        echo "Printer_Type=Fax PDF"
        echo "Use_Profile=y"
        echo "Use_Defaults=1"
        # Receipts must never leave the machine: every server candidate is
        # loopback, on a port where nothing listens.
        for k in User_SMTP_Server SMTP_Server2 Last_Resort_SMTP_Server VF_IP_Address VF_SMTP_Server; do
            echo "$k=127.0.0.1"
        done
        echo "general_timout=0"
        for line in "$@"; do echo "$line"; done
    } >"$R/cfg/voxafax.ini"
    mkdir -p "$R/Maildir/new" "$R/Maildir/cur" "$R/Maildir/tmp"
}

run() { timeout 120 "$BIN" "$@" </dev/null >"$R/stdout" 2>"$R/stderr"; }

pdf_pages() { # pages of every PDF in the printer folder, sorted
    for f in "$R"/prints/*.pdf; do
        [ -e "$f" ] || continue
        pdfinfo "$f" 2>/dev/null | sed -n 's/^Pages: *//p'
    done | sort -n | tr '\n' ' '
}

# 1. An ordinary run: a good fax, a fax with a broken attachment, an incoming
#    receipt, and mail for someone else.
setup ordinary "Confirm_Receipt=y"
"$PY" "$MKFAX" "$R/Maildir" fax
"$PY" "$MKFAX" "$R/Maildir" badfax
"$PY" "$MKFAX" "$R/Maildir" receipt
"$PY" "$MKFAX" "$R/Maildir" stranger
run /0
rc=$?
P="$R/cfg/voxafax.ini"
check "ordinary: exit status 0" eq "$rc" 0
check "ordinary: print_status" eq "$(key "$P" print_status)" " Printed 1 VOXA-FAXes + 0 Regular Faxes"
check "ordinary: session counts" eq "$(key "$P" session | cut -d, -f1-3)" "1,1,0"
# The receipt could not be sent (nothing listens): last_error holds the SMTP
# error code, not a printer error.
check "ordinary: last_error is the unsent receipt's" eq "$(key "$P" last_error | tr -d '0-9')" ""
check "ordinary: VFPrint quit" eq "$(key "$P" VFPrint)" "quit"
check "ordinary: printed fax filed" eq "$(count "$R/Maildir/.VOXA-FAXes.Printed/cur")" 1
check "ordinary: printed fax marked seen" \
    eq "$(find "$R/Maildir/.VOXA-FAXes.Printed/cur" -type f -name '*:2,*S*' | wc -l)" 1
check "ordinary: broken fax filed unprintable" eq "$(count "$R/Maildir/.VOXA-FAXes.Unprintable/cur")" 1
check "ordinary: receipt filed in Deleted Items" eq "$(count "$R/Maildir/.Deleted Items/cur")" 1
check "ordinary: stranger stays in the inbox" eq "$(inbox_count "$R/Maildir")" 1
check "ordinary: stranger is the one left" grep -q "someone@else.example" "$R"/Maildir/new/* "$R"/Maildir/cur/*
check "ordinary: two 2-page fax images printed" eq "$(pdf_pages)" "2 2 "
check "ordinary: the failure receipt waits in Out/" grep -lq "Unprintable File(s)" "$R"/home/Out/*
check "ordinary: it lists both files" grep -q "BROKEN.TIF" "$R"/home/Out/*
check "ordinary: temp holds only numbered files" \
    eq "$(find "$R/home/temp" -type f ! -name '[0-9][0-9][0-9][0-9].*' ! -name temp.tif | wc -l)" 0

# A second run finds nothing new: the stranger is left alone again.
rm -f "$R"/prints/*.pdf
run /0
check "second run: prints nothing" eq "$(pdf_pages)" ""
check "second run: totals" eq "$(key "$P" print_status)" " Printed 0 VOXA-FAXes + 0 Regular Faxes"
check "second run: stranger still there" eq "$(inbox_count "$R/Maildir")" 1

# 2. A print test prints and counts but moves nothing.
setup printtest "print_test=1"
"$PY" "$MKFAX" "$R/Maildir" fax 2
run /0
P="$R/cfg/voxafax.ini"
check "print test: counted" eq "$(key "$P" print_status)" " Printed 2 VOXA-FAXes + 0 Regular Faxes"
check "print test: last_error empty" eq "$(key "$P" last_error)" ""
check "print test: printed" eq "$(pdf_pages)" "2 2 "
check "print test: nothing moved" eq "$(inbox_count "$R/Maildir")" 2
check "print test: no filing folder filled" eq "$(find "$R/Maildir" -path '*/.VOXA-FAXes.*/cur/*' -type f | wc -l)" 0

# 3. Header pages really printed (text_pages), regular faxes of the gateway
#    profile in the regular pass (/1).
setup regular "Print_Normal_Fax=y" "Normal_Fax_Profile=Gateway"
printf '[print]\ntext_pages = yes\n' >"$R/cfg/options.ini"
mkdir -p "$R/Gateway"
"$PY" "$MKFAX" "$R/Gateway" regular
"$PY" "$MKFAX" "$R/Gateway" fax
run /1
P="$R/cfg/voxafax.ini"
check "regular pass: totals" eq "$(key "$P" print_status)" " Printed 0 VOXA-FAXes + 1 Regular Faxes"
check "regular pass: session counts" eq "$(key "$P" session | cut -d, -f1-3)" "0,0,1"
check "regular pass: filed under Regular Faxes" eq "$(count "$R/Gateway/.Regular Faxes.Printed/cur")" 1
check "regular pass: plain fax mail skipped" eq "$(inbox_count "$R/Gateway")" 1
check "regular pass: the image printed" eq "$(pdf_pages)" "2 "

setup headers "Print_Simple_Header=y"
printf '[print]\ntext_pages = yes\n' >"$R/cfg/options.ini"
"$PY" "$MKFAX" "$R/Maildir" fax
run /0
first=$(ls "$R"/prints/*.pdf 2>/dev/null | head -n 1)
check "header page: printed before the image" eq "$(pdf_pages)" "1 2 "
check "header page: names the subscriber and the file" \
    bash -c "pdftotext '$first' - | grep -q '4165551234@voxafax.example' && pdftotext '$first' - | grep -q 'FAX1.TIF'"

# 4. A 50 MB attachment goes through files: the run's peak memory stays far
#    below the attachment's size.
if [ -x /usr/bin/time ]; then
    setup huge
    "$PY" "$MKFAX" "$R/Maildir" huge
    /usr/bin/time -f "%M" -o "$R/peak" timeout 120 "$BIN" /0 </dev/null >/dev/null 2>&1
    P="$R/cfg/voxafax.ini"
    check "huge attachment: judged and filed unprintable" eq "$(count "$R/Maildir/.VOXA-FAXes.Unprintable/cur")" 1
    check "huge attachment: peak memory under 40 MB ($(tail -n 1 "$R/peak") KiB)" \
        test "$(tail -n 1 "$R/peak")" -lt 40960
fi

# 5. Image bombs: a page of 7000 x 7000 pixels and a file of 10,001 pages, a
#    few kilobytes each. Neither is decoded nor printed; the fax is filed as
#    unprintable and its receipt names them as what they are, while its good
#    image prints. (The time-out only guards against a hang.)
setup bombs "Confirm_Receipt=y"
"$PY" "$MKFAX" "$R/Maildir" bomb
start=$(date +%s)
run /0
rc=$?
P="$R/cfg/voxafax.ini"
check "bombs: exit status 0" eq "$rc" 0
echo "     (the run took $(($(date +%s) - start)) s)"
check "bombs: filed unprintable" eq "$(count "$R/Maildir/.VOXA-FAXes.Unprintable/cur")" 1
check "bombs: only the good image printed" eq "$(pdf_pages)" "2 "
check "bombs: the receipt says image too large" grep -q "BOMB.TIF.Image too large" "$R"/home/Out/*
check "bombs: the receipt says too many pages" grep -q "PAGES.TIF.Too many pages" "$R"/home/Out/*
check "bombs: no printer error" bash -c "! grep -q 'Printer Error' '$R'/home/Out/*"
check "bombs: the run log names them" grep -q "attachment BOMB.TIF not printed: Image too large" "$R/stderr"

# 6. A folder printer whose folder cannot be written stops the run like a
#    printer that is gone: the faxes stay in the inbox, unanswered; once the
#    folder can be written the next run prints each of them once. The
#    program runs as nobody here, for whom a folder of mode 555 is read-only.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    setup readonly "Confirm_Receipt=y"
    "$PY" "$MKFAX" "$R/Maildir" fax
    "$PY" "$MKFAX" "$R/Maildir" badfax  # answered "Failed" once it is printed
    chmod 755 "$T"
    chown -R nobody "$R"
    chmod 555 "$R/prints"
    as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
    as_nobody timeout 120 "$BIN" /0 </dev/null >"$R/stdout" 2>"$R/stderr"
    rc=$?
    P="$R/cfg/voxafax.ini"
    check "read-only printer folder: exit status 9" eq "$rc" 9
    check "read-only printer folder: last_error" eq "$(key "$P" last_error)" "Print Error : Fatal Printer Error"
    check "read-only printer folder: the faxes stay in the inbox" eq "$(inbox_count "$R/Maildir")" 2
    check "read-only printer folder: nothing filed" \
        eq "$(find "$R/Maildir" -path '*/.VOXA-FAXes.*/cur/*' -type f | wc -l)" 0
    check "read-only printer folder: no receipt" eq "$(count "$R/home/Out")" 0
    check "read-only printer folder: the run log names the folder" \
        grep -q "Printer Error : folder printer \"Fax PDF\": cannot write to $R/prints" "$R/stderr"
    check "read-only printer folder: the record says printing" \
        grep -q "^exit_meaning = printing$" "$R/home/last-run.ini"
    chmod 755 "$R/prints"
    as_nobody timeout 120 "$BIN" /0 </dev/null >"$R/stdout" 2>"$R/stderr"
    check "writable again: exit status 0" eq "$?" 0
    check "writable again: each fax printed once" eq "$(pdf_pages)" "2 2 "
    check "writable again: filed" eq "$(count "$R/Maildir/.VOXA-FAXes.Printed/cur") $(count "$R/Maildir/.VOXA-FAXes.Unprintable/cur")" "1 1"
    check "writable again: last_error is the unsent receipt's only" \
        eq "$(key "$P" last_error | tr -d '0-9')" ""
    check "writable again: one receipt" eq "$(count "$R/home/Out")" 1
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
