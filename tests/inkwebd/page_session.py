#!/usr/bin/python3
"""The gateway's built-in page in headless Chromium, read as a user sees it.

Imported by the browser test; run on its own (by ./scripts/demo) it opens the
page of a running inkwebd, prints the pads the page lists, switches receiving
on for one pad and prints the reports the page shows:

    page_session.py http://127.0.0.1:38100/ [--receive DEV] [--reports N]
                    [--seconds S] [--draw-file PATH]

Needs Debian's chromium, chromium-driver and python3-selenium; run it with
/usr/bin/python3.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def missing_browser():
    """What is missing for a headless browser, or None."""
    for program in (CHROMIUM, CHROMEDRIVER):
        if not shutil.which(program):
            return program + " (Debian packages chromium, chromium-driver)"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium for " + sys.executable + " (Debian package python3-selenium)"
    return None


def wait_until(what, predicate, seconds=60.0, pause=0.05):
    """Polls predicate until it returns a true value, which it returns; fails
    with `what` after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("no " + what + " within %.0f s" % seconds)
        time.sleep(pause)


class Browser:
    """One headless Chromium under chromedriver, with a profile of its own
    that goes with it."""

    def __init__(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        self._profile = tempfile.mkdtemp(prefix="inkwebd-chromium.")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu",
                    "--disable-dev-shm-usage", "--no-first-run",
                    "--user-data-dir=" + self._profile):
            options.add_argument(arg)
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.set_page_load_timeout(60)
        self.driver.set_script_timeout(60)

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self._profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Page:
    """The built-in page, through the ids it gives its elements."""

    def __init__(self, browser, url):
        self.driver = browser.driver
        self.driver.get(url)

    def _text(self, element_id):
        return self.driver.execute_script(
            "const e = document.getElementById(arguments[0]); return e ? e.textContent : null;",
            element_id)

    def _lines(self, list_id):
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#' + arguments[0] + ' > li')]"
            ".map(e => e.textContent);", list_id)

    def status(self):
        return self._text("status")

    def pads(self):
        """The pad table: one dict per row, keyed by the cells' classes."""
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#pads > tr')].map(tr => {"
            "  const row = {};"
            "  for (const td of tr.querySelectorAll('td[class]')) row[td.className] = td.textContent;"
            "  return row; });")

    def events(self):
        return self._lines("events")

    def reports(self):
        return self._lines("reports")

    def counters(self):
        return {name: int(self._text(name) or 0)
                for name in ("received", "lost", "disorder", "rate")}

    def receiving(self):
        return self._text("receiving")

    def switch_receiving(self, dev):
        self.driver.find_element("id", "receive-%d" % dev).click()


class Gateway:
    """inkwebd under the bench's runner with the runner's pad options, on a
    free port unless told one; up once it has said where it serves. "{draw}"
    in the pad options stands for a file that draw() creates: with
    --stroke-on-file {draw}, the moment the strokes start. What both write goes to a file, which a
    gateway that logs much cannot fill as it would a pipe."""

    def __init__(self, padsim, inkwebd, pad_args, inkwebd_args, port=0, env=None):
        self._tmp = tempfile.mkdtemp(prefix="inkwebd-padsim.")
        self._log = os.path.join(self._tmp, "output")
        self._final = None  # the output, once stopped
        self._draw = os.path.join(self._tmp, "draw")
        pad_args = [arg.replace("{draw}", self._draw) for arg in pad_args]
        env = dict(os.environ, **(env or {}), TMPDIR=self._tmp)
        with open(self._log, "wb") as log:
            self.process = subprocess.Popen(
                [padsim] + pad_args + ["--", inkwebd, "-p", str(port)] + inkwebd_args,
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env)
        serving = re.compile(r"inkwebd: serving (http://\S+/)")
        deadline = time.monotonic() + 60
        while not (found := serving.search(self.text())):
            if self.process.poll() is not None or time.monotonic() >= deadline:
                output = self.text()
                self.stop()
                raise RuntimeError("inkwebd did not start serving:\n" + output)
            time.sleep(0.05)
        self.url = found.group(1)

    def draw(self):
        """Starts the strokes of the pads given --stroke-on-file {draw}."""
        open(self._draw, "w").close()

    def text(self):
        """All the runner and inkwebd have written so far."""
        if self._final is not None:
            return self._final
        with open(self._log, "rb") as log:
            return log.read().decode(errors="replace")

    def send_signal(self, sig):
        """To the runner: SIGUSR1 plugs a pad in, SIGUSR2 pulls one; SIGINT and
        SIGTERM it passes on to inkwebd."""
        self.process.send_signal(sig)

    def stop(self, sig=signal.SIGTERM, seconds=10):
        """Stops inkwebd as a service manager would; its exit status, or None
        if it had to be killed. The output stays readable."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            status = self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            status = None
        self._final = self.text()
        shutil.rmtree(self._tmp, ignore_errors=True)
        return status


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("url")
    parser.add_argument("--receive", type=int, default=1, metavar="DEV")
    parser.add_argument("--reports", type=int, default=0, metavar="N",
                        help="stop once the page shows N reports")
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="receive at most this long")
    parser.add_argument("--draw-file", metavar="PATH",
                        help="create PATH once receiving is on (padsim --stroke-on-file)")
    args = parser.parse_args()
    why = missing_browser()
    if why:
        print("page_session: missing " + why, file=sys.stderr)
        return 1
    with Browser() as browser:
        page = Page(browser, args.url)
        pads = wait_until("pad on the page", page.pads, 30)
        print("the page lists %d pad%s:" % (len(pads), "" if len(pads) == 1 else "s"))
        for pad in pads:
            print("  pad %s  %s  serial %s  %s  (%s, %s end point%s)" % (
                pad["dev"], pad["ids"], pad["serial"], pad["product"], pad["vendor"],
                pad["end-points"], "" if pad["end-points"] == "1" else "s"))
        page.switch_receiving(args.receive)
        wait_until("receiving", lambda: page.receiving() != "off", 30)
        print("receiving on: " + page.receiving())
        if args.draw_file:
            open(args.draw_file, "w").close()
        deadline = time.monotonic() + args.seconds
        while time.monotonic() < deadline:
            if args.reports and page.counters()["received"] >= args.reports:
                break
            time.sleep(0.1)
        counters = page.counters()
        for line in page.reports():
            print("  " + line)
        print("the page received %(received)d reports, %(lost)d lost, %(disorder)d out of order"
              % counters)
        return 0 if counters["received"] and not counters["lost"] and not counters["disorder"] else 1


if __name__ == "__main__":
    sys.exit(main())
