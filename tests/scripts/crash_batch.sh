#!/bin/bash
# Crash safety inside a batch of conversions: voxafax-print is killed with
# SIGKILL while it converts downloaded messages into the store, where up to
# 64 stored messages wait for one sync before their In/ files are deleted.
# Each run is killed at a random moment of that window: after the K-th
# message of the batch is written (before the batch's sync), or once the
# In/ files start to go (after the sync, before the last deletion), or at a
# random time. Some rounds bring more than one batch of faxes. Then one run
# may finish. Afterwards every fax must be in the store exactly once or still
# on the server, printed once and answered once, and no message file in the
# store half-written. The program runs as nobody; the peers as root.
#   VOXAFAX_CRASH_ROUNDS (12), VOXAFAX_CRASH_SEED.
set -u
. "$(dirname "$0")/system_peers.bash"
sys_require
command -v setpriv >/dev/null || sys_skip "setpriv (util-linux) not installed"
W=$(mktemp -d /tmp/vfbatch.XXXXXX)
trap 'sys_stop; [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"' EXIT
sys_start "$W" || exit 1
export VOXAFAX_POP3_PORT=$POP_PORT VOXAFAX_SMTP_PORT=$SMTP_PORT
sys_configure "Fax Folder"
mkdir -p "$STORE" "$W/folder-prints" "$W/mails"
chown -R nobody "$W/home" "$W/cfg" "$STORE" "$W/folder-prints"
ROUNDS=${VOXAFAX_CRASH_ROUNDS:-12}
RANDOM=${VOXAFAX_CRASH_SEED:-$$}
echo "seed ${VOXAFAX_CRASH_SEED:-$$}"

# launch MODE VALUE DELAY_US: one run as nobody, SIGKILLed DELAY_US after the
# store's inbox tmp/ holds VALUE messages (MODE stored), after VALUE In/
# files are gone (MODE deleted), or after VALUE ms (MODE time), unless it
# ends first. Prints "killed" or "ended".
cat >"$W/launch.py" <<'PYEOF'
import os, subprocess, sys, time
mode, value, delay, tmp, indir, log = sys.argv[1:7]
value, delay = int(value), int(delay)
def count(d):
    try:
        return sum(1 for n in os.listdir(d) if not n.startswith("."))
    except OSError:
        return 0
with open(log, "ab") as out:
    p = subprocess.Popen(sys.argv[7:], stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    if mode == "time":
        try:
            p.wait(timeout=value / 1000.0)
        except subprocess.TimeoutExpired:
            pass
    else:
        most = 0
        while p.poll() is None:
            if mode == "stored" and count(tmp) >= value:
                break
            if mode == "deleted":
                n = count(indir)
                most = max(most, n)
                if most - n >= value:
                    break
        time.sleep(delay / 1e6)
    killed = p.poll() is None
    if killed:
        p.kill()
    p.wait()
print("killed" if killed else "ended")
PYEOF
AS_NOBODY=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
launch() {
    "$PY" "$W/launch.py" "$1" "$2" "$3" "$STORE/tmp" "$VOXAFAX_HOME/In" "$W/runs.log" \
        "${AS_NOBODY[@]}" "$B/voxafax-print" /0
}

NEXT=1
add_faxes() { # add_faxes COUNT: fresh faxes, numbered on from the last ones
    local i n
    for i in $(seq 1 "$1"); do
        n=$NEXT
        NEXT=$((NEXT + 1))
        "$B/tools/make_fax_tiff" "$W/mails/$n.tif" --pages 1 --title "Fax $n" >/dev/null &&
            "$PY" "$SRC/tests/scripts/mkfax.py" --mail "$W/mails/fax$n.eml" "$n" fax1@127.0.0.1 \
                "gateway$n@localhost" "$W/mails/$n.tif" &&
            "$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/mails/fax$n.eml" || return 1
    done
}

killed=0
for round in $(seq 1 "$ROUNDS"); do
    added=$((RANDOM % 8 + 1))
    [ $((round % 6)) = 1 ] && added=$((64 + RANDOM % 16))  # more than one batch
    add_faxes "$added" || exit 1
    us=$((RANDOM % 2000))
    k=$((RANDOM % added + 1))
    case $((round % 3)) in
    0) how="$us us after stored message $k" outcome=$(launch stored "$k" "$us") ;;
    1) how="$us us after $k In/ files went" outcome=$(launch deleted "$k" "$us") ;;
    *)
        ms=$((RANDOM % 1500))
        how="at $ms ms" outcome=$(launch time "$ms" 0)
        ;;
    esac
    [ "$outcome" = killed ] && killed=$((killed + 1))
    printf 'round %2d: %2d faxes, kill %s: %s\n' "$round" "$added" "$how" "$outcome"
