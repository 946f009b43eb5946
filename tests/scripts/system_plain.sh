#!/bin/bash
# The whole road of a fax with real peers on loopback: Dovecot POP3 ->
# voxafax-print /0 (started through `voxafax run`) -> a CUPS queue writing
# PDFs, receipts to an SMTP sink, messages filed in the Maildir store.
set -u
. "$(dirname "$0")/system_peers.bash"
sys_require
W=$(mktemp -d /tmp/vfsys.XXXXXX)
trap 'sys_stop; [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"' EXIT
sys_start "$W" || exit 1
export VOXAFAX_POP3_PORT=$POP_PORT VOXAFAX_SMTP_PORT=$SMTP_PORT
sys_configure vf-pdf
sys_faxes 3 || exit 1

timeout 300 "$B/voxafax" run now >"$W/run.out" 2>"$W/run.err"
rc=$?
cat "$W/run.out"
check "voxafax run ends with status 0 (was $rc)" eq "$rc" 0
check "the run's progress was shown" grep -q '^  Downloading 3 VOXA-FAXes' "$W/run.out"
check "the totals were shown" grep -q '^Finished: Printed 3 VOXA-FAXes + 0 Regular Faxes' "$W/run.out"

check "status VFPrint quit" eq "$(ini_key "$PROFILE" VFPrint)" quit
check "status last_error empty" eq "$(ini_key "$PROFILE" last_error)" ""
check "status printing 0" eq "$(ini_key "$PROFILE" printing)" 0
check "status print_status" eq "$(ini_key "$PROFILE" print_status)" " Printed 3 VOXA-FAXes + 0 Regular Faxes"
check "status session" eq "$(ini_key "$PROFILE" session | cut -d, -f1-3)" "3,0,0"
check "status totals" eq "$(ini_key "$PROFILE" totals)" "0,0,0,0"
rec() { sed -n "s/^$1 = //p" "$VOXAFAX_HOME/last-run.ini"; }
check "the record: ended" eq "$(rec state)" ended
check "the record: exit status 0" eq "$(rec exit_status) $(rec exit_meaning)" "0 ok"
check "the record: three faxes printed" eq "$(rec faxes_printed)" 3
check "the record: no problem" eq "$(rec errors)" 0

check "the mailbox at the server is empty" eq "$(nfiles "$SPOOL/new" "$SPOOL/cur")" 0
check "nothing left in In/" eq "$(nfiles "$VOXAFAX_HOME/In")" 0
check "the faxes are filed under VOXA-FAXes/Printed" \
    eq "$(sys_subjects .VOXA-FAXes.Printed | tr '\n' '|')" "Fax 1 from 4165550001|Fax 2 from 4165550002|Fax 3 from 4165550003|"
check "the inbox is empty" eq "$(nfiles "$STORE/new" "$STORE/cur")" 0
check "every stored message parses" sys_store_parses "$STORE"

n=$(echo $EXPECT_PAGES | wc -w)
check "one PDF per fax image with its pages" eq "$(sys_printed_pages "$PDFS" "$n")" "$EXPECT_PAGES"

check "three receipts at the sink" eq "$(ls "$SINK"/new/*.eml 2>/dev/null | wc -l)" 3
for i in 1 2 3; do
    f=$(grep -l "gateway$i@localhost" "$SINK"/new/*.json 2>/dev/null | head -n 1)
    check "receipt $i went to its gateway" test -n "$f"
    [ -n "$f" ] || continue
    eml="${f%.json}.eml"
    check "receipt $i is a disposition notification" grep -qi 'report-type=disposition-notification' "$eml"
    check "receipt $i quotes the original Message-Id" grep -q "system-$i@gateway.test" "$eml"
done
check "no receipt waits in Out/" eq "$(nfiles "$VOXAFAX_HOME/Out")" 0
check "account.ini records a successful send" grep -q '^SMTP_Type=.*_OK' "$VOXAFAX_HOME/account.ini"

# One more fax, in a run as the scheduler starts it, with the run log to read.
"$B/tools/make_fax_tiff" "$W/mails/9.tif" --pages 1 --title "Fax 9" >/dev/null &&
    "$PY" "$SRC/tests/scripts/mkfax.py" --mail "$W/mails/fax9.eml" 9 fax1@127.0.0.1 \
        gateway9@localhost "$W/mails/9.tif" &&
    "$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/mails/fax9.eml" || exit 1
timeout 300 "$B/voxafax-print" /0 </dev/null >"$W/direct.out" 2>"$W/direct.err"
check "a direct run ends with status 0" eq "$?" 0
check "its log names the start" grep -q "start /0, profile $PROFILE" "$W/direct.err"
check "its log names the fax printed and where" \
    grep -q 'printed fax from .* "Fax 9 from 4165550009[^"]*", 1 page -> vf-pdf (job [0-9]*)' "$W/direct.err"
check "its log names where the fax was filed" \
    grep -q 'filed fax from .* "Fax 9 from 4165550009[^"]*" in VOXA-FAXes/Printed' "$W/direct.err"
check "its standard output is quiet" eq "$(wc -c <"$W/direct.out")" 0
sys_printed_pages "$PDFS" $((n + 1)) >/dev/null

# Nothing new: a second run finds the mailbox empty and ends cleanly.
timeout 300 "$B/voxafax" run >"$W/run2.out" 2>&1
check "a second run with nothing new ends with status 0" eq "$?" 0
# The status text "No new VOXA-FAXes" lasts only until the run's last status
# replaces it, so a busy machine may show only the last; the log line stays.
check "it reports no new faxes" grep -q ': no new messages$' "$W/run2.out"
check "status after it" eq "$(ini_key "$PROFILE" print_status)" " Printed 0 VOXA-FAXes + 0 Regular Faxes"
check "no new receipt" eq "$(ls "$SINK"/new/*.eml 2>/dev/null | wc -l)" 4

if [ "$failures" != 0 ]; then
    echo "--- voxafax run stderr"; cat "$W/run.err"
    echo "--- profile"; cat "$PROFILE"
    echo "--- account.ini"; cat "$VOXAFAX_HOME/account.ini" 2>/dev/null
    find "$W/store" "$W/pdfs" "$VOXAFAX_HOME" -type f | head -40
fi
echo "$failures failure(s)"
[ "$failures" = 0 ]
