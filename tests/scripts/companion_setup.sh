#!/bin/bash
# voxafax setup at a terminal (a pseudo-terminal) against a real Dovecot and
# SMTP sink on loopback: it asks, tests the logon without taking any mail,
# tries the SMTP path up to RCPT TO without sending, and saves only what is confirmed. Then voxafax check
# on what it saved, with the right and a wrong password. The companion runs as
# an unprivileged user; only the servers need root.
set -u
SRC=${VOXAFAX_SOURCE_DIR:-.}
B=${VOXAFAX_BINARY_DIR:-build}
PEERS="$SRC/peers"
PY=/usr/bin/python3
skip() { echo "skip: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "must run as root (Dovecot serves mail as uid 8)"
[ -x /usr/sbin/dovecot ] || skip "dovecot-pop3d not installed"
"$PY" -c 'import aiosmtpd' 2>/dev/null || skip "python3-aiosmtpd not installed"
[ -x "$B/voxafax" ] || skip "$B/voxafax not built"

. "$SRC/tests/scripts/checks.bash"
ini_key() { sed -n "/^\[$2\]/,/^\[/s/^$3 *= *//p" "$1" | tr -d '\r' | head -n 1; }
mails() { find "$SPOOL/new" "$SPOOL/cur" -type f | wc -l; }

W=$(mktemp -d /tmp/vfcomp.XXXXXX)
chmod 755 "$W"
trap '"$PEERS/smtp-sink-stop.sh" "$W/smtp" >/dev/null 2>&1; "$PEERS/dovecot-pop3-stop.sh" "$W/pop3" >/dev/null 2>&1; rm -rf "$W"' EXIT
SPOOL="$W/spool"
POP_PORT=$(free_port)
POPS_PORT=$(free_port)
SMTP_PORT=$(free_port)
POP3_USER=fax1 POP3_PASSWORD=fax1pass "$PEERS/dovecot-pop3-start.sh" "$W/pop3" "$SPOOL" "$POP_PORT" "$POPS_PORT" >/dev/null ||
    { echo "cannot start dovecot"; exit 1; }
"$PEERS/smtp-sink-start.sh" "$W/smtp" "$W/sink" "$SMTP_PORT" >/dev/null ||
    { echo "cannot start the SMTP sink"; exit 1; }
for n in 1 2; do
    printf 'From: a%s@example.net\r\nTo: fax1@voxafax.example\r\nSubject: fax %s\r\n\r\nhello\r\n' \
        "$n" "$n" >"$W/m$n.eml"
done
"$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/m1.eml" "$W/m2.eml"

# The person: nobody, with a home of its own.
U="$W/user"
mkdir -p "$U" && chown nobody "$U"
as_user() {
    runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME="$U" VOXAFAX_HOME="$U/data" \
        VOXAFAX_PROFILE="$U/cfg/voxafax.ini" CUPS_SERVER="$W/no-cups.sock" \
        VOXAFAX_HOSTS_FILE=/etc/hosts "$@"
}
PROFILE="$U/cfg/voxafax.ini" OPTIONS="$U/cfg/options.ini"
pty() { "$PY" "$SRC/tests/scripts/companion_pty.py" "$@"; }

# The mailbox is at the service's domain, the POP3 server elsewhere.
pty "$W/setup.txt" \
    expect:"Service address" send:fax1@voxafax.example \
    expect:"Mailbox password" send:fax1pass \
    expect:"POP3 server [voxafax.example]" send:127.0.0.1 \
    expect:"POP3 security [none]" send:none \
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
    expect:"provider's submission server" send:n \
    expect:"SMTP server for receipts" send:127.0.0.1 \
    expect:"SMTP over TLS" send:n \
    expect:"SMTP port [25]" send:"$SMTP_PORT" \
    expect:"Your e-mail address" send:me@example.net \
    expect:"Save these settings?" send:y \
    expect:"Saved to" \
    -- runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME="$U" VOXAFAX_HOME="$U/data" \
    VOXAFAX_PROFILE="$PROFILE" CUPS_SERVER="$W/no-cups.sock" VOXAFAX_HOSTS_FILE=/etc/hosts \
    "$B/voxafax" setup
rc=$?
cat "$W/setup.txt"
check "setup ends with status 0 (was $rc)" eq "$rc" 0
check "setup reports the messages waiting" has "$W/setup.txt" "pop3 127.0.0.1:$POP_PORT: logon OK, 2 messages waiting"
check "setup tries the path of the test message" has "$W/setup.txt" "smtp 127.0.0.1:$SMTP_PORT: would take mail from fax1@voxafax.example to fax1@voxafax.example (nothing sent)"
check "the password is not shown" eq "$(grep -c fax1pass "$W/setup.txt")" 0
check "nothing was fetched or deleted" eq "$(mails)" 2
check "nothing was sent" eq "$(find "$W/sink" -name '*.eml' 2>/dev/null | wc -l)" 0
check "options.ini names the POP3 server" eq "$(ini_key "$OPTIONS" pop3 host)" 127.0.0.1
check "options.ini has the POP3 port" eq "$(ini_key "$OPTIONS" pop3 port)" "$POP_PORT"
check "options.ini has the SMTP port" eq "$(ini_key "$OPTIONS" smtp port)" "$SMTP_PORT"
check "options.ini prints text pages" eq "$(ini_key "$OPTIONS" print text_pages)" yes
check "the profile has the SMTP server" eq "$(ini_key "$PROFILE" VOXA-FAX User_SMTP_Server)" 127.0.0.1
check "the profile has the printer" eq "$(ini_key "$PROFILE" VOXA-FAX Printer_Type)" "Fax PDF"
check "the profile is the user's alone" eq "$(stat -c %a "$PROFILE")" 600
check "the profile prints more than TIFF" eq "$(ini_key "$PROFILE" VOXA-FAX Use_Defaults)" 1
# A TAB and 78 characters fit A4 at 10 points; 60 lines and a header of two
# fit Letter, the shorter sheet.
check "text pages fit the sheet" eq "$(ini_key "$PROFILE" VOXA-FAX chrs_per_line)/$(ini_key "$PROFILE" VOXA-FAX lines_per_page)" 78/60

# Ctrl-D at a question: nothing is saved.
cp "$PROFILE" "$W/profile.before"
cp "$OPTIONS" "$W/options.before"
pty "$W/eof.txt" expect:"Service address" send:other@example.net \
    expect:"Mailbox password" eof expect:"nothing was saved" \
    -- runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME="$U" VOXAFAX_PROFILE="$PROFILE" \
    CUPS_SERVER="$W/no-cups.sock" "$B/voxafax" setup
rc=$?
check "Ctrl-D ends setup with status 1 (was $rc)" eq "$rc" 1
check "Ctrl-D leaves the profile as it was" cmp -s "$PROFILE" "$W/profile.before"
check "Ctrl-D leaves options.ini as it was" cmp -s "$OPTIONS" "$W/options.before"

# voxafax check on what setup saved: the logon works, nothing to mend.
as_user "$B/voxafax" check >"$W/check.txt" 2>&1
rc=$?
cat "$W/check.txt"
check "check finds no problem (was $rc)" eq "$rc" 0
check "check logs on" has "$W/check.txt" "logon OK, 2 messages waiting"
# A wrong password and a port where nothing listens are named.
sed -i 's/^Password=.*/Password=wrong/' "$PROFILE"
as_user "$B/voxafax" check >"$W/check2.txt" 2>&1
rc=$?
check "check with a wrong password fails (was $rc)" eq "$rc" 1
check "check names the refusal" has "$W/check2.txt" "logon refused for user fax1: \"-ERR [AUTH] Authentication failed.\""
sed -i "s/^port=$POP_PORT/port=$(free_port)/" "$OPTIONS"
as_user "$B/voxafax" check >"$W/check3.txt" 2>&1
check "check names a refused connection" has "$W/check3.txt" ": connection refused"
# POP3S on the companion's own TLS sockets: the server's certificate is
# trusted only through SSL_CERT_FILE, and an untrusted one is named.
sed -i 's/^Password=.*/Password=fax1pass/' "$PROFILE"
sed -i "/^\[pop3\]/,/^\[/{s/^port=.*/port=$POPS_PORT/; s/^tls=no/tls=yes/}" "$OPTIONS"
as_user SSL_CERT_FILE="$W/pop3/tls/cert.pem" "$B/voxafax" check >"$W/check4.txt" 2>&1
check "check logs on over TLS" has "$W/check4.txt" "pop3 127.0.0.1:$POPS_PORT (TLS): logon OK, 2 messages waiting"
as_user "$B/voxafax" check >"$W/check5.txt" 2>&1
grep -h "(TLS)" "$W/check4.txt" "$W/check5.txt"
check "check names an untrusted certificate" grep -q "pop3 127.0.0.1:$POPS_PORT (TLS): .*certificate" "$W/check5.txt"
check "the mailbox still holds both messages" eq "$(mails)" 2

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all companion setup checks passed"
