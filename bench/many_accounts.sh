#!/usr/bin/env bash
# Many accounts on one host, started together as their timers would start
# them at the same minute:
#   program: BENCH_ACCOUNTS (50) runs of the per-account service's command,
#            voxafax-print /0, each with its own profile, program folder,
#            store, folder printer and mailbox
#   chain:   as many tool chains (fetchmail into a BSMTP batch, the batch as
#            an mbox, ripmime over it, tiff2pdf per TIFF), each with its own
#            folders and mailbox
# One private Dovecot serves a mailbox per account (user faxK), each filled
# with BENCH_ACCOUNT_FAXES (20) fax mails of the corpus before every run.
# After every run, account by account: the mailbox emptied, every fax printed
# once (PDFs and pages), every message filed. The contenders alternate, one
# warm-up each, then BENCH_RUNS timed runs. Prints the wall time from the
# start of the first instance to the end of the last, the ratio of each
# back-to-back pair, peak memory (the sum over the instances of each one's
# peak RSS, and the largest; a chain's peak is that of its largest process)
# and, from one more run of each sampled every 5 ms, the most file
# descriptors open at once in one instance (all of its processes).
#   bench/many_accounts.sh        (settings: see bench/lib.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_need_root
bench_need fetchmail ripmime tiff2pdf pdfinfo setsid /usr/sbin/dovecot /usr/bin/time
bench_build voxafax-print make_fax_tiff
bench_corpus
bench_workdir
accounts=${BENCH_ACCOUNTS:-50}
per=${BENCH_ACCOUNT_FAXES:-20}
bench_dovecot_accounts "$accounts"

# Account K's mails: the corpus's faxes in turn from fax (K-1)*per on,
# addressed to faxK. PAGES[K]: the pages they carry.
"$PY" - "$here" "$CORPUS/faxes" "$W/mails" "$accounts" "$per" "$FAXES" >"$W/pages" <<'PYEOF'
import os, sys
sys.path.insert(0, sys.argv[1])
import corpus
src, out = sys.argv[2], sys.argv[3]
accounts, per, faxes = (int(a) for a in sys.argv[4:7])
for k in range(1, accounts + 1):
    folder = os.path.join(out, "fax%d" % k)
    os.makedirs(folder)
    pages = 0
    for j in range(per):
        n = ((k - 1) * per + j) % faxes + 1
        with open(os.path.join(src, "%04d.eml" % n), "rb") as f:
            mail = f.read()
        mail = mail.replace(b"<fax1@127.0.0.1>", b"<fax%d@127.0.0.1>" % k, 1)
        with open(os.path.join(folder, "%04d.eml" % n), "wb") as f:
            f.write(mail)
        pages += corpus.MIX[(n - 1) % len(corpus.MIX)]
    print(pages)
PYEOF
mapfile -t PAGES <"$W/pages"

# load: every account's mails into its mailbox, as a delivery agent puts
# them (tmp/, then new/), under names never served before.
loads=0
load() {
    loads=$((loads + 1))
    "$PY" - "$W" "$accounts" "$$.$loads" <<'PYEOF' || bench_die "cannot fill the mailboxes"
import os, pwd, shutil, sys
w, accounts, tag = sys.argv[1], int(sys.argv[2]), sys.argv[3]
mail = pwd.getpwnam("mail")
for k in range(1, accounts + 1):
    spool = os.path.join(w, "spool", "fax%d" % k)
    if os.listdir(os.path.join(spool, "new")) or os.listdir(os.path.join(spool, "cur")):
        sys.exit("the mailbox of fax%d is not empty" % k)
    src = os.path.join(w, "mails", "fax%d" % k)
    for name in sorted(os.listdir(src)):
        tmp = os.path.join(spool, "tmp", "%s.%s" % (tag, name))
        shutil.copyfile(os.path.join(src, name), tmp)
        os.chmod(tmp, 0o644)
        os.chown(tmp, mail.pw_uid, mail.pw_gid)
        os.rename(tmp, os.path.join(spool, "new", os.path.basename(tmp)))
PYEOF
    sync
}

