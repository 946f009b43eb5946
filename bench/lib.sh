# shellcheck shell=bash disable=SC2034
# Shared by the benchmark scripts (sourced): the build, the corpus, a private
# Dovecot on loopback, whole-process timing, figures and checks.
#
# Settings from the environment:
#   VOXAFAX_BINARY_DIR  build folder (default: build/ of the source tree)
#   BENCH_RUNS          timed runs per contender after one warm-up (default 5)
#   BENCH_CORPUS        small (default) or full: 200 faxes of 1 to 5 pages
#                       (501 pages) and 4 long faxes of 10 to 30 MB
#   BENCH_RESULTS       a file that gets one line per table row (run_all.sh)
#   BENCH_RUNS_LONG     timed runs of run_all.sh's long steps (2,000 faxes,
#                       many accounts; default 3)
#   BENCH_ACCOUNTS, BENCH_ACCOUNT_FAXES  many_accounts.sh: accounts started
#                       together (default 50) and faxes in each mailbox (20)
#   BENCH_COPIES, BENCH_LONG, BENCH_CONTEND, BENCH_CONTENDERS  whole_job.sh

BENCH_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_BUILD=${VOXAFAX_BINARY_DIR:-$BENCH_SRC/build}
BENCH_RUNS=${BENCH_RUNS:-5}
export LC_ALL=C  # one decimal point for awk, sort and the clock
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3

bench_die() { echo "bench: $*" >&2; exit 1; }

# bench_need TOOL...: each must be on PATH (or a path that runs).
bench_need() {
    local t
    for t in "$@"; do
        command -v "$t" >/dev/null ||
            bench_die "missing $t: run 'bash scripts/install-deps.sh --bench'"
    done
}

bench_need_root() {
    [ "$(id -u)" = 0 ] || bench_die "needs root (the private Dovecot serves mail as uid 8)"
}

# bench_build TARGET...: configures the build folder when it has no cache yet
# and builds the targets (only what changed).
bench_build() {
    if [ ! -f "$BENCH_BUILD/CMakeCache.txt" ]; then
        cmake -S "$BENCH_SRC" -B "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ||
            bench_die "cannot configure $BENCH_BUILD"
    fi
    cmake --build "$BENCH_BUILD" -j2 --target "$@" >/dev/null || bench_die "cannot build $*"
}

# bench_workdir: a scratch folder that Dovecot's user can reach, removed at exit
# together with whatever bench_on_exit adds.
BENCH_EXIT=()
bench_on_exit() { BENCH_EXIT+=("$*"); }
bench_cleanup() {
    local i
    for ((i = ${#BENCH_EXIT[@]} - 1; i >= 0; i--)); do eval "${BENCH_EXIT[i]}" || true; done
}
bench_workdir() {
    W=$(mktemp -d /tmp/vfbench.XXXXXX)
    chmod 755 "$W"
    bench_on_exit "rm -rf '$W'"
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM
}

# bench_corpus: makes (once, kept in the build folder) and describes the
# corpus; sets CORPUS and the manifest's FAXES, FAX_PAGES, FAX_BYTES, BIG,
# BIG_PAGES, BIG_BYTES, BIG_MAX (the largest long fax), BIG_MAX_BYTES, ...
bench_corpus() {
    local faxes big
    case ${BENCH_CORPUS:-small} in
    small) faxes=60 big="10 30" ;;
    full) faxes=200 big="10 17 23 30" ;;
    *) bench_die "BENCH_CORPUS is small or full" ;;
    esac
    CORPUS="$BENCH_BUILD/bench-corpus/${BENCH_CORPUS:-small}"
    if [ ! -f "$CORPUS/manifest" ]; then
        bench_build make_fax_tiff
        echo "making the ${BENCH_CORPUS:-small} corpus in $CORPUS (once)..." >&2
        rm -rf "$CORPUS"
        # shellcheck disable=SC2086
        "$PY" "$BENCH_SRC/bench/corpus.py" "$BENCH_BUILD/tools/make_fax_tiff" "$CORPUS.tmp" \
            "$faxes" $big || bench_die "cannot make the corpus"
        mv "$CORPUS.tmp" "$CORPUS"
        sed -i "s#$CORPUS.tmp#$CORPUS#" "$CORPUS/manifest"
    fi
    # shellcheck disable=SC1091
    . "$CORPUS/manifest"
}

