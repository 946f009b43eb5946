#!/usr/bin/env python3
"""Test and benchmark fax mail: TIFF pages and the messages that carry them.

usage: mkfax.py MAILDIR KIND [COUNT] [TO] [PAGES]
       mkfax.py --mail OUT_FILE N TO SENDER TIFF...

The first form drops fax mail into a Maildir's new/ (through tmp/) the way an
outside deliverer would. KIND: fax (one 2-page TIFF), badfax (an unreadable
.tif and a good TIFF), receipt (an incoming disposition notification),
stranger (a fax addressed to someone else), regular (a gateway fax:
X-Message-Class IPM.Note.Fax), bigfax (one TIFF of 40 pages), huge (a 50 MB
attachment "huge.tif" of random bytes, written in pieces), bomb (image bombs
"bomb.tif", one 7000 x 7000 RGB page of a few kilobytes, and "pages.tif",
10,001 small pages, then a good fax). PAGES sets the page count of the fax
TIFF (default 2).

The second writes one fax mail as a sender's gateway sends it to the service
(see gateway_mail). Only the standard library is used.
"""
import base64
import os
import struct
import sys
import time
import zlib

TO = "4165551234@voxafax.example"


def packbits(data):
    """PackBits, runs only (a literal of one byte for a single byte)."""
    out = bytearray()
    i = 0
    while i < len(data):
        j = i
        while j < len(data) and j - i < 128 and data[j] == data[i]:
            j += 1
        n = j - i
        out += bytes([0 if n == 1 else 257 - n, data[i]])
        i = j
    return bytes(out)


def add_ifd(out, prev_link, entries):
    """Appends a page directory of (tag, type, count, value) entries, links
    it from the offset at prev_link, and returns where its own link is."""
    struct.pack_into("<I", out, prev_link, len(out))
    out += struct.pack("<H", len(entries))
    for tag, typ, count, value in entries:
        if typ == 3 and count == 1:  # one SHORT sits in the entry itself
            out += struct.pack("<HHIHH", tag, typ, count, value, 0)
        else:
            out += struct.pack("<HHII", tag, typ, count, value)
    link = len(out)
    out += b"\x00\x00\x00\x00"
    return link


def tiff(pages, width=1728, height=1100):
    """A bilevel multi-page TIFF (PackBits) at fax resolution 204 x 98."""
    row = (width + 7) // 8
    raw = bytearray(row * height)
    for y in range(0, height, 40):  # a few black lines so the page is not empty
        raw[y * row:(y + 1) * row] = b"\xff" * row
    strip = packbits(bytes(raw))
    out = bytearray(b"II*\x00\x00\x00\x00\x00")
    prev_link = 4
    for _ in range(pages):
        data_at = len(out)
        out += strip
        if len(out) % 2:
            out += b"\x00"
        res_at = len(out)
        out += struct.pack("<IIII", 204, 1, 98, 1)
        entries = [
            (254, 4, 1, 2),            # NewSubfileType: page
            (256, 4, 1, width),
            (257, 4, 1, height),
            (258, 3, 1, 1),
            (259, 3, 1, 32773),
            (262, 3, 1, 0),
            (273, 4, 1, data_at),
            (277, 3, 1, 1),
            (278, 4, 1, height),
            (279, 4, 1, len(strip)),
            (282, 5, 1, res_at),
            (283, 5, 1, res_at + 8),
            (296, 3, 1, 2),
        ]
        prev_link = add_ifd(out, prev_link, entries)
    return bytes(out)


def bomb_tiff(width, height, pages, rows=16):
    """RGB pages, deflate coded, every strip of every page pointing at one
    shared block of compressed white: kilobytes on disk, gigapixels decoded."""
    strip = zlib.compress(b"\xff" * (width * 3 * rows), 9)
    strips = (height + rows - 1) // rows
    out = bytearray(b"II*\x00\x00\x00\x00\x00")
    strip_at = len(out)
    out += strip
    if len(out) % 2:
        out += b"\x00"
    bps_at = len(out)
    out += struct.pack("<HHH", 8, 8, 8)
    offsets_at = len(out)
    out += struct.pack("<%dI" % strips, *([strip_at] * strips))
    counts_at = len(out)
    out += struct.pack("<%dI" % strips, *([len(strip)] * strips))
    prev_link = 4
    for _ in range(pages):
        entries = [
            (256, 4, 1, width), (257, 4, 1, height), (258, 3, 3, bps_at), (259, 3, 1, 8),
            (262, 3, 1, 2), (273, 4, strips, offsets_at if strips > 1 else strip_at),
            (277, 3, 1, 3), (278, 4, 1, rows),
            (279, 4, strips, counts_at if strips > 1 else len(strip)), (284, 3, 1, 1),
        ]
        prev_link = add_ifd(out, prev_link, entries)
    return bytes(out)


def b64(data):
    text = base64.b64encode(data).decode()
    return "\r\n".join(text[i:i + 76] for i in range(0, len(text), 76))


def part(name, ctype, data):
    return ("Content-Type: %s; name=\"%s\"\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"%s\"\r\n\r\n%s\r\n" % (ctype, name, name, b64(data)))


