#!/usr/bin/python3
"""From the pad library to a page in the browser, through inkwebd.

    bench_inkwebd [--seconds S] [--quiet-seconds Q] [--rates 200,1000]

(build/bench/inkwebd/bench_inkwebd runs this with the build's programs.)
For each rate, inkwebd runs under the bench's runner with a virtual HID pad
that draws a stroke of RATE x S reports once the page switches receiving on;
headless Chromium opens the built-in page and clicks "Switch on". Measured:

- latency from the start of the library's data callback in inkwebd (taken by
  a preloaded library, callback_clock.c) to the moment the page's socket
  delivers the same report to its message listeners (a listener added before
  the page's own onmessage): median and 99th percentile. Both stamps are of
  the wall clock: clock_gettime(CLOCK_REALTIME) there, and in the browser
  performance.timeOrigin + performance.now(), which Chromium derives from
  the same clock. A round trip through WebDriver checks that the two agree
  within its delay; should they not, the difference it measured is taken
  off.
- reports lost: of those the callback saw, how many never reached the page.
- CPU of inkwebd (all its threads, from /proc) while the page stays
  connected and the pad is quiet, receiving still on and then off.

Prints a Markdown table.
"""

import argparse
import glob
import os
import statistics
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "inkwebd"))
from page_session import Browser, Gateway, Page, missing_browser, wait_until  # noqa: E402

PAD = "22c9:0901:AB12"

# Runs before the page's script: every socket the page opens gets a message
# listener first in line, which notes when each data event arrives.
RECORDER = """
window.__arrivals = [];
window.WebSocket = class extends WebSocket {
  constructor(...args) {
    super(...args);
    this.addEventListener("message", (m) => {
      const t = performance.timeOrigin + performance.now();
      const e = JSON.parse(m.data);
      if (e.event === "data") window.__arrivals.push([e.report.substr(2, 8), t]);
      else if (e.event === "gap") window.__arrivals.push(["gap", e.lost]);
    });
  }
};
"""


def browser_clock_offset_ms(driver):
    """Browser wall clock minus ours, in ms, from the tightest of 20 round trips."""
    best = None
    for _ in range(20):
        before = time.time_ns()
        theirs = driver.execute_script("return performance.timeOrigin + performance.now();")
        after = time.time_ns()
        trip = after - before
        if best is None or trip < best[0]:
            best = (trip, theirs - (before + after) / 2e6)
    return best[1], best[0] / 1e6


def cpu_ns(pid):
    """Time on a CPU of each of the process's threads, in ns."""
    times = {}
    for stat in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(stat) as f, open(stat.replace("schedstat", "comm")) as comm:
                times["%s %s" % (comm.read().strip(), stat.split("/")[4])] = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended meanwhile
    return times


def inkwebd_pid(runner_pid):
    with open("/proc/%d/task/%d/children" % (runner_pid, runner_pid)) as f:
        return int(f.read().split()[0])


