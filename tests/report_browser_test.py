#!/usr/bin/env python3
"""kvrtool report's page in a real browser: headless chromium driven through chromedriver's
WebDriver protocol over plain HTTP. A damaged recording is made with kvrtool play, its page
is loaded, and the test checks what a person would see: no console errors, one bar per
block, a click on a bar opens that block's details, and the histogram's peaks lie at the
reported timings within 3 %. A screenshot of the page stays in the work folder.

Exits 77 (skipped) when chromium or chromedriver is not installed, or localhost has no address.

    report_browser_test.py KVRTOOL IMAGE WORKDIR      the test
    report_browser_test.py --time PAGE                 how long PAGE takes to open
"""
import base64
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

SKIP = 77


def find_browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    return chromium, driver


def missing():
    """What the browser test lacks on this machine, or None."""
    chromium, driver = find_browser()
    if not chromium or not driver:
        return "chromium or chromedriver is not installed"
    # chromedriver reaches the browser it starts at "localhost", whatever port it is told.
    try:
        socket.getaddrinfo("localhost", None)
    except socket.gaierror:
        return "the name localhost does not resolve (no /etc/hosts?)"
    return None


class Browser:
    """One headless chromium session behind a chromedriver of its own."""

    def __init__(self, chromium, driver, workdir):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.log = open(os.path.join(workdir, "chromedriver.log"), "wb")
        self.driver = subprocess.Popen([driver, "--port=%d" % self.port], stdout=self.log, stderr=subprocess.STDOUT)
        self.base = "http://127.0.0.1:%d" % self.port
        deadline = time.time() + 20
        while True:
            try:
                if self.call("GET", "/status")["value"].get("ready"):
                    break
            except (urllib.error.URLError, ConnectionError, KeyError):
                pass
            if time.time() > deadline:
                raise RuntimeError("chromedriver did not start")
            time.sleep(0.1)
        options = {"binary": chromium,
                   "args": ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                            "--window-size=1280,2000", "--hide-scrollbars"]}
        caps = {"capabilities": {"alwaysMatch": {"browserName": "chrome", "goog:chromeOptions": options,
                                                  "goog:loggingPrefs": {"browser": "ALL"}}}}
        self.session = self.call("POST", "/session", caps)["value"]["sessionId"]

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as answer:
                return json.loads(answer.read())
        except urllib.error.HTTPError as e:
            raise RuntimeError("%s %s: %s" % (method, path, e.read().decode(errors="replace")))

    def s(self, method, path, body=None):
        return self.call(method, "/session/%s%s" % (self.session, path), body)["value"]

    def run(self, script, *args):
        return self.s("POST", "/execute/sync", {"script": script, "args": list(args)})

    def find_all(self, css):
        elements = self.s("POST", "/elements", {"using": "css selector", "value": css})
        return [list(e.values())[0] for e in elements]

    def click(self, element):
        self.s("POST", "/element/%s/click" % element, {})

    def console_errors(self):
        try:
            entries = self.s("POST", "/se/log", {"type": "browser"})
        except RuntimeError:
            entries = []
        return [e["message"] for e in entries if e.get("level") == "SEVERE"]

    def open(self, path):
        """Opens the page and waits for its script; the seconds until it was drawn."""
        start = time.time()
        self.s("POST", "/url", {"url": "file://" + os.path.abspath(path)})
        deadline = start + 30
        while not self.run("return !!(window.kvrReport && window.kvrReport.ready);"):
            if time.time() > deadline:
                raise RuntimeError("the page's script never finished: %s" % self.console_errors())
            time.sleep(0.02)
        return time.time() - start

    def close(self):
        try:
            self.call("DELETE", "/session/" + self.session)
        finally:
            self.driver.terminate()
            self.driver.wait(10)
            self.log.close()


def page_data(path):
    text = open(path, encoding="utf-8").read()
    m = re.search(r'<script type="application/json" id="tape-data">(.*?)</script>', text, re.S)
    return json.loads(m.group(1))


