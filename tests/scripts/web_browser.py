#!/usr/bin/python3
"""Drives headless Chromium through the pages of `voxafax web` (web_browser.sh
starts the server and the peers; this script is one step of its story).

    web_browser.py URL_WITH_TOKEN SHOTS_DIR STEP [ARG]

Steps print "ok ..." / "FAIL ..." lines and exit 1 when a check failed:
  failed-run   Now after a failed run: the exit status and what to do
  get-faxes    presses "Get faxes now", follows the status texts until the run
               ends, then waits until Faxes lists ARG faxes with thumbnails
  fax          opens the newest fax: every page's picture and the report lines
  reprint      presses Reprint on the newest fax and waits until it has ended
  receipts     Receipts lists ARG waiting receipts
  send-again   presses "Send again now" on the first receipt; waits for the run
Every step saves a screenshot of the page it ends on in SHOTS_DIR.
"""
import os
import shutil
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

URL, SHOTS, STEP = sys.argv[1], sys.argv[2], sys.argv[3]
ARG = sys.argv[4] if len(sys.argv) > 4 else ""
BASE = URL.split("/?")[0]
failures = 0


def check(what, ok, detail=""):
    global failures
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  " + detail))
    if not ok:
        failures += 1


def browser(profile):
    opts = Options()
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--disable-dev-shm-usage", "--window-size=1200,900", "--user-data-dir=" + profile):
        opts.add_argument(a)
    opts.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def wait_for(d, test, seconds, what):
    end = time.time() + seconds
    while time.time() < end:
        try:
            if test():
                return True
        except Exception:  # the page is reloading
            pass
        time.sleep(0.2)
    check(what, False, "not within %d s" % seconds)
    return False


def shot(d, name):
    os.makedirs(SHOTS, exist_ok=True)
    height = d.execute_script("return document.body.scrollHeight")
    d.set_window_size(1200, max(600, min(height + 40, 1400)))
    d.save_screenshot(os.path.join(SHOTS, name + ".png"))
    d.set_window_size(1200, 900)


def text(d, css):
    els = d.find_elements(By.CSS_SELECTOR, css)
    return els[0].text if els else ""


def thumbs_loaded(d, count):
    return d.execute_script(
        "var t=[].slice.call(document.querySelectorAll('img.thumb'));"
        "return t.length>=arguments[0]&&t.every(function(i){return i.complete&&i.naturalWidth>0;});",
        count)


def job_ended(d):
    return "ended" in text(d, "#job-state") or "ended" in text(d, ".notice")


def step_failed_run(d):
    d.get(BASE + "/")
    check("Now names the failed run's exit status", "5 (server-unreachable)" in text(d, "#r-exit"),
          text(d, "#r-exit"))
    check("Now says what to do about it", "[pop3]" in d.page_source)
    check("Now shows the status keys", text(d, "#k-vfprint") == "quit", text(d, "#k-vfprint"))
    shot(d, "now-failed")


def step_get_faxes(d, count):
    d.get(BASE + "/")
    d.find_element(By.ID, "run-button").click()
    seen = set()

    def run_over():
        s = text(d, "#k-status")
        if s:
            seen.add(s)
        return "ended" in text(d, "#job-state")
    wait_for(d, run_over, 240, "the run started from the page ends")
    check("the status texts were followed as they changed", len(seen) >= 2, repr(seen))
    wait_for(d, lambda: "0 (ok)" in text(d, "#r-exit"), 20, "Now shows the good run's exit status")
    check("Now shows the totals", "Printed %s VOXA-FAXes" % count in text(d, "#k-status"),
          text(d, "#k-status"))
    shot(d, "now")
    d.get(BASE + "/faxes")
    wait_for(d, lambda: thumbs_loaded(d, int(count)), 60,
             "Faxes lists %s faxes with their thumbnails" % count)
    rows = d.find_elements(By.CSS_SELECTOR, "#faxes tr.fax")
    check("Faxes has a row per fax", len(rows) == int(count), str(len(rows)))
    shot(d, "faxes")


def step_fax(d):
    d.get(BASE + "/faxes")
    d.find_element(By.CSS_SELECTOR, "#faxes tr.fax a").click()
    wait_for(d, lambda: d.execute_script(
        "var p=[].slice.call(document.querySelectorAll('img.page'));"
        "return p.length>0&&p.every(function(i){return i.complete&&i.naturalWidth>0;});"), 60,
        "the fax's pages are shown")
    check("the fax page has its report lines", len(d.find_elements(By.ID, "report")) == 1)
    shot(d, "fax")


def step_reprint(d):
    d.get(BASE + "/faxes")
    d.find_element(By.CSS_SELECTOR, "#faxes tr.fax a").click()
    d.find_element(By.ID, "reprint-button").click()
    wait_for(d, lambda: "ended, exit status 0" in d.page_source, 120, "the reprint ends well")
    shot(d, "reprint")


def step_receipts(d, count):
    d.get(BASE + "/receipts")
    rows = d.find_elements(By.CSS_SELECTOR, "#receipts tr.receipt")
    check("Receipts lists %s waiting receipts" % count, len(rows) == int(count), str(len(rows)))
    shot(d, "receipts")


def step_send_again(d):
    d.get(BASE + "/receipts")
    d.find_element(By.CSS_SELECTOR, "#receipts tr.receipt button").click()
    wait_for(d, lambda: "ended" in text(d, "#job-state"), 240, "the run that sends them ends")


def main():
    profile = tempfile.mkdtemp(prefix="vfweb-chromium.")
    d = browser(profile)
    try:
        d.set_page_load_timeout(60)
        d.get(URL)  # the token opens a session and leads to the page without it
        check("the token visit leads to the page without the token", "token=" not in d.current_url,
              d.current_url)
        {"failed-run": lambda: step_failed_run(d),
         "get-faxes": lambda: step_get_faxes(d, ARG),
         "fax": lambda: step_fax(d),
         "reprint": lambda: step_reprint(d),
         "receipts": lambda: step_receipts(d, ARG),
         "send-again": lambda: step_send_again(d)}[STEP]()
    except Exception as e:  # a missing element: say which step and what
        check("step " + STEP, False, repr(e))
        try:
            shot(d, "error-" + STEP)
        except Exception:
            pass
    finally:
        d.quit()
        shutil.rmtree(profile, ignore_errors=True)
    sys.exit(1 if failures else 0)


main()