def cpu_ms_per_s(pid, seconds):
    """The process's CPU time per second over `seconds`, at ns resolution: the
    threads' own counters (a thread started meanwhile counts whole; the bench
    lets the threads settle first, so none ends meanwhile)."""
    time.sleep(1)
    before, start = cpu_ns(pid), time.monotonic()
    time.sleep(seconds)
    after = cpu_ns(pid)
    elapsed = time.monotonic() - start
    per_thread = {tid: (ns - before.get(tid, 0)) / 1e6 / elapsed for tid, ns in after.items()}
    return sum(per_thread.values()), per_thread


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def run(args, rate):
    reports = int(rate * args.seconds)
    clock_log = tempfile.NamedTemporaryFile(prefix="inkwebd-callback-clock.", delete=False).name
    preload = ":".join(filter(None, [args.clock_library, os.environ.get("LD_PRELOAD")]))
    # The stroke starts once the page has switched receiving on.
    gateway = Gateway(args.padsim, args.inkwebd,
                      ["--stroke-on-file", "{draw}", "--hid", PAD, "--stroke",
                       "%d@%d" % (reports, rate)],
                      [], env={"INKWEBD_CALLBACK_CLOCK": clock_log, "LD_PRELOAD": preload})
    result = {"rate": rate, "reports": reports}
    try:
        with Browser() as browser:
            browser.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                           {"source": RECORDER})
            page = Page(browser, gateway.url)
            wait_until("pad on the page", page.pads)
            page.switch_receiving(1)
            wait_until("receiving on", lambda: page.receiving() != "off")
            gateway.draw()
            # The stroke's time, then until nothing more comes for 3 s.
            last, since = -1, time.monotonic()
            while time.monotonic() - since < 3 and last < reports:
                now = browser.driver.execute_script("return window.__arrivals.length;")
                if now != last:
                    last, since = now, time.monotonic()
                time.sleep(0.2)
            offset, trip = browser_clock_offset_ms(browser.driver)
            result["offset"], result["trip"] = offset, trip
            if abs(offset) <= trip / 2:
                offset = 0.0  # the clocks agree as far as the round trip can tell
            arrivals = browser.driver.execute_script("return window.__arrivals;")

            pid = inkwebd_pid(gateway.process.pid)
            result["cpu_receiving"], result["threads"] = cpu_ms_per_s(pid, args.quiet_seconds)
            page.switch_receiving(1)
            wait_until("receiving off", lambda: page.receiving() == "off")
            result["cpu_off"], _ = cpu_ms_per_s(pid, args.quiet_seconds)
    finally:
        status = gateway.stop()
    if status != 0:
        print(gateway.text(), file=sys.stderr)
        raise RuntimeError("inkwebd ended with %s" % status)

    called = {}
    with open(clock_log) as f:
        for line in f:
            sample, ns = line.split()
            called.setdefault(int(sample), int(ns))
    os.unlink(clock_log)
    seen = {}
    gaps = 0
    for key, t in arrivals:
        if key == "gap":
            gaps += t
            continue
        sample = int.from_bytes(bytes.fromhex(key), "little")
        seen.setdefault(sample, t - offset)
    latencies = [seen[s] - called[s] / 1e6 for s in seen if s in called]
    result.update(called=len(called), seen=len(seen), gaps=gaps,
                  lost=len(set(called) - set(seen)),
                  median=statistics.median(latencies) if latencies else float("nan"),
                  p99=percentile(latencies, 99) if latencies else float("nan"))
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--padsim", required=True)
    parser.add_argument("--inkwebd", required=True)
    parser.add_argument("--clock-library", required=True)
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="length of each stroke (default 10)")
    parser.add_argument("--quiet-seconds", type=float, default=10.0,
                        help="CPU measured this long, each way (default 10)")
    parser.add_argument("--rates", default="200,1000")
    args = parser.parse_args()
    why = missing_browser()
    if why:
        print("bench_inkwebd: missing " + why, file=sys.stderr)
        return 1
    results = [run(args, int(r)) for r in args.rates.split(",")]
    print("| reports/s | reports | callback saw | page got | lost | gap events "
          "| latency median | latency p99 | inkwebd CPU, quiet pad, receiving on | ... off |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in results:
        print("| %(rate)d | %(reports)d | %(called)d | %(seen)d | %(lost)d | %(gaps)d "
              "| %(median).2f ms | %(p99).2f ms | %(cpu_receiving).2f ms/s | %(cpu_off).2f ms/s |"
              % r)
    for r in results:
        busiest = sorted(r["threads"].items(), key=lambda kv: -kv[1])[:4]
        print("(%d/s, quiet pad, receiving on, by thread: %s)" % (
            r["rate"], ", ".join("%s %.2f ms/s" % kv for kv in busiest)))
        print("(%d/s: the browser's clock minus ours %.2f ms, measured by a round trip of %.2f ms)"
              % (r["rate"], r["offset"], r["trip"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
