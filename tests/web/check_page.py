#!/usr/bin/python3
"""The browser checks of scripts/test-web: drives headless Chromium over the DevTools protocol.

usage: check_page.py CHROMIUM BASE_URL DIST_DIR NATIVE_FRAMES_DIR FPS SECONDS...

BASE_URL serves dist/web under web/, the same files less tovrel.png under missing/ and the
single-file edition as quartz-meridian.html; DIST_DIR is dist/, opened as files too.
NATIVE_FRAMES_DIR holds quartz-capture's frame_NNNNNN.png at FPS, and NATIVE_FRAMES_DIR-xR its
frames at 2 s at --size (800R)x(480R) for the pixel ratios R 1 to 3. Every wait is on a
condition with a generous limit, never a fixed sleep, so a loaded machine only makes it slower.
"""
import atexit
import base64
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

import numpy as np
import websocket
from PIL import Image

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


# WebGL2 through ANGLE on the display's desktop GL driver, or on Chromium's own SwiftShader.
GL_FLAGS = {"gl": ["--use-angle=gl", "--ignore-gpu-blocklist"],
            "swiftshader": ["--use-angle=swiftshader", "--enable-unsafe-swiftshader"]}


ENDING_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


def group_members(group):
    """The live (not zombie) processes of a process group."""
    members = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                # pid (comm) state ppid pgrp ...; comm may hold spaces and parentheses.
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != "Z" and int(fields[2]) == group:
            members.append(int(entry))
    return members


def end_process_group(process, grace=10):
    """SIGTERM to the group the process leads, SIGKILL to what is left after `grace` seconds,
    each followed by a bounded wait for the group to empty. Returns the pids still alive."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        deadline = time.monotonic() + grace
        # Reaped, the leader stops counting as a member; the helpers are not our children.
        while process.poll() is None or group_members(process.pid):
            if time.monotonic() > deadline:
                break
            time.sleep(0.05)
        else:
            break
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        pass
    return group_members(process.pid)


def remove_tree(path, tries=5):
    """Removes a folder; a helper that died writing into it may have added a file after rmtree
    listed it, so it tries again, and gives up without failing the run."""
    for _ in range(tries):
        shutil.rmtree(path, ignore_errors=True)
        if not os.path.exists(path):
            return
        time.sleep(0.2)
    print(f"check_page: could not remove {path}", file=sys.stderr)


def wait(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"waited {seconds} s for {what}")
        time.sleep(0.1)


class Browser:
    def __init__(self, chromium, gl="gl"):
        self.process = self.socket = None
        self.profile = tempfile.mkdtemp(prefix="quartz-chromium.")
        # Should a signal land just as main's finally starts closing, this still ends it.
        atexit.register(self.close)
        try:
            # A process group of its own, so that ending it reaches the helpers Chromium starts,
            # which outlive its main process otherwise.
            self.process = subprocess.Popen(
                [chromium, "--headless=new", "--no-sandbox", *GL_FLAGS[gl],
                 "--autoplay-policy=no-user-gesture-required", "--no-first-run",
                 "--remote-debugging-port=0", "--window-size=640,480",
                 "--user-data-dir=" + self.profile, "about:blank"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            port_file = os.path.join(self.profile, "DevToolsActivePort")
            wait(lambda: os.path.exists(port_file) and open(port_file).read().count("\n") >= 1,
                      60, "Chromium's DevTools port")
            port = open(port_file).read().split("\n")[0]
            pages = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list"))
            page = next(p for p in pages if p["type"] == "page")
            self.socket = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=120)
            self.next_id = 0
            self.console = []
            self.call("Runtime.enable")
        except BaseException:
            self.close()
            raise

    def close(self):
        """Ends Chromium with all its helpers and removes its profile; a second call does
        nothing. It never raises, and a signal waits until it is done: the checks have already
        decided the run."""
        signal.pthread_sigmask(signal.SIG_BLOCK, ENDING_SIGNALS)
        try:
            if self.socket is not None:
                try:
                    self.socket.close()
                except (OSError, websocket.WebSocketException):
                    pass
                self.socket = None
            if self.process is not None:
                left = end_process_group(self.process)
                if left:
                    print(f"check_page: Chromium's processes {left} outlived SIGKILL",
                          file=sys.stderr)
                self.process = None
            if self.profile is not None:
                remove_tree(self.profile)
                self.profile = None
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, ENDING_SIGNALS)

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("method") == "Runtime.consoleAPICalled":
                args = message["params"]["args"]
                self.console.append(" ".join(str(a.get("value", "")) for a in args))
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    def wait_for(self, expression, seconds, what):
        wait(lambda: self.evaluate(expression), seconds, what)

    def open(self, url, width=640, height=480, scale=1):
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=scale, mobile=False)
        self.console = []
        self.call("Page.navigate", url=url)
        self.wait_for("document.readyState === 'complete' && window.quartz !== undefined", 120,
                      "the page to load")

    def click(self, x, y):
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def press_escape(self):
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", type=kind, key="Escape", code="Escape",
                      windowsVirtualKeyCode=27)

    def screenshot(self):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        return Image.open(io.BytesIO(base64.b64decode(data))).convert("RGB")

    def state(self):
        return self.evaluate("JSON.stringify(window.quartz)")


def red_points(frame):
    """The early section's red point pixels."""
    return frame[..., 0] > np.maximum(frame[..., 1], frame[..., 2]) + 40


