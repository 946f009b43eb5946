#!/bin/bash
# Full and read-only disks on the way from the server to the printer: small
# tmpfs mounts for the mail store, the program folder and In/, each filled in
# turn, and the store made read-only. The program runs as nobody against a
# private Dovecot and prints to a folder printer. After every run each fax is
# somewhere (on the server, in In/, in the store or printed), the last error
# and the run log say what could not be written; once space returns every fax
# is printed exactly once.
set -u
. "$(dirname "$0")/system_peers.bash"
[ "$(id -u)" = 0 ] || sys_skip "must run as root (mounts, Dovecot)"
[ -x /usr/sbin/dovecot ] || sys_skip "dovecot-pop3d not installed"
command -v runuser >/dev/null || sys_skip "runuser not available"
for f in voxafax-print tools/make_fax_tiff; do
    [ -x "$B/$f" ] || sys_skip "$B/$f not built"
done
W=$(mktemp -d /tmp/vffull.XXXXXX)
chmod 755 "$W"
MOUNTS=()
cleanup() {
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do umount "${MOUNTS[i]}" 2>/dev/null; done
    "$PEERS/dovecot-pop3-stop.sh" "$W/pop3" >/dev/null 2>&1
    [ -n "${VOXAFAX_KEEP:-}" ] || rm -rf "$W"
}
trap cleanup EXIT
small_fs() { # DIR: a 2 MB tmpfs there
    mkdir -p "$1"
    mount -t tmpfs -o size=2m,mode=0755 tmpfs "$1" 2>/dev/null || sys_skip "cannot mount a tmpfs"
    MOUNTS+=("$1")
}
fill() { # DIR: nothing more fits in its file system
    dd if=/dev/zero of="$1/.filler" bs=4k 2>/dev/null
    sync
}
unfill() { rm -f "$1/.filler"; }

SPOOL="$W/spool" POP_PORT=$(free_port) POPS_PORT=$(free_port)
"$PEERS/dovecot-pop3-start.sh" "$W/pop3" "$SPOOL" "$POP_PORT" "$POPS_PORT" >/dev/null ||
    { echo "cannot start dovecot"; exit 1; }

HOME_DIR="$W/home" STORE="$W/store" PRINTS="$W/prints" CFG="$W/cfg"
small_fs "$STORE"
small_fs "$HOME_DIR"
mkdir -p "$HOME_DIR/In"
small_fs "$HOME_DIR/In"
mkdir -p "$STORE"/{cur,new,tmp} "$PRINTS" "$CFG"
PROFILE="$CFG/voxafax.ini"
printf '[Fax Store]\nmaildir = %s\n' "$STORE" >"$CFG/stores.ini"
printf '[Fax Folder]\ndirectory = %s\n' "$PRINTS" >"$CFG/printers.ini"
printf '%s\n' "[VOXA-FAX]" "Voxa_Fax_Addr=fax1@127.0.0.1" "Password=fax1pass" \
    "Printer_Type=Fax Folder" "VoxaFax_Profile=Fax Store" "Confirm_Receipt=n" >"$PROFILE"
chown -R nobody "$HOME_DIR" "$STORE" "$PRINTS" "$CFG"

faxes() { # FIRST LAST: fax mails with one single-page TIFF each, at the server
    local n
    mkdir -p "$W/mails"
    for n in $(seq "$1" "$2"); do
        "$B/tools/make_fax_tiff" "$W/mails/$n.tif" --pages 1 --title "Fax $n" >/dev/null &&
            "$PY" "$SRC/tests/scripts/mkfax.py" --mail "$W/mails/fax$n.eml" "$n" \
                fax1@127.0.0.1 "gateway$n@localhost" "$W/mails/$n.tif" &&
            "$PEERS/dovecot-pop3-add.sh" "$SPOOL" "$W/mails/fax$n.eml" || exit 1
    done
}
RUN=0
run() { # the program once, as nobody; sets RC
    RUN=$((RUN + 1))
    runuser -u nobody -- env VOXAFAX_HOME="$HOME_DIR" VOXAFAX_PROFILE="$PROFILE" \
        VOXAFAX_POP3_PORT="$POP_PORT" VOXAFAX_ANSWERS=no VOXAFAX_TICK_MS=2000 \
        timeout 300 "$B/voxafax-print" /0 </dev/null >/dev/null 2>"$W/run$RUN.err"
    RC=$?
}
at_server() { nfiles "$SPOOL/new" "$SPOOL/cur"; }
in_in() { find "$HOME_DIR/In" -maxdepth 1 -iname '*.txt' -type f | wc -l; }
in_store() { nfiles "$STORE/new" "$STORE/cur"; }  # the inbox: converted, not printed
pdfs() { find "$PRINTS" -name '*.pdf' | wc -l; }
filed() { sys_subjects .VOXA-FAXes.Printed | tr '\n' '|'; }
accounted() { # WANT: every fax is at the server, in In/, in the store or printed
    eq "$(($(at_server) + $(in_in) + $(in_store) + $(pdfs)))" "$1"
}
said() { # TEXT: in the last error and in the run log
    grep -qF "$1" "$W/run$RUN.err" && ini_key "$PROFILE" last_error | grep -qF "$1"
}

