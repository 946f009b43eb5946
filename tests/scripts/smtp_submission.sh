#!/bin/bash
# Mail through the subscriber's provider: the real program against a real
# submission server that demands STARTTLS and a login (Dovecot's submission
# service, relaying to the SMTP sink), with the password in a file of the
# user's own; against the sink itself taking an OAuth 2.0 token that a
# helper command prints; and with no options at all, where the dialogue is
# the historical one byte for byte. The program runs as nobody when started
# as root.
set -u
SRC=${VOXAFAX_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
BIN=${VOXAFAX_BINARY_DIR:-$SRC/build}/voxafax-print
PY=/usr/bin/python3
[ -x "$BIN" ] || { echo "SKIP: $BIN not built"; exit 77; }
"$PY" -c 'import aiosmtpd' 2>/dev/null || { echo "SKIP: no aiosmtpd"; exit 77; }
[ -x /usr/lib/dovecot/submission ] || { echo "SKIP: no dovecot-submissiond"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "SKIP: Dovecot needs root"; exit 77; }

W=$(mktemp -d /tmp/vfsub.XXXXXX)
chmod 755 "$W"
SINKS=()
cleanup() {
    for s in "${SINKS[@]}"; do bash "$SRC/peers/smtp-sink-stop.sh" "$s"; done
    bash "$SRC/peers/dovecot-pop3-stop.sh" "$W/sub"
    [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"
}
trap cleanup EXIT
FAILURES=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; FAILURES=$((FAILURES + 1)); fi
}
eq() { [ "$1" = "$2" ] || { echo "     got '$1', expected '$2'"; return 1; }; }
free_port() { "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
ini_key() { sed -n "s/^$2=//p" "$1" 2>/dev/null | tr -d '\r' | head -n 1; }
emls() { ls "$1"/new/*.eml 2>/dev/null; }
start_sink() {  # NAME [options]; sets PORT and OUT
    local name=$1
    shift
    PORT=$(free_port)
    OUT="$W/$name-out"
    bash "$SRC/peers/smtp-sink-start.sh" "$W/$name-state" "$OUT" "$PORT" "$@" >/dev/null || exit 1
    SINKS+=("$W/$name-state")
}

# setup NAME [options.ini lines]: the subscriber fax1@127.0.0.1 with a Maildir
# store and a folder printer, and no SMTP server of the profile's own.
setup() {
    R="$W/$1"
    shift
    mkdir -p "$R/home/In" "$R/cfg" "$R/prints" "$R/Maildir/new" "$R/Maildir/cur" "$R/Maildir/tmp"
    printf '[Fax Store]\nmaildir = %s\n' "$R/Maildir" >"$R/cfg/stores.ini"
    printf '[Fax PDF]\ndirectory = %s\n' "$R/prints" >"$R/cfg/printers.ini"
    [ $# -gt 0 ] && printf '%s\n' "[smtp]" "$@" >"$R/cfg/options.ini"
    cat >"$R/cfg/voxafax.ini" <<INI
[VOXA-FAX]
Voxa_Fax_Addr=${ADDR:-fax1@127.0.0.1}
Printer_Type=Fax PDF
VoxaFax_Profile=Fax Store
Use_Profile=y
Use_Defaults=1
Confirm_Receipt=y
general_timout=1
User_SMTP_Server=
SMTP_Server2=
VF_IP_Address=
VF_SMTP_Server=
Last_Resort_SMTP_Server=
INI
}

# A message from alice that asks for a receipt, left in In/ as the POP
# client saves it.
fax_from_alice() {
    {
        printf '+OK 300 octets\r\n'
        printf 'From: Alice <alice@127.0.0.1>\r\nTo: fax1@127.0.0.1\r\nSubject: Invoice 7\r\n'
        printf 'Date: Sat, 5 Dec 2026 10:00:00 +0000\r\nMessage-Id: <inv7@127.0.0.1>\r\n'
        printf 'Disposition-Notification-To: alice@127.0.0.1\r\nContent-Type: text/plain\r\n\r\n'
        printf 'Please find the invoice.\r\n.\r\n'
    } >"$R/home/In/inv7.txt"
}

AS=()
[ "$(id -u)" = 0 ] && AS=(runuser -u nobody --)
RUNS=0
run() {  # SWITCH [VAR=value ...]: stderr in $ERR
    local switch=$1
    shift
    RUNS=$((RUNS + 1))
    ERR="$R/err.$RUNS"
    [ ${#AS[@]} -gt 0 ] && chown -R nobody "$R"
    "${AS[@]}" env VOXAFAX_HOME="$R/home" VOXAFAX_PROFILE="$R/cfg/voxafax.ini" VOXAFAX_TICK_MS=1000 \
        VOXAFAX_ANSWERS=no VOXAFAX_HOSTS_FILE=/etc/hosts "$@" timeout 60 "$BIN" "$switch" \
        </dev/null >/dev/null 2>"$ERR"
    STATUS=$?
}

# --- Dovecot's submission service: STARTTLS, then a login ---------------------
start_sink relayed
SUB_PORT=$(free_port)
bash "$SRC/peers/dovecot-submission-start.sh" "$W/sub" "$SUB_PORT" "$PORT" >/dev/null || exit 1
chmod 644 "$W/sub/tls/cert.pem"
RELAYED=$OUT
setup provider "relay = 127.0.0.1:$SUB_PORT" "user = fax1@provider.test" \
    "password_file = $W/provider/cfg/smtp-password" "ca_file = $W/sub/tls/cert.pem" \
    "standards = yes"
printf 'fax1pass\n' >"$R/cfg/smtp-password"
chmod 600 "$R/cfg/smtp-password"
run /2
check "the test message goes out (status $STATUS)" eq "$STATUS" 0
check "test_server names the relay" eq "$(ini_key "$R/cfg/voxafax.ini" test_server)" 127.0.0.1
check "account.ini lists the relay alone" eq "$(ini_key "$R/home/account.ini" SMTP_Servers)" \
    "127.0.0.1 + fax1@127.0.0.1 , "
check "the server saw a login over TLS" \
    grep -q 'Login: user=<fax1@provider.test>, method=PLAIN, .*, TLS' "$W/sub/dovecot.log"
eml=$(emls "$RELAYED" | head -n 1)
check "the test message was relayed" test -n "$eml"
if [ -n "$eml" ]; then
    check "it has a From: field" grep -q $'^From: <fax1@127.0.0.1>\r$' "$eml"
    check "and an internet-format Date" grep -Eq $'^Date: [A-Z][a-z]{2}, [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} [-+][0-9]{4}\r$' "$eml"
fi

fax_from_alice
run /0
check "the receipt run ends with status 0 (was $STATUS)" eq "$STATUS" 0
rcpt=$(grep -l '"rcpt_tos": \["alice@127.0.0.1"\]' "$RELAYED"/new/*.json 2>/dev/null | head -n 1)
check "the receipt reached alice through the relay" test -n "$rcpt"
[ -n "$rcpt" ] && check "its Message-Id is in angle brackets" \
    grep -q $'^Message-Id: <MDN\\.[0-9]\\{14\\}\\.fax1@127.0.0.1>\r$' "${rcpt%.json}.eml"
check "nothing waits in Out/" eq "$(find "$R/home/Out" -type f | wc -l)" 0
check "the password is in no file and no log line of the program" \
    test -z "$(grep -rl fax1pass "$R" --exclude=smtp-password)"

printf 'wrong\n' >"$R/cfg/smtp-password"
run /2
check "a refused login fails the test message" eq "$(ini_key "$R/cfg/voxafax.ini" last_error)" 1
check "the run log says what the server said and what to change" \
    grep -q "refused the login of fax1@provider.test: .*; check \[smtp\] user and the password" "$ERR"

# --- An OAuth 2.0 token from a helper command --------------------------------
mkdir -p "$W/cert"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$W/cert/key.pem" -out "$W/cert/cert.pem" \
    -subj /CN=localhost -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" >/dev/null 2>&1
chmod 644 "$W/cert/cert.pem"
start_sink oauth --starttls "$W/cert/cert.pem" "$W/cert/key.pem" --require-starttls \
    --xoauth2 fax1@provider.test:ya29.tok-123 --auth-required
setup oauth "relay = 127.0.0.1:$PORT" "user = fax1@provider.test" "auth = xoauth2" \
    "password_command = $W/oauth/cfg/token-helper" "ca_file = $W/cert/cert.pem"
printf '#!/bin/sh\necho ya29.tok-123\n' >"$R/cfg/token-helper"
chmod 755 "$R/cfg/token-helper"
run /2
eml=$(emls "$OUT" | head -n 1)
check "the test message goes out with the token" test -n "$eml"
[ -n "$eml" ] && check "the sink saw the login over TLS" \
    grep -q '"tls": true, "auth_login": "fax1@provider.test"' "${eml%.eml}.json"
check "the token is in no file and no log line of the program" \
    test -z "$(grep -rl tok-123 "$R" --exclude=token-helper)"

# --- No options: the historical dialogue, byte for byte ----------------------
start_sink plain --raw
ADDR=fax1@localhost setup plain
run /2 VOXAFAX_SMTP_PORT="$PORT"
commands=$("$PY" - "$OUT" <<'PY'
import json, sys
for l in open(sys.argv[1] + "/lines.jsonl"):
    r = json.loads(l)
    if r["mode"] == "command":
        print(r["line"])
PY
)
check "HELO, then the envelope with its blanks, DATA and QUIT" eq "$commands" \
    "HELO localhost
MAIL FROM: <fax1@localhost>
RCPT TO: <fax1@localhost>
DATA
QUIT"
check "the test message is the historical one" \
    grep -q '"data": "To: <fax1@localhost>\\r\\nMessage-Id: <VFTEST\.[0-9]\{14\}\.fax1@localhost>\\r\\nDate: [0-9/]\{10\} [0-9:]\{8\} [AP]M\\r\\nSubject: Test VOXA-FAX\\r\\n\\r\\n' \
    "$OUT/transactions.jsonl"

if [ "$FAILURES" -ne 0 ]; then
    for f in "$W"/*/err.*; do echo "--- $f"; cat "$f"; done
    echo "--- dovecot"; cat "$W/sub/dovecot.log"
    exit 1
fi
echo "all checks passed"
