#!/usr/bin/env python3
"""Writes one fax mail as a sender's gateway would send it to the service.

usage: system_mkfax.py OUT_FILE N TO SENDER TIFF...

A multipart/mixed message from SENDER to TO asking for a receipt
(Disposition-Notification-To), with a short text part and each TIFF as a
base64 attachment. N numbers the message (subject and Message-Id).
"""
import base64
import sys


def main():
    out, n, to, sender = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    tiffs = sys.argv[5:]
    b = "=_system_%d" % n
    lines = [
        "From: Fax Gateway %d <%s>" % (n, sender),
        "To: Subscriber <%s>" % to,
        "Subject: Fax %d from 4165550%03d" % (n, n),
        "Date: Tue, 05 May 2026 10:%02d:00 +0000" % (n % 60),
        "Message-Id: <system-%d@gateway.test>" % n,
        "Disposition-Notification-To: %s" % sender,
        "MIME-Version: 1.0",
        'Content-Type: multipart/mixed; boundary="%s"' % b,
        "",
        "--" + b,
        "Content-Type: text/plain; charset=us-ascii",
        "",
        "Fax %d, %d attachment(s)." % (n, len(tiffs)),
    ]
    for i, path in enumerate(tiffs, 1):
        with open(path, "rb") as f:
            data = base64.b64encode(f.read()).decode()
        name = "fax%d_%d.tif" % (n, i)
        lines += [
            "--" + b,
            'Content-Type: image/tiff; name="%s"' % name,
            "Content-Transfer-Encoding: base64",
            'Content-Disposition: attachment; filename="%s"' % name,
            "",
        ]
        lines += [data[j:j + 76] for j in range(0, len(data), 76)]
    lines += ["--%s--" % b, ""]
    with open(out, "wb") as f:
        f.write("\r\n".join(lines).encode())


if __name__ == "__main__":
    main()
