#!/usr/bin/env bash
# Fax TIFF to PDF: our imaging component against tiff2pdf. Generates G4 and
# G3 2-D fax TIFFs at 204x196 and 204x98 dpi (FILES per kind, PAGES pages
# each), converts them all with both, and prints pages per second, the ratio
# and the output sizes. Ours keeps the fax data as it is; tiff2pdf codes T.4
# pages again as T.6, so their sizes are shown apart.
#   bench/tiff_to_pdf.sh [files per kind] [pages per file] [build folder]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
files=${1:-3}
pages=${2:-25}
build=${3:-${VOXAFAX_BINARY_DIR:-$src/build}}
command -v tiff2pdf >/dev/null || { echo "tiff2pdf not installed (libtiff-tools)"; exit 1; }
[ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_tiff_to_pdf make_fax_tiff >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/in" "$work/ours" "$work/t2p"
for kind in "g4:" "g4c:--coarse" "g3:--g3-2d" "g3c:--g3-2d --coarse"; do
    name=${kind%%:*}
    opts=${kind#*:}
    for i in $(seq 1 "$files"); do
        # shellcheck disable=SC2086
        "$build/tools/make_fax_tiff" "$work/in/$name-$i.tif" --pages "$pages" $opts \
            --title "Benchmark fax $name $i"
    done
done
total=$(( files * pages * 4 ))
insize=$(du -cb "$work"/in/*.tif | tail -1 | cut -f1)

read -r ours_pages ours_secs < <("$build/bench/bench_tiff_to_pdf" "$work/ours" "$work"/in/*.tif)
t0=$(date +%s.%N)
for f in "$work"/in/*.tif; do
    tiff2pdf -o "$work/t2p/$(basename "$f").pdf" "$f"
done
t1=$(date +%s.%N)
t2p_secs=$(echo "$t1 - $t0" | bc -l)

oursize=$(du -cb "$work"/ours/*.pdf | tail -1 | cut -f1)
t2psize=$(du -cb "$work"/t2p/*.pdf | tail -1 | cut -f1)
[ "$ours_pages" -eq "$total" ] || { echo "converted $ours_pages of $total pages"; exit 1; }
printf 'pages: %d in %d files (%d bytes of TIFF)\n' "$total" $(( files * 4 )) "$insize"
printf 'ours:     %8.1f pages/s  (%.3f s)  output %d bytes\n' \
    "$(echo "$total / $ours_secs" | bc -l)" "$ours_secs" "$oursize"
printf 'tiff2pdf: %8.1f pages/s  (%.3f s)  output %d bytes\n' \
    "$(echo "$total / $t2p_secs" | bc -l)" "$t2p_secs" "$t2psize"
for set in g4 g3; do
    o=$(du -cb "$work"/ours/$set*.pdf | tail -1 | cut -f1)
    t=$(du -cb "$work"/t2p/$set*.pdf | tail -1 | cut -f1)
    printf '  %s input: ours %d bytes, tiff2pdf %d bytes (ratio %.4f)\n' "$set" "$o" "$t" \
        "$(echo "$o / $t" | bc -l)"
done
printf 'speed ratio (ours / tiff2pdf): %.2f   size ratio: %.4f\n' \
    "$(echo "$t2p_secs / $ours_secs" | bc -l)" "$(echo "$oursize / $t2psize" | bc -l)"
