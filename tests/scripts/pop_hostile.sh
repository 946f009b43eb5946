#!/bin/bash
# Whole runs against POP3 servers that fail or stall, the program running as
# an unprivileged user: a refused connection ends the run at once, even with
# one-minute ticks, and is named on standard error; a server that drips one
# byte at a time is cut within two ticks, below the pace floor, with a clear
# last_error; at that pace its message could never arrive, so it is passed
# over at once and the next run prints the fax behind it. (An untrusted
# certificate: PopDovecotTest.)
set -u
BIN="${VOXAFAX_BINARY_DIR:-build}/voxafax-print"
SRC="${VOXAFAX_SOURCE_DIR:-.}"
MKFAX="$SRC/tests/scripts/mkfax.py"
SERVER="$SRC/tests/scripts/pop_hostile_server.py"
PY=/usr/bin/python3
[ -x "$BIN" ] || { echo "skip: no program at $BIN"; exit 77; }
[ -x "$PY" ] || { echo "skip: $PY missing"; exit 77; }

W=$(mktemp -d /tmp/vfhostile.XXXXXX)
chmod 755 "$W"
SERVER_PID=
stop_server() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
    SERVER_PID=
}
trap 'stop_server; rm -rf "$W"' EXIT

. "$SRC/tests/scripts/checks.bash"
below() { [ "$1" -lt "$2" ] || { echo "     took $1 s, expected less than $2"; return 1; }; }
key() { sed -n "s/^$2=//Ip" "$1" | tr -d '\r' | head -n 1; }

# The program's side runs as nobody where the machine lets us choose.
as_user() {
    if [ "$(id -u)" = 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi
}

# serve MODE [SECONDS]: the test server on a fresh port over $W/box.
serve() {
    stop_server
    PORT=$(free_port)
    "$PY" "$SERVER" "$PORT" "$W/box" "$@" >"$W/server.log" 2>&1 &
    SERVER_PID=$!
    for _ in $(seq 1 100); do
        grep -q READY "$W/server.log" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "the test server did not start"
    cat "$W/server.log"
    exit 1
}

setup() {
    pop_account "$W/$1"
    [ "$(id -u)" = 0 ] && chown -R nobody "$R"
}

# run [VAR=value...]: one run of /0; ELAPSED is its time in whole seconds.
run() {
    local start=$SECONDS
    as_user env VOXAFAX_HOME="$R/home" VOXAFAX_PROFILE="$P" VOXAFAX_ANSWERS=no \
        VOXAFAX_SMTP_PORT=1 "$@" timeout 300 "$BIN" /0 </dev/null >"$R/stdout" 2>"$R/stderr"
    ELAPSED=$((SECONDS - start))
}

mkdir -p "$W/box/new"

# 1. Nothing listens: known at once, even with one-minute ticks.
setup refused
run VOXAFAX_POP3_PORT="$(free_port)"
check "refused: the run ends at once" below "$ELAPSED" 10
check "refused: the reason on standard error" has "$R/stderr" \
    ": connection refused; check [pop3] host in $R/cfg/options.ini and VOXAFAX_POP3_PORT"
# As ever, a failed connection leaves last_error empty; the log says more.
check "refused: last_error as ever" eq "$(key "$P" last_error)" ""

"$PY" "$MKFAX" "$W/box" fax 2 fax1@127.0.0.1 >/dev/null

# 2. A byte every 0.4 s with ticks of half a second: the download falls below
#    the floor in its first tick and is cut at the second; the run is over in
#    a few ticks, not at the session's deadline.
serve drip 0.4
setup drip
run VOXAFAX_POP3_PORT="$PORT" VOXAFAX_TICK_MS=500
check "drip: the run ends within a few ticks" below "$ELAPSED" 5
check "drip: standard error says why" has "$R/stderr" \
    "could not be retrieved: RETR 1: less than 60 KB in a minute"
check "drip: ... and that it is passed over from now on" has "$R/stderr" \
    "from the next run on it is passed over"
check "drip: last_error says why" eq "$(key "$P" last_error | cut -c1-53)" \
    "Retrieval Error : RETR 1: less than 60 KB in a minute"
check "drip: the faxes stay on the server" eq "$(count "$W/box/new")" 2
check "drip: nothing printed" eq "$(count "$R/prints")" 0

serve normal
run VOXAFAX_POP3_PORT="$PORT" VOXAFAX_TICK_MS=500
check "after the drip: the fax behind it is printed" eq "$(key "$P" print_status)" \
    " Printed 1 VOXA-FAXes + 0 Regular Faxes"
check "after the drip: the dripped one stays on the server" eq "$(count "$W/box/new")" 1
check "after the drip: last_error names it" eq "$(key "$P" last_error | cut -c1-56)" \
    "Retrieval Error : message 1 passed over, failed 3 times:"
check "after the drip: nothing left in In/" eq "$(count "$R/home/In")" 0

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all hostile-server checks passed"
