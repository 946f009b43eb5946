#!/usr/bin/env python3
"""Builds the benchmark corpus: fax mails as a fax gateway sends them, each
carrying real multi-page fax TIFFs drawn by make_fax_tiff.

usage: corpus.py MAKE_FAX_TIFF OUT FAXES [BIG_MB ...]
       corpus.py --maildir MAKE_FAX_TIFF MAILDIR COUNT

OUT/faxes/NNNN.eml   FAXES mails of 1 to 5 pages (G4 and T.4 2-D, fine)
OUT/tiff/NNNN.tif    the TIFF each of them carries
OUT/big/bigN.eml     one mail per BIG_MB, a single long fax of about that size
OUT/manifest         shell assignments: counts, pages and bytes
The page counts repeat a fixed mix whose first 200 faxes hold 501 pages, the
mix of the mailbox the speed goals were set on.

With --maildir: COUNT one-page fax mails (G4) delivered into MAILDIR's new/
through tmp/, as an outside deliverer drops them into the store's inbox.
"""
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "scripts"))
import mkfax  # noqa: E402

# 200 faxes: 57 of one page, 51 of two, 46 of three, 26 of four, 20 of five.
MIX = [1] * 57 + [2] * 51 + [3] * 46 + [4] * 26 + [5] * 20
random.Random(13).shuffle(MIX)
TO = "fax1@127.0.0.1"


def make_tiff(tool, path, pages, g3, title):
    args = [tool, path, "--pages", str(pages), "--title", title]
    if g3:
        args.append("--g3-2d")
    subprocess.run(args, check=True)


def write_mail(out, n, tiff):
    mkfax.gateway_mail(out, n, TO, "gateway%d@localhost" % n, [tiff], tag="bench")


def fill_maildir(tool, maildir, count):
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    tiff = os.path.join(maildir, "tmp", "page.tif")
    make_tiff(tool, tiff, 1, False, "Benchmark fax")
    for n in range(1, count + 1):
        name = "bench%06d" % n
        tmp = os.path.join(maildir, "tmp", name)
        write_mail(tmp, n, tiff)
        os.rename(tmp, os.path.join(maildir, "new", name))
    os.unlink(tiff)


def main():
    if sys.argv[1] == "--maildir":
        fill_maildir(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    tool, out, faxes = sys.argv[1], sys.argv[2], int(sys.argv[3])
    big_mb = [int(a) for a in sys.argv[4:]]
    for sub in ("faxes", "tiff", "big", "big-tiff"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)

    fax_pages = fax_bytes = 0
    for n in range(1, faxes + 1):
        pages = MIX[(n - 1) % len(MIX)]
        tiff = os.path.join(out, "tiff", "%04d.tif" % n)
        make_tiff(tool, tiff, pages, n % 2 == 1, "Benchmark fax %d" % n)
        mail = os.path.join(out, "faxes", "%04d.eml" % n)
        write_mail(mail, n, tiff)
        fax_pages += pages
        fax_bytes += os.path.getsize(mail)

    # Pages for a given size, from the size of a sample of the same coding.
    sample = os.path.join(out, "big-tiff", "sample.tif")
    make_tiff(tool, sample, 10, True, "sample")
    per_page = os.path.getsize(sample) / 10
    os.unlink(sample)
    big_pages = big_bytes = big_max = 0
    for i, mb in enumerate(big_mb, 1):
        pages = max(1, round(mb * 1024 * 1024 / (4 / 3 * 78 / 76) / per_page))
        tiff = os.path.join(out, "big-tiff", "big%d.tif" % i)
        make_tiff(tool, tiff, pages, True, "Long benchmark fax %d" % i)
        mail = os.path.join(out, "big", "big%d.eml" % i)
        write_mail(mail, 9000 + i, tiff)
        size = os.path.getsize(mail)
        big_pages += pages
        big_bytes += size
        if size > big_max:
            big_max, big_max_pages = size, pages
            big_max_name = mail

    with open(os.path.join(out, "manifest"), "w") as f:
        f.write("FAXES=%d\nFAX_PAGES=%d\nFAX_BYTES=%d\n" % (faxes, fax_pages, fax_bytes))
        f.write("BIG=%d\nBIG_PAGES=%d\nBIG_BYTES=%d\n" % (len(big_mb), big_pages, big_bytes))
        if big_mb:
            f.write("BIG_MAX=%s\nBIG_MAX_BYTES=%d\nBIG_MAX_PAGES=%d\n" %
                    (big_max_name, big_max, big_max_pages))


if __name__ == "__main__":
    main()
