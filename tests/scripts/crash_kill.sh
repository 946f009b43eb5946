#!/bin/bash
# Crash safety: voxafax-print is killed with SIGKILL in each of many runs over
# a mailbox that keeps receiving faxes (Dovecot POP3, an SMTP sink, a folder
# printer), in turn: at a random moment; right after a PDF is held under a
# hidden name, before its batch is recorded; while it prints a fax that has an
# attachment it cannot print (so that the fax is unprintable); and as that
# fax's "Failed" receipt is made and sent. Then two profiles on the same
# mailbox and store run at once, round after round, and one run may finish.
# Afterwards every fax must be in the store exactly once or still on the
# server, filed under its verdict (Unprintable for those with the bad
# attachment), printed exactly once and answered exactly once ("Failed" for
# the unprintable ones), no message file and no PDF half-written, and the
# profile file and account.ini must parse. The program runs as nobody; the
# peers as root.
#   VOXAFAX_CRASH_ROUNDS (30), VOXAFAX_CRASH_MAX_MS (longest delay before the
#   kill; default: 1.2 x a measured full run), VOXAFAX_CRASH_SEED.
set -u
. "$(dirname "$0")/system_peers.bash"
sys_require
command -v setpriv >/dev/null || sys_skip "setpriv (util-linux) not installed"
W=$(mktemp -d /tmp/vfcrash.XXXXXX)
trap 'sys_stop; [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"' EXIT
sys_start "$W" || exit 1
export VOXAFAX_POP3_PORT=$POP_PORT VOXAFAX_SMTP_PORT=$SMTP_PORT
sys_configure "Fax Folder"
mkdir -p "$STORE" "$W/folder-prints"
chown -R nobody "$W/home" "$W/cfg" "$STORE" "$W/folder-prints"
ROUNDS=${VOXAFAX_CRASH_ROUNDS:-30}
RANDOM=${VOXAFAX_CRASH_SEED:-$$}
echo "seed ${VOXAFAX_CRASH_SEED:-$$}"

# launch MODE VALUE DELAY_US: one run as nobody, killed (SIGKILL) after VALUE
# ms (MODE time), DELAY_US after the VALUE-th new PDF (MODE pdf; PDFs are
# named once their batch is recorded), DELAY_US after the VALUE-th PDF held
# under a hidden name before that (MODE held) or DELAY_US after the VALUE-th
# new receipt file appears in Out/, hidden ones included (MODE receipt),
# unless it ends first. Prints "killed" or "ended".
cat >"$W/launch.py" <<'PYEOF'
import os, subprocess, sys, time
mode, value, delay, pdfdir, log = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
cmd = sys.argv[6:]
outdir = os.path.join(os.environ["VOXAFAX_HOME"], "Out")
seen = set()  # names ever seen in Out/: a receipt sent at once is there only briefly
def pdfs():
    try:
        if mode == "receipt":
            seen.update(os.listdir(outdir))
            return len(seen)
        if mode == "held":
            seen.update(n for n in os.listdir(pdfdir) if n.endswith(".held"))
            return len(seen)
        return sum(1 for n in os.listdir(pdfdir) if n.endswith(".pdf"))
    except OSError:
        return len(seen)
with open(log, "ab") as out:
    before = pdfs()
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    if mode == "time":
        try:
            p.wait(timeout=value / 1000.0)
        except subprocess.TimeoutExpired:
            pass
    else:
        while p.poll() is None and pdfs() < before + value:
            time.sleep(0.0002)
        time.sleep(delay / 1e6)
    killed = p.poll() is None
    if killed:
        p.kill()
    p.wait()
print("killed" if killed else "ended")
PYEOF
AS_NOBODY=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
launch() { "$PY" "$W/launch.py" "$1" "$2" "$3" "$W/folder-prints" "$W/runs.log" "${AS_NOBODY[@]}" "$B/voxafax-print" /0; }

