#!/bin/bash
# Receipts with the real program against hostile mail and failing SMTP
# servers. Mail is left in In/ as a POP download would leave it and the
# store delivers nothing itself, so no POP3 server is needed; receipts go to
# a raw recorder that takes any line end for a line end (the most gullible
# server). The program runs as nobody when started as root.
#   - a plain-text mail (its quoted text holds the POP end marker), the
#     bare-CR smuggling mail and a bare LF in Disposition-Notification-To:
#     one transaction each for the first two, to their own sender, none for
#     the third, no bare CR or LF on the wire, and none answered twice;
#   - a tarpit server: the run ends within the dialogue's deadline with a
#     clear line; a run before the receipt's retry is due leaves it, the
#     next one after sends it.
# (The aiosmtpd sink and a receipt given up after failing run after run are
# covered by test_mailout.)
set -u
SRC=${VOXAFAX_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
BIN=${VOXAFAX_BINARY_DIR:-$SRC/build}/voxafax-print
PY=/usr/bin/python3
[ -x "$BIN" ] || { echo "SKIP: $BIN not built"; exit 77; }
[ -x "$PY" ] || { echo "SKIP: no $PY"; exit 77; }

W=$(mktemp -d /tmp/vfrcpt.XXXXXX)
chmod 755 "$W"
SINKS=()
cleanup() {
    for s in "${SINKS[@]}"; do bash "$SRC/peers/smtp-sink-stop.sh" "$s"; done
    [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"
}
trap cleanup EXIT
FAILURES=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; FAILURES=$((FAILURES + 1)); fi
}
eq() { [ "$1" = "$2" ] || { echo "     got '$1', expected '$2'"; return 1; }; }
free_port() { "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
count() { find "$1" -maxdepth 1 -type f 2>/dev/null | wc -l; }
AS=()
[ "$(id -u)" = 0 ] && AS=(runuser -u nobody --)

# start_sink NAME [options]: sets PORT and SINK_OUT.
start_sink() {
    local name=$1
    shift
    PORT=$(free_port)
    SINK_OUT="$W/$name-out"
    bash "$SRC/peers/smtp-sink-start.sh" "$W/$name-state" "$SINK_OUT" "$PORT" "$@" >/dev/null ||
        exit 1
    SINKS+=("$W/$name-state")
}

# setup NAME [options.ini lines]: a program folder, profile, Maildir store
# and folder printer for the subscriber fax1@127.0.0.1. Receipts go to the
# sender's domain, 127.0.0.1, on $PORT; nothing else is a candidate but
# 127.0.0.1 as the subscriber's own server.
setup() {
    R="$W/$1"
    shift
    mkdir -p "$R/home/In" "$R/cfg" "$R/prints" "$R/Maildir/new" "$R/Maildir/cur" "$R/Maildir/tmp"
    printf '[Fax Store]\nmaildir = %s\n' "$R/Maildir" >"$R/cfg/stores.ini"
    printf '[Fax PDF]\ndirectory = %s\n' "$R/prints" >"$R/cfg/printers.ini"
    printf '%s\n' "[smtp]" "$@" >"$R/cfg/options.ini"
    cat >"$R/cfg/voxafax.ini" <<INI
[VOXA-FAX]
Voxa_Fax_Addr=fax1@127.0.0.1
Printer_Type=Fax PDF
VoxaFax_Profile=Fax Store
Use_Profile=y
Use_Defaults=1
Confirm_Receipt=y
Save_MDNs=y
general_timout=1
User_SMTP_Server=127.0.0.1
Normal_EMail_Addr=fax1@127.0.0.1
SMTP_Server2=
VF_IP_Address=
VF_SMTP_Server=
Last_Resort_SMTP_Server=
INI
}

# mail NAME FROM DNT TEXT [plain]: a message left in In/ as the POP client
# saves it (the server's reply line first, the end line last): a text part
# of a multipart message, or with "plain" a message of text alone. DNT and
# TEXT are printf formats, so \r and \n stand for bare CR and LF.
mail() {
    local name=$1 from=$2 dnt=$3 text=$4 kind=${5:-multipart}
    {
        printf '+OK 1000 octets\r\n'
        printf 'From: %s\r\nTo: fax1@127.0.0.1\r\nSubject: %s\r\n' "$from" "$name"
        printf 'Date: Sat, 5 Dec 2026 10:00:00 +0000\r\nMessage-Id: <%s@sender.test>\r\n' "$name"
        printf "Disposition-Notification-To: $dnt\r\n"
        if [ "$kind" = plain ]; then
            printf 'Content-Type: text/plain\r\n\r\n'
            printf "$text\r\n"
        else
            printf 'MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary="b1"\r\n\r\n'
            printf -- '--b1\r\nContent-Type: text/plain\r\n\r\n'
            printf "$text\r\n"
            printf -- '--b1--\r\n'
        fi
        printf '.\r\n'
    } >"$R/home/In/$name.txt"
}

hostile_mails() {
    mail plain "Alice <alice@127.0.0.1>" "alice@127.0.0.1" 'Hello,\r\nthe text of a plain mail.' plain
    mail smuggle "Mallory <mallory@127.0.0.1>" "mallory@127.0.0.1" \
        'Hi\r.\rMAIL FROM:<evil@127.0.0.1>\rRCPT TO:<victim@127.0.0.1>\rDATA\rowned\r.\rQUIT\r'
    mail barelf "Bob <bob@127.0.0.1>" 'bob@127.0.0.1\nRCPT TO:<victim@127.0.0.1>' 'Hello'
}

# run: voxafax-print /0 over $R; stderr in $R/err.N, the seconds it took in SECS.
RUNS=0
run() {
    RUNS=$((RUNS + 1))
    [ ${#AS[@]} -gt 0 ] && chown -R nobody "$R"
    local t0=$SECONDS
    "${AS[@]}" env VOXAFAX_HOME="$R/home" VOXAFAX_PROFILE="$R/cfg/voxafax.ini" \
        VOXAFAX_TICK_MS=${TICK:-1000} VOXAFAX_ANSWERS=no VOXAFAX_SMTP_PORT="$PORT" \
        VOXAFAX_HOSTS_FILE=/etc/hosts timeout 120 "$BIN" /0 </dev/null >/dev/null 2>"$R/err.$RUNS"
    STATUS=$?
    SECS=$((SECONDS - t0))
    ERR="$R/err.$RUNS"
}

# --- The raw recorder -------------------------------------------------------
start_sink raw --raw
setup raw
hostile_mails
run
check "the run ends with status 0 (was $STATUS)" eq "$STATUS" 0
tx=$("$PY" - "$SINK_OUT" <<'PY'
import glob, json, sys
out = sys.argv[1]
txs = [json.loads(l) for l in open(out + "/transactions.jsonl")] if glob.glob(out + "/transactions.jsonl") else []
cmds = [json.loads(l) for l in open(out + "/lines.jsonl") if json.loads(l)["mode"] == "command"]
bare = sum(d.count(b"\r") - d.count(b"\r\n") + d.count(b"\n") - d.count(b"\r\n")
           for d in (open(f, "rb").read() for f in glob.glob(out + "/raw-*.bin")))
print(len(txs))
print(" ".join(sorted(",".join(t["rcpt_tos"]) for t in txs)))
print(sum(1 for c in cmds if "evil" in c["line"] or "victim" in c["line"]))
print(bare)
plain = [t for t in txs if t["rcpt_tos"] == ["<alice@127.0.0.1>"]]
print(int(bool(plain) and "\r\n.\r\n" in plain[0]["data"]))
PY
)
mapfile -t T <<<"$tx"
check "two transactions, one per receipt" eq "${T[0]}" 2
check "each to its own sender" eq "${T[1]}" "<alice@127.0.0.1> <mallory@127.0.0.1>"
check "no smuggled command reached the server" eq "${T[2]}" 0
check "no bare CR or LF on the wire" eq "${T[3]}" 0
check "the plain receipt keeps the quoted end-marker line" eq "${T[4]}" 1
check "the bare LF address is refused and said so" \
    grep -q 'warning: receipt for "barelf[^"]*" not sent: its recipient .* is refused (it holds a control character)' "$ERR"
check "each receipt sent is logged with its server" \
    grep -q "receipt to alice@127.0.0.1 sent via 127.0.0.1:$PORT" "$ERR"
check "nothing waits in Out/" eq "$(count "$R/home/Out")" 0
check "the ledger is the user's alone" eq "$(stat -c %a "$R/home/receipts.ledger")" 600

# A second run: the same mails again, as after a kill before filing.
hostile_mails
run
check "no message is answered twice" eq "$(wc -l <"$SINK_OUT/transactions.jsonl")" 2
check "the second run says why" grep -q 'receipt for "plain[^"]*" to alice@127.0.0.1 not sent: the message was answered on' "$ERR"

# --- A tarpit, then a server that answers -------------------------------------
start_sink tarpit --raw --tarpit 1.6
setup tarpit
mail plain "Alice <alice@127.0.0.1>" "alice@127.0.0.1" 'Hello'
run
# general_timout 1: a wait allows 2 ticks of 1 s, a dialogue 3 s.
check "the tarpit is cut off at the dialogue's deadline (run took $SECS s)" test "$SECS" -le 10
check "the run log says so" grep -q "receipt to alice@127.0.0.1 queued: it waits in Out/ .*: 127.0.0.1:$PORT not done within the 3 s a dialogue may take" "$ERR"
check "the receipt waits in Out/" eq "$(count "$R/home/Out")" 1
bash "$SRC/peers/smtp-sink-stop.sh" "$W/tarpit-state"
bash "$SRC/peers/smtp-sink-start.sh" "$W/tarpit-state" "$SINK_OUT" "$PORT" --raw >/dev/null || exit 1
run
check "a run before its retry is due leaves it waiting" eq "$(count "$R/home/Out")" 1
check "and asks no server about it" test ! -s "$SINK_OUT/transactions.jsonl"
# Five minutes on: the ledger's time of the failed try is moved back.
sed -i 's/^retry \([0-9]*\) [0-9]* /retry \1 0 /' "$R/home/receipts.ledger"
run
check "the next run sends it" eq "$(count "$R/home/Out")" 0
check "it went to its sender" grep -q '"rcpt_tos": \["<alice@127.0.0.1>"\]' "$SINK_OUT/transactions.jsonl"
check "and says so" grep -q "queued receipt to alice@127.0.0.1 sent via 127.0.0.1:$PORT" "$ERR"

if [ "$FAILURES" -ne 0 ]; then
    for f in "$W"/*/err.*; do echo "--- $f"; cat "$f"; done
    exit 1
fi
echo "all checks passed"
