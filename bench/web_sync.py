"""The browser half of bench/web-sync: plays the click track in the page and pairs the moments the
page drew each click with the moments the sink played it.

usage: web_sync.py SYNC_BENCH BASE_URL CLICK_TIMES_FILE RUNS BROWSER...

BASE_URL serves the page with the click track as its music. For each run: sync_bench --listen
records the sink's monitor; the page is opened, a hook on quartzPublish notes the page's
performance.timeOrigin + performance.now() at every frame with the position it draws; a click
starts the run. When it has ended, each click gets two shown times: the first frame whose
position reached it, and the moment the clock crossed it, interpolated between the frames on
either side (free of where the frames happened to fall). The page's clock is set against this
machine's system clock by the round trip that answered fastest, so any skew between the two does
not count as an offset.
"""
import os
import statistics
import subprocess
import sys
import time

import web_browsers

HOOK = """(() => {
    const log = [];
    const publish = window.quartzPublish;
    window.quartzPublish = function (state, position, ...rest) {
        if (state === "playing") {
            log.push(performance.timeOrigin + performance.now(), position);
        }
        return publish.call(this, state, position, ...rest);
    };
    window.syncLog = log;
    return true;
})()"""

# What the browser says of its own output queue, from the context SDL opened. Firefox (which
# reports no base latency) can hang for good when outputLatency or getOutputTimestamp is asked
# while it plays, so there only the rate is read.
FIGURES = """(() => {
    const c = Module.SDL2 && Module.SDL2.audioContext;
    if (!c) return null;
    if (!c.baseLatency) return {rate: c.sampleRate, base: c.baseLatency};
    const stamp = c.getOutputTimestamp ? c.getOutputTimestamp() : {};
    const now = performance.now();
    return {rate: c.sampleRate, base: c.baseLatency, output: c.outputLatency,
            behind: stamp.contextTime === undefined ? null : c.currentTime - stamp.contextTime,
            stampAge: stamp.performanceTime === undefined ? null : now - stamp.performanceTime};
})()"""


def page_clock_skew(browser, samples=15):
    """Milliseconds the page's timeOrigin + now() runs ahead of time.time(), and the round trip."""
    best = None
    for _ in range(samples):
        before = time.time()
        page = browser.evaluate("performance.timeOrigin + performance.now()")
        after = time.time()
        trip = after - before
        if best is None or trip < best[1]:
            best = (page - 500.0 * (before + after), trip * 1000.0)
    return best


def ms(value):
    return "n/a" if value is None else f"{1000.0 * value:.2f} ms"


