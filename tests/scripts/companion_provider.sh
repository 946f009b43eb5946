#!/bin/bash
# voxafax setup and check for a provider account, against real servers on
# loopback: Dovecot serving POP3 that takes a logon only after STLS, and
# Dovecot's submission service that demands STARTTLS and a login, relaying to
# the SMTP sink. Both certificates come from an authority the system does not
# trust: setup names it and takes its certificate file as ca_file. Nothing is
# fetched and nothing is sent. The companion runs as nobody.
#   VOXAFAX_TRANSCRIPT=FILE  keeps the setup dialogue and the check report
set -u
SRC=${VOXAFAX_SOURCE_DIR:-.}
B=${VOXAFAX_BINARY_DIR:-build}
PEERS="$SRC/peers"
PY=/usr/bin/python3
skip() { echo "skip: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "must run as root (Dovecot serves mail as uid 8)"
[ -x /usr/sbin/dovecot ] || skip "dovecot-pop3d not installed"
[ -x /usr/lib/dovecot/submission ] || skip "dovecot-submissiond not installed"
"$PY" -c 'import aiosmtpd' 2>/dev/null || skip "python3-aiosmtpd not installed"
[ -x "$B/voxafax" ] || skip "$B/voxafax not built"

. "$SRC/tests/scripts/checks.bash"
ini_key() { sed -n "/^\[$2\]/,/^\[/s/^$3 *= *//p" "$1" | tr -d '\r' | head -n 1; }
mails() { find "$SPOOL/new" "$SPOOL/cur" -type f | wc -l; }

W=$(mktemp -d /tmp/vfprov.XXXXXX)
chmod 755 "$W"
trap '"$PEERS/dovecot-pop3-stop.sh" "$W/sub" >/dev/null 2>&1; "$PEERS/smtp-sink-stop.sh" "$W/smtp" >/dev/null 2>&1; "$PEERS/dovecot-pop3-stop.sh" "$W/pop3" >/dev/null 2>&1; rm -rf "$W"' EXIT
SPOOL="$W/spool"
POP_PORT=$(free_port)
SMTP_PORT=$(free_port)
SUB_PORT=$(free_port)
# On 127.0.0.2 Dovecot does not take the client for itself: no logon before STLS.
POP3_STLS=required POP3_LISTEN=127.0.0.2 POP3_USER=fax1 POP3_PASSWORD=fax1pass \
    "$PEERS/dovecot-pop3-start.sh" "$W/pop3" "$SPOOL" "$POP_PORT" >/dev/null ||
    { echo "cannot start dovecot (POP3)"; exit 1; }
"$PEERS/smtp-sink-start.sh" "$W/smtp" "$W/sink" "$SMTP_PORT" >/dev/null ||
    { echo "cannot start the SMTP sink"; exit 1; }
"$PEERS/dovecot-submission-start.sh" "$W/sub" "$SUB_PORT" "$SMTP_PORT" >/dev/null ||
    { echo "cannot start dovecot (submission)"; exit 1; }
chmod 644 "$W/pop3/tls/cert.pem" "$W/sub/tls/cert.pem"
for n in 1 2; do
    printf 'From: a%s@example.net\r\nTo: fax1@voxafax.example\r\nSubject: fax %s\r\n\r\nhello\r\n' \
        "$n" "$n" >"$W/m$n.eml"
done
"$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/m1.eml" "$W/m2.eml"

U="$W/user"
mkdir -p "$U" && chown nobody "$U"
PROFILE="$U/cfg/voxafax.ini" OPTIONS="$U/cfg/options.ini"
as_user() {
    runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME="$U" VOXAFAX_HOME="$U/data" \
        VOXAFAX_PROFILE="$PROFILE" CUPS_SERVER="$W/no-cups.sock" VOXAFAX_HOSTS_FILE=/etc/hosts "$@"
}

"$PY" "$SRC/tests/scripts/companion_pty.py" "$W/setup.txt" \
    expect:"Service address" send:fax1@voxafax.example \
    expect:"Mailbox password" send:fax1pass \
    expect:"POP3 server" send:127.0.0.2 \
    expect:"POP3 security" send:starttls \
    expect:"POP3 port [110]" send:"$POP_PORT" \
    expect:"POP3 logon name [fax1]" send: \
    expect:"Printer [1]" send:1 \
    expect:"Name of the folder printer" send: \
    expect:"Folder for its PDF files" send:"$U/prints" \
    expect:"Print attachments other than TIFF too" send:y \
    expect:"Print header pages and text attachments" send:y \
    expect:"Header page [simple]" send: \
    expect:"Mail-store profile name" send:Faxes \
    expect:"Maildir of profile" send:"$U/Maildir" \
    expect:"Send receipts to senders" send:y \
    expect:"provider's submission server" send:y \
    expect:"Submission server (host:port)" send:"127.0.0.1:$SUB_PORT" \
    expect:"STARTTLS before the login" send:y \
    expect:"Login at the submission server" send:fax1@provider.test \
    expect:"Password of that login" send:fax1pass \
    expect:"Your e-mail address" send:me@example.net \
    expect:"Certificate file of the authority" send:"$W/pop3/tls/cert.pem" \
    expect:"Certificate file of the authority" send:"$W/sub/tls/cert.pem" \
    expect:"Save these settings?" send:y \
    expect:"Saved to" \
    -- runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME="$U" VOXAFAX_HOME="$U/data" \
    VOXAFAX_PROFILE="$PROFILE" CUPS_SERVER="$W/no-cups.sock" VOXAFAX_HOSTS_FILE=/etc/hosts \
    "$B/voxafax" setup
rc=$?
cat "$W/setup.txt"
check "setup ends with status 0 (was $rc)" eq "$rc" 0
check "setup names the untrusted authority" has "$W/setup.txt" "signed by an authority this system does not trust"
check "setup logs on over STLS" has "$W/setup.txt" "pop3 127.0.0.2:$POP_PORT (STLS): logon OK, 2 messages waiting"
check "setup tries the relay with its login" has "$W/setup.txt" "smtp relay 127.0.0.1:$SUB_PORT: STARTTLS, AUTH PLAIN LOGIN, SIZE; login accepted"
check "the passwords are not shown" eq "$(grep -c fax1pass "$W/setup.txt")" 0
check "options.ini asks for STLS" eq "$(ini_key "$OPTIONS" pop3 tls)" starttls
check "options.ini trusts the POP3 server's authority" eq "$(ini_key "$OPTIONS" pop3 ca_file)" "$W/pop3/tls/cert.pem"
check "options.ini names the relay" eq "$(ini_key "$OPTIONS" smtp relay)" "127.0.0.1:$SUB_PORT"
check "options.ini has the login" eq "$(ini_key "$OPTIONS" smtp user)" fax1@provider.test
check "options.ini trusts the relay's authority" eq "$(ini_key "$OPTIONS" smtp ca_file)" "$W/sub/tls/cert.pem"
check "the SMTP password is in a file of its own" eq "$(ini_key "$OPTIONS" smtp password_file)" "$U/cfg/smtp-password"
check "which only the user may read" eq "$(stat -c '%a %U' "$U/cfg/smtp-password")" "600 nobody"
check "and not in the profile" eq "$(grep -c fax1pass "$OPTIONS")" 0

as_user "$B/voxafax" check >"$W/check.txt" 2>&1
rc=$?
cat "$W/check.txt"
check "check finds no problem (was $rc)" eq "$rc" 0
check "check logs on over STLS" has "$W/check.txt" "pop3 127.0.0.2:$POP_PORT (STLS): logon OK, 2 messages waiting"
check "check names what the relay advertised" has "$W/check.txt" "smtp relay 127.0.0.1:$SUB_PORT: STARTTLS, AUTH PLAIN LOGIN, SIZE; login accepted"
printf 'wrong\n' >"$U/cfg/smtp-password"
as_user "$B/voxafax" check >"$W/check2.txt" 2>&1
rc=$?
check "check with a wrong SMTP password fails (was $rc)" eq "$rc" 1
check "check names the refusal and what to change" grep -q "smtp relay 127.0.0.1:$SUB_PORT: STARTTLS, AUTH PLAIN LOGIN, SIZE; refused the login of fax1@provider.test: .*; check \[smtp\] user and the password" "$W/check2.txt"
# No login configured for a server that wants one: check says which setting.
sed -i '/^user *=/d; /^password_file *=/d' "$OPTIONS"
as_user "$B/voxafax" check >"$W/check3.txt" 2>&1
check "check names the login the server wants" grep -q "smtp relay 127.0.0.1:$SUB_PORT: STARTTLS, AUTH PLAIN LOGIN, SIZE; .*the server offers a login and none is configured: set \[smtp\] user" "$W/check3.txt"
check "nothing was fetched or deleted" eq "$(mails)" 2
check "nothing was sent" eq "$(find "$W/sink" -name '*.eml' 2>/dev/null | wc -l)" 0

if [ -n "${VOXAFAX_TRANSCRIPT:-}" ]; then
    { echo "=== voxafax setup"; cat "$W/setup.txt"; echo "=== voxafax check"; cat "$W/check.txt"
      echo "=== voxafax check, wrong SMTP password"; cat "$W/check2.txt"
      echo "=== voxafax check, no login configured"; cat "$W/check3.txt"; } >"$VOXAFAX_TRANSCRIPT"
fi
[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all companion provider checks passed"
