#!/usr/bin/env python3
"""Writes the demo's sample mail into a folder, one .eml file per message.

usage: demo_mail.py OUT_DIR SUBSCRIBER TIFF_FINE TIFF_COARSE TIFF_ONE
Only the standard library is used.
"""
import os
import sys
from email.message import EmailMessage
from email.utils import formatdate, make_msgid

out, subscriber, fine, coarse, one = sys.argv[1:6]
domain = subscriber.split("@", 1)[1]


def fax(name, sender, subject, text, attachments, receipt=False):
    m = EmailMessage()
    m["From"] = sender
    m["To"] = subscriber
    m["Subject"] = subject
    m["Date"] = formatdate(localtime=True)
    m["Message-Id"] = make_msgid(domain="sender.example")
    if receipt:
        m["Disposition-Notification-To"] = sender
    m.set_content(text)
    for filename, path, maintype, subtype in attachments:
        with open(path, "rb") as f:
            m.add_attachment(f.read(), maintype=maintype, subtype=subtype, filename=filename)
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes(m).replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))


fax("1-quarterly.eml", f"Alice <alice@{domain}>", "Quarterly figures",
    "Alice sends the quarterly figures, three pages.\n",
    [("figures.tif", fine, "image", "tiff")], receipt=True)
fax("2-delivery.eml", f"bob@{domain}", "Delivery note",
    "Two pages at standard resolution.\n",
    [("delivery.tif", coarse, "image", "tiff")])
fax("3-broken.eml", f"Carol <carol@{domain}>", "Scan with a document",
    "One fax page and a word-processor file that cannot be printed.\n",
    [("page.tif", one, "image", "tiff"), ("notes.doc", one, "application", "msword")],
    receipt=True)

# A receipt that another fax machine sent back: filed away, never printed.
receipt = (
    f"From: gateway@{domain}\r\nTo: {subscriber}\r\nSubject: Disposition notification\r\n"
    f"Date: {formatdate(localtime=True)}\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/report; report-type=disposition-notification; boundary=\"b1\"\r\n"
    "\r\n--b1\r\n\r\nYour fax was processed.\r\n--b1\r\n"
    "Content-Type: message/disposition-notification\r\n\r\n"
    "Disposition: automatic-action/MDN-sent-automatically; processed\r\n--b1--\r\n")
with open(os.path.join(out, "4-receipt.eml"), "wb") as f:
    f.write(receipt.encode())
