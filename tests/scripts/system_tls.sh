#!/bin/bash
# The whole road of a fax over implicit TLS on both protocols: POP3S from
# Dovecot and SMTPS to the sink, both with a self-signed certificate that
# the program trusts through SSL_CERT_FILE; ports and TLS from options.ini.
# Printing goes to a folder printer this time.
set -u
. "$(dirname "$0")/system_peers.bash"
sys_require
W=$(mktemp -d /tmp/vfsys.XXXXXX)
trap 'sys_stop; [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"' EXIT
sys_start "$W" tls || exit 1
unset VOXAFAX_POP3_PORT VOXAFAX_SMTP_PORT
sys_configure "Fax Folder"
printf '[pop3]\ntls = yes\nport = %s   ; POP3S\n[smtp]\ntls = yes\nport = %s\n' \
    "$POPS_PORT" "$SMTPS_PORT" >"$W/cfg/options.ini"
sys_faxes 2 || exit 1

# Without trusting the certificate nothing is fetched and nothing is lost.
SSL_CERT_FILE=/dev/null timeout 300 "$B/voxafax-print" /0 </dev/null >"$W/untrusted.out" 2>&1
check "an untrusted server: the mail stays on the server" eq "$(nfiles "$SPOOL/new" "$SPOOL/cur")" 2
check "an untrusted server: the run still ends" eq "$(ini_key "$PROFILE" VFPrint)" quit
check "an untrusted server: nothing printed" eq "$(nfiles "$W/folder-prints")" 0
check "an untrusted server: the record says how the run ended" \
    grep -q "^state = ended$" "$VOXAFAX_HOME/last-run.ini"

export SSL_CERT_FILE="$CERT"
timeout 300 "$B/voxafax" run >"$W/run.out" 2>"$W/run.err"
rc=$?
cat "$W/run.out"
check "voxafax run ends with status 0 (was $rc)" eq "$rc" 0
check "status last_error empty" eq "$(ini_key "$PROFILE" last_error)" ""
check "status print_status" eq "$(ini_key "$PROFILE" print_status)" " Printed 2 VOXA-FAXes + 0 Regular Faxes"
check "the mailbox at the server is empty" eq "$(nfiles "$SPOOL/new" "$SPOOL/cur")" 0
check "the faxes are filed under VOXA-FAXes/Printed" \
    eq "$(sys_subjects .VOXA-FAXes.Printed | tr '\n' '|')" "Fax 1 from 4165550001|Fax 2 from 4165550002|"
check "every stored message parses" sys_store_parses "$STORE"
n=$(echo $EXPECT_PAGES | wc -w)
check "one PDF per fax image with its pages" eq "$(sys_printed_pages "$W/folder-prints" "$n")" "$EXPECT_PAGES"
check "two receipts at the sink" eq "$(ls "$SINK"/new/*.eml 2>/dev/null | wc -l)" 2
check "the PDFs' names say they are fax images" eq "$(ls "$W/folder-prints" | grep -c -- '-fax\.pdf$')" "$n"
check "the receipts came over TLS" eq "$(grep -l '"tls": true' "$SINK"/new/*.json 2>/dev/null | wc -l)" 2
check "no receipt waits in Out/" eq "$(nfiles "$VOXAFAX_HOME/Out")" 0

if [ "$failures" != 0 ]; then
    echo "--- untrusted run"; cat "$W/untrusted.out"
    echo "--- voxafax run stderr"; cat "$W/run.err"
    echo "--- profile"; cat "$PROFILE"
    cat "$VOXAFAX_HOME/account.ini" 2>/dev/null
    cat "$W/smtps/smtp-sink.log"
fi
echo "$failures failure(s)"
[ "$failures" = 0 ]
