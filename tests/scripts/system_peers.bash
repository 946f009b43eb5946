# Shared by the whole-system and crash scripts (sourced, not run by ctest):
# real Dovecot POP3, SMTP sink and CUPS peers on loopback, a configured
# program folder, fax mails, and checks of the outcome.
# Needs: root (Dovecot serves mail as uid 8), the peers' packages, pdfinfo.

SRC=${VOXAFAX_SOURCE_DIR:-.}
B=${VOXAFAX_BINARY_DIR:-build}
PEERS="$SRC/peers"
PY=/usr/bin/python3

sys_skip() { echo "skip: $*"; exit 77; }

sys_require() {
    [ "$(id -u)" = 0 ] || sys_skip "must run as root (Dovecot serves mail as uid 8)"
    [ -x /usr/sbin/dovecot ] || sys_skip "dovecot-pop3d not installed"
    [ -x /usr/sbin/cupsd ] || sys_skip "cups not installed"
    "$PY" -c 'import aiosmtpd' 2>/dev/null || sys_skip "python3-aiosmtpd not installed"
    command -v pdfinfo >/dev/null || sys_skip "poppler-utils (pdfinfo) not installed"
    command -v openssl >/dev/null || sys_skip "openssl not installed"
    for f in voxafax-print voxafax tools/make_fax_tiff; do
        [ -x "$B/$f" ] || sys_skip "$B/$f not built"
    done
}

. "$SRC/tests/scripts/checks.bash"
ini_key() { sed -n "s/^$2=//Ip" "$1" 2>/dev/null | tr -d '\r' | tail -n 1; }
nfiles() { find "$@" -maxdepth 1 -type f 2>/dev/null | wc -l; }

# sys_start W [tls]: peers with their state under W; sets POP_PORT, POPS_PORT,
# SMTP_PORT, SMTPS_PORT, CUPS_PORT, SPOOL (the served Maildir), SINK (the
# sink's folder), PDFS (the queue's folder), CERT.
sys_start() {
    W=$1
    chmod 755 "$W"
    SPOOL="$W/spool" SINK="$W/sink" PDFS="$W/pdfs"
    mkdir -p "$PDFS"
    POP_PORT=$(free_port) POPS_PORT=$(free_port)
    "$PEERS/dovecot-pop3-start.sh" "$W/pop3" "$SPOOL" "$POP_PORT" "$POPS_PORT" >/dev/null ||
        { echo "cannot start dovecot"; return 1; }
    CERT="$W/pop3/tls/cert.pem"
    SMTP_PORT=$(free_port)
    "$PEERS/smtp-sink-start.sh" "$W/smtp" "$SINK" "$SMTP_PORT" >/dev/null ||
        { echo "cannot start the SMTP sink"; return 1; }
    if [ "${2:-}" = tls ]; then
        SMTPS_PORT=$(free_port)
        "$PEERS/smtp-sink-start.sh" "$W/smtps" "$SINK" "$SMTPS_PORT" \
            --smtps "$CERT" "$W/pop3/tls/key.pem" >/dev/null ||
            { echo "cannot start the SMTPS sink"; return 1; }
    fi
    CUPS_PORT=$(free_port)
    "$PEERS/cups-start.sh" "$W/cups" "$CUPS_PORT" vf-pdf "$PDFS" >/dev/null ||
        { echo "cannot start cupsd"; return 1; }
    export CUPS_SERVER="127.0.0.1:$CUPS_PORT"
}

sys_stop() {
    [ -n "${W:-}" ] || return 0
    "$PEERS/cups-stop.sh" "$W/cups" >/dev/null 2>&1
    "$PEERS/smtp-sink-stop.sh" "$W/smtps" >/dev/null 2>&1
    "$PEERS/smtp-sink-stop.sh" "$W/smtp" >/dev/null 2>&1
    "$PEERS/dovecot-pop3-stop.sh" "$W/pop3" >/dev/null 2>&1
}

