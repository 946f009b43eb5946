#!/bin/bash
# voxafax web in headless Chromium, against a store that real runs filled:
# Dovecot POP3, an SMTP sink, a folder printer. Now after a failed run and a
# good one; "Get faxes now" until the faxes show in Faxes with thumbnails; a
# fax's pages; receipts queued while the SMTP server was down, sent again
# from Receipts; a reprint that makes the fax's PDFs once more and leaves the
# store as it was; requests without the token or from another origin refused.
# Screenshots go to $VOXAFAX_WEB_SHOTS (default build/web-screens); with
# VOXAFAX_WEB_DOCS=1 they are also copied into docs/web/ for USING.md.
set -u
. "$(dirname "$0")/system_peers.bash"
sys_require
[ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ] ||
    sys_skip "chromium and chromium-driver not installed"
"$PY" -c 'import selenium' 2>/dev/null || sys_skip "python3-selenium not installed"
W=$(mktemp -d /tmp/vfweb.XXXXXX)
WEB_PID= SLOW_PID=
trap 'for p in $WEB_PID $SLOW_PID; do kill "$p" 2>/dev/null; done; sys_stop; [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"' EXIT
sys_start "$W" || exit 1
sys_configure "Fax Folder"
export VOXAFAX_SMTP_PORT=$SMTP_PORT
SHOTS=${VOXAFAX_WEB_SHOTS:-$B/web-screens}
rm -rf "$SHOTS"
DRIVE="$SRC/tests/scripts/web_browser.py"
pop_port() { printf '[pop3]\nport = %s\n' "$1" >"$W/cfg/options.ini"; }

# A failed run first: nothing listens on the POP3 port it is given.
pop_port "$(free_port)"
timeout 120 "$B/voxafax-print" /0 </dev/null >/dev/null 2>"$W/failed.err"
check "a run against a closed POP3 port ends with status 5" eq "$?" 5
failed_pid=$(sed -n 's/^pid = //p' "$VOXAFAX_HOME/last-run.ini")

"$B/voxafax" web >"$W/web.out" 2>"$W/web.err" &
WEB_PID=$!
for _ in $(seq 1 50); do grep -q 'token=' "$W/web.out" && break; sleep 0.1; done
URL=$(sed -n 's/^voxafax web: serving .* at //p' "$W/web.out")
check "voxafax web prints its address with a token" test -n "$URL"
[ -n "$URL" ] || { cat "$W/web.err"; exit 1; }
check "it listens on loopback" grep -q '^http://127\.0\.0\.1:[0-9]*/?token=' <<<"$URL"

check "Now after the failed run" "$PY" "$DRIVE" "$URL" "$SHOTS" failed-run

# Requests that must be refused, made without a browser.
check "requests without the token, with a wrong one, from another origin or host are refused" \
    "$PY" - "$URL" <<'PYEOF'
import http.client, sys, urllib.parse
u = urllib.parse.urlsplit(sys.argv[1])
token = urllib.parse.parse_qs(u.query)["token"][0]
def ask(method, path, headers=None, body=None):
    c = http.client.HTTPConnection(u.hostname, u.port, timeout=10)
    c.request(method, path, body=body, headers=headers or {})
    r = c.getresponse()
    r.read()
    return r.status, r.getheader("Set-Cookie") or ""
bad = 0
def want(what, got, status):
    global bad
    ok = got == status
    print(("     ok " if ok else "     FAIL ") + what + ": " + str(got))
    bad += not ok
want("no token", ask("GET", "/")[0], 401)
want("no token, POST", ask("POST", "/run", {"Content-Type": "application/x-www-form-urlencoded"}, "csrf=x")[0], 401)
want("wrong token", ask("GET", "/?token=" + "0" * len(token))[0], 403)
status, cookie = ask("GET", "/?token=" + token)
want("the token", status, 303)
cookie = cookie.split(";")[0]
want("the cookie", ask("GET", "/receipts", {"Cookie": cookie})[0], 200)
want("another host name (DNS rebinding)", ask("GET", "/", {"Cookie": cookie, "Host": "rebound.example:%d" % u.port})[0], 421)
want("a POST from another origin", ask("POST", "/run", {"Cookie": cookie, "Origin": "http://evil.example",
     "Content-Type": "application/x-www-form-urlencoded"}, "csrf=x")[0], 403)