def message(kind, n, to, image):
    b = "=_walk_boundary_%d" % n
    head = ("From: Fax Sender <sender%d@localhost>\r\nTo: Subscriber <%s>\r\n"
            "Subject: %s %d\r\nDate: Tue, 05 May 2026 19:40:%02d +0000\r\n"
            "Message-Id: <walk-%s-%d@example.org>\r\nMIME-Version: 1.0\r\n" % (n, to, kind, n, n % 60, kind, n))
    if kind == "receipt":
        return (head + "Content-Type: multipart/report; report-type=disposition-notification; "
                "boundary=\"%s\"\r\n\r\n--%s\r\nContent-Type: text/plain\r\n\r\nYour fax was printed.\r\n"
                "--%s\r\nContent-Type: message/disposition-notification\r\n\r\n"
                "Disposition: automatic-action/MDN-sent-automatically; processed\r\n--%s--\r\n" % (b, b, b, b))
    if kind == "regular":
        head += "X-Message-Class: IPM.Note.Fax\r\n"
    parts = "--%s\r\nContent-Type: text/plain\r\n\r\nFax message %d\r\n" % (b, n)
    if kind == "badfax":
        parts += "--%s\r\n%s" % (b, part("broken.tif", "image/tiff", b"this is not an image"))
    if kind == "bomb":
        parts += "--%s\r\n%s" % (b, part("bomb.tif", "image/tiff", bomb_tiff(7000, 7000, 1)))
        parts += "--%s\r\n%s" % (b, part("pages.tif", "image/tiff", bomb_tiff(64, 64, 10001, 64)))
    parts += "--%s\r\n%s" % (b, part("fax%d.tif" % n, "image/tiff", image))
    return head + "Content-Type: multipart/mixed; boundary=\"%s\"\r\n\r\n%s--%s--\r\n" % (b, parts, b)


def huge_message(path, to):
    with open(path, "wb") as f:
        f.write(("From: Big Sender <big@localhost>\r\nTo: %s\r\nSubject: huge\r\n"
                 "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"h\"\r\n\r\n"
                 "--h\r\nContent-Type: text/plain\r\n\r\nA large file.\r\n--h\r\n"
                 "Content-Type: image/tiff; name=\"huge.tif\"\r\nContent-Transfer-Encoding: base64\r\n"
                 "Content-Disposition: attachment; filename=\"huge.tif\"\r\n\r\n" % to).encode())
        chunk = os.urandom(57 * 1000)
        encoded = base64.b64encode(chunk)
        lines = b"\r\n".join(encoded[j:j + 76] for j in range(0, len(encoded), 76)) + b"\r\n"
        for _ in range(50 * 1024 * 1024 // len(chunk) + 1):
            f.write(lines)
        f.write(b"--h--\r\n")


def gateway_mail(out, n, to, sender, tiffs, tag="system"):
    """A multipart/mixed mail from SENDER to TO asking for a receipt
    (Disposition-Notification-To), with a short text part and each TIFF as a
    base64 attachment, written in blocks so that a large TIFF is never held
    whole. N numbers the message: subject and Message-Id <TAG-N@gateway.test>."""
    b = "=_%s_%d" % (tag, n)
    head = [
        "From: Fax Gateway %d <%s>" % (n, sender),
        "To: Subscriber <%s>" % to,
        "Subject: Fax %d from 4165550%03d" % (n, n % 1000),
        "Date: Tue, 05 May 2026 10:%02d:00 +0000" % (n % 60),
        "Message-Id: <%s-%d@gateway.test>" % (tag, n),
        "Disposition-Notification-To: %s" % sender,
        "MIME-Version: 1.0",
        'Content-Type: multipart/mixed; boundary="%s"' % b,
        "",
        "--" + b,
        "Content-Type: text/plain; charset=us-ascii",
        "",
        "Fax %d, %d attachment(s)." % (n, len(tiffs)),
    ]
    with open(out, "wb") as f:
        f.write("\r\n".join(head).encode() + b"\r\n")
        for i, path in enumerate(tiffs, 1):
            name = "fax%d_%d.tif" % (n, i)
            f.write(("--%s\r\nContent-Type: image/tiff; name=\"%s\"\r\n"
                     "Content-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment; filename=\"%s\"\r\n\r\n" % (b, name, name)).encode())
            with open(path, "rb") as t:
                while True:
                    block = t.read(57 * 1000)  # whole 76-column lines of base64
                    if not block:
                        break
                    text = base64.b64encode(block)
                    f.write(b"".join(text[j:j + 76] + b"\r\n" for j in range(0, len(text), 76)))
        f.write(("--%s--\r\n" % b).encode())


def fill_maildir(maildir, kind, count=1, to=TO, pages=2):
    if kind == "stranger":
        to, kind = "someone@else.example", "fax"
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    image = b"" if kind == "huge" else tiff(40 if kind == "bigfax" else pages)
    stamp = int(time.time())
    for n in range(1, count + 1):
        name = "%d.walk%s%06d.%d" % (stamp, kind, n, os.getpid())
        tmp = os.path.join(maildir, "tmp", name)
        if kind == "huge":
            huge_message(tmp, to)
        else:
            with open(tmp, "wb") as f:
                f.write(message(kind, n, to, image).encode())
        os.rename(tmp, os.path.join(maildir, "new", name))


def main():
    if sys.argv[1] == "--mail":
        out, n, to, sender = sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
        gateway_mail(out, n, to, sender, sys.argv[6:])
        return
    fill_maildir(sys.argv[1], sys.argv[2],
                 int(sys.argv[3]) if len(sys.argv) > 3 else 1,
                 sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else TO,
                 int(sys.argv[5]) if len(sys.argv) > 5 else 2)


if __name__ == "__main__":
    main()
