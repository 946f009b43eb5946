# The checks the black-box scripts share: `check WHAT CMD...` runs CMD and
# prints "ok" or "FAIL" with WHAT, counting failures in $failures; `eq` says
# what it got when two values differ; `count` and `inbox_count` count a
# folder's files and a Maildir folder's messages; `key` reads an INI key;
# `has` looks for a text in a file; `free_port` names a free loopback port.
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
has() { grep -qF -- "$2" "$1" || { echo "     no '$2' in $1"; return 1; }; }
free_port() { "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