def grown(mask):
    """The mask grown by a pixel each way."""
    result = mask.copy()
    for axis in (0, 1):
        for step in (1, -1):
            result |= np.roll(mask, step, axis=axis)
    return result


def compare_frame(seconds, web, native):
    """(what, passed) for one captured frame against quartz-capture's."""
    near = (np.abs(web - native) <= 3).all(axis=2)
    share = near.mean()
    what = f"within 3/255 on {share:.2%} of pixels"
    if seconds < 4.4:
        # The early section's points, on the scan lines alone, must be there and where
        # quartz-capture put them, give or take a pixel.
        web_red = red_points(web)
        found = (web_red & grown(red_points(native))).sum() / max(1, web_red.sum())
        return (f"{what}, {found:.1%} of point pixels within a pixel of quartz-capture's",
                share >= 0.995 and web_red.mean() > 0.01 and found >= 0.99)
    # Later every row (and in the smear every column) copies one pixel of the point image's
    # diagonal, so a point that one driver's sin put elsewhere becomes a whole row or column.
    # Those few are the points' share; the composite is judged on the rest.
    rows = (~near).mean(axis=1) > 0.5
    columns = (~near).mean(axis=0) > 0.5
    rest = near[~rows][:, ~columns].mean()
    return (f"{what}; {rest:.2%} apart from {rows.sum()} rows and {columns.sum()} columns "
            f"that copy a differing point pixel",
            rest >= 0.995 and rows.mean() <= 0.03 and columns.mean() <= 0.03)


def check_capture(browser, base, frames_dir, fps, seconds):
    frame = int(seconds * fps + 1e-9)
    browser.open(f"{base}/web/index.html?capture={seconds}&fps={fps}")
    browser.wait_for(f"document.title === 'captured {frame}' || window.quartz.state === 'failed'",
                     600, f"capture mode to reach frame {frame}")
    check(browser.evaluate("document.title") == f"captured {frame}",
          f"capture={seconds}&fps={fps} ends on frame {frame} ({browser.state()})")
    native = Image.open(os.path.join(frames_dir, f"frame_{frame:06d}.png")).convert("RGB")
    shot = browser.screenshot()
    if os.environ.get("QM_WEB_SHOTS"):
        shot.save(os.path.join(os.environ["QM_WEB_SHOTS"], f"web_{frame:06d}.png"))
    what, passed = compare_frame(seconds, np.asarray(shot).astype(int),
                                 np.asarray(native).astype(int))
    check(passed, f"frame {frame} ({seconds} s) against quartz-capture's: {what}")


def click(browser):
    browser.click(320, 240)


def open_ready(browser, url):
    """Opens url, waits for 'ready' and gives the milliseconds from navigation to it."""
    browser.open(url)
    browser.wait_for("window.quartz.state !== 'loading'", 120, f"{url} to get ready")
    check(browser.evaluate("window.quartz.state") == "ready",
          f"{url} gets ready ({browser.state()})")
    return browser.evaluate(
        "performance.getEntriesByName('quartz-ready')[0]?.startTime ?? -1")