done
echo "$killed of $ROUNDS runs were killed before they ended"
check "most runs were killed inside the conversion" eq "$((killed * 2 >= ROUNDS))" 1

timeout 300 "${AS_NOBODY[@]}" "$B/voxafax-print" /0 </dev/null >>"$W/runs.log" 2>&1
check "the last run ends" eq "$(ini_key "$PROFILE" VFPrint)" quit
check "the last run has no error" eq "$(ini_key "$PROFILE" last_error)" ""
check "every message file in the store parses" eq "$(sys_store_parses "$STORE" && echo ok)" ok
sleep 1  # the sink writes each message as it acknowledges it

# Counts per fax number: in the store, on the server, printed, answered.
"$PY" - "$STORE" "$SPOOL" "$SINK" "$VOXAFAX_HOME/Out" "$W/folder-prints" "$((NEXT - 1))" \
    <<'PYEOF' >"$W/report"
import glob, hashlib, os, re, sys
store, spool, sink, out, prints, total = sys.argv[1:7]
def read(p):
    with open(p, "rb") as f:
        return f.read()
def numbers(paths, pattern):
    found = {}
    for p in paths:
        for n in set(re.findall(pattern, read(p))):
            found.setdefault(int(n), []).append(p)
    return found
stored = numbers([os.path.join(r, f) for r, _, fs in os.walk(store)
                  if os.path.basename(r) in ("new", "cur") for f in fs],
                 rb"(?m)^Subject: Fax (\d+) from ")
served = numbers(glob.glob(spool + "/new/*") + glob.glob(spool + "/cur/*"),
                 rb"<system-(\d+)@gateway.test>")
# A receipt is known by its Message-Id: the same one delivered again, or
# delivered and still queued, is SMTP's own window (a kill after the server
# took it and before its answer came); two different ones are a fault.
def receipt_id(data):
    m = re.search(rb"(?im)^Message-Id:\s*(\S+)", data)
    return m.group(1) if m else data
answered = {}
for n, paths in numbers(glob.glob(sink + "/new/*.eml") + glob.glob(out + "/*"),
                        rb"system-(\d+)@gateway.test").items():
    answered[n] = {receipt_id(read(p)) for p in paths}
pdfs = {}
for p in glob.glob(prints + "/*.pdf"):
    pdfs.setdefault(hashlib.sha256(read(p)).hexdigest(), []).append(p)
nums = range(1, int(total) + 1)
print("lost:", [n for n in nums if n not in stored and n not in served])
print("stored twice:", [n for n in nums if len(stored.get(n, [])) > 1])
print("stored and still served:", [n for n in nums if n in stored and n in served])
print("answered twice:", [n for n in nums if len(answered.get(n, [])) > 1])
print("printed twice:", sum(1 for v in pdfs.values() if len(v) > 1))
print("all stored:", all(n in stored for n in nums))
print("printed as many as stored:", len(pdfs) == len(stored))
PYEOF
cat "$W/report"
val() { sed -n "s|^$1: ||p" "$W/report"; }
check "no fax lost" eq "$(val lost)" "[]"
check "no fax stored twice" eq "$(val 'stored twice')" "[]"
check "no fax both stored and still on the server" eq "$(val 'stored and still served')" "[]"
check "no fax answered twice" eq "$(val 'answered twice')" "[]"
check "no fax printed twice" eq "$(val 'printed twice')" 0
check "every fax stored" eq "$(val 'all stored')" True
check "every stored fax printed" eq "$(val 'printed as many as stored')" True
echo "$failures failure(s)"
[ "$failures" = 0 ]
