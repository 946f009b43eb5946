#!/usr/bin/env python3
"""Reads an `strace -f -C -y -o TRACE` of one whole run and prints, per
message: the system calls by name (the -C summary), then where the fsyncs,
opens, mkdirs, reads and lseeks went, by the files they touched.

usage: syscalls.py TRACE MESSAGES RUN_DIR MAIL_BYTES [TOP]

RUN_DIR is the run's folder (cfg/, home/, store/, prints/); it must still
exist, to tell folders from files.
"""
import collections
import os
import re
import sys

CALL = re.compile(r"^\d+\s+(?:<\.\.\. )?(\w+)\((.*)\)\s+= (-?\d+|\?)(?:<([^>]*)>)?(?: (E\w+))?")
FD = re.compile(r"^-?\d+<([^>]*)>")
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')


def category(path, run):
    if not path.startswith(run + "/"):
        return "elsewhere"
    rel = path[len(run) + 1:]
    if rel == "cfg":
        return "config (folder)"
    if rel.startswith("cfg/"):
        name = rel[4:]
        # A file written atomically goes through a hidden copy of a random name.
        copy = re.match(r"^\.(.+)\.\w{6}$", name)
        return "config: " + (copy.group(1) + " (new copy)" if copy else name)
    for prefix, name in (("home/In", "In/"), ("home/temp", "temp/"), ("home/Out", "Out/"),
                         ("store", "store"), ("prints", "printer folder")):
        if rel == prefix or rel.startswith(prefix + "/"):
            kind = name
            break
    else:
        kind = "program folder: " + rel[5:] if rel.startswith("home/") else rel
    if kind in ("In/", "temp/", "Out/", "store", "printer folder"):
        kind += " (folder)" if os.path.isdir(path) else ""
    return kind


def main():
    trace, messages, run = sys.argv[1], int(sys.argv[2]), os.path.realpath(sys.argv[3])
    mail = int(sys.argv[4])
    top = int(sys.argv[5]) if len(sys.argv) > 5 else 14
    summary = []
    fsyncs = collections.Counter()
    opens = collections.Counter()
    reads = collections.defaultdict(lambda: [0, 0])
    lseeks = collections.Counter()
    mkdirs = [0, 0]
    in_summary = False
    with open(trace, errors="replace") as f:
        for line in f:
            if line.startswith("% time"):
                in_summary = True
                continue
            if in_summary:
                cols = line.split()
                if cols and cols[0][0].isdigit() and not line.startswith("-"):
                    name = cols[-1]
                    calls = int(cols[3])
                    errors = int(cols[4]) if len(cols) == 6 else 0
                    summary.append((name, calls, errors))
                continue
            m = CALL.match(line)
            if not m:
                continue
            name, args, ret, retpath = m.group(1), m.group(2), m.group(3), m.group(4)
            fd = FD.match(args)
            fdpath = fd.group(1) if fd else None
            if name in ("fsync", "fdatasync") and fdpath:
                fsyncs[category(fdpath, run)] += 1
            elif name == "syncfs" and fdpath:
                # One flush of a whole file system: counted with the fsyncs.
                fsyncs["syncfs: " + category(fdpath, run)] += 1
            elif name in ("openat", "open") and ret != "?" and int(ret) >= 0 and retpath:
                opens[category(retpath, run)] += 1
            elif name in ("mkdir", "mkdirat"):
                mkdirs[0] += 1
                if m.group(5) == "EEXIST":
                    mkdirs[1] += 1
            elif name in ("read", "pread64") and fdpath and ret != "?" and int(ret) >= 0:
                r = reads[category(fdpath, run)]
                r[0] += 1
                r[1] += int(ret)
            elif name == "lseek" and fdpath:
                lseeks[category(fdpath, run)] += 1

    per = lambda n: n / messages
    total = next((c for n, c, _ in summary if n == "total"), 0)
    calls = sorted((s for s in summary if s[0] != "total"), key=lambda s: -s[1])
    print("  system calls per message (strace -c -f over the whole run): %.0f" % per(total))
    print("    %-18s %10s %8s" % ("call", "per msg", "errors"))
    for name, n, errors in calls[:top]:
        print("    %-18s %10.1f %8.1f" % (name, per(n), per(errors)))
    rest = sum(n for _, n, _ in calls[top:])
    print("    %-18s %10.1f" % ("(%d others)" % max(0, len(calls) - top), per(rest)))

    def table(title, counter, fmt=lambda k, v: "%.2f" % per(v)):
        print("  %s per message: %.2f" % (title, per(sum(counter.values()))))
        for key, value in sorted(counter.items(), key=lambda kv: -kv[1]):
            print("    %-40s %s" % (key, fmt(key, value)))

    table("fsyncs", fsyncs)
    table("files opened", opens)
    print("  mkdir per message: %.2f, of them on a folder that exists: %.0f %%" %
          (per(mkdirs[0]), 100.0 * mkdirs[1] / mkdirs[0] if mkdirs[0] else 0))
    print("  reads per message (calls, bytes, bytes per call), for %.0f bytes of mail:" %
          per(mail))
    for key, (n, b) in sorted(reads.items(), key=lambda kv: -kv[1][1]):
        print("    %-40s %8.1f %11.0f %8.0f" % (key, per(n), per(b), b / n if n else 0))
    table("lseeks", lseeks)
    print("RESULT\t%.0f\t%.2f" % (per(total), per(sum(fsyncs.values()))))


if __name__ == "__main__":
    main()