faxes 1 2

# The store read-only: the faxes are downloaded and stay in In/.
mount -o remount,ro "$STORE"
run
check "read-only store: exit status 8 (was $RC)" eq "$RC" 8
check "read-only store: both faxes wait in In/" eq "$(in_in)" 2
check "read-only store: nothing at the server or printed" eq "$(at_server) $(pdfs)" "0 0"
check "read-only store: the error says so" said "Read-only file system"
check "read-only store: it names the file kept" said "$HOME_DIR/In/"
mount -o remount,rw "$STORE"

# The store full.
fill "$STORE"
run
check "full store: exit status 8 (was $RC)" eq "$RC" 8
check "full store: both faxes still wait in In/" eq "$(in_in)" 2
check "full store: no message in the store, nothing left in tmp/" \
    eq "$(find "$STORE"/new "$STORE"/cur "$STORE"/tmp -type f | wc -l)" 0
check "full store: the error says so" said "No space left on device"
unfill "$STORE"

# The program folder full: the attachments cannot be written out. (A run
# empties temp/ first: what is there now would make room.)
rm -f "$HOME_DIR"/temp/*
fill "$HOME_DIR"
run
check "full program folder: a failed run (was $RC)" test "$RC" != 0
check "full program folder: both faxes still wait in In/" eq "$(in_in)" 2
check "full program folder: nothing printed" eq "$(pdfs)" 0
check "full program folder: nothing is set aside" test ! -e "$HOME_DIR/In/Unconvertible"
unfill "$HOME_DIR"

# Space again: the waiting faxes are printed.
run
check "space again: exit status 0 (was $RC)" eq "$RC" 0
check "space again: the waiting faxes are printed" \
    eq "$(filed)" "Fax 1 from 4165550001|Fax 2 from 4165550002|"
check "space again: one PDF per fax" eq "$(pdfs)" 2

# In/ full: new faxes stay at the server.
faxes 3 4
fill "$HOME_DIR/In"
run
check "full In/: a failed run (was $RC)" test "$RC" != 0
check "full In/: the new faxes stay at the server" eq "$(at_server)" 2
check "full In/: every fax accounted for" accounted 4
unfill "$HOME_DIR/In"

# Space everywhere: the rest comes in, and nothing is printed twice.
run
check "space again: exit status 0 (was $RC)" eq "$RC" 0
check "space again: every fax filed once" eq "$(filed)" \
    "Fax 1 from 4165550001|Fax 2 from 4165550002|Fax 3 from 4165550003|Fax 4 from 4165550004|"
check "space again: one PDF per fax" eq "$(pdfs)" 4
check "space again: nothing at the server or in In/" eq "$(at_server) $(in_in)" "0 0"
check "space again: the last error is cleared" eq "$(ini_key "$PROFILE" last_error)" ""

# The program folder full while faxes wait in the store's inbox (the printer
# folder was not writable in the run that stored them): the walk stops with
# the faxes in the inbox, judging none of them; with space again each is
# printed once.
faxes 5 6
chmod 555 "$PRINTS"
run
check "faxes in the inbox: the printer's folder stops the walk (was $RC)" eq "$RC" 9
chmod 755 "$PRINTS"
rm -f "$HOME_DIR"/temp/*
fill "$HOME_DIR"
run
unfill "$HOME_DIR"
check "full program folder in the walk: exit status 8 (was $RC)" eq "$RC" 8
check "full program folder in the walk: the faxes stay in the inbox" eq "$(in_store)" 2
check "full program folder in the walk: none judged unprintable" \
    eq "$(sys_subjects .VOXA-FAXes.Unprintable | wc -l)" 0
check "full program folder in the walk: last_error says so" \
    bash -c "grep -q '^last_error=Storage Error : ' '$PROFILE'"
run
check "space again: both printed (was $RC)" eq "$RC/$(in_store)/$(pdfs)" "0/0/6"

if [ "$failures" != 0 ]; then
    for f in "$W"/run*.err; do echo "--- $f"; tail -n 15 "$f"; done
    echo "--- profile"; cat "$PROFILE"
    find "$HOME_DIR" "$STORE" "$PRINTS" -type f | head -40
fi
echo "$failures failure(s)"
[ "$failures" = 0 ]
