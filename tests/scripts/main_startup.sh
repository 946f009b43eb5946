#!/usr/bin/env bash
# The start-up seen from outside, as the scheduler sees it: the keys that a
# run leaves in the profile file for each way it can end.
set -u
BIN="${VOXAFAX_BINARY_DIR:-build}/voxafax-print"
[ -x "$BIN" ] || { echo "no $BIN"; exit 77; }
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
fails=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then echo "FAIL $1: expected [$2] got [$3]"; fails=$((fails + 1)); else echo "ok   $1"; fi
}
key() { sed -n "s/^$1=//p" "$VOXAFAX_PROFILE" | tr -d '\r'; }
fresh() {
  rm -rf "$W/home" "$W/cfg"; mkdir -p "$W/cfg"
  export VOXAFAX_HOME="$W/home" VOXAFAX_PROFILE="$W/cfg/voxafax.ini"
  printf '[VOXA-FAX]\n%s' "${1:-}" > "$VOXAFAX_PROFILE"
  printf '[Fax PDF]\ndirectory = %s/prints\n' "$W" > "$W/cfg/printers.ini"
  printf '[Windows Messaging Settings]\nmaildir = %s/Maildir\n' "$W" > "$W/cfg/stores.ini"
}
export VOXAFAX_TICK_MS=200 VOXAFAX_SMTP_PORT=1 VOXAFAX_POP3_PORT=1

# No switch: the message box text on stderr; the keys say "still running".
fresh
"$BIN" </dev/null 2>"$W/err"; rc=$?
check "empty command line exits 0" 0 "$rc"
grep -q "VOXA-FAX Print must be started by VOXA-FAX Scheduler" "$W/err"; check "message box text" 0 $?
grep -q "'Get VOXA-FAXes Now'" "$W/err"; check "message box last line" 0 $?
check "last_error" "" "$(key last_error)"
check "VFPrint running" "running" "$(key VFPrint)"
check "printing 1" "1" "$(key printing)"
check "no session key" "" "$(key session)"
[ -d "$VOXAFAX_HOME/temp" ] && [ -d "$VOXAFAX_HOME/In" ] && [ -d "$VOXAFAX_HOME/Out" ]; check "working folders" 0 $?
check "folders are the user's alone" 700 "$(stat -c %a "$VOXAFAX_HOME/In")"

# Switch /2 with nothing to send to: the end keys.
fresh "totals=9,9,9,9"$'\n'
"$BIN" /2 </dev/null 2>/dev/null; rc=$?
check "/2 exits 0" 0 "$rc"
check "/2 print_status" " Printed 0 VOXA-FAXes + 0 Regular Faxes" "$(key print_status)"
check "/2 printing" "0" "$(key printing)"
check "/2 session" "0,0,0,0" "$(key session)"
check "/2 totals" "0,0,0,0" "$(key totals)"
check "/2 VFPrint" "quit" "$(key VFPrint)"
check "/2 test_server empty" "" "$(key test_server)"

# A printer that is not installed, or differs only in case: stop right there.
for name in "No Such Printer" "fax pdf"; do
  fresh "Printer_Type=$name"$'\n'
  "$BIN" /0 </dev/null 2>/dev/null; rc=$?
  check "bad printer '$name' exits 0" 0 "$rc"
  check "bad printer '$name' status" "Print Error : NO or BAD PRINTER CONFIGURED !" "$(key print_status)"
  check "bad printer '$name' no end keys" "running" "$(key VFPrint)"
done

# A second instance on the same program folder ends at once and writes nothing.
fresh
mkdir -p "$VOXAFAX_HOME"
exec 9>"$VOXAFAX_HOME/voxafax-print.lock"
flock -n 9
before=$(md5sum < "$VOXAFAX_PROFILE")
"$BIN" /0 </dev/null 2>/dev/null; rc=$?
check "second instance exits 0" 0 "$rc"
check "second instance wrote nothing" "$before" "$(md5sum < "$VOXAFAX_PROFILE")"
exec 9>&-

# A profile that the store does not know: answer No ends without end keys,
# Yes retries and reports the profile in last_error.
fresh "VoxaFax_Profile=Nobody"$'\n'
VOXAFAX_ANSWERS=no "$BIN" /0 </dev/null 2>"$W/err"
grep -q "No VOXA-FAX Profile!" "$W/err"; check "logon dialogue shown" 0 $?
check "declined logon: no end keys" "running" "$(key VFPrint)"
fresh "VoxaFax_Profile=Nobody"$'\n'
VOXAFAX_ANSWERS=yes "$BIN" /0 </dev/null 2>/dev/null
check "retried logon: last_error" "Inbox Error on profile Nobody" "$(key last_error)"
check "retried logon: end keys" "quit" "$(key VFPrint)"

[ "$fails" -eq 0 ] && echo "all start-up checks passed" || { echo "$fails start-up checks failed"; exit 1; }
