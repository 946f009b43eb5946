#!/usr/bin/env bash
# The program seen from outside, for each common mistake and each way a run
# can end early: the exit status, the line on standard error, the record of
# the last run (last-run.ini), and the status keys, which must stay what they
# have always been for the scheduler that reads them.
set -u
BIN="${VOXAFAX_BINARY_DIR:-build}/voxafax-print"
SRC="${VOXAFAX_SOURCE_DIR:-.}"
PY=/usr/bin/python3
[ -x "$BIN" ] || { echo "no $BIN"; exit 77; }
[ -x "$PY" ] || PY=python3
W=$(mktemp -d)
PEER_PIDS=""
trap 'for p in $PEER_PIDS; do kill "$p" 2>/dev/null; done; rm -rf "$W"' EXIT
fails=0
pending=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then echo "FAIL $1: expected [$2] got [$3]"; fails=$((fails + 1)); else echo "ok   $1"; fi
}
has() {  # has NAME FILE TEXT: the file holds the text (fixed string)
  if grep -qF -- "$3" "$2"; then echo "ok   $1"; else
    echo "FAIL $1: no [$3] in:"; sed 's/^/       /' "$2"; fails=$((fails + 1)); fi
}
key() { sed -n "s/^$1=//p" "$VOXAFAX_PROFILE" | tr -d '\r'; }
rec() { sed -n "s/^$1 = //p" "$VOXAFAX_HOME/last-run.ini" 2>/dev/null; }
free_port() { "$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# peer MODE: a stand-in server (startup_peers.py); sets PEER_PORT.
peer() {
  local f="$W/peer.$1"
  "$PY" "$SRC/tests/scripts/startup_peers.py" "$1" "$f" >/dev/null 2>&1 &
  PEER_PIDS="$PEER_PIDS $!"
  for _ in $(seq 1 100); do [ -s "$f" ] && break; sleep 0.05; done
  PEER_PORT=$(cat "$f")
}
# fresh [PROFILE LINES]: a new program folder and configuration.
fresh() {
  rm -rf "$W/home" "$W/cfg"; mkdir -p "$W/cfg"
  export VOXAFAX_HOME="$W/home" VOXAFAX_PROFILE="$W/cfg/voxafax.ini"
  printf '[VOXA-FAX]\n%s' "${1:-}" > "$VOXAFAX_PROFILE"
  printf '[Fax PDF]\ndirectory = %s/prints\n' "$W" > "$W/cfg/printers.ini"
  printf '[Windows Messaging Settings]\nmaildir = %s/Maildir\n' "$W" > "$W/cfg/stores.ini"
}
# A subscriber whose mail comes by POP3 from 127.0.0.1 and whose receipts go
# to loopback only.
SUBSCRIBER="Voxa_Fax_Addr=fax1@127.0.0.1
Password=secret
Printer_Type=Fax PDF
Confirm_Receipt=y
Normal_EMail_Addr=fax1@127.0.0.1
User_SMTP_Server=127.0.0.1
SMTP_Server2=127.0.0.1
Last_Resort_SMTP_Server=127.0.0.1
VF_IP_Address=127.0.0.1
VF_SMTP_Server=127.0.0.1
"
export VOXAFAX_TICK_MS=200 VOXAFAX_SMTP_PORT=1 VOXAFAX_POP3_PORT=1 VOXAFAX_ANSWERS=no
export VOXAFAX_HOSTS_FILE=/etc/hosts

# --help, --version and arguments that are not switches: nothing is written,
# no server contacted.
fresh
before=$(md5sum < "$VOXAFAX_PROFILE")
"$BIN" --help >"$W/out" 2>"$W/err"; check "--help exits 0" 0 $?
has "--help names the switches" "$W/out" "/0 "
has "--help names the files" "$W/out" "options.ini"
has "--help names the variables" "$W/out" "VOXAFAX_PROFILE"
"$BIN" --version >"$W/out" 2>"$W/err"; check "--version exits 0" 0 $?
check "--version" "voxafax-print 0.8.2" "$(cat "$W/out")"
for arg in -h 0 --verbose; do
  "$BIN" "$arg" >"$W/out" 2>"$W/err"; rc=$?
  check "$arg is refused with status 2" 2 "$rc"
  has "$arg: the line says why" "$W/err" "argument \"$arg\" is not a switch"
done
check "no program folder made" no "$([ -e "$VOXAFAX_HOME" ] && echo yes || echo no)"
check "profile untouched" "$before" "$(md5sum < "$VOXAFAX_PROFILE")"

# No switch: the message box text, then what to do; the keys say "still
# running", as they always have.
fresh
"$BIN" </dev/null 2>"$W/err"; rc=$?
check "empty command line: status 2" 2 "$rc"
has "message box text" "$W/err" "VOXA-FAX Print must be started by VOXA-FAX Scheduler"
has "the line after it" "$W/err" "started without a switch"
check "last_error" "" "$(key last_error)"
check "VFPrint running" "running" "$(key VFPrint)"
check "printing 1" "1" "$(key printing)"
check "record: ended" "ended" "$(rec state)"
check "record: usage" "usage" "$(rec exit_meaning)"
[ -d "$VOXAFAX_HOME/temp" ] && [ -d "$VOXAFAX_HOME/In" ] && [ -d "$VOXAFAX_HOME/Out" ]; check "working folders" 0 $?
check "folders are the user's alone" 700 "$(stat -c %a "$VOXAFAX_HOME/In")"
check "the profile is the user's alone" 600 "$(stat -c %a "$VOXAFAX_PROFILE")"
check "the record is the user's alone" 600 "$(stat -c %a "$VOXAFAX_HOME/last-run.ini")"

# Switch /2 with nothing to send to: the end keys.
fresh "totals=9,9,9,9"$'\n'
"$BIN" /2 </dev/null 2>/dev/null
check "/2 print_status" " Printed 0 VOXA-FAXes + 0 Regular Faxes" "$(key print_status)"
check "/2 printing" "0" "$(key printing)"
check "/2 session" "0,0,0,0" "$(key session)"
check "/2 totals" "0,0,0,0" "$(key totals)"
check "/2 VFPrint" "quit" "$(key VFPrint)"
check "/2 test_server empty" "" "$(key test_server)"
check "/2 record" "ended" "$(rec state)"

# A printer that is not installed, or differs only in case: stop right there.
for name in "No Such Printer" "fax pdf"; do
  fresh "Printer_Type=$name"$'\n'
  "$BIN" /0 </dev/null 2>"$W/err"; rc=$?
  check "bad printer '$name': status 3" 3 "$rc"
  check "bad printer '$name' status" "Print Error : NO or BAD PRINTER CONFIGURED !" "$(key print_status)"
  check "bad printer '$name' no end keys" "running" "$(key VFPrint)"
  has "bad printer '$name': the line names key, file and printers" "$W/err" \
    "Printer_Type = $name in $VOXAFAX_PROFILE names no installed printer (installed: "
  check "bad printer '$name': record" "config" "$(rec exit_meaning)"
done

# A second run on the same program folder ends at once and writes nothing.
fresh
mkdir -p "$VOXAFAX_HOME"
printf '[run]\nstate = running\npid = 4242\n' > "$VOXAFAX_HOME/last-run.ini"
exec 9>"$VOXAFAX_HOME/voxafax-print.lock"
flock -n 9
before=$(md5sum < "$VOXAFAX_PROFILE")
"$BIN" /0 </dev/null 2>"$W/err"; rc=$?
check "second run: status 4" 4 "$rc"
check "second run wrote nothing" "$before" "$(md5sum < "$VOXAFAX_PROFILE")"
check "second run left the record alone" "4242" "$(rec pid)"
has "second run: says who holds the folder" "$W/err" "another voxafax-print (pid 4242) is running on $VOXAFAX_HOME"
exec 9>&-

# A profile name with a typo: answer No ends without end keys, Yes retries
# and reports the profile in last_error; either way the line names the key,
# the file and the profiles there are.
fresh "VoxaFax_Profile=Windows Messaging Setings"$'\n'
VOXAFAX_ANSWERS=no "$BIN" /0 </dev/null 2>"$W/err"; rc=$?
check "profile typo: status 3" 3 "$rc"
has "logon dialogue shown" "$W/err" "No VOXA-FAX Profile!"
has "the line after it" "$W/err" \
  "VoxaFax_Profile = Windows Messaging Setings in $VOXAFAX_PROFILE names no profile in $W/cfg/stores.ini (profiles: \"Windows Messaging Settings\"); run voxafax setup"
check "declined logon: no end keys" "running" "$(key VFPrint)"
check "declined logon: last_error" "" "$(key last_error)"
check "declined logon: record" "config" "$(rec exit_meaning)"
fresh "VoxaFax_Profile=Nobody"$'\n'
VOXAFAX_ANSWERS=yes "$BIN" /0 </dev/null 2>/dev/null; rc=$?
check "retried logon: status 3" 3 "$rc"
check "retried logon: last_error" "Inbox Error on profile Nobody" "$(key last_error)"
check "retried logon: end keys" "quit" "$(key VFPrint)"
check "retried logon: record's last_error" "Inbox Error on profile Nobody" "$(rec last_error)"
# last_error is one line of at most 200 characters, whatever went into it.
long=$(printf 'P%.0s' $(seq 1 250))
fresh "VoxaFax_Profile=$long"$'\n'
VOXAFAX_ANSWERS=yes "$BIN" /0 </dev/null 2>/dev/null
check "a long last_error is cut to 200" 200 "$(key last_error | wc -L)"
check "the record's last_error too" 200 "$(rec last_error | wc -L)"

# Settings that make no sense are refused before anything runs.
fresh
printf '[pop3]\nport = 65537\n' > "$W/cfg/options.ini"
before=$(md5sum < "$VOXAFAX_PROFILE")
"$BIN" /0 </dev/null 2>"$W/err"; rc=$?
check "port 65537: status 3" 3 "$rc"
has "port 65537: the line names key and file" "$W/err" "[pop3] port = 65537 in $W/cfg/options.ini"
check "port 65537: profile untouched" "$before" "$(md5sum < "$VOXAFAX_PROFILE")"
check "port 65537: record" "config" "$(rec exit_meaning)"
fresh
VOXAFAX_POP3_PORT=-1 "$BIN" /0 </dev/null 2>"$W/err"; rc=$?
check "port -1: status 3" 3 "$rc"
has "port -1: the line names the variable" "$W/err" "VOXAFAX_POP3_PORT = -1"

# The POP3 server cannot be reached or refuses the logon. The keys are what
# they always were (last_error only quotes a server's refusal); the exit
# status, the record and the run log say what went wrong. The run log's
# reasons come from the POP client: where it names none yet, say so.
pop_case() {  # NAME STATUS MEANING TEXT LAST_ERROR_PREFIX
  local name=$1 status=$2 meaning=$3 text=$4 lastError=$5
  timeout 120 "$BIN" /0 </dev/null 2>"$W/err"; local rc=$?
  check "$name: end keys" "quit" "$(key VFPrint)"
  check "$name: print_status" " Printed 0 VOXA-FAXes + 0 Regular Faxes" "$(key print_status)"
  # Empty as before, or beginning with the legacy prefix.
  local got; got=$(key last_error)
  [ -n "$lastError" ] && got=${got:0:${#lastError}}
  check "$name: last_error" "$lastError" "$got"
  check "$name: no fax printed" 0 "$(ls "$W/prints" 2>/dev/null | wc -l)"
  if ! grep -q "pop3 " "$W/err"; then
    echo "PENDING $name: the POP client names no reason on standard error yet"
    pending=$((pending + 1))
    return
  fi
  check "$name: status $status" "$status" "$rc"
  check "$name: record" "$meaning" "$(rec exit_meaning)"
  has "$name: the line says why" "$W/err" "$text"
}
fresh "$SUBSCRIBER"
export VOXAFAX_POP3_PORT; VOXAFAX_POP3_PORT=$(free_port)
pop_case "nothing listening" 5 server-unreachable "pop3 127.0.0.1:$VOXAFAX_POP3_PORT: connection refused" ""
fresh "$SUBSCRIBER"
peer smtp; VOXAFAX_POP3_PORT=$PEER_PORT
pop_case "a port that speaks SMTP" 5 server-unreachable "pop3 127.0.0.1:$VOXAFAX_POP3_PORT" ""
fresh "${SUBSCRIBER/fax1@127.0.0.1/fax1@no-such-host.invalid}"
pop_case "an unknown host" 5 server-unreachable "no-such-host.invalid" ""
fresh "$SUBSCRIBER"
peer pop-badpass; VOXAFAX_POP3_PORT=$PEER_PORT
pop_case "a wrong password" 6 logon-refused "logon refused for user fax1" "Retrieval Error : "
has "a wrong password: last_error quotes the server" "$VOXAFAX_PROFILE" "[AUTH] Authentication failed."
if grep -qF "secret" "$W/err" "$VOXAFAX_HOME/last-run.ini"; then
  echo "FAIL the password shows in the run log or the record"; fails=$((fails + 1))
else echo "ok   the password shows nowhere"; fi

# An SMTP server that cannot be reached, with a receipt waiting in Out/: the
# receipt waits for the next run; that is a warning, not a failed run.
fresh "$SUBSCRIBER"
peer pop-empty; VOXAFAX_POP3_PORT=$PEER_PORT
VOXAFAX_SMTP_PORT=$(free_port)
mkdir -p "$VOXAFAX_HOME/Out"
printf 'To:gw@127.0.0.1\r\nSubject: Receipt\r\n\r\nreceipt\r\n' > "$VOXAFAX_HOME/Out/20260101000000.MDN"
timeout 120 "$BIN" /0 </dev/null 2>"$W/err"; rc=$?
check "SMTP unreachable: status 0" 0 "$rc"
check "SMTP unreachable: record" "ok" "$(rec exit_meaning)"
check "SMTP unreachable: end keys" "quit" "$(key VFPrint)"
le=$(key last_error)
check "SMTP unreachable: last_error, a bare code as always" "yes" \
  "$([ -n "$le" ] && [ -z "$(printf '%s' "$le" | tr -d '0-9')" ] && echo yes || echo "no: $le")"
check "SMTP unreachable: the receipt waits" 1 "$(ls "$VOXAFAX_HOME/Out" | wc -l)"

# A user's files protected from the program itself (run as nobody where the
# script runs as root, since root reads any file).
AS_USER=()
[ "$(id -u)" = 0 ] && AS_USER=(setpriv --reuid nobody --regid nogroup --clear-groups)
as_user() { "${AS_USER[@]}" "$@"; }
give_user() {
  mkdir -p "$VOXAFAX_HOME" "$W/Maildir" "$W/prints"
  [ "$(id -u)" = 0 ] && chown -R nobody "$W/cfg" "$VOXAFAX_HOME" "$W/Maildir" "$W/prints"
  chmod 755 "$W"
}

# Copies that writes killed half-way left behind may hold the password: a
# start removes them. A misspelt option is named, and the run goes on.
fresh
mkdir -p "$VOXAFAX_HOME"
for f in "$VOXAFAX_HOME/.account.ini.AbC123" "$VOXAFAX_HOME/.receipts.ledger.XyZ987" \
  "$W/cfg/.voxafax.ini.Qwe456"; do echo "Password=secret" > "$f"; done
printf '[print]\ntext_pages = no\n[pop3]\ntsl = yes\n' > "$W/cfg/options.ini"
"$BIN" /2 </dev/null 2>"$W/err"
check "stale copies removed" 0 "$(ls -A "$VOXAFAX_HOME" "$W/cfg" | grep -c -e '^\.account' -e '^\.receipts' -e '^\.voxafax')"
has "a misspelt option is named" "$W/err" \
  "[pop3] tsl in $W/cfg/options.ini line 4 is not an option voxafax-print reads; did you mean [pop3] tls?"
check "a misspelt option: the run went on" quit "$(key VFPrint)"

# A program folder that is a link elsewhere is named; a profile file that is
# a link (to a dotfiles folder, say) stays one, and its target gets the keys.
fresh "$SUBSCRIBER"
mkdir -p "$W/elsewhere" "$W/dotfiles"; ln -s "$W/elsewhere" "$VOXAFAX_HOME"
mv "$VOXAFAX_PROFILE" "$W/dotfiles/voxafax.ini"; ln -s "$W/dotfiles/voxafax.ini" "$VOXAFAX_PROFILE"
"$BIN" /2 </dev/null 2>"$W/err"
has "a linked program folder is named" "$W/err" "program folder $VOXAFAX_HOME is a link to $W/elsewhere"
check "a linked profile stays a link" yes "$([ -L "$VOXAFAX_PROFILE" ] && echo yes || echo no)"
check "a linked profile: the run's keys in its target" quit "$(key VFPrint)"
check "a linked profile: settings kept" secret "$(key Password)"
rm -rf "$W/elsewhere" "$W/dotfiles"

# A profile that cannot be read is never written back (it once came out of
# a run holding only the status keys): status 3 before anything else.
fresh "$SUBSCRIBER"
mkdir -p "$VOXAFAX_HOME"; give_user; chmod 000 "$VOXAFAX_PROFILE"
before=$(md5sum < "$VOXAFAX_PROFILE")
as_user "$BIN" /0 </dev/null 2>"$W/err"; rc=$?
check "unreadable profile: status 3" 3 "$rc"
has "unreadable profile: the line says why" "$W/err" "profile file $VOXAFAX_PROFILE: cannot read $VOXAFAX_PROFILE: Permission denied"
check "unreadable profile: left as it was" "$before" "$(md5sum < "$VOXAFAX_PROFILE")"
check "unreadable profile: mode kept" 0 "$(stat -c %a "$VOXAFAX_PROFILE")"
check "unreadable profile: record" config "$(rec exit_meaning)"

# Root on a user's files would leave them root's: refused, nothing created.
if [ "$(id -u)" = 0 ]; then
  fresh "$SUBSCRIBER"
  chown -R nobody "$W/cfg"
  "$BIN" /0 </dev/null 2>"$W/err"; rc=$?
  check "root on a user's files: status 3" 3 "$rc"
  has "root on a user's files: the line says why" "$W/err" "voxafax-print runs as root on the files of user 65534 (nobody)"
  check "root on a user's files: nothing created" no "$([ -e "$VOXAFAX_HOME" ] && echo yes || echo no)"
fi

# The password stays out of core dumps and out of reach of the user's other
# processes while a run waits on a silent server.
fresh "$SUBSCRIBER"
peer silent; VOXAFAX_POP3_PORT=$PEER_PORT
mkdir -p "$VOXAFAX_HOME"; give_user
(ulimit -c unlimited; VOXAFAX_TICK_MS=10000 exec "${AS_USER[@]}" "$BIN" /0 </dev/null 2>/dev/null) &
pid=$!
for _ in $(seq 1 100); do grep -q "^print_status=Connecting" "$VOXAFAX_PROFILE" && break; sleep 0.05; done
check "no core dump" 0 "$(awk '/Max core file size/ {print $5}' "/proc/$pid/limits")"
check "not dumpable: its memory is root's to read" root "$(stat -c %U "/proc/$pid/mem")"
kill "$pid"; wait "$pid" 2>/dev/null

# A file-size limit (ulimit -f) is a failed write like a full disk: status 8,
# a line, and the record ended, not a silent death by SIGXFSZ.
fresh "$SUBSCRIBER"
peer pop-big; VOXAFAX_POP3_PORT=$PEER_PORT
(ulimit -f 100; exec timeout 120 "$BIN" /0 </dev/null 2>"$W/err"); rc=$?
check "file-size limit: status 8" 8 "$rc"
has "file-size limit: a line says why" "$W/err" "File too large"
check "file-size limit: record ended" ended "$(rec state)"
check "file-size limit: end keys" quit "$(key VFPrint)"

echo "$pending check group(s) pending"
[ "$fails" -eq 0 ] && echo "all start-up checks passed" || { echo "$fails start-up checks failed"; exit 1; }