def run_once(kind, sync_bench, base, clicks, first):
    seconds = clicks[-1] + 40.0
    recorder = subprocess.Popen([sync_bench, "--listen", str(seconds)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
    browser = None
    try:
        line = recorder.stdout.readline()
        if not line.startswith("listening"):
            raise RuntimeError(f"sync_bench --listen did not start: {line!r}")
        print("  " + line.strip())
        browser = web_browsers.start(kind)
        if first:
            print(f"  {browser.version()}, WebGL2 on {browser.evaluate(web_browsers.RENDERER)}")
        browser.open(f"{base}/index.html")
        web_browsers.wait(lambda: browser.evaluate("window.quartz.state") != "loading", 120,
                          "the page to get ready")
        state = browser.evaluate("window.quartz.state")
        if state != "ready":
            raise RuntimeError(f"the page is {state}: {browser.evaluate('window.quartz.message')}")
        browser.evaluate(HOOK)
        skew_before, trip_before = page_clock_skew(browser)
        browser.click(320, 240)
        web_browsers.wait(lambda: browser.evaluate("window.quartz.position") > 2.5, 60,
                          "the music to play 2.5 s")
        figures = browser.evaluate(FIGURES)
        web_browsers.wait(lambda: browser.evaluate("window.quartz.state") != "playing",
                          seconds, "the run to end")
        state = browser.evaluate("window.quartz.state")
        if state != "ended":
            raise RuntimeError(f"the run {state}: {browser.evaluate('window.quartz.message')}")
        log = browser.evaluate("window.syncLog")
        skew_after, trip_after = page_clock_skew(browser)
    finally:
        if browser is not None:
            browser.close()
        try:
            output, _ = recorder.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            recorder.kill()
            output, _ = recorder.communicate()
    if len(log) < 4:
        raise RuntimeError("the page drew fewer than two frames")
    heard = [float(line.split()[1]) for line in output.splitlines() if line.startswith("heard ")]
    skew = 0.5 * (skew_before + skew_after)
    print(f"  page clock ahead of the system clock by {skew:.2f} ms (before {skew_before:.2f}, "
          f"after {skew_after:.2f}; round trips {trip_before:.2f} and {trip_after:.2f} ms)")
    if figures and "output" in figures:
        print(f"  the browser says: {figures['rate']} Hz, baseLatency {ms(figures['base'])}, "
              f"outputLatency {ms(figures['output'])}, currentTime less getOutputTimestamp's "
              f"{ms(figures['behind'])} (its stamp {figures['stampAge']:.1f} ms old)")
    elif figures:
        print(f"  the browser says: {figures['rate']} Hz, baseLatency {ms(figures['base'])}; "
              "its outputLatency is not asked")
    frames = [((at - skew) / 1000.0, position) for at, position in zip(log[0::2], log[1::2])]
    if os.environ.get("QM_SYNC_DUMP"):
        with open(os.path.join(os.environ["QM_SYNC_DUMP"], f"{kind}-{time.time():.0f}.txt"),
                  "w") as dump:
            dump.writelines(f"frame {at:.6f} {position:.6f}\n" for at, position in frames)
            dump.writelines(f"heard {at:.6f}\n" for at in heard)
            dump.writelines(f"click {at:.6f}\n" for at in clicks)
    drawn, crossed = [], []
    for click in clicks:
        after = next((i for i, (_, position) in enumerate(frames) if position >= click), None)
        if after is None or after == 0:
            continue
        (t0, p0), (t1, p1) = frames[after - 1], frames[after]
        # When the clock crossed the click, between the two frames that straddle it: what a
        # reading at any moment would show, free of where the frames happened to fall.
        cross = t0 + (click - p0) / (p1 - p0) * (t1 - t0) if p1 > p0 else t1
        nearest = min(heard, key=lambda at: abs(at - t1), default=None)
        if nearest is not None and abs(nearest - t1) < 0.5:
            drawn.append(1000.0 * (nearest - t1))
            crossed.append(1000.0 * (nearest - cross))
    intervals = [b[0] - a[0] for a, b in zip(frames, frames[1:])]
    print(f"  {len(frames)} frames (median {1000 * statistics.median(intervals):.1f} ms apart), "
          f"{len(clicks)} clicks, {len(heard)} heard, {len(drawn)} paired")
    return drawn, crossed, figures


def summary(label, offsets):
    ordered = sorted(offsets)
    return (f"{label}: offset median {statistics.median(ordered):+.2f} ms, min {ordered[0]:+.2f}"
            f" ms, max {ordered[-1]:+.2f} ms over {len(ordered)} clicks")


def main():
    sync_bench, base, click_file, runs = sys.argv[1:5]
    clicks = [float(line.split()[1]) for line in open(click_file) if line.startswith("click ")]
    failed = False
    for kind in sys.argv[5:]:
        every_drawn, every_crossed = [], []
        for run in range(1, int(runs) + 1):
            print(f"{kind}, run {run}")
            try:
                drawn, crossed, _ = run_once(kind, sync_bench, base, clicks, run == 1)
            except (RuntimeError, TimeoutError, OSError) as error:
                print(f"web-sync: {kind}, run {run}: {error}", file=sys.stderr)
                failed = True
                continue
            if not drawn:
                print("  no click was both shown and heard", file=sys.stderr)
                failed = True
                continue
            print("  drawn: " + " ".join(f"{offset:+.1f}" for offset in drawn))
            print("  " + summary("first frame drawn at the click", drawn))
            print("  " + summary("clock crossing the click", crossed))
            every_drawn += drawn
            every_crossed += crossed
        if every_drawn:
            print(f"{kind}, all runs (positive: the picture is early)")
            print("  " + summary("first frame drawn at the click", every_drawn))
            print("  " + summary("clock crossing the click", every_crossed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
