#!/bin/bash
# Kills in the windows of the POP3 session, made certain rather than left to
# chance, against a real Dovecot; the seed (VOXAFAX_CRASH_SEED, else the clock)
# picks the moments within them:
#   1. during the download: once the k-th message is whole in In/.pop/ while
#      later, larger ones are still coming and QUIT has not been sent;
#   2. after a partial session's delivery: a message the server cannot read
#      ends the session, and the run is killed as the messages before it
#      reach In/;
#   3. during a pass-over: once that message has failed three times, the run
#      that passes it over is killed as the fax behind it is staged;
#   4. after a durable batch before QUIT: the run is killed once the first 64
#      of 71 messages are stored for good while the download goes on.
# Afterwards every fax is filed, printed and answered exactly once, and the
# unreadable message is still on the server.
set -u
. "$(dirname "$0")/system_peers.bash"
sys_require
SEED=${VOXAFAX_CRASH_SEED:-$(($(date +%s) % 32768))}
RANDOM=$SEED
echo "seed $SEED"
W=$(mktemp -d /tmp/vfcrash.XXXXXX)
trap 'sys_stop; [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"' EXIT
sys_start "$W" || exit 1
export VOXAFAX_POP3_PORT=$POP_PORT VOXAFAX_SMTP_PORT=$SMTP_PORT
sys_configure "Fax Folder"
mkdir -p "$W/mails"

# fax N PAGES: the mail of fax N, with one TIFF of PAGES pages.
fax() {
    "$B/tools/make_fax_tiff" "$W/mails/$1.tif" --pages "$2" --title "Fax $1" >/dev/null
    "$PY" "$SRC/tests/scripts/mkfax.py" --mail "$W/mails/fax$1.eml" "$1" fax1@127.0.0.1 \
        "gateway$1@localhost" "$W/mails/$1.tif"
}
serve() { "$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/mails/fax$1.eml"; }

# kill_when TEST: a run killed (SIGKILL) as soon as TEST succeeds; false
# when the run ended first.
kill_when() {
    "$B/voxafax-print" /0 </dev/null >>"$W/runs.log" 2>&1 &
    local pid=$! i
    for i in $(seq 1 12000); do
        "$@" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.005
    done
    kill -9 "$pid" 2>/dev/null && killed=yes || killed=no
    wait "$pid" 2>/dev/null
    [ "$killed" = yes ]
}
run() { timeout 300 "$B/voxafax-print" /0 </dev/null >"$W/last.log" 2>&1; cat "$W/last.log" >>"$W/runs.log"; }
staged() { [ "$(find "$VOXAFAX_HOME/In/.pop" -name '*.TXT' 2>/dev/null | wc -l)" -ge "$1" ]; }
delivered() { [ -n "$(find "$VOXAFAX_HOME/In" -maxdepth 1 -name '*.TXT' 2>/dev/null)" ]; }
learnt=0

# 1. During the download.
fax 1 1
for n in 2 3 4; do fax $n 60; done
for n in 1 2 3 4; do serve $n; done
k=$((1 + RANDOM % 3))
if kill_when staged "$k"; then learnt=$((learnt + 1)); fi
echo "window 1: killed with $k message(s) staged: $killed"
run

# 2. After a partial session's delivery. Fax 6 is listed by Dovecot (its
#    sizes are in its name) but cannot be read, so RETR 6 is refused.
for n in 5 6 7; do fax $n 20; done
serve 5
sleep 1.1
size=$(stat -c %s "$W/mails/fax6.eml")
bad="$(date +%s).unreadable.6,S=$size,W=$((size + $(grep -c '' "$W/mails/fax6.eml")))"
cp "$W/mails/fax6.eml" "$SPOOL/new/$bad"
chmod 000 "$SPOOL/new/$bad"
sleep 1.1
serve 7
if kill_when delivered; then learnt=$((learnt + 1)); fi
echo "window 2: killed as the partial session's messages reached In/: $killed"

# 3. During the pass-over: runs until fax 6 has failed three times, then the
#    run that passes it over is killed once fax 7 is whole in In/.pop/.
for _ in 1 2 3 4; do
    grep -q "failure 3 in a row" "$W/last.log" && break
    run
done
if kill_when staged 1; then learnt=$((learnt + 1)); fi
echo "window 3: killed during the pass-over: $killed"

# 4. A durable batch before QUIT: 70 small faxes and a long one behind them;
#    the early-conversion journal lists a batch's messages once it is synced.
for n in $(seq 8 77); do fax "$n" 1; done
fax 78 120
for n in $(seq 8 78); do serve "$n"; done
listed() { [ "$(grep -c '' "$VOXAFAX_HOME/In/.converting-early" 2>/dev/null)" -ge 64 ] 2>/dev/null; }
if kill_when listed; then learnt=$((learnt + 1)); fi
echo "window 4: killed after a durable batch of the session: $killed" \
    "($(nfiles "$SPOOL/new" "$SPOOL/cur") messages still on the server)"
[ "$learnt" -gt 0 ] || { echo "every run ended before it could be killed; nothing learnt"; exit 77; }

run
run
faxes=(1 2 3 4 5 $(seq 7 78))
check "the last run ends" eq "$(ini_key "$PROFILE" VFPrint)" quit
check "only the unreadable message is left on the server" eq "$(nfiles "$SPOOL/new" "$SPOOL/cur")" 1
check "every stored message parses" sys_store_parses "$STORE"
got=$(sys_subjects .VOXA-FAXes.Printed | sed 's/ from .*//' | tr '\n' '|')
want=$(printf 'Fax %s\n' "${faxes[@]}" | sort | tr '\n' '|')
check "each fax filed exactly once" eq "$got" "$want"
check "each fax printed exactly once" eq "$(find "$W/folder-prints" -name '*.pdf' | wc -l)" "${#faxes[@]}"
for n in "${faxes[@]}"; do
    check "fax $n answered exactly once" \
        eq "$(grep -l "gateway$n@localhost" "$SINK"/new/*.json 2>/dev/null | wc -l)" 1
done
check "nothing left staged" eq "$(find "$VOXAFAX_HOME/In" -name '*.TXT' -o -name '*.part' | wc -l)" 0
echo "$failures failure(s)"
[ "$failures" = 0 ]