def report_lines(console):
    """The block lines of convert's report, without their pauses."""
    lines = []
    for line in console.split("Creating", 1)[1].splitlines()[1:]:
        m = re.match(r"^([ *].{12} P-.*C[*-] )(P-\d+\.\d{3})?$", line)
        if m:
            lines.append(m.group(1))
    return lines


FAILURES = []


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL:", message)


def check_histogram(browser, index):
    """The peaks drawn on the open block's histogram against the lengths its report gives."""
    peaks = browser.run("return [...document.querySelectorAll('#histogram .peak')].map((e) => +e.getAttribute('data-t'));")
    timings = browser.run("const o = {}; document.querySelectorAll('#histogram .timing').forEach("
                          "(e) => { o[e.getAttribute('data-label')] = +e.getAttribute('data-t'); }); return o;")
    for label in ("pilot", "bit 0", "bit 1"):
        # A bit value that never occurred has its length from the other, and no peak.
        if label != "pilot" and any(k.startswith(label + " (") for k in timings):
            continue
        t = timings.get(label)
        check(t is not None, "block %d: no %s line on the histogram" % (index + 1, label))
        if t is not None:
            check(any(abs(p - t) <= 0.03 * t for p in peaks),
                  "block %d: no peak within 3 %% of the %s at %g T (peaks %s)" % (index + 1, label, t, peaks))


def field_values(browser):
    return browser.run("const o = {}; document.querySelectorAll('#details-fields tr').forEach("
                       "(r) => { o[r.cells[0].textContent] = r.cells[1].textContent; }); return o;")


def check_merged_page(browser, kvrtool, tape, recording, workdir):
    """The page of two recordings merged: a bar and a row per merged block, each naming the
    recording it came from."""
    other = os.path.join(workdir, "other.wav")
    page = os.path.join(workdir, "merged.html")
    subprocess.run([kvrtool, "play", tape, "-o", other, "--noise", "0.3", "--seed", "4"], check=True)
    subprocess.run([kvrtool, "report", recording, other, "-o", page], check=True, capture_output=True)
    blocks = page_data(page)["blocks"]
    check(blocks and all(b["source"] for b in blocks), "every merged block has its source")
    browser.open(page)
    check(browser.run("return document.querySelectorAll('#timeline .block-bar').length;") == len(blocks),
          "one bar per merged block")
    rows = browser.find_all("#block-table tbody tr")
    check(len(rows) == len(blocks), "one row per merged block")
    for i, row in enumerate(rows):
        browser.click(row)
        status = browser.run("return document.getElementById('details-status').textContent;")
        check("Taken from " + blocks[i]["source"]["recording"] in status, "merged block %d names its source: %s" % (i + 1, status))
    png = base64.b64decode(browser.s("GET", "/screenshot"))
    open(os.path.join(workdir, "report-merged.png"), "wb").write(png)
    errors = browser.console_errors() + browser.run("return window.kvrReport.errors;")
    check(not errors, "console errors on the merged page: %s" % errors)