NEXT=1
# add_faxes COUNT [bad]: fresh faxes, numbered on from the last ones; with
# "bad", each has a second attachment that is no image, which makes it
# unprintable (its number goes to $W/unprintable).
add_faxes() {
    local i n extra=()
    [ "${2:-}" = bad ] && extra=("$W/mails/bad.tif")
    for i in $(seq 1 "$1"); do
        n=$NEXT
        NEXT=$((NEXT + 1))
        [ "${2:-}" = bad ] && echo "$n" >>"$W/unprintable"
        "$B/tools/make_fax_tiff" "$W/mails/$n.tif" --pages $((n % 3 + 1)) --title "Fax $n" >/dev/null &&
            "$PY" "$SRC/tests/scripts/mkfax.py" --mail "$W/mails/fax$n.eml" "$n" fax1@127.0.0.1 \
                "gateway$n@localhost" "$W/mails/$n.tif" "${extra[@]}" &&
            "$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/mails/fax$n.eml" || return 1
    done
}
mkdir -p "$W/mails"
echo "this is no image" >"$W/mails/bad.tif"
touch "$W/unprintable"

# How long a whole run over three faxes takes here: the kills spread over it.
add_faxes 3 || exit 1
t0=$(date +%s%N)
timeout 300 "${AS_NOBODY[@]}" "$B/voxafax-print" /0 </dev/null >>"$W/runs.log" 2>&1
full_ms=$((($(date +%s%N) - t0) / 1000000))
MAX_MS=${VOXAFAX_CRASH_MAX_MS:-$((full_ms * 12 / 10 + 50))}
echo "a full run over 3 faxes: ${full_ms} ms; kills within 0..${MAX_MS} ms"

killed=0
for round in $(seq 1 "$ROUNDS"); do
    added=$((RANDOM % 3 + 1))
    case $((round % 4)) in
    1)
        add_faxes "$added" || exit 1
        ms=$((RANDOM % (MAX_MS + 1)))
        how="at $ms ms"
        outcome=$(launch time "$ms" 0)
        ;;
    2)
        add_faxes "$added" || exit 1
        k=$((RANDOM % added + 1))
        us=$((RANDOM % 3000))
        how="$us us after held PDF $k"
        outcome=$(launch held "$k" "$us")
        ;;
    3)
        add_faxes "$added" bad || exit 1
        k=$((RANDOM % added + 1))
        us=$((RANDOM % 3000))
        how="$us us after PDF $k of unprintable faxes"
        outcome=$(launch pdf "$k" "$us")
        ;;
    0)
        add_faxes "$added" bad || exit 1
        k=$((RANDOM % added + 1))
        us=$((RANDOM % 20000))
        how="$us us into Failed receipt $k"
        outcome=$(launch receipt "$k" "$us")
        ;;
    esac
    [ "$outcome" = killed ] && killed=$((killed + 1))
    printf 'round %2d: kill %s: %s, status: %s\n' "$round" "$how" "$outcome" "$(ini_key "$PROFILE" print_status)"
done
echo "$killed of $ROUNDS runs were killed before they ended"

# Two profiles on the same mailbox and store (an account copied with its
# configuration), started together: a second program folder, the same store
# and printer. What became of a fax is kept in the program folder of the run
# that began it, so the killed runs' faxes are finished first.
timeout 300 "${AS_NOBODY[@]}" "$B/voxafax-print" /0 </dev/null >>"$W/runs.log" 2>&1
H2="$W/home2"
mkdir -p "$W/cfg2" "$H2"
cp "$W/cfg/stores.ini" "$W/cfg/printers.ini" "$W/cfg2/"
grep -v '^\(print_status\|last_error\|VFPrint\|printing\|session\|totals\)=' "$PROFILE" >"$W/cfg2/voxafax.ini"
chown -R nobody "$W/cfg2" "$H2"
pair=""
for round in 1 2 3; do
    add_faxes 2 || exit 1
    add_faxes 1 bad || exit 1
    timeout 300 "${AS_NOBODY[@]}" "$B/voxafax-print" /0 </dev/null >>"$W/runs.log" 2>&1 &
    first=$!
    VOXAFAX_HOME="$H2" VOXAFAX_PROFILE="$W/cfg2/voxafax.ini" \
        timeout 300 "${AS_NOBODY[@]}" "$B/voxafax-print" /0 </dev/null >>"$W/runs.log" 2>&1
    second=$?
    wait "$first"
    pair="$pair $?/$second"
done
echo "two profiles at once, exit statuses:$pair"

# The last run may finish.
timeout 300 "${AS_NOBODY[@]}" "$B/voxafax-print" /0 </dev/null >>"$W/runs.log" 2>&1
check "the last run ends" eq "$(ini_key "$PROFILE" VFPrint)" quit
check "the last run has no error" eq "$(ini_key "$PROFILE" last_error)" ""
sleep 1  # the sink writes each message as it acknowledges it