def check_live_run(browser, base):
    took = open_ready(browser, f"{base}/web/index.html")
    print(f"     the folder edition over http is ready {took:.0f} ms after navigation")
    check(browser.evaluate("document.getElementById('notice').textContent.startsWith("
                           "'Warning: this presentation contains rapidly flashing lights') && "
                           "document.getElementById('notice').textContent.endsWith("
                           "'click or tap to start')"),
          "the page warns of the flashing and says 'click or tap to start'")
    click(browser)
    browser.wait_for("window.quartz.state === 'playing' && window.quartz.position > 0.2", 60,
                     "the music to start after the click")
    # Each publish carries its own performance.now(), so a late animation frame (a loaded
    # machine) moves both ends of a window alike. A page starved for longer than its sound
    # buffer also starves its audio (fed from the page's own thread), and the music itself then
    # falls behind the wall clock: such a window, seen by its longest gap between animation
    # frames, is held only to a band that still fails a frozen, half- or double-speed clock.
    # Any of up to six windows may pass.
    browser.evaluate("(() => { const gaps = window.quartzGaps = { longest: 0, last: 0 };"
                     " (function frame(now) { gaps.longest = Math.max(gaps.longest,"
                     " now - (gaps.last || now)); gaps.last = now;"
                     " requestAnimationFrame(frame); })(performance.now()); })()")
    sample = "[window.quartz.publishedAt / 1000, window.quartz.position]"
    windows, passed = [], False
    for _ in range(6):
        wall0, position0, _ = browser.evaluate(sample + ".concat(window.quartzGaps.longest = 0)")
        browser.wait_for(f"window.quartz.publishedAt / 1000 >= {wall0 + 5}", 60,
                         "five seconds of play")
        wall1, position1, gap = browser.evaluate(sample + ".concat(window.quartzGaps.longest)")
        rate = (position1 - position0) / (wall1 - wall0)
        starved = gap > 100
        windows.append(f"{rate:.3f}" + (f" (starved {gap:.0f} ms)" if starved else ""))
        passed = abs(rate - 1) <= 0.05 or (starved and 0.8 <= rate <= 1.05)
        if passed:
            break
    check(passed, f"the position follows the wall clock (rate over 5 s: {', '.join(windows)})")
    browser.press_escape()
    browser.wait_for("window.quartz.state !== 'playing'", 60, "Escape to end the run")
    check(browser.evaluate("window.quartz.state") == "ended", f"Escape ends the run ({browser.state()})")


def check_missing_picture(browser, base):
    browser.open(f"{base}/missing/index.html")
    browser.wait_for("window.quartz.state === 'failed'", 120, "the missing picture to fail the run")
    message = browser.evaluate("window.quartz.message")
    shown = browser.evaluate("document.getElementById('notice').textContent")
    # WebKitGTK's WebDriver gives no way to read the console (console is None there).
    logged = browser.console is None or any("tovrel.png" in line for line in browser.console)
    check("tovrel.png" in message and message == shown and logged,
          f"a missing picture fails with its name on the page" +
          (" and in the console" if browser.console is not None else "") + f": {message!r}")


def check_letterbox(browser, base):
    browser.open(f"{base}/web/index.html?capture=0&fps=10", 1280, 720)
    browser.wait_for("document.title === 'captured 0'", 300, "frame 0 at 1280x720")
    shot = browser.screenshot()
    bars = [shot.crop((0, 0, 160, 720)), shot.crop((1120, 0, 1280, 720))]
    black = all(max(band.getextrema()[1] for band in bar.split()) <= 2 for bar in bars)
    picture = shot.crop((160, 0, 1120, 720))
    edges = [picture.crop((x, 0, x + 2, 720)).getbbox() is not None for x in (0, 958)]
    check(black and all(edges), "at 1280x720 the picture fills a centred 960x720 box between "
                                "black bars")


def sharpness(frame):
    """The red channel's horizontal change per unit of change: the mean step across an edge,
    weighted by its size. Scan lines vary down the picture only, so they leave it alone; a
    smoothed stretch spreads each edge over several pixels and lowers it."""
    steps = np.abs(np.diff(frame[..., 0], axis=1)).astype(float)
    steps = steps[steps > 2]
    return (steps ** 2).sum() / max(1.0, steps.sum())