# A chain as a user's script would run it: its own fetchmail (state and lock
# in its folder), then ripmime and tiff2pdf over what it fetched.
chain_one() { # K
    local d="$W/chain/$1" f
    FETCHMAILHOME=$d fetchmail -f "$W/fetchmailrc.bsmtp.fax$1" --pidfile "$d/fetchmail.pid" \
        --nosyslog -s 2>>"$d/log"
    bench_bsmtp_to_mbox "$d/all.bsmtp" "$d/all.mbox"
    ripmime --mailbox -i "$d/all.mbox" -d "$d/parts" --no-nameless -q >/dev/null
    for f in "$d"/parts/*.tif; do tiff2pdf -o "${f%.tif}.pdf" "$f"; done
}
export -f chain_one bench_bsmtp_to_mbox
export W

prepare() { # ours | chain
    local k d
    for k in $(seq 1 "$accounts"); do
        d="$W/$1/$k"
        if [ "$1" = ours ]; then
            BENCH_USER=fax$k bench_profile "$d"
        else
            rm -rf "$d"
            mkdir -p "$d/parts"
            BENCH_USER=fax$k bench_fetchmailrc bsmtp "$d/all.bsmtp"
        fi
    done
    load
}

# start_all ours|chain [setsid]: every instance at once, each under GNU time
# ("seconds peak-KiB" in its time file) and, with setsid, in a session of
# its own for the sampler; returns when all have ended.
start_all() {
    local c=$1 s=${2:-} k d pids=()
    for k in $(seq 1 "$accounts"); do
        d="$W/$c/$k"
        if [ "$c" = ours ]; then
            (
                rc=0
                VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini" VOXAFAX_POP3_PORT=$POP_PORT \
                    VOXAFAX_ANSWERS=no $s /usr/bin/time -f "%e %M" -o "$d/time" \
                    "$BENCH_BUILD/voxafax-print" /0 </dev/null >/dev/null 2>"$d/stderr" || rc=$?
                echo "$rc" >"$d/rc"
            ) &
        else
            $s /usr/bin/time -f "%e %M" -o "$d/time" bash -c 'chain_one "$1"' _ "$k" </dev/null &
        fi
        pids+=($!)
    done
    for k in "${pids[@]}"; do wait "$k" || true; done
}

# tally C: a line per account: messages left in its mailbox, PDFs, their
# pages, messages filed as printed (the program's).
tally() {
    "$PY" - "$here" "$W" "$1" "$accounts" <<'PYEOF'
import os, sys
sys.path.insert(0, sys.argv[1])
import pdf_pages
w, c, accounts = sys.argv[2], sys.argv[3], int(sys.argv[4])
for k in range(1, accounts + 1):
    d = os.path.join(w, c, str(k))
    spool = os.path.join(w, "spool", "fax%d" % k)
    left = len(os.listdir(spool + "/new")) + len(os.listdir(spool + "/cur"))
    pdfs, pages = pdf_pages.folder(os.path.join(d, "prints" if c == "ours" else "parts"))
    filed = os.path.join(d, "store", ".VOXA-FAXes.Printed", "cur")
    filed = len(os.listdir(filed)) if os.path.isdir(filed) else 0
    print(left, pdfs, pages, filed)
PYEOF
}

check() { # ours | chain
    local k=0 d sp left pdfs pages filed
    while read -r left pdfs pages filed; do
        k=$((k + 1)) d="$W/$1/$k" sp="$1 fax$k"
        bench_check "$sp: messages left on the server" "$left" 0
        bench_check "$sp: PDFs" "$pdfs" "$per"
        bench_check "$sp: pages" "$pages" "${PAGES[k - 1]}"
        if [ "$1" = ours ]; then
            bench_check "$sp: exit status ($(tail -n 1 "$d/stderr"))" "$(cat "$d/rc")" 0
            bench_check "$sp: messages filed as printed" "$filed" "$per"
        else
            bench_check "$sp: messages fetched" "$(grep -c '^From MAILER-DAEMON' "$d/all.mbox")" "$per"
        fi
    done < <(tally "$1" || echo "tally failed")
    bench_check "$1: accounts checked" "$k" "$accounts"
}

# peaks C: "sum largest" of the instances' peak RSS (KiB) in the last run.
peaks() {
    cat "$W/$1"/*/time | awk '{ s += $2; if ($2 > m) m = $2 } END { print s, m }'
}

