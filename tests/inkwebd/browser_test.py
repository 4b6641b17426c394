#!/usr/bin/python3
"""The built-in page in a real browser, against inkwebd on virtual pads.

    browser_test.py --padsim PATH --inkwebd PATH

inkwebd runs under the bench's runner with a HID pad that draws a stroke once
it is read, and a second pad that the test plugs in and pulls. Headless
Chromium opens the page: it lists the pad without a click, shows every report
of the stroke in order once receiving is switched on, and shows the second
pad's arrival and removal. Then a page of a foreign origin, served from
another loopback port, cannot open the socket, while the same page under the
one origin inkwebd was told to allow can (and takes the pads over).

Without the browser the test fails: it is part of the suite, not optional.
"""

import argparse
import http.server
import re
import signal
import sys
import threading

sys.dont_write_bytecode = True  # nothing of a test run lands in the source tree
from page_session import Browser, Gateway, Page, missing_browser, wait_until  # noqa: E402

STROKE = 60  # reports, at 200 per second
PAD = "22c9:0901:AB12"
SECOND_PAD = "2689:0801:CD34"

# Opens the gateway's socket from wherever it is served and puts the outcome
# in the title: "answered ..." once its call came back (events may come
# first), "refused CODE" when the socket closed without having opened.
PROBE = """<!DOCTYPE html><meta charset="utf-8"><title>probing</title><script>
const ws = new WebSocket("ws://127.0.0.1:%d/pads", "inkport.v1");
ws.onopen = () => ws.send(JSON.stringify({id: 1, call: "list"}));
ws.onmessage = (m) => { if (JSON.parse(m.data).id === 1) document.title = "answered " + m.data; };
ws.onclose = (c) => { if (document.title === "probing") document.title = "refused " + c.code; };
</script>"""


def serve_probe(gateway):
    """A web server of another origin on loopback, whose every page is the
    probe of the port in gateway["port"]; returns it running."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = (PROBE % gateway["port"]).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def sample_number(report_hex):
    """Bytes 1 to 4 of a pen report: the pad's running sample number."""
    return int.from_bytes(bytes.fromhex(report_hex[2:10]), "little")


def check_stroke(page, gateway):
    wait_until("switch for pad 1", lambda: page.driver.find_elements("id", "receive-1"))
    page.switch_receiving(1)
    # The pad draws once the page says it receives: how often the library
    # closes and reopens the pad before that depends on time.
    wait_until("receiving on", lambda: page.receiving() != "off")
    gateway.draw()
    wait_until("%d reports on the page" % STROKE, lambda: page.counters()["received"] >= STROKE)
    lines = page.reports()
    report = re.compile(r"^pad 1 ep 0 seq (\d+): ([0-9a-f]{128})$")
    got = []
    for line in lines:
        m = report.match(line)
        assert m, "not a report line: %r" % line
        got.append((int(m.group(1)), m.group(2)[:2], sample_number(m.group(2))))
    expected = [(i, "a0", i) for i in range(STROKE)]
    assert got == expected, "reports on the page (seq, tag, sample): %s" % got
    counters = page.counters()
    assert counters["received"] == STROKE and not counters["lost"] and not counters["disorder"], \
        counters


def check_arrival_and_removal(page, gateway):
    gateway.send_signal(signal.SIGUSR1)
    arrived = re.compile(r"^arrived pad (\d+) %s serial %s$" % tuple(SECOND_PAD.rsplit(":", 1)))
    line = wait_until("arrival line", lambda: next(
        (m for m in map(arrived.match, page.events()) if m), None))
    dev = line.group(1)
    wait_until("second pad in the list", lambda: any(p["serial"] == "CD34" for p in page.pads()))
    gateway.send_signal(signal.SIGUSR2)
    wait_until("removal line", lambda: "removed pad " + dev in page.events())
    wait_until("second pad gone from the list",
               lambda: all(p["serial"] != "CD34" for p in page.pads()))


def probe(browser, url):
    browser.driver.get(url)
    return wait_until("outcome of the probe page",
                      lambda: browser.driver.title != "probing" and browser.driver.title)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--padsim", required=True)
    parser.add_argument("--inkwebd", required=True)
    args = parser.parse_args()
    why = missing_browser()
    if why:
        print("browser test: missing " + why, file=sys.stderr)
        return 1

    where = {}
    foreign = serve_probe(where)
    foreign_port = foreign.server_address[1]
    allowed = "http://localhost:%d" % foreign_port
    gateway = Gateway(args.padsim, args.inkwebd,
                      ["--stroke-on-file", "{draw}", "--hid", PAD, "--stroke", "%d@200" % STROKE,
                       "--arrive-on-signal", "--leave-on-signal", "--hid", SECOND_PAD],
                      ["--allow-origin", allowed])
    where["port"] = int(gateway.url.rstrip("/").rsplit(":", 1)[1])
    try:
        with Browser() as browser, Browser() as other:
            page = Page(browser, gateway.url)
            # Listed as soon as loaded, without a click.
            wait_until("pad AB12 on the page",
                       lambda: [p["serial"] for p in page.pads()] == ["AB12"])
            check_stroke(page, gateway)
            check_arrival_and_removal(page, gateway)

            outcome = probe(other, "http://127.0.0.1:%d/" % foreign_port)
            assert outcome.startswith("refused"), "a foreign origin reached the pads: " + outcome
            outcome = probe(other, allowed + "/")
            assert outcome.startswith("answered"), "the allowed origin was not served: " + outcome
            # The newest page holds the pads; the first one is told so.
            wait_until("the first page told it was replaced",
                       lambda: page.status() == "another page has taken the pads over")
    except Exception:
        gateway.stop()
        print("inkwebd and the runner wrote:\n" + gateway.text(), file=sys.stderr)
        raise
    finally:
        foreign.shutdown()
    status = gateway.stop()
    assert status == 0, "inkwebd ended with %s on SIGTERM:\n%s" % (status, gateway.text())
    print("browser test: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