# bench_dovecot [MAILDIR]: a private Dovecot on loopback for user fax1 /
# fax1pass; sets POP_PORT and SPOOL (the mailbox it serves, $W/spool).
bench_dovecot() {
    POP_PORT=$("$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    SPOOL=${1:-$W/spool}
    POP3_USER=fax1 POP3_PASSWORD=fax1pass \
        "$BENCH_SRC/peers/dovecot-pop3-start.sh" "$W/pop3" "$SPOOL" "$POP_PORT" >/dev/null ||
        bench_die "cannot start dovecot"
    bench_on_exit "'$BENCH_SRC/peers/dovecot-pop3-stop.sh' '$W/pop3'"
}

# bench_dovecot_accounts N: the private Dovecot for users fax1 .. faxN
# (passwords fax1pass .. faxNpass), each with a mailbox of its own,
# $W/spool/faxK; sets POP_PORT. Dovecot puts the user's name in place of %u
# in the mailbox's path, and reads its password file again when it changes.
bench_dovecot_accounts() {
    local k
    bench_dovecot "$W/spool/%u"
    rm -rf "$W/spool/%u"
    for k in $(seq 1 "$1"); do
        mkdir -p "$W/spool/fax$k/cur" "$W/spool/fax$k/new" "$W/spool/fax$k/tmp"
        printf 'fax%d:{PLAIN}fax%dpass\n' "$k" "$k"
    done >"$W/pop3/passwd.new"
    chown -R mail:mail "$W/spool"
    mv "$W/pop3/passwd.new" "$W/pop3/passwd"
}

# bench_load FILE...: puts the mails into the served mailbox as a delivery
# agent does (tmp/, then renamed into new/), under names never used before:
# Dovecot serves a file whose name it saw expunged only after a resync, so a
# name used twice loses messages. The mailbox must be empty.
BENCH_LOADS=0
bench_load() {
    local left
    left=$(bench_spool_count)
    [ "$left" = 0 ] || bench_die "the served mailbox still holds $left messages"
    BENCH_LOADS=$((BENCH_LOADS + 1))
    "$PY" - "$SPOOL" "$$.$BENCH_LOADS" "$@" <<'PYEOF' || bench_die "cannot fill the mailbox"
import os, pwd, shutil, sys, time
spool, tag, files = sys.argv[1], sys.argv[2], sys.argv[3:]
mail = pwd.getpwnam("mail")
stamp = int(time.time())
for n, path in enumerate(files, 1):
    name = "%d.%s.%d.%s" % (stamp, tag, n, os.path.basename(path))
    tmp = os.path.join(spool, "tmp", name)
    shutil.copyfile(path, tmp)
    os.chmod(tmp, 0o644)
    os.chown(tmp, mail.pw_uid, mail.pw_gid)
    os.rename(tmp, os.path.join(spool, "new", name))
PYEOF
}
bench_spool_count() { find "$SPOOL/new" "$SPOOL/cur" -type f | wc -l; }

# bench_profile DIR [profile lines...]: the program's configuration in DIR
# (cfg/, home/, store/, prints/) for subscriber fax1 (or BENCH_USER) on the
# private Dovecot,
# a folder printer, no receipts (the tool chain sends none either). The long
# faxes run to more pages than the program prints by default, in a document
# and in a fax.
bench_profile() {
    local d=$1 user=${BENCH_USER:-fax1}
    shift
    rm -rf "$d"
    mkdir -p "$d/cfg" "$d/home"
    printf '[Fax Store]\nmaildir = %s\n' "$d/store" >"$d/cfg/stores.ini"
    printf '[print]\nmax_pages = 10000\nmax_fax_pages = 1000000\n' >"$d/cfg/options.ini"
    printf '[Fax PDF]\ndirectory = %s\n' "$d/prints" >"$d/cfg/printers.ini"
    {
        echo "[VOXA-FAX]"
        echo "Voxa_Fax_Addr=$user@127.0.0.1"
        echo "Password=${user}pass"
        echo "Printer_Type=Fax PDF"
        echo "VoxaFax_Profile=Fax Store"
        echo "Confirm_Receipt=n"
        local line
        for line in "$@"; do echo "$line"; done
    } >"$d/cfg/voxafax.ini"
}

# bench_program DIR TIMEFILE ARGS...: the program as a whole process with the
# configuration of DIR, under GNU time ("seconds peak-KiB" into TIMEFILE).
bench_program() {
    local d=$1 tf=$2
    shift 2
    VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini" VOXAFAX_POP3_PORT=${POP_PORT:-110} \
        VOXAFAX_ANSWERS=no \
        /usr/bin/time -f "%e %M" -o "$tf" "$BENCH_BUILD/voxafax-print" "$@" </dev/null >/dev/null 2>"$d/stderr"
}

# bench_pdf_pages DIR: the pages of all PDFs in DIR (0 for a PDF that is
# not whole), read from their page trees; pdfinfo confirms the first and the
# last (bench/pdf_pages.py).
bench_pdf_pages() {
    "$PY" "$BENCH_SRC/bench/pdf_pages.py" "$1" || bench_die "cannot count the pages in $1"
}

# bench_check WHAT GOT WANT: a failed check stops the benchmark: a figure
# for work not done is worth nothing.
bench_check() {
    [ "$2" = "$3" ] || bench_die "check failed: $1: got $2, expected $3"
}

# bench_stats VALUE...: "median min max" of the values.
bench_stats() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              print m, v[1], v[NR] }'
}

