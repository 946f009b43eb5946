#!/bin/bash
# A kill in the middle of the POP3 session, made certain rather than random:
# voxafax-print is killed as soon as the first downloaded message appears in
# In/, while later messages are still coming and QUIT has not been sent (the
# server only removes DELEted messages at QUIT). The next run must not file
# the first fax twice: once from In/ and once more from the server.
set -u
. "$(dirname "$0")/system_peers.bash"
sys_require
W=$(mktemp -d /tmp/vfcrash.XXXXXX)
trap 'sys_stop; [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"' EXIT
sys_start "$W" || exit 1
export VOXAFAX_POP3_PORT=$POP_PORT VOXAFAX_SMTP_PORT=$SMTP_PORT
sys_configure "Fax Folder"
mkdir -p "$W/mails"
for n in 1 2 3 4; do
    # Large faxes after the first keep the session going for a while.
    pages=$([ $n = 1 ] && echo 1 || echo 60)
    "$B/tools/make_fax_tiff" "$W/mails/$n.tif" --pages $pages --title "Fax $n" >/dev/null
    "$PY" "$SRC/tests/scripts/system_mkfax.py" "$W/mails/fax$n.eml" "$n" fax1@127.0.0.1 \
        "gateway$n@localhost" "$W/mails/$n.tif"
    "$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/mails/fax$n.eml"
done

"$B/voxafax-print" /0 </dev/null >"$W/run1.log" 2>&1 &
pid=$!
for _ in $(seq 1 6000); do
    [ -n "$(ls "$VOXAFAX_HOME/In" 2>/dev/null)" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.005
done
kill -9 "$pid" 2>/dev/null && killed=yes || killed=no
wait "$pid" 2>/dev/null
echo "killed during the download: $killed; In/ then held: $(ls "$VOXAFAX_HOME/In" | tr '\n' ' ')"
echo "on the server then: $(nfiles "$SPOOL/new" "$SPOOL/cur") message(s)"
[ "$killed" = yes ] || { echo "the run ended before it could be killed; nothing learnt"; exit 77; }

timeout 300 "$B/voxafax-print" /0 </dev/null >"$W/run2.log" 2>&1
check "the second run ends" eq "$(ini_key "$PROFILE" VFPrint)" quit
check "the mailbox at the server is empty" eq "$(nfiles "$SPOOL/new" "$SPOOL/cur")" 0
check "every stored message parses" sys_store_parses "$STORE"
got=$(sys_subjects .VOXA-FAXes.Printed | sed 's/ from .*//' | tr '\n' '|')
check "each fax filed exactly once" eq "$got" "Fax 1|Fax 2|Fax 3|Fax 4|"
echo "$FAILURES failure(s)"
[ "$FAILURES" = 0 ]
