#!/bin/bash
# POP3 with STLS against a private Dovecot on loopback that takes no logon
# before TLS (its certificate made here and trusted through [pop3] ca_file),
# the program running as nobody: with [pop3] tls = starttls the faxes are
# fetched, printed and deleted; without it the logon is refused and the run
# log advises STLS. Against a Dovecot that offers no TLS, tls = starttls
# refuses to log on in clear (the mail stays on the server) unless
# [pop3] allow_clear = yes.
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

W=$(mktemp -d /tmp/vfstls.XXXXXX)
chmod 755 "$W"
trap '"$PEERS/dovecot-pop3-stop.sh" "$W/tls"; "$PEERS/dovecot-pop3-stop.sh" "$W/clear"; rm -rf "$W"' EXIT
. "$SRC/tests/scripts/checks.bash"
TLS_PORT=$(free_port)  # on 127.0.0.2
CLEAR_PORT=$(free_port)
# Listening on 127.0.0.2, Dovecot does not take the client for itself (and so
# for secure): it refuses a logon before STLS.
POP3_STLS=required POP3_LISTEN=127.0.0.2 \
    "$PEERS/dovecot-pop3-start.sh" "$W/tls" "$W/tls-box" "$TLS_PORT" >/dev/null ||
    { echo "FAIL dovecot (STLS) did not start"; exit 1; }
"$PEERS/dovecot-pop3-start.sh" "$W/clear" "$W/clear-box" "$CLEAR_PORT" >/dev/null ||
    { echo "FAIL dovecot (clear) did not start"; exit 1; }
CERT="$W/tls/tls/cert.pem"
chmod 644 "$CERT"

key() { sed -n "s/^$2=//Ip" "$1" | tr -d '\r' | head -n 1; }
on_server() { echo $(($(count "$1/new") + $(count "$1/cur"))); }

load() { # load MAILDIR
    rm -rf "$W/stage"
    "$PY" "$MKFAX" "$W/stage" fax 2 fax1@127.0.0.1
    "$PEERS/dovecot-pop3-add.sh" "$1" "$W"/stage/new/*
}

setup() { # setup NAME PORT OPTIONS-LINES...
    local port=$2
    pop_account "$W/$1"
    shift 2
    export VOXAFAX_HOME="$R/home" VOXAFAX_PROFILE="$P" VOXAFAX_TICK_MS=10000
    export VOXAFAX_SMTP_PORT=1 VOXAFAX_ANSWERS=no
    unset VOXAFAX_POP3_PORT
    { echo "[pop3]"; echo "port = $port"; for line in "$@"; do echo "$line"; done; } >"$R/cfg/options.ini"
    chown -R nobody "$R"
}
run() { runuser -u nobody -- timeout 300 "$BIN" "$@" </dev/null >"$R/stdout" 2>"$R/stderr"; }

# 1. STLS, the certificate trusted through ca_file: fetched, printed, deleted.
load "$W/tls-box"
setup stls "$TLS_PORT" "host = 127.0.0.2" "tls = starttls" "ca_file = $CERT"
run /0
check "stls: exit status 0" eq "$?" 0
check "stls: TLS started before the logon" has "$R/stderr" ": TLS started"
check "stls: mailbox emptied" eq "$(on_server "$W/tls-box")" 0
check "stls: totals" eq "$(key "$P" print_status)" " Printed 2 VOXA-FAXes + 0 Regular Faxes"

# 2. The same server without STLS: no logon in clear; the line advises STLS.
load "$W/tls-box"
setup clear-refused "$TLS_PORT" "host = 127.0.0.2"
run /0
check "no stls: exit status 6 (logon refused)" eq "$?" 6
check "no stls: the advice is STLS" has "$R/stderr" \
    "the server takes a logon only over TLS: set [pop3] tls = starttls"
check "no stls: mailbox untouched" eq "$(on_server "$W/tls-box")" 2

# 3. A server that offers no STLS: the password does not go in clear.
load "$W/clear-box"
setup no-offer "$CLEAR_PORT" "tls = starttls" "ca_file = $CERT"
run /0
check "not offered: exit status 3 (a setting)" eq "$?" 3
check "not offered: the line says what to set" has "$R/stderr" \
    "the server does not offer STLS"
check "not offered: mailbox untouched" eq "$(on_server "$W/clear-box")" 2
check "not offered: nothing printed" eq "$(count "$R/prints")" 0

# 4. ... unless the user allowed clear text.
setup allowed "$CLEAR_PORT" "tls = starttls" "allow_clear = yes"
run /0
check "allowed: exit status 0" eq "$?" 0
check "allowed: the log says it went on in clear" has "$R/stderr" "going on without TLS"
check "allowed: mailbox emptied" eq "$(on_server "$W/clear-box")" 0
check "allowed: totals" eq "$(key "$P" print_status)" " Printed 2 VOXA-FAXes + 0 Regular Faxes"

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all starttls checks passed"