# bench_rate AMOUNT SECONDS...: "median min max" of AMOUNT / seconds.
bench_rate() {
    local amount=$1 s r=()
    shift
    for s in "$@"; do r+=("$(awk -v a="$amount" -v s="$s" 'BEGIN { printf "%.6f", a / s }')"); done
    bench_stats "${r[@]}"
}

# bench_ratios "A1 A2 ..." "B1 B2 ...": "median min max" of Ai / Bi, pair by
# pair: each pair ran back to back, so the ratio carries the machine's state
# of that moment on both sides.
bench_ratios() {
    local -a a b r=()
    read -ra a <<<"$1"
    read -ra b <<<"$2"
    local i
    for i in "${!a[@]}"; do
        r+=("$(awk -v x="${a[i]}" -v y="${b[i]}" 'BEGIN { printf "%.6f", x / y }')")
    done
    bench_stats "${r[@]}"
}

# bench_fmt "MEDIAN MIN MAX" [decimals]: "median (min-max)".
bench_fmt() {
    local m lo hi
    read -r m lo hi <<<"$1"
    awk -v m="$m" -v lo="$lo" -v hi="$hi" -v d="${2:-0}" \
        'BEGIN { f = "%." d "f"; printf f " (" f "-" f ")", m, lo, hi }'
}

# bench_row WORK PROGRAM ANCHOR RATIO GOAL: one line of the summary table,
# printed and kept for run_all.sh.
BENCH_ROW_FORMAT='  %-40s %-32s %-48s %-20s %s\n'
bench_row() {
    # shellcheck disable=SC2059
    printf "$BENCH_ROW_FORMAT" "$@"
    [ -z "${BENCH_RESULTS:-}" ] || printf '%s|%s|%s|%s|%s\n' "$@" >>"$BENCH_RESULTS"
}
bench_row_head() {
    # shellcheck disable=SC2059
    printf "$BENCH_ROW_FORMAT" "Work" "Program" "What a user would run instead" "Ratio" "Goal"
}

# The state of the machine, printed with the figures: other work on the
# cores and on the disk moves them (the program fsyncs what it must keep,
# the tool chain fsyncs nothing).
bench_machine() {
    local fs
    fs=$("$PY" - "$W" <<'PYEOF'
import os, statistics, sys, time
ms = []
for i in range(21):
    path = os.path.join(sys.argv[1], ".fsync-probe")
    t = time.perf_counter()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.write(fd, b"x" * 4096)
    os.fsync(fd)
    os.close(fd)
    ms.append((time.perf_counter() - t) * 1000)
    os.unlink(path)
print("%.2f ms" % statistics.median(ms))
PYEOF
)
    echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), fsync of a new 4 KiB file $fs (median)"
}
bench_runs_note() {
    echo "runs: one warm-up, then $BENCH_RUNS timed runs per contender, alternating; medians (min-max)"
}

