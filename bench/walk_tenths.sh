#!/usr/bin/env bash
# Time per message across one long inbox walk: N single-page fax mails (G4,
# default 10,000) dropped into the store's inbox as an outside deliverer
# would, then one whole run (voxafax-print /0, the store's own delivery, no
# POP) printing them to a folder printer and filing them. The printed PDFs'
# modification times show when each fax was done: the script prints the
# milliseconds per message of each tenth of the walk, the start-up before
# the first print and the filing after the last. A walk whose cost does not
# grow with the inbox has ten equal tenths.
#   bench/walk_tenths.sh [N]        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
n=${1:-10000}
bench_need pdfinfo
bench_build voxafax-print make_fax_tiff
bench_workdir

d="$W/walk"
mkdir -p "$d/home" "$d/cfg"
printf '[Fax Store]\nmaildir = %s\n' "$d/store" >"$d/cfg/stores.ini"
printf '[Fax PDF]\ndirectory = %s\n' "$d/prints" >"$d/cfg/printers.ini"
printf '[VOXA-FAX]\nVoxa_Fax_Addr=fax1@127.0.0.1\nPrinter_Type=Fax PDF\n%s\n' \
    'VoxaFax_Profile=Fax Store
Use_Profile=y
Use_Defaults=1
Confirm_Receipt=n' >"$d/cfg/voxafax.ini"
"$PY" "$BENCH_SRC/bench/corpus.py" --maildir "$BENCH_BUILD/tools/make_fax_tiff" "$d/store" "$n"
sync

echo "inbox walk: $n single-page faxes in the inbox, one run"
bench_machine
# The run, its CPU time sampled every 20 ms from /proc, so that each tenth
# has its CPU milliseconds per message beside its wall-clock ones: the disk's
# fsync waits move the latter, not the former.
rc=0
VOXAFAX_HOME="$d/home" VOXAFAX_PROFILE="$d/cfg/voxafax.ini" VOXAFAX_ANSWERS=no \
    "$PY" - "$BENCH_BUILD/voxafax-print" "$W/samples" <<'PYEOF' 2>"$d/stderr" || rc=$?
import os, resource, subprocess, sys, time
tick = os.sysconf("SC_CLK_TCK")
start = time.time()
p = subprocess.Popen([sys.argv[1], "/0"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
samples = []
while p.poll() is None:
    try:
        with open("/proc/%d/stat" % p.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        samples.append((time.time(), (int(fields[11]) + int(fields[12])) / tick))
    except (OSError, IndexError):
        pass
    time.sleep(0.02)
end = time.time()
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
samples.append((end, usage.ru_utime + usage.ru_stime))
with open(sys.argv[2], "w") as f:
    f.write("%f %f %d\n" % (start, end, usage.ru_maxrss))
    f.writelines("%f %f\n" % s for s in samples)
sys.exit(p.returncode)
PYEOF
bench_check "program exit status" "$rc" 0
bench_check "PDFs printed" "$(find "$d/prints" -name '*.pdf' | wc -l)" "$n"
bench_check "messages filed" "$(find "$d/store/.VOXA-FAXes.Printed/cur" -type f | wc -l)" "$n"
# One PDF in a hundred is enough to see that the pages are real.
sampled=$(find "$d/prints" -name '*.pdf' | sort | awk 'NR % 100 == 1' | xargs -n 1 pdfinfo |
    sed -n 's/^Pages: *//p' | sort -u | tr '\n' ' ')
bench_check "pages of the sampled PDFs" "$sampled" "1 "

"$PY" - "$d/prints" "$n" "$W/samples" "$W/result" <<'PYEOF'
import bisect, os, sys
folder, n, samples, result = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
with open(samples) as f:
    start, end, kib = (float(x) for x in f.readline().split())
    wall, cpu = zip(*((float(a), float(b)) for a, b in (line.split() for line in f)))

def cpu_at(t):  # CPU seconds at wall time t, between the samples around it
    i = bisect.bisect_left(wall, t)
    if i == 0:
        return cpu[0]
    if i >= len(wall):
        return cpu[-1]
    a, b = wall[i - 1], wall[i]
    return cpu[i - 1] + (cpu[i] - cpu[i - 1]) * (t - a) / (b - a)

names = sorted(e.name for e in os.scandir(folder) if e.name.endswith(".pdf"))
t = [os.stat(os.path.join(folder, x)).st_mtime_ns / 1e9 for x in names]
tenth = n // 10
ms, cms = [], []
for k in range(10):
    a, b = t[max(k * tenth - 1, 0)], t[(k + 1) * tenth - 1]
    count = tenth - 1 if k == 0 else tenth
    ms.append((b - a) / count * 1000)
    cms.append((cpu_at(b) - cpu_at(a)) / count * 1000)
print("  start-up to the first print: %.0f ms" % ((t[0] - start) * 1000))
print("  ms per message, each tenth:      " + " ".join("%5.2f" % x for x in ms))
print("  CPU ms per message, each tenth:  " + " ".join("%5.2f" % x for x in cms))
print("  last print to the end (filing and the end of the run): %.0f ms" % ((end - t[-1]) * 1000))
print("  whole run: %.1f s, %.0f msg/s, CPU %.1f s, peak RSS %.1f MiB" %
      (end - start, n / (end - start), cpu[-1], kib / 1024))
with open(result, "w") as f:
    f.write("%.2f %.2f %.2f %.2f %.2f %.2f\n" % (ms[0], ms[-1], ms[-1] / ms[0],
                                               cms[0], cms[-1], cms[-1] / cms[0]))
PYEOF
read -r first last growth cfirst clast cgrowth <"$W/result"
bench_row_head
bench_row "Walk, ms/msg by tenth" "$first first, $last last tenth" "" "${growth}x" "flat (1.0x)"
bench_row "Walk, CPU ms/msg by tenth" "$cfirst first, $clast last tenth" "" "${cgrowth}x" "flat (1.0x)"