def check_pixel_ratios(browser, base, frames_dir, fps):
    frame = 2 * fps
    for ratio in (1, 2, 3):
        browser.open(f"{base}/web/index.html?capture=2&fps={fps}", 800, 480, ratio)
        browser.wait_for(f"document.title === 'captured {frame}'", 300,
                         f"frame {frame} at a pixel ratio of {ratio}")
        size = browser.evaluate("(c => [c.width, c.height])(document.getElementById('canvas'))")
        shot = np.asarray(browser.screenshot()).astype(int)
        native = np.asarray(Image.open(f"{frames_dir}-x{ratio}/frame_{frame:06d}.png")
                            .convert("RGB")).astype(int)
        left, right = 80 * ratio, 720 * ratio
        bars = max(shot[:, :left].max(), shot[:, right:].max())
        web, ours = shot[:, left:right], native[:, left:right]
        sharp = sharpness(web) / sharpness(ours)
        web_red, our_red = red_points(web), red_points(ours)
        placed = min((web_red & grown(our_red)).sum() / max(1, web_red.sum()),
                     (our_red & grown(web_red)).sum() / max(1, our_red.sum()))
        check(size == [800 * ratio, 480 * ratio] and shot.shape == native.shape and bars <= 2 and
              sharp >= 0.9 and placed >= 0.99,
              f"800x480 at a pixel ratio of {ratio}: drawing buffer {size}, bars up to {bars}, "
              f"edges {sharp:.2f} as sharp as quartz-capture --size {800 * ratio}x{480 * ratio}, "
              f"{placed:.1%} of point pixels within a pixel of its")
    # The drawing buffer follows a resize, and a change of ratio alone, on the open page.
    for width, scale in ((1000, 3), (1000, 2)):
        browser.call("Emulation.setDeviceMetricsOverride", width=width, height=600,
                     deviceScaleFactor=scale, mobile=False)
        browser.wait_for(f"(c => c.width === {width * scale} && c.height === {600 * scale})"
                         f"(document.getElementById('canvas'))", 30,
                         f"a {width * scale}x{600 * scale} drawing buffer")
    check(True, "the drawing buffer follows a resize and a change of pixel ratio")


def hide_for(browser, seconds):
    """Brings a second tab to front for `seconds` of the page's own clock, then comes back."""
    other = browser.call("Target.createTarget", url="about:blank")["targetId"]
    browser.wait_for("document.visibilityState === 'hidden'", 30, "the page to be hidden")
    until = browser.evaluate("performance.now() / 1000") + seconds
    browser.wait_for(f"performance.now() / 1000 >= {until}", 60, f"{seconds} s hidden")
    state = browser.evaluate("window.quartz.state")
    browser.call("Page.bringToFront")
    browser.call("Target.closeTarget", targetId=other)
    browser.wait_for("document.visibilityState === 'visible'", 30, "the page to be shown")
    return state


def check_hidden_tab(browser, base):
    # Full screen refused, as on a phone without it or in a frame: the music plays on unseen,
    # and the first frame back is drawn at the position heard then. Each frame's position is
    # read as the frame starts, so it is timed by the frame's start too, not by the time the
    # drawing took.
    open_ready(browser, f"{base}/web/index.html")
    browser.evaluate("""(() => {
        Element.prototype.requestFullscreen = () => Promise.reject(new TypeError("refused"));
        const publish = quartzPublish;
        quartzPublish = (...args) => {
            window.last = [document.timeline.currentTime / 1000, args[1]];
            if (document.visibilityState === "visible" && window.hid && !window.back) {
                window.back = window.last;
            }
            publish(...args);
        };
        document.addEventListener("visibilitychange", () => { window.hid = true; });
    })()""")
    click(browser)
    browser.wait_for("window.quartz.state === 'playing' && window.quartz.position > 0.5", 60,
                     "the music to start")
    wall0, position0 = browser.evaluate("window.last")
    during = hide_for(browser, 3)
    browser.wait_for("window.back !== undefined", 30, "the first frame back")
    wall1, position1 = browser.evaluate("window.back")
    check(during == "playing" and abs((position1 - position0) - (wall1 - wall0)) <= 0.1,
          f"without full screen the music plays on in a hidden tab: the first frame back is "
          f"{position1 - position0:.3f} s on after {wall1 - wall0:.3f} s")
    # In full screen, hiding the tab leaves it and so ends the run, at once.
    open_ready(browser, f"{base}/web/index.html")
    click(browser)
    browser.wait_for("window.quartz.state === 'playing' && document.fullscreenElement !== null",
                     60, "the run to start full screen")
    during = hide_for(browser, 0.5)
    check(during == "ended", f"hiding the full-screen tab ends the run at once ({during})")


