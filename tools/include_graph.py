#!/usr/bin/env python3
"""Folder-to-folder include counts of the tree, and the edges that break the
layering: a folder including one above it or beside it, or production code
reaching a test fake or a test helper.

    tools/include_graph.py          print the table, then any violations
    tools/include_graph.py --check  the same; exit status 1 on a violation
"""
import os
import re
import sys
from collections import Counter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Lower number = lower layer. A folder may include its own layer's folder and
# any lower layer; platform/linux/<x> folders may include only platform/.
LAYERS = {
    "platform": 0,
    "platform/linux/maildir": 1, "platform/linux/imaging": 1, "platform/linux/printing": 1,
    "platform/linux/net": 1, "platform/linux/dialogs": 1,
    "config": 2,
    "convert": 3, "print": 3, "net": 3,
    "mailout": 4, "pop": 4,
    "main": 5,
    "companion": 5,
}
# Includes between folders of the same layer that are allowed (none are).
ALLOWED_SIDEWAYS = set()
TEST_ONLY = ("platform/fake", "tests")
NOT_PRODUCTION = ("tests", "fuzz", "bench", "tools", "platform/fake")
# The wiring of real implementations into the program happens in the entry
# points only.
ENTRY_POINTS = {"main/main.cpp": ["platform/linux/"], "companion/main.cpp": ["platform/linux/"]}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(path):
    return os.path.dirname(path)


def layer_folder(folder):
    """The layered folder a source folder belongs to (longest match)."""
    best = None
    for name in LAYERS:
        if folder == name or folder.startswith(name + "/"):
            if best is None or len(name) > len(best):
                best = name
    return best


def main():
    check = "--check" in sys.argv
    edges = Counter()
    violations = []
    for dirpath, dirnames, filenames in os.walk(ROOT):
        rel_dir = os.path.relpath(dirpath, ROOT)
        dirnames[:] = [d for d in dirnames if not d.startswith(".") and not d.startswith("build")]
        for name in filenames:
            if not name.endswith((".cpp", ".h")):
                continue
            rel = os.path.normpath(os.path.join(rel_dir, name))
            src = folder_of(rel)
            with open(os.path.join(ROOT, rel), encoding="utf-8", errors="replace") as f:
                for line in f:
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    if not os.path.exists(os.path.join(ROOT, target)):
                        continue  # a header beside the file or of a library
                    dst = folder_of(target)
                    if dst == src:
                        continue
                    edges[(src, dst)] += 1
                    production = not src.startswith(NOT_PRODUCTION)
                    if production and dst.startswith(TEST_ONLY):
                        violations.append(f"{rel}: production code includes test code {target}")
                        continue
                    if not production:
                        continue
                    a, b = layer_folder(src), layer_folder(dst)
                    if a is None or b is None:
                        continue
                    if b.startswith("platform/linux/"):
                        allowed = [p for e, ps in ENTRY_POINTS.items() if e == rel for p in ps]
                        if a != b and not any(b.startswith(p) for p in allowed):
                            violations.append(f"{rel}: includes an implementation {target}")
                        continue
                    if LAYERS[b] > LAYERS[a] or (LAYERS[b] == LAYERS[a] and a != b
                                                 and (a, b) not in ALLOWED_SIDEWAYS):
                        violations.append(f"{rel}: {a} (layer {LAYERS[a]}) includes {target} "
                                          f"({b}, layer {LAYERS[b]})")

    width = max((len(s) for s, _ in edges), default=10)
    print(f"{'from':<{width}}  {'to':<{width}}  includes")
    for (s, d), n in sorted(edges.items()):
        print(f"{s:<{width}}  {d:<{width}}  {n}")
    if violations:
        print("\nEdges against the layering:")
        for v in violations:
            print("  " + v)
    else:
        print("\nNo edge runs upward or sideways; no production code reaches a test fake.")
    return 1 if check and violations else 0


if __name__ == "__main__":
    sys.exit(main())