"$PY" - "$W" "$STORE" "$SPOOL" "$SINK" "$VOXAFAX_HOME" "$((NEXT - 1))" "$PROFILE" "$H2" <<'PYEOF' >"$W/report"
import configparser, email, email.policy, glob, os, re, sys
w, store, spool, sink, home, total, profile, home2 = sys.argv[1:9]
total = int(total)
unprintable = {int(l) for l in open(os.path.join(w, "unprintable")) if l.strip()}
problems = []

def read(path):
    with open(path, "rb") as f:
        return f.read()

# Store: every message file parses; count the faxes per number.
in_store = {}
unparsable = []
for root, dirs, files in os.walk(store):
    if os.path.basename(root) not in ("cur", "new"):
        continue
    for name in files:
        path = os.path.join(root, name)
        data = read(path)
        msg = email.message_from_bytes(data, policy=email.policy.compat32)
        m = re.match(r"Fax (\d+) from ", msg["Subject"] or "")
        complete = b"\n\n" in data and msg["From"] and m and not msg.defects
        if complete:
            for part in msg.walk():
                part.get_payload(decode=True)
            ends = [l for l in data.splitlines() if l.startswith(b"--") and l.rstrip().endswith(b"--")]
            complete = bool(ends)  # the closing boundary: the file was written whole
        if not complete:
            unparsable.append(path)
            continue
        folder = os.path.basename(os.path.dirname(root)) if root != os.path.join(store, name) else ""
        in_store.setdefault(int(m.group(1)), []).append(os.path.relpath(root, store))
stray_tmp = len(glob.glob(os.path.join(store, "**", "tmp", "*"), recursive=True))

on_server = {}
for path in glob.glob(os.path.join(spool, "new", "*")) + glob.glob(os.path.join(spool, "cur", "*")):
    m = re.search(rb"<system-(\d+)@gateway.test>", read(path))
    if m:
        on_server[int(m.group(1))] = on_server.get(int(m.group(1)), 0) + 1

# A receipt is known by its Message-Id. The same receipt delivered twice is
# SMTP's own window: a kill after the server took the message but before its
# answer arrived leaves the client no way to know, so the next run sends it
# again. Two different receipts for one fax are a fault.
def receipt_id(data):
    m = re.search(rb"(?im)^Message-Id:\s*(\S+)", data)
    return m.group(1) if m else data

receipts, deliveries = {}, {}
failed = set()
for path in glob.glob(os.path.join(sink, "new", "*.eml")):
    data = read(path)
    for n in set(re.findall(rb"system-(\d+)@gateway.test", data)):
        receipts.setdefault(int(n), set()).add(receipt_id(data))
        deliveries[int(n)] = deliveries.get(int(n), 0) + 1
        if re.search(rb"(?im)^Disposition:.*;\s*failed", data):
            failed.add(int(n))
queued = {}
for path in glob.glob(os.path.join(home, "Out", "*")) + glob.glob(os.path.join(home2, "Out", "*")):
    data = read(path)
    for n in set(re.findall(rb"system-(\d+)@gateway.test", data)):
        queued.setdefault(int(n), set()).add(receipt_id(data))

missing, twice, both = [], [], []
for n in range(1, total + 1):
    s, v = len(in_store.get(n, [])), on_server.get(n, 0)
    if s == 0 and v == 0:
        missing.append(n)
    elif s > 1:
        twice.append((n, in_store[n]))
    elif s == 1 and v > 0:
        both.append(n)
no_receipt = [n for n in in_store if n not in receipts and n not in queued]
many_receipts = sorted((n, len(ids | queued.get(n, set())))
                       for n, ids in receipts.items() if len(ids | queued.get(n, set())) > 1)
many_receipts += sorted((n, len(ids)) for n, ids in queued.items() if n not in receipts and len(ids) > 1)
resent = sorted(n for n, c in deliveries.items() if c > len(receipts[n]))

def ini_ok(path):
    try:
        text = read(path).decode("latin-1")
        p = configparser.ConfigParser(strict=False, interpolation=None)
        p.read_string(text)
        return text.endswith("\n")
    except Exception as e:
        return False