def check_failures(browser, base, dist):
    # A failure after the click leaves the full screen the click asked for.
    open_ready(browser, f"{base}/web/index.html")
    browser.evaluate("""window.AudioContext = window.webkitAudioContext = undefined;
        document.addEventListener("fullscreenchange", () => {
            window.wasFull ||= document.fullscreenElement !== null; })""")
    click(browser)
    browser.wait_for("window.quartz.state === 'failed' && window.wasFull && "
                     "document.fullscreenElement === null", 60, "the failure to leave full screen")
    check("audio device" in browser.evaluate("window.quartz.message"),
          f"a refused audio device fails the run and leaves full screen ({browser.state()})")
    # Capture values are read as quartz-capture reads --from and --fps.
    for query, bad in (("capture=abc", '"abc"'), ("capture=2&fps=10x", '"10x"')):
        browser.open(f"{base}/web/index.html?{query}")
        browser.wait_for("window.quartz.state !== 'loading'", 120, f"?{query} to be read")
        check(browser.evaluate(f"window.quartz.state === 'failed' && "
                               f"window.quartz.message.includes('{bad}')"),
              f"?{query} is refused ({browser.state()})")
    # The folder edition opened as a file cannot read its files, and says what to do instead.
    browser.open(f"file://{dist}/web/index.html")
    browser.wait_for("window.quartz.state !== 'loading'", 120, "the file:// page to give up")
    check(browser.evaluate("window.quartz.state === 'failed' && "
                           "window.quartz.message.includes('quartz-meridian.html') && "
                           "document.getElementById('notice').textContent === "
                           "window.quartz.message"),
          f"the folder edition opened as a file fails and names the single file "
          f"({browser.state()})")


def check_single_file(browser, base, dist):
    for url in (f"file://{dist}/quartz-meridian.html", f"{base}/quartz-meridian.html"):
        took = open_ready(browser, url)
        fetched = browser.evaluate("performance.getEntriesByType('resource').map(e => e.name)")
        print(f"     the single file is ready {took:.0f} ms after navigation", flush=True)
        check(fetched == [], f"{url} fetches nothing ({fetched})")
    click(browser)
    browser.wait_for("window.quartz.state !== 'ready' && (window.quartz.state !== 'playing' || "
                     "window.quartz.position > 1)", 60, "the single file to play")
    check(browser.evaluate("window.quartz.state") == "playing",
          f"the single file plays ({browser.state()})")


def check_touch(browser, base):
    # A touch screen alone: a tap starts, keeps the screen awake, and a tap ends the run.
    browser.call("Emulation.setTouchEmulationEnabled", enabled=True, maxTouchPoints=5)
    try:
        open_ready(browser, f"{base}/web/index.html")

        def tap():
            browser.call("Input.dispatchTouchEvent", type="touchStart",
                         touchPoints=[{"x": 320, "y": 240}])
            browser.call("Input.dispatchTouchEvent", type="touchEnd", touchPoints=[])

        tap()
        browser.wait_for("window.quartz.state === 'playing' && window.quartz.wakeLock !== ''", 60,
                         "a tap to start the run")
        held = browser.evaluate("window.quartz.wakeLock")
        tap()
        browser.wait_for("window.quartz.state !== 'playing'", 60, "a tap to end the run")
        browser.wait_for("window.quartz.wakeLock !== 'held'", 30, "the wake lock to go")
        check(held == "held" and browser.evaluate("window.quartz.state") == "ended",
              f"a tap starts the run with the screen kept awake ({held}) and a tap ends it "
              f"({browser.state()})")
    finally:
        browser.call("Emulation.setTouchEmulationEnabled", enabled=False)


# Counts the WebGL objects a page holds: every create* with a matching delete*, wrapped on the
# prototype before the page's scripts run.
GL_COUNTER = """(() => {
    const live = window.quartzGlLive = {};
    const made = new WeakSet();
    const proto = WebGL2RenderingContext.prototype;
    for (const name of Object.getOwnPropertyNames(proto)) {
        const kind = /^create(\\w+)$/.exec(name)?.[1];
        if (!kind || typeof proto["delete" + kind] !== "function") continue;
        const create = proto[name], remove = proto["delete" + kind];
        live[kind] = 0;
        proto[name] = function (...args) {
            const object = create.apply(this, args);
            if (object) { made.add(object); live[kind]++; }
            return object;
        };
        proto["delete" + kind] = function (object) {
            if (object && made.delete(object)) live[kind]--;
            return remove.call(this, object);
        };
    }
})();"""


