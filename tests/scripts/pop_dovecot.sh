#!/bin/bash
# Whole runs in POP mode against a private Dovecot on loopback, the program
# running as nobody: the mailbox is downloaded into In/, converted into the
# Maildir inbox, printed and filed, and emptied on the server; the same over
# POP3S with a self-signed certificate trusted through [pop3] ca_file; a wrong
# password leaves the mailbox alone and reports the server's text in
# last_error; a message the server cannot read is passed over after three
# failed runs while the faxes around it are printed exactly once.
set -u
BIN="${VOXAFAX_BINARY_DIR:-build}/voxafax-print"
SRC="${VOXAFAX_SOURCE_DIR:-.}"
PEERS="$SRC/peers"
MKFAX="$SRC/tests/scripts/mkfax.py"
PY=/usr/bin/python3
[ -x "$BIN" ] || { echo "skip: no program at $BIN"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "skip: Dovecot needs root here"; exit 77; }
[ -x /usr/sbin/dovecot ] || { echo "skip: dovecot-pop3d missing"; exit 77; }
[ -x "$PY" ] || { echo "skip: $PY missing"; exit 77; }

W=$(mktemp -d /tmp/vfpop.XXXXXX)
chmod 755 "$W"
trap 'umount "$W/full/home" 2>/dev/null; "$PEERS/dovecot-pop3-stop.sh" "$W/st"; rm -rf "$W"' EXIT
. "$SRC/tests/scripts/checks.bash"
PORT=$(free_port)
SPORT=$(free_port)
POP3_USER=fax1 POP3_PASSWORD=fax1pass "$PEERS/dovecot-pop3-start.sh" "$W/st" "$W/maildir" "$PORT" "$SPORT" >/dev/null ||
    { echo "FAIL dovecot did not start"; exit 1; }

key() { sed -n "s/^$2=//Ip" "$1" | tr -d '\r' | head -n 1; }
on_server() { echo $(($(count "$W/maildir/new") + $(count "$W/maildir/cur"))); }

# Faxes made the way the walk tests make them, handed to Dovecot.
load() {
    rm -rf "$W/stage"
    "$PY" "$MKFAX" "$W/stage" fax 2 fax1@127.0.0.1
    "$PY" "$MKFAX" "$W/stage" badfax 1 fax1@127.0.0.1
    "$PEERS/dovecot-pop3-add.sh" "$W/maildir" "$W"/stage/new/*
}

setup() { # setup NAME PROFILE-LINES...
    local name=$1
    shift
    pop_account "$W/$name" "$@"
    chown -R nobody "$R"
    export VOXAFAX_HOME="$R/home" VOXAFAX_PROFILE="$P" VOXAFAX_TICK_MS=2000
    export VOXAFAX_SMTP_PORT=1 VOXAFAX_ANSWERS=no VOXAFAX_POP3_PORT=$PORT
}
# The program's side needs no privileges.
run() { runuser -u nobody -- timeout 300 "$BIN" "$@" </dev/null >"$R/stdout" 2>"$R/stderr"; }
printed() { for f in "$R/Maildir/.VOXA-FAXes.Printed/cur"/*; do
    [ -e "$f" ] && sed -n 's/^Subject: //p' "$f" | head -n 1 | tr -d '\r' | sed 's/ From: .*//'
done | sort | tr '\n' '|'; }

# 1. Plain POP3.
load
setup plain
run /0
check "pop3: exit status 0" eq "$?" 0
check "pop3: mailbox emptied" eq "$(on_server)" 0
check "pop3: In/ converted and emptied" eq "$(count "$R/home/In")" 0
check "pop3: totals" eq "$(key "$P" print_status)" " Printed 2 VOXA-FAXes + 0 Regular Faxes"
check "pop3: printed faxes filed" eq "$(count "$R/Maildir/.VOXA-FAXes.Printed/cur")" 2
check "pop3: broken fax filed unprintable" eq "$(count "$R/Maildir/.VOXA-FAXes.Unprintable/cur")" 1

# 2. Wrong password: nothing fetched, the server's text reported.
load
setup wrongpass "Password=wrong"
sed -i '/^Password=fax1pass$/d' "$P"
run /0
check "wrong password: exit status 6 (logon refused)" eq "$?" 6
check "wrong password: mailbox untouched" eq "$(on_server)" 3
# The reply's line end does not survive into the one-line key.
check "wrong password: last_error" eq "$(key "$P" last_error | sed 's/ *$//')" \
    "Retrieval Error :  [AUTH] Authentication failed."
check "wrong password: nothing printed" eq "$(count "$R/prints")" 0

