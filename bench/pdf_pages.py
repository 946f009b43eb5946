#!/usr/bin/env python3
"""Pages of the PDFs in folders, for the benchmarks' checks.

usage: pdf_pages.py DIR...     prints the pages of all PDFs in each DIR

A page count is read from the PDF's page tree (the largest /Count of a
/Type /Pages dictionary); a file that does not end in %%EOF counts 0.
pdfinfo reads every PDF too slowly for runs of thousands of faxes, so it
checks the first and the last PDF of each folder: a count it does not
confirm ends the script with status 1.
"""
import glob
import os
import re
import subprocess
import sys

TREE = re.compile(rb"/Type\s*/Pages\b[^>]*?/Count\s+(\d+)|/Count\s+(\d+)[^>]*?/Type\s*/Pages\b")


def pages(path):
    with open(path, "rb") as f:
        pdf = f.read()
    if not pdf.rstrip().endswith(b"%%EOF"):
        return 0
    counts = [int(a or b) for a, b in TREE.findall(pdf)]
    return max(counts, default=0)


def pdfinfo_pages(path):
    out = subprocess.run(["pdfinfo", path], capture_output=True, text=True).stdout
    m = re.search(r"^Pages:\s*(\d+)", out, re.M)
    return int(m.group(1)) if m else 0


def folder(path):
    """(PDFs, their pages) of the folder; exits when pdfinfo disagrees."""
    pdfs = sorted(glob.glob(os.path.join(glob.escape(path), "*.pdf")))
    counts = [pages(p) for p in pdfs]
    for i in {0, len(pdfs) - 1} if pdfs else ():
        if pdfinfo_pages(pdfs[i]) != counts[i]:
            sys.exit("pdf_pages: %s: %d pages in its page tree, pdfinfo says %d" %
                     (pdfs[i], counts[i], pdfinfo_pages(pdfs[i])))
    return len(pdfs), sum(counts)


if __name__ == "__main__":
    for d in sys.argv[1:]:
        print(folder(d)[1])
