#!/bin/bash
# SIGTERM (a shutdown, systemctl stop, a unit's time-out) during a run over a
# Maildir store and a folder printer: the run ends soon after, at the next
# fax, with exit status 11 and its closing keys written; every fax it printed
# is filed, the others wait in the inbox, and the next run prints those once.
set -u
BIN="${VOXAFAX_BINARY_DIR:-build}/voxafax-print"
SRC="${VOXAFAX_SOURCE_DIR:-.}"
MKFAX="$SRC/tests/scripts/mkfax.py"
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
[ -x "$BIN" ] || { echo "skip: no program at $BIN"; exit 77; }

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
. "$SRC/tests/scripts/checks.bash"

R=$T
mkdir -p "$R/home" "$R/cfg" "$R/prints" "$R/Maildir/new" "$R/Maildir/cur" "$R/Maildir/tmp"
export VOXAFAX_HOME="$R/home" VOXAFAX_PROFILE="$R/cfg/voxafax.ini" VOXAFAX_TICK_MS=100
export VOXAFAX_SMTP_PORT=1 VOXAFAX_ANSWERS=no
printf '[Windows Messaging Settings]\nmaildir = %s\n' "$R/Maildir" >"$R/cfg/stores.ini"
printf '[Fax PDF]\ndirectory = %s\n' "$R/prints" >"$R/cfg/printers.ini"
printf '[VOXA-FAX]\nVoxa_Fax_Addr=4165551234@voxafax.example\nPrinter_Type=Fax PDF\nUse_Profile=y\nUse_Defaults=1\n' \
    >"$R/cfg/voxafax.ini"
FAXES=12
"$PY" "$MKFAX" "$R/Maildir" bigfax $FAXES

# The run, with SIGTERM as soon as it has printed its first PDF (held under
# a hidden name until its batch is recorded): "status ms", the milliseconds
# from the signal to the end of the process.
result=$("$PY" - "$BIN" "$R/prints" "$R/stderr" <<'PYEOF'
import os, signal, subprocess, sys, time
binary, prints, log = sys.argv[1:4]
with open(log, "wb") as err:
    p = subprocess.Popen([binary, "/0"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    while p.poll() is None and not any(n.endswith((".pdf", ".held")) for n in os.listdir(prints)):
        time.sleep(0.0005)
    t0 = time.monotonic()
    if p.poll() is None:
        p.send_signal(signal.SIGTERM)
    try:
        rc = p.wait(timeout=60)
    except subprocess.TimeoutExpired:
        p.kill()
        rc = p.wait()
print(rc, int((time.monotonic() - t0) * 1000))
PYEOF
)
read -r rc ms <<<"$result"
printed=$(count "$R/Maildir/.VOXA-FAXes.Printed/cur")
waiting=$(($(count "$R/Maildir/new") + $(count "$R/Maildir/cur")))
echo "     (stopped ${ms} ms after SIGTERM; $printed filed, $waiting waiting)"
check "stopped: exit status 11" eq "$rc" 11
check "stopped: within 10 s of the signal" test "$ms" -lt 10000
check "stopped: the run log says so" grep -q "SIGTERM: the run stops here" "$R/stderr"
check "stopped: some faxes filed, none lost" eq "$((printed + waiting))" $FAXES
check "stopped: some faxes left for the next run" test "$waiting" -gt 0
check "stopped: each PDF's fax filed" eq "$(count "$R/prints")" "$printed"
check "stopped: the record" grep -q "exit_meaning = stopped" "$R/home/last-run.ini"
check "stopped: the closing keys" grep -qi "^VFPrint=quit" "$R/cfg/voxafax.ini"

timeout 120 "$BIN" /0 </dev/null >/dev/null 2>"$R/stderr2"
check "next run: exit status 0" eq "$?" 0
check "next run: every fax filed" eq "$(count "$R/Maildir/.VOXA-FAXes.Printed/cur")" $FAXES
check "next run: each fax printed once" eq "$(count "$R/prints")" $FAXES

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