# sample C: one more run of C with every instance in a session of its own;
# sets fds to "median largest" of the instances' most open descriptors.
sample() {
    prepare "$1"
    rm -f "$W/stop"
    "$PY" - "$$" "$W/stop" >"$W/fds" <<'PYEOF' &
import os, statistics, sys, time
root, stop = int(sys.argv[1]), sys.argv[2]
peak = {}
def stat(pid):
    with open("/proc/%s/stat" % pid) as f:
        s = f.read()
    comm = s[s.index("(") + 1:s.rindex(")")]
    f = s[s.rindex(")") + 2:].split()
    return comm, int(f[1]), int(f[3])  # name, parent, session
while True:
    done = os.path.exists(stop)
    procs = {}
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                procs[int(p)] = stat(p)
            except (OSError, ValueError):
                pass
    mine = procs.get(root, ("", 0, -1))[2]
    now = {}
    for pid, (comm, ppid, sid) in procs.items():
        if sid == mine or comm == "time":
            continue
        up = ppid
        while up > 1 and up != root:
            up = procs.get(up, ("", 0, 0))[1]
        if up != root:
            continue
        try:
            now[sid] = now.get(sid, 0) + len(os.listdir("/proc/%d/fd" % pid))
        except OSError:
            pass
    for sid, n in now.items():
        peak[sid] = max(peak.get(sid, 0), n)
    if done:
        break
    time.sleep(0.005)
v = sorted(peak.values()) or [0]
print(len(v), statistics.median(v), v[-1])
PYEOF
    local sampler=$!
    start_all "$1" setsid
    touch "$W/stop"
    wait "$sampler"
    check "$1"
    local n
    read -r n fds_median fds_max <"$W/fds"
    # An instance that starts and ends between two samples is not seen: the
    # figures are of those seen, and say how many that was.
    [ "$n" -gt 0 ] || bench_die "$1: no instance was sampled"
    fds="$fds_median $fds_max $n"
}

mails=$((accounts * per))
echo "$accounts accounts started together, $per fax mails each ($mails mails," \
    "$(awk '{ s += $1 } END { print s }' "$W/pages") pages)"
bench_machine
bench_runs_note
contenders=(ours chain)
declare -A sums largest
one() {
    local s m
    prepare "$1"
    bench_start
    start_all "$1"
    bench_stop
    check "$1"
    if [ "$BENCH_ROUND" != 0 ]; then
        read -r s m <<<"$(peaks "$1")"
        sums[$1]+="$s "
        largest[$1]+="$m "
    fi
}
bench_alternate one "${contenders[@]}"
declare -A fd
for c in "${contenders[@]}"; do
    sample "$c"
    fd[$c]=$fds
done

mib() { awk '{ printf "%.1f", $1 / 1024 }'; }
# shellcheck disable=SC2086
for c in "${contenders[@]}"; do
    printf '  %-6s %s s, %s msg/s, CPU %s s; peak RSS: sum %s MiB, largest %s MiB; descriptors: median %s, most %s (of %s instances seen)\n' \
        "$c" "$(bench_fmt "$(bench_stats ${wall[$c]})" 2)" "$(bench_fmt "$(bench_rate "$mails" ${wall[$c]})")" \
        "$(bench_fmt "$(bench_stats ${cpus[$c]})" 2)" \
        "$(bench_stats ${sums[$c]} | cut -d' ' -f1 | mib)" "$(bench_stats ${largest[$c]} | cut -d' ' -f1 | mib)" \
        ${fd[$c]}
done
bench_row_head
# shellcheck disable=SC2086
bench_row "$accounts accounts x $per faxes (s)" "$(bench_fmt "$(bench_stats ${wall[ours]})" 2)" \
    "$accounts fetchmail+ripmime+tiff2pdf chains $(bench_fmt "$(bench_stats ${wall[chain]})" 2)" \
    "$(bench_fmt "$(bench_ratios "${wall[chain]}" "${wall[ours]}")" 2)x" "every fax once; at least 3x"
# shellcheck disable=SC2086
bench_row "$accounts accounts, peak RSS (MiB)" \
    "sum $(bench_stats ${sums[ours]} | cut -d' ' -f1 | mib), max $(bench_stats ${largest[ours]} | cut -d' ' -f1 | mib)" \
    "chains: sum $(bench_stats ${sums[chain]} | cut -d' ' -f1 | mib), max $(bench_stats ${largest[chain]} | cut -d' ' -f1 | mib)" \
    "$(bench_fmt "$(bench_ratios "${sums[chain]}" "${sums[ours]}")" 2)x" "reported"
# shellcheck disable=SC2086
seen() { printf 'at most %s open in one of %s seen' $(cut -d' ' -f2,3 <<<"$1"); }
bench_row "$accounts accounts, descriptors" "$(seen "${fd[ours]}")" "chains: $(seen "${fd[chain]}")" "" "reported"
