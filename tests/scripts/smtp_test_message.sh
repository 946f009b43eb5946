#!/bin/bash
# Switch /2 against the SMTP sink on loopback: the test message arrives as
# the program composed it, test_server names the server that took it, and
# account.ini records the outcome. Then the same over SMTPS (options.ini,
# certificate trusted through SSL_CERT_FILE) and a server that refuses the
# address. Every case ends at the first candidate server, so no name other
# than localhost is ever looked up (a certificate for the wrong name is
# covered by test_mailout, whose resolver is a fixed table).
set -u
SRC=${VOXAFAX_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
BIN=${VOXAFAX_BINARY_DIR:-$SRC/build}/voxafax-print
[ -x "$BIN" ] || { echo "SKIP: $BIN not built"; exit 77; }
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || { echo "SKIP: no aiosmtpd"; exit 77; }
command -v openssl >/dev/null || { echo "SKIP: no openssl"; exit 77; }

W=$(mktemp -d)
SINKS=()
cleanup() {
    for s in "${SINKS[@]}"; do bash "$SRC/peers/smtp-sink-stop.sh" "$s"; done
    rm -rf "$W"
}
trap cleanup EXIT
FAILURES=0
check() {
    local what=$1; shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; FAILURES=$((FAILURES + 1)); fi
}
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
ini_key() { sed -n "s/^$2=//p" "$1" | tr -d '\r' | head -n 1; }
start_sink() {  # NAME [options]; sets PORT
    local name=$1; shift
    PORT=$(free_port)
    bash "$SRC/peers/smtp-sink-start.sh" "$W/$name-state" "$W/$name-out" "$PORT" "$@" >/dev/null || exit 1
    SINKS+=("$W/$name-state")
}
run_test_switch() {  # HOME_DIR
    mkdir -p "$1"
    VOXAFAX_HOME=$1 VOXAFAX_PROFILE=$W/cfg/voxafax.ini VOXAFAX_TICK_MS=500 \
        timeout 60 "$BIN" /2 </dev/null >"$W/out.txt" 2>"$W/err.txt"
}

mkdir -p "$W/cfg"
cat >"$W/cfg/voxafax.ini" <<'INI'
[VOXA-FAX]
Voxa_Fax_Addr=fax1@localhost
VF_SMTP_Server=
Last_Resort_SMTP_Server=
general_timout=1
INI

# Plain SMTP.
start_sink plain
export VOXAFAX_SMTP_PORT=$PORT
run_test_switch "$W/home1"
check "the program ends with status 0" test $? -eq 0
eml=$(ls "$W"/plain-out/new/*.eml 2>/dev/null | head -n 1)
check "the test message reached the sink" test -n "$eml"
if [ -n "$eml" ]; then
    check "it goes to the subscriber's own address" grep -q '"rcpt_tos": \["fax1@localhost"\]' "${eml%.eml}.json"
    check "its header is the test message's" grep -q $'^Subject: Test VOXA-FAX\r$' "$eml"
    check "it carries the welcome line" grep -q '^             WELCOME TO THE WONDERFULL WORLD OF VOXA-FAX' "$eml"
    check "its lines end in CR LF" test "$(grep -c $'\r$' "$eml")" -eq "$(wc -l <"$eml")"
fi
check "test_server names the server" test "$(ini_key "$W/cfg/voxafax.ini" test_server)" = localhost
check "account.ini says OK" test "$(ini_key "$W/home1/account.ini" SMTP_Type)" = Test_VOXA_FAX_OK
check "account.ini lists the attempt" test "$(ini_key "$W/home1/account.ini" SMTP_Servers)" = "localhost + fax1@localhost , "
check "account.ini keeps the version" test "$(ini_key "$W/home1/account.ini" Version)" = "VOXA-FAX Print v 0.8.1"
check "the run log names the server" grep -q "^voxafax-print: test message to fax1@localhost sent via localhost:$PORT$" "$W/err.txt"

# A refusal by the first server ends the test at once.
start_sink refuse --reject-rcpt 'fax1@'
export VOXAFAX_SMTP_PORT=$PORT
run_test_switch "$W/home2"
check "test_server is empty after a refusal" test -z "$(ini_key "$W/cfg/voxafax.ini" test_server)"
check "last_error holds the SMTP code" test "$(ini_key "$W/cfg/voxafax.ini" last_error)" = 2
check "account.ini says NOT_OK" test "$(ini_key "$W/home2/account.ini" SMTP_Type)" = Test_VOXA_FAX_NOT_OK
check "nothing arrived" test -z "$(ls "$W"/refuse-out/new/*.eml 2>/dev/null)"
check "the run log says who refused what" grep -q "^voxafax-print: error: test message to fax1@localhost reached no SMTP server: localhost:$PORT refused the recipient: \"550 5.1.1 <fax1@localhost>: mailbox unavailable\" (last_error 2: the SMTP server refused the recipient)" "$W/err.txt"

# SMTPS with options.ini.
mkdir -p "$W/tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$W/tls/key.pem" -out "$W/tls/cert.pem" \
    -subj /CN=localhost -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" >/dev/null 2>&1
export SSL_CERT_FILE=$W/tls/cert.pem
unset VOXAFAX_SMTP_PORT
start_sink tls --smtps "$W/tls/cert.pem" "$W/tls/key.pem"
printf '[smtp]\ntls = yes\nport = %s\n' "$PORT" >"$W/cfg/options.ini"
run_test_switch "$W/home3"
eml=$(ls "$W"/tls-out/new/*.eml 2>/dev/null | head -n 1)
check "the test message arrived over TLS" test -n "$eml"
[ -n "$eml" ] && check "the sink saw TLS" grep -q '"tls": true' "${eml%.eml}.json"
check "test_server after TLS" test "$(ini_key "$W/cfg/voxafax.ini" test_server)" = localhost

if [ "$FAILURES" -ne 0 ]; then
    echo "--- stderr"; cat "$W/err.txt"
    echo "--- profile"; cat "$W/cfg/voxafax.ini"
    exit 1
fi
echo "all checks passed"
