#!/usr/bin/env bash
# Times the Maildir store: writes N messages (default 10000) through the store
# as the conversion does, then walks them reading Type, Subject, Text,
# recipients and attachment names as the inbox run does. Prints messages per
# second and the peak RSS.
#   bench/store_walk.sh [messages] [build folder]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-10000}
build=${2:-${VOXAFAX_BINARY_DIR:-$src/build}}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_store_walk >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/data"
if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "wall %e s, max RSS %M KiB (time -v figure)" "$build/bench/bench_store_walk" "$work/data" "$count"
else
    "$build/bench/bench_store_walk" "$work/data" "$count"
fi
