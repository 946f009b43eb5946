# What the private Dovecot start scripts share; sourced with WHO set to the
# script's name for its messages and DOVECOT to the server binary.

# dovecot_state STATE_DIR: makes the state folder and its run folder (RUN);
# STATE becomes the absolute path.
dovecot_state() {
    mkdir -p "$1"
    STATE=$(cd "$1" && pwd)
    RUN="$STATE/run"
    # Dovecot's unix sockets live under base_dir: long paths do not fit.
    if [ ${#RUN} -gt 80 ]; then
        echo "$WHO: base_dir $RUN is longer than 80 characters" >&2
        exit 1
    fi
    mkdir -p "$RUN" "$STATE/lib" "$STATE/home"
}

# dovecot_cert SUBJECT-ALT-NAMES: a self-signed certificate in
# STATE/tls/cert.pem (made once), which clients trust as their CA file.
dovecot_cert() {
    mkdir -p "$STATE/tls"
    [ -f "$STATE/tls/cert.pem" ] && return 0
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout "$STATE/tls/key.pem" \
        -out "$STATE/tls/cert.pem" -subj /CN=localhost -addext "subjectAltName=$1" >/dev/null 2>&1
}

# The login lines both servers use: one user from STATE/passwd, served as
# uid 8 (Dovecot refuses uid 0), failures answered at once.
dovecot_auth_conf() {
    cat <<CONF
auth_mechanisms = plain login
auth_failure_delay = 0
first_valid_uid = 8
last_valid_uid = 8
first_valid_gid = 1
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $STATE/passwd
}
CONF
}

# dovecot_launch ADDRESS PORT: starts Dovecot on STATE/dovecot.conf and waits
# up to five seconds for it to listen; prints the master PID, kept in
# STATE/dovecot.pid for dovecot-pop3-stop.sh.
dovecot_launch() {
    "$DOVECOT" -c "$STATE/dovecot.conf"
    for _ in $(seq 1 100); do
        if [ -s "$RUN/master.pid" ] && (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; then
            cp "$RUN/master.pid" "$STATE/dovecot.pid"
            cat "$STATE/dovecot.pid"
            exit 0
        fi
        sleep 0.05
    done
    echo "$WHO: not listening on $2 after 5 s:" >&2
    cat "$STATE/dovecot.log" >&2 2>/dev/null || true
    [ -s "$RUN/master.pid" ] && kill "$(cat "$RUN/master.pid")" 2>/dev/null || true
    exit 1
}