def check_repeated_runs(browser, base, runs=20):
    """Runs started and ended in one page leave the wasm heap and the GL objects as the first
    left them: each start sets everything up afresh, so what an end forgets piles up."""
    browser.call("Page.enable")
    added = browser.call("Page.addScriptToEvaluateOnNewDocument", source=GL_COUNTER)
    try:
        browser.open(f"{base}/web/index.html")
        browser.wait_for("window.quartz.state !== 'loading'", 120, "the page to get ready")
        # In the window, as where full screen is refused: Chromium grants it, and a start right
        # after an end can meet the previous run's leaving full screen, which ends the new run.
        browser.evaluate("document.documentElement.requestFullscreen = undefined")
        footprint = "[Module.HEAP8.length, window.quartzGlLive]"
        during, after = None, []
        for number in range(1, runs + 1):
            browser.click(320, 240)
            try:
                browser.wait_for("window.quartz.state === 'failed' || (window.quartz.state === "
                                 "'playing' && window.quartz.position > 0)", 60, "")
            except TimeoutError:
                check(False, f"run {number} in one page starts within 60 s ({browser.state()})")
                return
            if during is None:
                during = sum(browser.evaluate("window.quartzGlLive").values())
            browser.press_escape()
            browser.wait_for("['ended', 'failed'].includes(window.quartz.state)", 60,
                             f"Escape to end run {number}")
            if browser.evaluate("window.quartz.state") != "ended":
                check(False, f"run {number} in one page: {browser.state()}")
                return
            after.append(browser.evaluate(footprint))
    finally:
        browser.call("Page.removeScriptToEvaluateOnNewDocument", identifier=added["identifier"])
    changed = [number for number, left in enumerate(after, 1) if left != after[0]]
    check(during > 0 and not changed,
          f"{runs} runs in one page leave heap and GL objects as the first left them "
          f"({during} GL objects during a run; after the first {after[0]}"
          + (f", after run {changed[0]} {after[changed[0] - 1]}" if changed else "") + ")")


def end_on_signal(number, _frame):
    # Unwinds through main's finally, which ends the browser.
    raise SystemExit(128 + number)


def run_checks(browser, base, dist, frames_dir, fps, times):
    print("WebGL2 renderer: " + str(browser.evaluate(
        "(() => { const gl = document.createElement('canvas').getContext('webgl2');"
        " return gl && gl.getParameter(gl.getExtension('WEBGL_debug_renderer_info')"
        ".UNMASKED_RENDERER_WEBGL); })()")), flush=True)
    for seconds in times:
        check_capture(browser, base, frames_dir, int(fps), float(seconds))
    check_live_run(browser, base)
    check_missing_picture(browser, base)
    if isinstance(browser, Browser):
        check_letterbox(browser, base)
        check_repeated_runs(browser, base)
        check_pixel_ratios(browser, base, frames_dir, int(fps))
        check_hidden_tab(browser, base)
        check_failures(browser, base, dist)
        check_single_file(browser, base, dist)
        check_touch(browser, base)


def main():
    # Leading --firefox=BINARY and --webkit=WEBKITWEBDRIVER add those engines after Chromium.
    args = sys.argv[1:]
    others = []
    while args and args[0].startswith("--"):
        option, _, value = args.pop(0).partition("=")
        others.append((option, value))
    chromium, base, dist, frames_dir, fps = args[:5]
    for number in ENDING_SIGNALS:
        signal.signal(number, end_on_signal)
    # The drivers in engines.py share this module's process handling.
    sys.modules.setdefault("check_page", sys.modules[__name__])
    import engines

    starts = [("Chromium", lambda: Browser(chromium))]
    for option, value in others:
        if option == "--firefox":
            starts.append(("Firefox", lambda value=value: engines.Firefox(value)))
        elif option == "--webkit":
            starts.append(("WebKitGTK", lambda value=value: engines.WebKit(value)))
        else:
            sys.exit(f"check_page: unknown option {option}")
    for name, start in starts:
        print(f"== {name}", flush=True)
        started = time.monotonic()
        browser = None
        try:
            browser = start()
            run_checks(browser, base, dist, frames_dir, fps, args[5:])
        except (RuntimeError, OSError, websocket.WebSocketException) as error:
            # TimeoutError (a wait ran out) is an OSError, as is a refused connection.
            check(False, f"{name}: {error}")
        finally:
            if browser is not None:
                browser.close()
        print(f"{name}'s checks took {time.monotonic() - started:.0f} s", flush=True)
    print(f"test-web: {len(failures)} check(s) failed" if failures else "test-web: all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
