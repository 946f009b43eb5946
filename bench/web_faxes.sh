#!/usr/bin/env bash
# The Faxes page of voxafax web over a store with N filed faxes (default
# 1,000 one-page G4 faxes in VOXA-FAXes/Printed): the time from the request
# to the page's HTML, and to the HTML with the 25 thumbnails of its first
# page, first with an empty picture cache, then again with the cache filled;
# then the weight of each page (bytes of HTML, and of the style sheet, the
# script and one thumbnail they load).
#   bench/web_faxes.sh [N]        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
n=${1:-1000}
bench_build voxafax make_fax_tiff
bench_workdir

d="$W/web"
mkdir -p "$d/home" "$d/cfg"
printf '[Fax Store]\nmaildir = %s\n' "$d/store" >"$d/cfg/stores.ini"
printf '[Fax PDF]\ndirectory = %s\n' "$d/prints" >"$d/cfg/printers.ini"
printf '[VOXA-FAX]\nVoxa_Fax_Addr=fax1@127.0.0.1\nPrinter_Type=Fax PDF\nVoxaFax_Profile=Fax Store\n' \
    >"$d/cfg/voxafax.ini"
# Filed as a run files them: the messages of the folder VOXA-FAXes/Printed.
"$PY" "$BENCH_SRC/bench/corpus.py" --maildir "$BENCH_BUILD/tools/make_fax_tiff" \
    "$d/store/.VOXA-FAXes.Printed" "$n"
mkdir -p "$d/store/"{cur,new,tmp} "$d/store/.VOXA-FAXes/"{cur,new,tmp}
sync

export VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini"
"$BENCH_BUILD/voxafax" web >"$d/web.out" 2>"$d/web.err" &
web=$!
bench_on_exit "kill $web 2>/dev/null"
for _ in $(seq 1 100); do grep -q token= "$d/web.out" && break; sleep 0.1; done
url=$(sed -n 's/^voxafax web: serving .* at //p' "$d/web.out")
[ -n "$url" ] || bench_die "voxafax web did not start: $(cat "$d/web.err")"

echo "voxafax web, Faxes page over $n filed faxes (25 to a page, one thumbnail each)"
"$PY" - "$url" <<'PYEOF'
import http.client, re, sys, time, urllib.parse
u = urllib.parse.urlsplit(sys.argv[1])
def ask(path, cookie=""):
    c = http.client.HTTPConnection(u.hostname, u.port, timeout=120)
    c.request("GET", path, headers={"Cookie": cookie} if cookie else {})
    r = c.getresponse()
    body = r.read()
    return r.status, r.getheader("Set-Cookie") or "", body
_, cookie, _ = ask("/?" + u.query)
cookie = cookie.split(";")[0]
def render():
    t0 = time.monotonic()
    status, _, html = ask("/faxes", cookie)
    t1 = time.monotonic()
    thumbs = re.findall(rb'src="(/picture[^"]*)"', html)
    for t in thumbs:
        ask(t.decode().replace("&amp;", "&"), cookie)
    t2 = time.monotonic()
    return status, len(thumbs), (t1 - t0) * 1000, (t2 - t0) * 1000, html
for label in ("first visit, empty cache", "second visit, cache filled"):
    status, k, html_ms, all_ms, html = render()
    print("  %-28s HTML %6.0f ms   HTML + %d thumbnails %6.0f ms  (status %d)" % (label, html_ms, k, all_ms, status))
first = re.search(rb'href="(/fax\?id=[^"]*)"', html).group(1).decode().replace("&amp;", "&")
thumb = re.search(rb'src="(/picture[^"]*)"', html).group(1).decode().replace("&amp;", "&")
print("page weights (bytes):")
for name, path in (("Now", "/"), ("Faxes", "/faxes"), ("a fax (Reprint)", first),
                   ("Receipts", "/receipts"), ("style.css", "/style.css"), ("app.js", "/app.js"),
                   ("one thumbnail", thumb), ("one page picture", thumb.replace("s=small", "s=large"))):
    print("  %-18s %8d" % (name, len(ask(path, cookie)[2])))
PYEOF
