#!/bin/bash
# voxafax web started as the socket unit starts it: the listening socket is
# handed over as descriptor 3 with LISTEN_FDS and LISTEN_PID. It serves that
# socket (not one of its own), takes its address for the Host check, and
# keeps the socket from the runs it starts.
set -u
B=${VOXAFAX_BINARY_DIR:?}
[ -x "$B/voxafax" ] || { echo "skip: build voxafax first"; exit 77; }
W=$(mktemp -d)
PID=
trap '[ -z "$PID" ] || kill "$PID" 2>/dev/null; rm -rf "$W"' EXIT
export VOXAFAX_HOME="$W/home" VOXAFAX_PROFILE="$W/cfg/voxafax.ini"
mkdir -p "$W/cfg"
printf '[VOXA-FAX]\nprint_status=Checking Inbox for 2 new VOXA-FAXes\nVFPrint=running\n' >"$VOXAFAX_PROFILE"
fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }

# What systemd does: bind, listen, then exec the service with the socket as fd 3.
/usr/bin/python3 - "$B/voxafax" "$W/port" "$W/out" "$W/err" <<'PYEOF' &
import os, socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
with open(sys.argv[2], "w") as f:
    f.write(str(s.getsockname()[1]))
if s.fileno() != 3:
    os.dup2(s.fileno(), 3)
os.set_inheritable(3, True)
os.environ["LISTEN_FDS"] = "1"
os.environ["LISTEN_PID"] = str(os.getpid())
out = os.open(sys.argv[3], os.O_WRONLY | os.O_CREAT, 0o600)
err = os.open(sys.argv[4], os.O_WRONLY | os.O_CREAT, 0o600)
os.dup2(out, 1)
os.dup2(err, 2)
os.execv(sys.argv[1], [sys.argv[1], "web"])
PYEOF
PID=$!
for _ in $(seq 1 50); do grep -q token= "$W/out" 2>/dev/null && break; sleep 0.1; done
PORT=$(cat "$W/port")
check "it serves the socket it was handed" "grep -q 'serving .* (socket unit) at http://127.0.0.1:$PORT/?token=' '$W/out'"
TOKEN=$(sed -n 's/.*token=//p' "$W/out")
check "voxafax web --url names the same token" \
    "\"\$B/voxafax\" web --url --port $PORT | grep -qxF 'http://127.0.0.1:$PORT/?token=$TOKEN'"
/usr/bin/python3 - "$PORT" "$TOKEN" >"$W/answers" <<'PYEOF'
import http.client, sys
port, token = int(sys.argv[1]), sys.argv[2]
def ask(path, headers=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.request("GET", path, headers=headers or {})
    r = c.getresponse()
    body = r.read().decode()
    return r.status, r.getheader("Set-Cookie") or "", body
s, cookie, _ = ask("/?token=" + token)
print("token", s)
s, _, body = ask("/", {"Cookie": cookie.split(";")[0]})
print("page", s, "Checking Inbox for 2 new VOXA-FAXes" in body)
print("localhost", ask("/", {"Cookie": cookie.split(";")[0], "Host": "localhost:%d" % port})[0])
PYEOF
check "the token opens a session" "grep -qx 'token 303' '$W/answers'"
check "Now shows the status keys" "grep -qx 'page 200 True' '$W/answers'"
check "localhost names it too" "grep -qx 'localhost 200' '$W/answers'"
# Close-on-exec: a run started from the pages does not hold the port.
flags=$(sed -n 's/^flags:[[:space:]]*//p' "/proc/$PID/fdinfo/3")
check "the socket is not left to children" "[ \$((0$flags & 02000000)) != 0 ]"
kill "$PID"
wait "$PID" 2>/dev/null
PID=
check "it ends on SIGTERM" "grep -q stopped '$W/out'"
[ "$fail" = 0 ] || { cat "$W/err"; cat "$W/answers"; }
exit $fail