# 3. POP3S with the server's certificate trusted through [pop3] ca_file.
setup pop3s
printf '[pop3]\ntls = yes\nport = %s\nca_file = %s\n' "$SPORT" "$W/st/tls/cert.pem" >"$R/cfg/options.ini"
chmod 644 "$W/st/tls/cert.pem"
unset VOXAFAX_POP3_PORT
# Dovecot takes a few seconds to answer PASS over TLS: give the waits room.
VOXAFAX_TICK_MS=10000 run /0
check "pop3s: exit status 0" eq "$?" 0
check "pop3s: mailbox emptied" eq "$(on_server)" 0
check "pop3s: totals" eq "$(key "$P" print_status)" " Printed 2 VOXA-FAXes + 0 Regular Faxes"

# 4. A message the server cannot read between two faxes (sizes in its name,
#    so that Dovecot lists it, but no permission to open it: RETR is
#    answered "-ERR"). Each run delivers what came whole before it; from the
#    fourth run on it is passed over and the fax behind it is printed.
rm -rf "$W/stage"
"$PY" "$MKFAX" "$W/stage" fax 3 fax1@127.0.0.1
mapfile -t mails < <(ls "$W"/stage/new/* | sort)
"$PEERS/dovecot-pop3-add.sh" "$W/maildir" "${mails[0]}"
sleep 1.1
size=$(stat -c %s "${mails[1]}")
bad="$(date +%s).unreadable.2,S=$size,W=$((size + $(grep -c '' "${mails[1]}")))"
cp "${mails[1]}" "$W/maildir/new/$bad"
chmod 000 "$W/maildir/new/$bad"
sleep 1.1
"$PEERS/dovecot-pop3-add.sh" "$W/maildir" "${mails[2]}"
setup unreadable
for n in 1 2 3; do
    run /0
    check "unreadable, run $n: the fax before it printed once" eq "$(printed)" "fax 1|"
done
check "unreadable: standard error names it and the server's answer" has "$R/stderr" \
    "message 2 of 3 ("
check "unreadable: ... and what the server said" has "$R/stderr" \
    "could not be retrieved: RETR 2: -ERR Message 2 expunged. (failure 3 in a row"
check "unreadable: last_error is one short line" eq "$(key "$P" last_error)" \
    "Retrieval Error : RETR 2: -ERR Message 2 expunged."
run /0
check "unreadable, run 4: the faxes around it printed once each" eq "$(printed)" "fax 1|fax 3|"
check "unreadable, run 4: it is passed over" has "$R/stderr" "passed over and left on the server"
check "unreadable, run 4: last_error says which" eq "$(key "$P" last_error | cut -c1-56)" \
    "Retrieval Error : message 2 passed over, failed 3 times:"
check "unreadable, run 4: only it stays on the server" eq "$(on_server)" 1
run /0
check "unreadable, run 5: nothing printed twice" eq "$(printed)" "fax 1|fax 3|"
check "unreadable: nothing left in In/" eq "$(count "$R/home/In")" 0

# 5. The program folder on a small tmpfs. Full, so that no message fits:
#    nothing is blamed, passed over or deleted; with room again each fax is
#    printed once. Then room for all but one large message: that one is
#    passed over after three runs, and the faxes behind it are printed.
rm -f "$W"/maildir/new/* "$W"/maildir/cur/*
load
setup full
if mount -t tmpfs -o size=1m,mode=0755 tmpfs "$R/home" 2>/dev/null; then
    chown nobody "$R/home"
    fill() { # fill KB: leaves about KB kilobytes free
        rm -f "$R/home/filler"
        local avail
        avail=$(df -k --output=avail "$R/home" | tail -n 1)
        runuser -u nobody -- dd if=/dev/zero of="$R/home/filler" bs=1k count=$((avail - $1)) 2>/dev/null
    }
    fill 2
    for n in 1 2 3 4; do run /0; done
    check "full disk: every message stays on the server" eq "$(on_server)" 3
    check "full disk: standard error says what" has "$R/stderr" "No space left on device"
    check "full disk: nothing passed over" eq "$(grep -c "passed over" "$R/stderr")" 0
    rm -f "$R/home/filler"
    run /0
    check "room again: each fax printed once" eq "$(count "$R/Maildir/.VOXA-FAXes.Printed/cur")" 2
    check "room again: the mailbox is emptied" eq "$(on_server)" 0

    "$PY" - "$W/big.eml" <<'PYEOF'
import sys
with open(sys.argv[1], "w") as f:
    f.write("From: big@localhost\r\nTo: fax1@127.0.0.1\r\nSubject: big\r\n\r\n")
    f.write(("x" * 76 + "\r\n") * 4000)
PYEOF
    "$PEERS/dovecot-pop3-add.sh" "$W/maildir" "$W/big.eml"
    sleep 1.1
    load
    fill 150
    for n in 1 2 3 4; do run /0; done
    check "one too large: it is passed over" has "$R/stderr" "passed over and left on the server"
    check "one too large: the faxes behind it printed once" \
        eq "$(count "$R/Maildir/.VOXA-FAXes.Printed/cur")" 4
    check "one too large: only it stays on the server" eq "$(on_server)" 1
    umount "$R/home"
else
    echo "skip: no tmpfs here"
fi

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all pop checks passed"
