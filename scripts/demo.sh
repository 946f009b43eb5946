#!/usr/bin/env bash
# A demo round on a built-in default: private POP3 (Dovecot) and SMTP servers
# on loopback, a mailbox of sample faxes, a folder printer; one run of
# voxafax-print /0 through `voxafax run`, which shows its progress as it
# happens; then what happened, in words. Every server it starts is stopped.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target voxafax-print voxafax make_fax_tiff >/dev/null

W=$(mktemp -d /tmp/voxafax-demo.XXXXXX)
chmod 755 "$W"   # Dovecot serves the mailbox as user "mail"
cleanup() {
  bash "$ROOT/peers/smtp-sink-stop.sh" "$W/smtp" >/dev/null 2>&1 || true
  bash "$ROOT/peers/dovecot-pop3-stop.sh" "$W/pop3" >/dev/null 2>&1 || true
}
trap cleanup EXIT
freeport() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
POP_PORT=$(freeport); SMTP_PORT=$(freeport)
SUBSCRIBER="fax1@127.0.0.1"

echo "== Starting a POP3 server on 127.0.0.1:$POP_PORT and an SMTP server on 127.0.0.1:$SMTP_PORT"
POP3_USER=fax1 POP3_PASSWORD=demo-pass bash peers/dovecot-pop3-start.sh "$W/pop3" "$W/mailbox" "$POP_PORT" >/dev/null
bash peers/smtp-sink-start.sh "$W/smtp" "$W/received" "$SMTP_PORT" >/dev/null

echo "== Filling the mailbox of $SUBSCRIBER with sample faxes"
mkdir -p "$W/samples"
build/tools/make_fax_tiff "$W/samples/fine.tif" --pages 3 --title "Quarterly figures" >/dev/null
build/tools/make_fax_tiff "$W/samples/coarse.tif" --pages 2 --coarse --g3-2d --title "Delivery note" >/dev/null
build/tools/make_fax_tiff "$W/samples/one.tif" --pages 1 --title "Scanned page" >/dev/null
/usr/bin/python3 scripts/demo_mail.py "$W/samples" "$SUBSCRIBER" "$W/samples/fine.tif" \
  "$W/samples/coarse.tif" "$W/samples/one.tif"
bash peers/dovecot-pop3-add.sh "$W/mailbox" "$W"/samples/*.eml
ls "$W/samples"/*.eml | sed 's|.*/|   |'

echo "== Configuring: profile, a Maildir store, a folder printer"
export VOXAFAX_HOME="$W/program" VOXAFAX_PROFILE="$W/config/voxafax.ini"
export VOXAFAX_POP3_PORT=$POP_PORT VOXAFAX_SMTP_PORT=$SMTP_PORT VOXAFAX_TICK_MS=5000
# Names are looked up in /etc/hosts only: the demo never asks a name server.
export VOXAFAX_HOSTS_FILE=/etc/hosts
mkdir -p "$W/config"
cat > "$VOXAFAX_PROFILE" <<INI
[VOXA-FAX]
Voxa_Fax_Addr=$SUBSCRIBER
Password=demo-pass
Printer_Type=Demo PDF
VoxaFax_Profile=Demo
Confirm_Receipt=y
Print_Simple_Header=y
INI
printf '[Demo]\nmaildir = %s/store\n' "$W" > "$W/config/stores.ini"
printf '[Demo PDF]\ndirectory = %s/prints\n' "$W" > "$W/config/printers.ini"
printf '[print]\ntext_pages = yes\n' > "$W/config/options.ini"

echo "== Running: voxafax run (it starts voxafax-print /0, shows its status line and its log"
echo "   lines as they come, and ends with the outcome)"
build/voxafax run || echo "(voxafax run ended with status $?)"

echo
echo "== Status keys: how voxafax-print reports to a scheduler ([VOXA-FAX] of $VOXAFAX_PROFILE)"
key() { sed -n "s/^$1=//p" "$VOXAFAX_PROFILE" | tr -d '\r'; }
IFS=, read -r printed unprintable regular _ <<<"$(key session)"
[ "$(key VFPrint)" = quit ] && state="the run has ended" || state="a run is under way, or one ended early"
[ "$(key printing)" = 0 ] && printing="nothing is being printed" || printing="a run is printing"
[ -z "$(key last_error)" ] && error="no error" || error="the run's last error"
show() { printf '   %-13s %-42s %s\n' "$1" "\"$(key "$1")\"" "$2"; }
show VFPrint "$state"
show printing "$printing"
show print_status "the last progress line: at the end, the totals"
show last_error "$error"
show session "$printed fax(es) printed, $unprintable unprintable, $regular regular fax(es)"
show totals "always 0,0,0,0"
echo "   The record of the run (start, duration, exit status, figures) is $VOXAFAX_HOME/last-run.ini;"
echo "   build/voxafax status shows it."
echo
echo "== Mailbox on the server: $(find "$W/mailbox/new" "$W/mailbox/cur" -type f | wc -l) message(s) left"
echo
echo "== The Maildir store ($W/store)"
/usr/bin/python3 - "$W/store" <<'PY'
import email, email.policy, os, sys
root = sys.argv[1]
folders = [("Inbox", root)] + sorted(
    (d[1:].replace(".", " / "), os.path.join(root, d)) for d in os.listdir(root) if d.startswith("."))
for name, path in folders:
    files = [os.path.join(path, s, f) for s in ("new", "cur") if os.path.isdir(os.path.join(path, s))
             for f in sorted(os.listdir(os.path.join(path, s)))]
    print(f"   {name}: {len(files)}")
    for f in files:
        with open(f, "rb") as fh:
            m = email.message_from_binary_file(fh, policy=email.policy.default)
        flags = f.rsplit(":2,", 1)[1] if ":2," in f else ""
        print(f"      - {m['Subject']}" + ("  (read)" if "S" in flags else ""))
PY
echo
echo "== Printed PDFs ($W/prints), in the order printed"
echo "   A header page is text (it names the sender and the subject); the fax images of a"
echo "   message follow its header page."
for f in "$W"/prints/*.pdf; do
  [ -e "$f" ] || continue
  pages=$(pdfinfo "$f" | sed -n 's/^Pages: *//p')
  if [ "$(pdffonts "$f" 2>/dev/null | tail -n +3 | wc -l)" -gt 0 ]; then
    subject=$(pdftotext -layout "$f" - 2>/dev/null | sed -n 's/^Subject: *//p' | head -n 1 | sed 's/ From: .*//')
    kind="header page of \"$subject\""
  else
    kind="fax image"
  fi
  printf '   %s  %s page(s)  %s\n' "$(basename "$f")" "$pages" "$kind"
done
echo
echo "== Receipts received by the SMTP server"
for f in "$W"/received/new/*.eml; do
  [ -e "$f" ] || continue
  echo "   --- $(basename "$f")"
  grep -a -E '^(To|Subject):|^Disposition:|^Failure:' "$f" | tr -d '\r' | sed 's/^/   /'
done
echo
echo "Demo files are kept in $W (servers stopped)."
