#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test; then
# builds the unit tests again with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/) and runs them, so that a use-after-free or an overflow fails
# here even where the normal build passes by luck. --no-sanitizers skips that
# second round; other arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitizers=yes
args=()
for a in "$@"; do
  if [ "$a" = --no-sanitizers ]; then sanitizers=no; else args+=("$a"); fi
done
bash scripts/install-deps.sh
jobs=$(nproc)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j2 "${args[@]}")
[ "$sanitizers" = yes ] || exit 0

# Only the unit-test programs (and the two commands the companion tests
# run), at -O1: enough for the sanitizers, and it keeps the round short.
start=$(date +%s)
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 -DCMAKE_C_FLAGS=-O1 \
  -DVOXAFAX_SANITIZE=ON "${launcher[@]}" >/dev/null
cmake --build build-asan -j"$jobs" --target unit_tests
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
(cd build-asan && ctest --output-on-failure -j2 -E '^(script_|include_graph)' "${args[@]}")
echo "sanitizer round: $(($(date +%s) - start)) s"
