# The checks the black-box scripts share: `check WHAT CMD...` runs CMD and
# prints "ok" or "FAIL" with WHAT, counting failures in $failures; `eq` says
# what it got when two values differ; `count` and `inbox_count` count a
# folder's files and a Maildir folder's messages; `key` reads an INI key;
# `has` looks for a text in a file (showing the file when it is not there);
# `free_port` names a free loopback port; `pop_account` lays out a POP
# account's folders and profile.
failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
}
eq() { [ "$1" = "$2" ] || { echo "     got '$1', expected '$2'"; return 1; }; }
count() { find "$1" -maxdepth 1 -type f 2>/dev/null | wc -l; }
inbox_count() { echo $(($(count "$1/new") + $(count "$1/cur"))); }
key() { sed -n "s/^$2=//Ip" "$1" | tr -d '\r' | tail -n 1; }
has() { grep -qF -- "$2" "$1" || { echo "     no '$2' in $1:"; sed 's/^/     | /' "$1"; return 1; }; }
free_port() { "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# pop_account DIR [PROFILE-LINE...]: the program folder (DIR/home), a Maildir
# store, a folder printer "Fax PDF" (DIR/prints) and a profile (P, in DIR/cfg)
# that fetches fax1@127.0.0.1 (password fax1pass) by POP and sends through
# 127.0.0.1; each further argument is one more line of the profile.
pop_account() {
    R=$1
    shift
    mkdir -p "$R/home" "$R/cfg" "$R/prints" "$R/Maildir/new" "$R/Maildir/cur" "$R/Maildir/tmp"
    printf '[Windows Messaging Settings]\nmaildir = %s\n' "$R/Maildir" >"$R/cfg/stores.ini"
    printf '[Fax PDF]\ndirectory = %s\n' "$R/prints" >"$R/cfg/printers.ini"
    P="$R/cfg/voxafax.ini"
    {
        echo "[VOXA-FAX]"
        echo "Voxa_Fax_Addr=fax1@127.0.0.1"
        echo "Password=fax1pass"
        echo "Printer_Type=Fax PDF"
        echo "Use_Profile=n"
        for k in User_SMTP_Server SMTP_Server2 Last_Resort_SMTP_Server VF_IP_Address VF_SMTP_Server; do
            echo "$k=127.0.0.1"
        done
        echo "general_timout=1"
        for line in "$@"; do echo "$line"; done
    } >"$P"
}
