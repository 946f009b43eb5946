#!/bin/bash
# Starts a private Dovecot submission server on loopback that demands
# STARTTLS and a login, and relays what it takes to another SMTP server:
#   dovecot-submission-start.sh STATE_DIR PORT RELAY_PORT
# The login and password come from SUBMISSION_USER / SUBMISSION_PASSWORD
# (fax1@provider.test / fax1pass). A self-signed certificate for localhost
# and 127.0.0.1 is made in STATE_DIR/tls/cert.pem (clients trust it as their
# CA file). Mail goes on to 127.0.0.1:RELAY_PORT (the SMTP sink).
# Prints the master PID; it is kept in STATE_DIR/dovecot.pid for
# dovecot-pop3-stop.sh, which stops this one too.
set -euo pipefail
if [ $# -lt 3 ]; then
    echo "usage: $0 STATE_DIR PORT RELAY_PORT" >&2
    exit 2
fi
STATE=$1 PORT=$2 RELAY=$3
USER_NAME=${SUBMISSION_USER:-fax1@provider.test}
PASSWORD=${SUBMISSION_PASSWORD:-fax1pass}
DOVECOT=${DOVECOT:-/usr/sbin/dovecot}
if [ ! -x "$DOVECOT" ] || [ ! -x /usr/lib/dovecot/submission ]; then
    echo "dovecot-submission: not installed (apt-get install dovecot-submissiond)" >&2
    exit 3
fi
if [ "$(id -u)" != 0 ]; then
    echo "dovecot-submission: must run as root (its services run as uid 8)" >&2
    exit 3
fi
WHO=dovecot-submission
. "$(dirname "$0")/dovecot-common.bash"
dovecot_state "$STATE"
chown -R mail:mail "$STATE/home"
printf '%s:{PLAIN}%s\n' "$USER_NAME" "$PASSWORD" >"$STATE/passwd"
dovecot_cert "DNS:localhost,IP:127.0.0.1"

# disable_plaintext_auth: AUTH is offered only after STARTTLS, and a
# submission server takes no MAIL before AUTH.
cat >"$STATE/dovecot.conf" <<CONF
base_dir = $RUN
state_dir = $STATE/lib
instance_name = submissiontest-$PORT
log_path = $STATE/dovecot.log
protocols = submission
listen = 127.0.0.1
hostname = submission.test
ssl = yes
ssl_cert = <$STATE/tls/cert.pem
ssl_key = <$STATE/tls/key.pem
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = yes
$(dovecot_auth_conf)
userdb {
  driver = static
  args = uid=8 gid=8 home=$STATE/home/%n
}
mail_location = maildir:$STATE/home/%n/Maildir
submission_relay_host = 127.0.0.1
submission_relay_port = $RELAY
submission_relay_trusted = yes
service submission-login {
  inet_listener submission {
    port = $PORT
  }
}
CONF

dovecot_launch 127.0.0.1 "$PORT"
