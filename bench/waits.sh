#!/usr/bin/env bash
# Waits cost no CPU: one whole run (voxafax-print /0) against a POP3 server
# that accepts the connection and never says a word, with short timer ticks
# (VOXAFAX_TICK_MS=1000) so that the wait lasts seconds. Prints the wall
# time, the program's CPU time and how many times it polled: a wait is one
# poll() per timer tick, never a spin.
#   bench/waits.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need strace /usr/bin/time
bench_build voxafax-print
bench_workdir

port_file="$W/port"
"$PY" - "$port_file" <<'PYEOF' &
import os, socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(s.getsockname()[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
held = []
while True:
    held.append(s.accept()[0])  # kept open, never answered
PYEOF
bench_on_exit "kill $!"
for _ in $(seq 1 100); do [ -s "$port_file" ] && break; sleep 0.05; done
POP_PORT=$(cat "$port_file")

# run [strace...]: one run against the silent server (a fresh program folder).
run() {
    bench_profile "$d"
    VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini" VOXAFAX_POP3_PORT=$POP_PORT \
        VOXAFAX_ANSWERS=no "$@" "$BENCH_BUILD/voxafax-print" /0 </dev/null >/dev/null 2>"$d/stderr" || true
}
d="$W/ours"
export VOXAFAX_TICK_MS=1000
# CPU from a run of its own: strace would add its own.
run /usr/bin/time -f "%e %U %S" -o "$W/time"
read -r wall user sys < <(tail -n 1 "$W/time")
awk -v w="$wall" 'BEGIN { exit !(w >= 1) }' || bench_die "the run did not wait (${wall} s); see $d/stderr"
run strace -f -c -o "$W/polls" \
    -e trace=poll,ppoll,epoll_wait,epoll_pwait,select,pselect6,nanosleep,clock_nanosleep
polls=$(awk '$NF == "total" { print $4 }' "$W/polls")
cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
echo "waits: a POP3 server that never answers, timer ticks of 1 s"
echo "  $wall s waiting, CPU $cpu s; $polls polls and sleeps (a second run, under strace)"
bench_row_head
bench_row "Waits (CPU s / wall s)" "$cpu / $wall, $polls polls" "" "" "no CPU, a poll per tick"
