#!/bin/bash
# Starts a private Dovecot serving one mailbox over POP3 on loopback:
#   dovecot-pop3-start.sh STATE_DIR MAILDIR PORT [POP3S_PORT]
# User and password come from POP3_USER / POP3_PASSWORD (fax1 / fax1pass),
# the listen address from POP3_LISTEN (127.0.0.1). With a POP3S port, or with
# POP3_STLS=yes (STLS offered on the plain port) or POP3_STLS=required (no
# logon in clear), a self-signed certificate for localhost, 127.0.0.1 and
# 127.0.0.2 is made in STATE_DIR/tls/cert.pem (clients trust it as their CA
# file). Without either, the server offers no TLS at all. Dovecot counts a
# client whose address is its own as secure and lets it log on in clear:
# listen on 127.0.0.2 (POP3_LISTEN) to see a logon refused before STLS.
# Prints the master PID; it is kept in STATE_DIR/dovecot.pid for
# dovecot-pop3-stop.sh. Mail is accessed as user "mail" (uid 8): Dovecot
# refuses uid 0. STATE_DIR and MAILDIR must be reachable by that user.
set -euo pipefail
if [ $# -lt 3 ]; then
    echo "usage: $0 STATE_DIR MAILDIR PORT [POP3S_PORT]" >&2
    exit 2
fi
STATE=$1 MAILDIR=$2 PORT=$3 SPORT=${4:-}
USER_NAME=${POP3_USER:-fax1}
PASSWORD=${POP3_PASSWORD:-fax1pass}
LISTEN=${POP3_LISTEN:-127.0.0.1}
STLS=${POP3_STLS:-no}
case "$STLS" in
    no | yes | required) ;;
    *) echo "dovecot-pop3: POP3_STLS must be no, yes or required" >&2; exit 2 ;;
esac
DOVECOT=${DOVECOT:-/usr/sbin/dovecot}
if [ ! -x "$DOVECOT" ]; then
    echo "dovecot-pop3: $DOVECOT not found (apt-get install dovecot-pop3d)" >&2
    exit 3
fi
if [ "$(id -u)" != 0 ]; then
    echo "dovecot-pop3: must run as root (mail is served as uid 8)" >&2
    exit 3
fi
WHO=dovecot-pop3
. "$(dirname "$0")/dovecot-common.bash"
mkdir -p "$MAILDIR"/{cur,new,tmp}
MAILDIR=$(cd "$MAILDIR" && pwd)
dovecot_state "$STATE"
mkdir -p "$STATE/index" "$STATE/control"
chown -R mail:mail "$MAILDIR" "$STATE/index" "$STATE/control" "$STATE/home"
if ! runuser -u mail -- test -r "$MAILDIR/new" -a -x "$MAILDIR/new"; then
    echo "dovecot-pop3: user mail cannot reach $MAILDIR (a 0700 parent folder?)" >&2
    exit 1
fi
printf '%s:{PLAIN}%s\n' "$USER_NAME" "$PASSWORD" >"$STATE/passwd"

SSL_LINES="ssl = no"
SPORT_LINE="port = 0"
if [ -n "$SPORT" ] || [ "$STLS" != no ]; then
    dovecot_cert "DNS:localhost,IP:127.0.0.1,IP:127.0.0.2"
    SSL_LINES="ssl = $([ "$STLS" = required ] && echo required || echo yes)
ssl_cert = <$STATE/tls/cert.pem
ssl_key = <$STATE/tls/key.pem
ssl_min_protocol = TLSv1.2"
    [ -n "$SPORT" ] && SPORT_LINE="port = $SPORT
    ssl = yes"
fi

cat >"$STATE/dovecot.conf" <<CONF
base_dir = $RUN
state_dir = $STATE/lib
instance_name = pop3test-$PORT
log_path = $STATE/dovecot.log
protocols = pop3
listen = $LISTEN
$SSL_LINES
disable_plaintext_auth = $([ "$STLS" = required ] && echo yes || echo no)
$(dovecot_auth_conf)
userdb {
  driver = static
  args = uid=8 gid=8 home=$STATE/home/%u
}
mail_location = maildir:$MAILDIR:INDEX=$STATE/index/%u:CONTROL=$STATE/control/%u
pop3_uidl_format = %08Xu%08Xv
service pop3-login {
  inet_listener pop3 {
    port = $PORT
  }
  inet_listener pop3s {
    $SPORT_LINE
  }
}
CONF

dovecot_launch "${LISTEN%%,*}" "$PORT"