pdfs = glob.glob(os.path.join(w, "folder-prints", "*"))
bad_pdfs = [p for p in pdfs if not p.endswith(".pdf") or os.system("pdfinfo '%s' >/dev/null 2>&1" % p) != 0]
# A fax's PDF is the same bytes each time it is printed (its fax data goes
# in unchanged), and no two faxes look alike: equal files are a fax printed
# twice.
import hashlib
by_digest = {}
for p in pdfs:
    by_digest.setdefault(hashlib.sha256(read(p)).hexdigest(), []).append(os.path.basename(p))
printed_twice = sorted(names for names in by_digest.values() if len(names) > 1)
# Every fax has one image that prints, the unprintable ones too.
filed = sum(1 for where in in_store.values() if where[0] not in ("cur", "new"))

print("faxes sent to the mailbox: %d" % total)
print("in the store once: %d; still on the server only: %d" %
      (sum(1 for n in range(1, total + 1) if len(in_store.get(n, [])) == 1),
       sum(1 for n in range(1, total + 1) if not in_store.get(n) and on_server.get(n))))
print("STAT lost (neither in the store nor on the server): %s" % missing)
print("STAT in the store more than once: %s" % twice)
print("STAT in the store and still on the server: %s" % both)
print("STAT half-written message files in the store: %s" % unparsable)
print("INFO stray files in the store's tmp/ folders: %d" % stray_tmp)
print("STAT filed without a receipt at the sink or in Out/: %s" % sorted(no_receipt))
print("STAT answered more than once (sent or queued): %s" % many_receipts)
print("INFO the same receipt delivered again after a kill during its delivery: %s" % resent)
print("STAT printed more than once: %s" % printed_twice)
print("STAT faxes printed and faxes filed: %d %d" % (len(by_digest), filed))
printed = {n for n, where in in_store.items() if any(".Printed" in x for x in where)}
print("STAT answered Failed though printed: %s" % sorted(failed & printed))
wrong = sorted(n for n, where in in_store.items() if len(where) == 1 and
               (".Unprintable" in where[0]) != (n in unprintable) and where[0] not in ("cur", "new"))
print("STAT filed under the wrong verdict: %s" % wrong)
print("STAT left in the inbox: %s" % sorted(n for n, where in in_store.items() if where[0] in ("cur", "new")))
print("STAT unprintable but not answered Failed: %s" %
      sorted(n for n in unprintable if n in receipts and n not in failed))
print("INFO receipts still in Out/: %d" % len(glob.glob(os.path.join(home, "Out", "*"))))
print("INFO files left in In/: %d" % len(glob.glob(os.path.join(home, "In", "*"))))
print("STAT profile file parses: %s" % ini_ok(profile))
print("STAT account.ini parses: %s" % ini_ok(os.path.join(home, "account.ini")))
print("STAT PDFs that do not parse: %s" % bad_pdfs)
print("INFO PDFs printed: %d" % len(pdfs))
PYEOF
cat "$W/report"
val() { sed -n "s|^STAT $1: ||p" "$W/report"; }
check "no fax lost" eq "$(val 'lost (neither in the store nor on the server)')" "[]"
check "no fax filed twice" eq "$(val 'in the store more than once')" "[]"
check "no fax both filed and still on the server" eq "$(val 'in the store and still on the server')" "[]"
check "no half-written message file" eq "$(val 'half-written message files in the store')" "[]"
check "every filed fax has its receipt" eq "$(val "filed without a receipt at the sink or in Out/")" "[]"
check "no printed fax answered as failed" eq "$(val 'answered Failed though printed')" "[]"
check "every fax filed under its verdict" eq "$(val 'filed under the wrong verdict')" "[]"
check "no fax left in the inbox" eq "$(val 'left in the inbox')" "[]"
check "every unprintable fax answered Failed" eq "$(val 'unprintable but not answered Failed')" "[]"
check "no fax printed twice" eq "$(val 'printed more than once')" "[]"
check "no fax answered twice" eq "$(val 'answered more than once (sent or queued)')" "[]"
pf=$(val 'faxes printed and faxes filed')
check "as many faxes printed as filed" eq "${pf% *}" "${pf#* }"
check "the profile file parses" eq "$(val 'profile file parses')" True
check "account.ini parses" eq "$(val 'account.ini parses')" True
check "no half-written PDF" eq "$(val 'PDFs that do not parse')" "[]"
echo "$failures failure(s)"
[ "$failures" = 0 ]
