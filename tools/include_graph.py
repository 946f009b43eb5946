#!/usr/bin/env python3
"""Folder-to-folder include counts of the tree, and the edges that break the
layering.

    tools/include_graph.py          print the table, then any violations
    tools/include_graph.py --check  the same; exit status 1 on a violation

The product lives in src/, one library per folder; a folder includes only its
own folder and lower layers. A real implementation (src/linux/<x>) is reached
only from the program's entry points. Everything outside src/ supports the
product and is checked too:
  tests/fakes     test doubles of the platform interfaces: src/platform only
  tests/support   what tests, fuzz targets, benchmarks and tools share
  tests/<x>       a unit test of src/<x>: that folder and the layers below it,
                  its own folder, tests/support and tests/fakes
  fuzz/, bench/   any product folder, tests/support and tests/fakes
  tools/          tests/support only (the fax drawing the tests use)
"""
import os
import re
import sys
from collections import Counter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src")

# Product folders under src/, lower number = lower layer.
LAYERS = {
    "platform": 0,
    "linux/maildir": 1, "linux/imaging": 1, "linux/printing": 1, "linux/tcp": 1,
    "linux/dialogs": 1,
    "config": 2,
    "convert": 3, "print": 3, "net": 3,
    "mailout": 4, "pop": 4,
    "walk": 5,
    "main": 6, "companion": 6,
}
# Includes between folders of the same layer that are allowed (none are).
ALLOWED_SIDEWAYS = set()
# The wiring of real implementations into a program happens in its entry
# point only.
ENTRY_POINTS = {"src/main/main.cpp", "src/companion/main.cpp"}
SUPPORT = ("tests/support", "tests/fakes")
# Support folders other than tests/<x> and what each may include.
SUPPORT_RULES = {
    "tests/fakes": lambda dst: dst == "src/platform",
    "tests/support": lambda dst: dst.startswith("src/") or dst in SUPPORT,
    "fuzz": lambda dst: dst.startswith("src/") or dst in SUPPORT,
    "bench": lambda dst: dst.startswith("src/") or dst in SUPPORT,
    "tools": lambda dst: dst == "tests/support",
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(folder):
    """The layered product folder of a repository folder (longest match), or None."""
    if not folder.startswith("src/"):
        return None
    inner = folder[len("src/"):]
    best = None
    for name in LAYERS:
        if inner == name or inner.startswith(name + "/"):
            if best is None or len(name) > len(best):
                best = name
    return best


def resolve(target):
    """The repository path an include names: product headers are found under
    src/, support headers from the top."""
    for base, prefix in ((SRC, "src/"), (ROOT, "")):
        if os.path.exists(os.path.join(base, target)):
            return prefix + target
    return None  # a header beside the file or of a library


def check_product(rel, src, dst, target):
    a, b = layer_of(src), layer_of(dst)
    if b is None:
        return f"{rel}: production code includes {target}, which is not product code"
    if a is None or a == b:
        return None
    if b.startswith("linux/"):
        return None if rel in ENTRY_POINTS else f"{rel}: includes an implementation {target}"
    if LAYERS[b] > LAYERS[a] or (LAYERS[b] == LAYERS[a] and (a, b) not in ALLOWED_SIDEWAYS):
        return f"{rel}: {a} (layer {LAYERS[a]}) includes {target} ({b}, layer {LAYERS[b]})"
    return None


def check_test(rel, src, dst, target):
    """tests/<x>: the code it tests and what that code stands on."""
    tested = "src/" + src[len("tests/"):]
    if dst == src or dst in SUPPORT:
        return None
    a, b = layer_of(tested), layer_of(dst)
    if a is None or b is None:
        return f"{rel}: a test of {tested} includes {target}"
    if b.startswith("linux/") and not a.startswith("linux/"):
        # A test may run the real implementation the code is meant for.
        return None
    if a == b or LAYERS[b] < LAYERS[a]:
        return None
    return f"{rel}: a test of {a} includes {target} ({b}), which {a} does not stand on"


def main():
    check = "--check" in sys.argv
    edges = Counter()
    violations = []
    for top in ("src", "tests", "fuzz", "bench", "tools"):
        for dirpath, dirnames, filenames in os.walk(os.path.join(ROOT, top)):
            dirnames[:] = [d for d in dirnames if not d.startswith(".")]
            src = os.path.relpath(dirpath, ROOT)
            for name in filenames:
                if not name.endswith((".cpp", ".h")):
                    continue
                rel = os.path.join(src, name)
                with open(os.path.join(ROOT, rel), encoding="utf-8", errors="replace") as f:
                    for line in f:
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        path = resolve(m.group(1))
                        if path is None:
                            continue
                        dst = os.path.dirname(path)
                        if dst == src:
                            continue
                        edges[(src, dst)] += 1
                        if src.startswith("src/"):
                            v = check_product(rel, src, dst, m.group(1))
                        elif src.split("/")[0] == "tests" and src not in SUPPORT:
                            v = check_test(rel, src, dst, m.group(1))
                        else:
                            rule = next((r for p, r in SUPPORT_RULES.items()
                                         if src == p or src.startswith(p + "/")), None)
                            v = None if rule and rule(dst) else f"{rel}: includes {m.group(1)}"
                        if v:
                            violations.append(v)

    width = max((len(s) for s, _ in edges), default=10)
    print(f"{'from':<{width}}  {'to':<{width}}  includes")
    for (s, d), n in sorted(edges.items()):
        print(f"{s:<{width}}  {d:<{width}}  {n}")
    if violations:
        print("\nEdges against the layering:")
        for v in violations:
            print("  " + v)
    else:
        print("\nNo edge runs upward or sideways; production code reaches no test code; "
              "each test includes only what it tests and what that stands on.")
    return 1 if check and violations else 0


if __name__ == "__main__":
    sys.exit(main())
