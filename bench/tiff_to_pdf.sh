#!/usr/bin/env bash
# Fax TIFF to PDF, whole processes on the same files (the corpus's fax TIFFs,
# G4 and T.4 2-D): the program's imaging component (bench_tiff_to_pdf) over
# all files in one process, as a run converts them, against tiff2pdf at its
# best, which takes one file per process; a second row starts both once per
# file from the same shell loop. Alternating, one warm-up each, BENCH_RUNS
# timed runs; after every run the PDFs' pages are counted. Also shows the
# output sizes (the program keeps the fax coding as it is; tiff2pdf codes
# T.4 pages again as T.6).
#   bench/tiff_to_pdf.sh        (settings: see bench/lib.sh)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bench_need tiff2pdf pdfinfo
bench_build bench_tiff_to_pdf
bench_corpus
bench_workdir
tiffs=("$CORPUS"/tiff/*.tif)
ours=$BENCH_BUILD/bench/bench_tiff_to_pdf

run() { # program | tiff2pdf | one-process
    local f o="$W/$1"
    rm -rf "$o"
    mkdir -p "$o"
    sync
    bench_start
    case $1 in
    program) for f in "${tiffs[@]}"; do "$ours" "$o" "$f"; done ;;
    tiff2pdf) for f in "${tiffs[@]}"; do tiff2pdf -o "$o/${f##*/}.pdf" "$f"; done ;;
    one-process) "$ours" "$o" "${tiffs[@]}" ;;
    esac
    bench_stop
    bench_check "$1: pages" "$(bench_pdf_pages "$o")" "$FAX_PAGES"
}

echo "TIFF to PDF: ${#tiffs[@]} files, $FAX_PAGES pages, $(du -cb "${tiffs[@]}" | tail -1 | cut -f1) bytes"
bench_machine
bench_runs_note
bench_alternate run program tiff2pdf one-process
for c in program tiff2pdf; do
    echo "  output of $c: $(du -cb "$W/$c"/*.pdf | tail -1 | cut -f1) bytes"
done
# shellcheck disable=SC2086
bench_row_head
# The program converts a run's files in its one process; tiff2pdf takes one
# file per process, its only way. The second row starts both per file.
# shellcheck disable=SC2086
bench_row "TIFF to PDF (pages/s)" "$(bench_fmt "$(bench_rate "$FAX_PAGES" ${wall[one-process]})")" \
    "tiff2pdf, a process per file $(bench_fmt "$(bench_rate "$FAX_PAGES" ${wall[tiff2pdf]})")" \
    "$(bench_fmt "$(bench_ratios "${wall[tiff2pdf]}" "${wall[one-process]}")" 2)x" "keep"
# shellcheck disable=SC2086
bench_row "TIFF to PDF, a process per file each" "$(bench_fmt "$(bench_rate "$FAX_PAGES" ${wall[program]})")" \
    "tiff2pdf $(bench_fmt "$(bench_rate "$FAX_PAGES" ${wall[tiff2pdf]})")" \
    "$(bench_fmt "$(bench_ratios "${wall[tiff2pdf]}" "${wall[program]}")" 2)x" ""