# sys_configure PRINTER [profile lines...]: the subscriber fax1@127.0.0.1
# with the peers above; receipts only ever go to loopback.
sys_configure() {
    local printer=$1
    shift
    export VOXAFAX_HOME="$W/home" VOXAFAX_PROFILE="$W/cfg/voxafax.ini"
    export VOXAFAX_TICK_MS=${VOXAFAX_TICK_MS:-2000} VOXAFAX_ANSWERS=no
    STORE="$W/store" PROFILE="$W/cfg/voxafax.ini"
    mkdir -p "$W/cfg" "$W/home"
    printf '[Fax Store]\nmaildir = %s\n' "$STORE" >"$W/cfg/stores.ini"
    printf '[Fax Folder]\ndirectory = %s\n' "$W/folder-prints" >"$W/cfg/printers.ini"
    {
        echo "[VOXA-FAX]"
        echo "Voxa_Fax_Addr=fax1@127.0.0.1"
        echo "Password=fax1pass"
        echo "Printer_Type=$printer"
        echo "VoxaFax_Profile=Fax Store"
        echo "Confirm_Receipt=y"
        # The sender of receipts sent again from Out/ by a later run.
        echo "Normal_EMail_Addr=fax1@127.0.0.1"
        for k in User_SMTP_Server SMTP_Server2 Last_Resort_SMTP_Server VF_IP_Address VF_SMTP_Server; do
            echo "$k=127.0.0.1"
        done
        for line in "$@"; do echo "$line"; done
    } >"$PROFILE"
}

# sys_faxes COUNT: COUNT fax mails in the served mailbox; fax n has one G4
# TIFF of (n % 3) + 1 pages, every third one a second, coarse TIFF of 2 pages.
# Sets EXPECT_PAGES (sorted page counts of the documents to be printed).
sys_faxes() {
    local count=$1 n pages tiffs all=()
    mkdir -p "$W/mails"
    for n in $(seq 1 "$count"); do
        pages=$((n % 3 + 1))
        "$B/tools/make_fax_tiff" "$W/mails/$n-a.tif" --pages "$pages" --title "Fax $n" || return 1
        tiffs=("$W/mails/$n-a.tif")
        all+=("$pages")
        if [ $((n % 3)) = 0 ]; then
            "$B/tools/make_fax_tiff" "$W/mails/$n-b.tif" --pages 2 --coarse --title "Fax $n b" || return 1
            tiffs+=("$W/mails/$n-b.tif")
            all+=(2)
        fi
        "$PY" "$SRC/tests/scripts/mkfax.py" --mail "$W/mails/fax$n.eml" "$n" fax1@127.0.0.1 \
            "gateway$n@localhost" "${tiffs[@]}" || return 1
        "$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/mails/fax$n.eml"
    done
    EXPECT_PAGES=$(printf '%s\n' "${all[@]}" | sort -n | tr '\n' ' ')
}

# Page counts of the printed PDFs, sorted; waits up to 30 s for COUNT files.
sys_printed_pages() {
    local dir=$1 want=$2 i
    for i in $(seq 1 150); do
        [ "$(find "$dir" -maxdepth 1 -name '*.pdf' | wc -l)" -ge "$want" ] && break
        sleep 0.2
    done
    sleep 0.3
    for f in "$dir"/*.pdf; do
        [ -e "$f" ] || continue
        pdfinfo "$f" 2>/dev/null | sed -n 's/^Pages: *//p'
    done | sort -n | tr '\n' ' '
}

# Every message file of the store, in every folder, parses as a message: a
# header block with From and Subject, then a blank line. Prints the bad ones.
sys_store_parses() {
    "$PY" - "$1" <<'PYEOF'
import email, email.policy, os, sys
bad = 0
for root, dirs, files in os.walk(sys.argv[1]):
    if os.path.basename(root) not in ("cur", "new"):
        continue
    for name in files:
        path = os.path.join(root, name)
        with open(path, "rb") as f:
            data = f.read()
        msg = email.message_from_bytes(data, policy=email.policy.compat32)
        ok = (b"\r\n\r\n" in data or b"\n\n" in data) and msg["From"] and msg["Subject"]
        if ok:
            for part in msg.walk():
                part.get_payload(decode=True)
        if not ok or msg.defects:
            print("     unparsable:", path, msg.defects)
            bad += 1
sys.exit(1 if bad else 0)
PYEOF
}

# Subjects of the store's messages in FOLDER (Maildir++ name, "" = inbox),
# without the " From: sender" that the conversion appends.
sys_subjects() {
    local d="$STORE${1:+/$1}"
    for f in "$d"/cur/* "$d"/new/*; do
        [ -e "$f" ] || continue
        sed -n "s/^Subject: //p" "$f" | head -n 1 | tr -d "\r" | sed "s/ From: .*//"
    done | sort
}