# bench_alternate RUN CONTENDER...: one warm-up round, then BENCH_RUNS timed
# rounds, the contenders in turn within each; `RUN C` runs contender C once
# and sets secs (and cpu); BENCH_ROUND is the round (0: the warm-up). The
# timed rounds' figures gather in wall[C] and cpus[C], a line per round says
# what each took.
bench_alternate() {
    local run=$1 c line
    shift
    declare -gA wall cpus
    for BENCH_ROUND in $(seq 0 "$BENCH_RUNS"); do
        line="  run $BENCH_ROUND:"
        for c in "$@"; do
            cpu=0
            "$run" "$c"
            if [ "$BENCH_ROUND" != 0 ]; then
                wall[$c]+="$secs "
                cpus[$c]+="$cpu "
            fi
            line+=" $c $secs s"
        done
        [ "$BENCH_ROUND" = 0 ] && echo "  warm-up done" || echo "$line"
    done
}

# bench_cpu VAR: sets VAR to the CPU seconds (user + system) of the children
# this shell has waited for so far; the difference over a contender's run is
# its CPU, whatever processes it started (Dovecot's share is in neither). No
# command substitution around `times`: a subshell counts only its own.
bench_cpu() {
    times >"$W/.times"
    printf -v "$1" '%s' "$(awk 'NR == 2 { s = 0; for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); s += p[1] * 60 + p[2] }
                   printf "%.3f", s }' "$W/.times")"
}

# bench_fetchmailrc MODE FILE: fetchmail at its fastest against the private
# Dovecot: no header rewriting, all sizes in one LIST, no TLS probe; MODE
# bsmtp writes every message into one batch file FILE, MODE mda hands each
# message to a shell that writes it into the folder FILE (a process per
# message), MODE durable to safecat, which syncs it into the Maildir FILE.
# With BENCH_USER set, for that user, in $W/fetchmailrc.MODE.USER.
bench_fetchmailrc() {
    local mode=$1 out=$2 user=${BENCH_USER:-fax1} rc=$W/fetchmailrc.$1
    [ -z "${BENCH_USER:-}" ] || rc+=".$user"
    {
        echo "set no syslog"
        echo "set no bouncemail"
        echo "poll 127.0.0.1 with proto POP3 port $POP_PORT"
        echo "  user \"$user\" there with password \"${user}pass\" is \"root\" here"
        echo "  options no keep fetchall no rewrite fetchsizelimit 0 sslproto ''"
        case $mode in
        bsmtp) echo "  bsmtp $out" ;;
        mda) echo "  mda \"cat >$out/m.\$\$\"" ;;
        # A delivery agent that syncs each message before fetchmail deletes
        # it on the server: the promise the program keeps.
        durable) echo "  mda \"safecat $out/tmp $out/new >/dev/null\"" ;;
        esac
    } >"$rc"
    chmod 600 "$rc"
}
# Run as root, fetchmail locks /run/fetchmail.pid, which every benchmark on
# the machine would share: each run gets a lock of its own. A failed fetch
# stops the benchmark, saying why.
bench_fetchmail() { # MODE
    FETCHMAILHOME=$W fetchmail -f "$W/fetchmailrc.$1" --pidfile "$W/fetchmail.pid" --nosyslog -s \
        2>>"$W/fetchmail.log" || bench_die "fetchmail failed: $(tail -n 3 "$W/fetchmail.log")"
}

# bench_bsmtp_to_mbox IN OUT: the batch file as an mbox for ripmime: the
# envelope lines become "From " lines, dot-stuffing is undone.
bench_bsmtp_to_mbox() {
    awk 'BEGIN { RS = "\r\n" }
         /^MAIL FROM:/ { print "From MAILER-DAEMON Thu Jan  1 00:00:00 2026"; skip = 2; next }
         skip > 0 { skip--; next }
         /^\.$/ { next }
         { sub(/^\.\./, "."); if (/^From /) $0 = ">" $0; print }' "$1" >"$2"
}

# bench_start ... bench_stop: sets secs (wall) and cpu (CPU seconds of the
# processes started in between). The clock is read in this shell, with no
# fork on either side of the measured work.
bench_start() {
    bench_cpu BENCH_CPU0
    BENCH_T0=${EPOCHREALTIME/,/.}
}
bench_stop() {
    local t1=${EPOCHREALTIME/,/.} c1
    bench_cpu c1
    secs=$(awk -v a="$BENCH_T0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    cpu=$(awk -v a="$BENCH_CPU0" -v b="$c1" 'BEGIN { printf "%.3f", b - a }')
}