def test(kvrtool, image, workdir):
    lack = missing()
    if lack:
        print(lack + ": skipped")
        return SKIP
    chromium, driver = find_browser()
    os.makedirs(workdir, exist_ok=True)
    # Six ROM blocks, damaged by dropouts and noise so that some fail.
    data = open(image, "rb").read()
    tape = os.path.join(workdir, "six.kvr")
    open(tape, "wb").write(data + data[10:] * 2)
    recording = os.path.join(workdir, "damaged.wav")
    page = os.path.join(workdir, "damaged.html")
    subprocess.run([kvrtool, "play", tape, "-o", recording, "--dropouts", "20", "--dropout-ms", "40",
                    "--dropout-depth", "0", "--noise", "0.15", "--seed", "1"], check=True)
    convert = subprocess.run([kvrtool, "convert", recording, "-f", "-o", os.path.join(workdir, "damaged.kvr")],
                             capture_output=True, text=True)
    subprocess.run([kvrtool, "report", recording, "-o", page], check=True, capture_output=True)
    lines = report_lines(convert.stdout)
    blocks = page_data(page)["blocks"]
    check(len(blocks) == len(lines) and lines, "the page has %d blocks, convert reported %d" % (len(blocks), len(lines)))
    bad = [i for i, b in enumerate(blocks) if not b["ok"]]
    check(bad, "the damaged recording should have bad blocks:\n" + convert.stdout)

    browser = Browser(chromium, driver, workdir)
    try:
        seconds = browser.open(page)
        print("page drawn in %.2f s" % seconds)
        check(browser.run("return document.querySelectorAll('#timeline .block-bar').length;") == len(lines),
              "one bar per block")
        # Each bar opens its own block; the numbers shown are the report's.
        for i, line in enumerate(lines):
            bar = browser.find_all('#timeline .block-bar[data-index="%d"]' % i)
            check(len(bar) == 1, "block %d has one bar" % (i + 1))
            if not bar:
                continue
            browser.click(bar[0])
            check(browser.run("return document.getElementById('details').hidden;") is False, "details shown")
            check(browser.run("return document.getElementById('details').getAttribute('data-index');") == str(i),
                  "a click on bar %d shows block %d" % (i + 1, i + 1))
            check(browser.run("return document.getElementById('details-line').textContent;").endswith(line),
                  "block %d shows its report line" % (i + 1))
            fields = field_values(browser)
            m = re.search(r"P-\s*(\d+),\s*(\d+) S-\s*(\d+)/\s*(\d+) 0-\s*(\d+),1-\s*(\d+)", line)
            for name, value in zip(("pilot", "pilot HPs", "sync 1", "sync 2", "bit 0", "bit 1"), m.groups()):
                check(fields.get(name) == value, "block %d: %s is %s on the page, %s in the report"
                      % (i + 1, name, fields.get(name), value))
            suspect_shown = browser.run("return !document.getElementById('suspect').hidden;")
            if i in bad:
                check(suspect_shown, "bad block %d shows where it went wrong" % (i + 1))
                check(len(browser.find_all("#waveform path.levels")) == 1, "bad block %d has its waveform" % (i + 1))
            else:
                check_histogram(browser, i)
        # A row of the table opens its block too.
        rows = browser.find_all("#block-table tbody tr")
        check(len(rows) == len(lines), "one row per block")
        if rows:
            browser.click(rows[0])
            check(browser.run("return window.kvrReport.chosen();") == 0, "a row opens its block")
        # The picture of the first bad block, kept as a test artifact.
        if bad:
            browser.click(browser.find_all('#timeline .block-bar[data-index="%d"]' % bad[0])[0])
            browser.run("window.scrollTo(0, 0);")
        png = base64.b64decode(browser.s("GET", "/screenshot"))
        open(os.path.join(workdir, "report-damaged.png"), "wb").write(png)
        errors = browser.console_errors() + browser.run("return window.kvrReport.errors;")
        check(not errors, "console errors: %s" % errors)
        check_merged_page(browser, kvrtool, tape, recording, workdir)
    finally:
        browser.close()
    print("%d passed, %d failed" % (1 if not FAILURES else 0, 1 if FAILURES else 0))
    return 1 if FAILURES else 0


def time_page(path):
    lack = missing()
    if lack:
        print(lack)
        return SKIP
    chromium, driver = find_browser()
    workdir = os.path.dirname(os.path.abspath(path))
    browser = Browser(chromium, driver, workdir)
    try:
        browser.open(path)  # once to warm the browser's caches, as a person's browser would be
        seconds = browser.open(path)
        load = browser.run("const n = performance.getEntriesByType('navigation')[0]; return n.loadEventEnd;")
        bars = browser.run("return window.kvrReport.barCount();")
        errors = browser.console_errors()
    finally:
        browser.close()
    print("%s: %.0f bytes, %d bars, drawn in %.2f s (load event after %.0f ms), console errors: %d"
          % (path, os.path.getsize(path), bars, seconds, load, len(errors)))
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--time":
        sys.exit(time_page(sys.argv[2]))
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(2)
    sys.exit(test(*sys.argv[1:]))
