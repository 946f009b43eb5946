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
mkdir -p "$STATE"
STATE=$(cd "$STATE" && pwd)
RUN="$STATE/run"
# Dovecot's unix sockets live under base_dir: long paths do not fit.
if [ ${#RUN} -gt 80 ]; then
    echo "dovecot-submission: base_dir $RUN is longer than 80 characters" >&2
    exit 1
fi
mkdir -p "$RUN" "$STATE/lib" "$STATE/home" "$STATE/tls"
chown -R mail:mail "$STATE/home"
printf '%s:{PLAIN}%s\n' "$USER_NAME" "$PASSWORD" >"$STATE/passwd"
if [ ! -f "$STATE/tls/cert.pem" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout "$STATE/tls/key.pem" \
        -out "$STATE/tls/cert.pem" -subj /CN=localhost \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" >/dev/null 2>&1
fi

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
auth_mechanisms = plain login
auth_failure_delay = 0
first_valid_uid = 8
last_valid_uid = 8
first_valid_gid = 1
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $STATE/passwd
}
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

"$DOVECOT" -c "$STATE/dovecot.conf"
for _ in $(seq 1 100); do
    if [ -s "$RUN/master.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
        cp "$RUN/master.pid" "$STATE/dovecot.pid"
        cat "$STATE/dovecot.pid"
        exit 0
    fi
    sleep 0.05
done
echo "dovecot-submission: not listening on $PORT after 5 s:" >&2
cat "$STATE/dovecot.log" >&2 2>/dev/null || true
[ -s "$RUN/master.pid" ] && kill "$(cat "$RUN/master.pid")" 2>/dev/null || true
exit 1