want("a POST without the anti-forgery value", ask("POST", "/run", {"Cookie": cookie,
     "Content-Type": "application/x-www-form-urlencoded"}, "")[0], 403)
sys.exit(1 if bad else 0)
PYEOF
check "nothing was started by the refused requests" \
    eq "$(sed -n 's/^pid = //p' "$VOXAFAX_HOME/last-run.ini")" "$failed_pid"

# Two faxes wait on the server; the SMTP server is down, so their receipts
# wait in Out/. The run reaches the server through a forwarder that holds
# each connection for a second and a half first: long enough for the page
# to show more than one of the run's status texts, however fast the rest
# of the run is.
SLOW_PORT=$(free_port)
"$PY" - "$SLOW_PORT" "$POP_PORT" <<'PYEOF' &
import socket, sys, threading, time
listen, target = int(sys.argv[1]), int(sys.argv[2])
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", listen))
server.listen(8)
def pipe(a, b):
    try:
        while True:
            data = a.recv(65536)
            if not data:
                break
            b.sendall(data)
    except OSError:
        pass
    for x in (a, b):
        try:
            x.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
while True:
    client, _ = server.accept()
    time.sleep(1.5)
    upstream = socket.create_connection(("127.0.0.1", target))
    for a, b in ((client, upstream), (upstream, client)):
        threading.Thread(target=pipe, args=(a, b), daemon=True).start()
PYEOF
SLOW_PID=$!
pop_port "$SLOW_PORT"
"$PEERS/smtp-sink-stop.sh" "$W/smtp" >/dev/null
sys_faxes 2 || exit 1
check "Get faxes now: the run, then Faxes with thumbnails" \
    "$PY" "$DRIVE" "$URL" "$SHOTS" get-faxes 2
check "the faxes are filed" eq "$(nfiles "$STORE/.VOXA-FAXes.Printed/cur" "$STORE/.VOXA-FAXes.Printed/new")" 2
check "their receipts wait in Out/" eq "$(nfiles "$VOXAFAX_HOME/Out")" 2
check "thumbnails are cached in the program folder" test -n "$(ls "$VOXAFAX_HOME/web-cache" 2>/dev/null)"
check "a fax's page shows its pages and report" "$PY" "$DRIVE" "$URL" "$SHOTS" fax

check "Receipts lists them" "$PY" "$DRIVE" "$URL" "$SHOTS" receipts 2
"$PEERS/smtp-sink-start.sh" "$W/smtp" "$SINK" "$SMTP_PORT" >/dev/null || exit 1
check "Send again now" "$PY" "$DRIVE" "$URL" "$SHOTS" send-again
check "the SMTP server got both receipts" eq "$(ls "$SINK"/new/*.eml 2>/dev/null | wc -l)" 2
check "nothing waits in Out/ any more" eq "$(nfiles "$VOXAFAX_HOME/Out")" 0

# A reprint prints the fax as the run did and changes nothing in the store:
# no flag, no move, no mark, no receipt.
snapshot() { (cd "$STORE" && find . -type f ! -path './tmp/*' -exec md5sum {} + | sort); }
before=$(snapshot)
pdfs_before=$(nfiles "$W/folder-prints")
check "Reprint" "$PY" "$DRIVE" "$URL" "$SHOTS" reprint
pdfs_after=$(nfiles "$W/folder-prints")
# The newest fax has one image and its header page is held back (no text_pages).
check "the reprint made the fax's one PDF once more" eq "$pdfs_after" $((pdfs_before + 1))
check "the store is as it was" eq "$(snapshot)" "$before"
check "no receipt was sent for the reprint" eq "$(ls "$SINK"/new/*.eml 2>/dev/null | wc -l)" 2

kill "$WEB_PID"
wait "$WEB_PID" 2>/dev/null
WEB_PID=
check "voxafax web ends on SIGTERM" grep -q 'stopped' "$W/web.out"
if [ "${VOXAFAX_WEB_DOCS:-}" = 1 ]; then
    mkdir -p "$SRC/docs/web"
    for p in now faxes fax receipts; do cp "$SHOTS/$p.png" "$SRC/docs/web/$p.png"; done
fi
if [ "$failures" != 0 ]; then
    echo "--- voxafax web stderr"; cat "$W/web.err"
    echo "--- profile"; cat "$PROFILE"
    ls -R "$VOXAFAX_HOME" | head -40
fi
echo "screenshots: $SHOTS"
echo "$failures failure(s)"
[ "$failures" = 0 ]
