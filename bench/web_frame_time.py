"""The browser half of bench/web-frame-time: what a capture-mode frame costs in headless Chromium.

usage: web_frame_time.py BASE_URL SECONDS FPS GL...   (GL: gl for ANGLE on the display's driver,
                                                       swiftshader for Chromium's own)

Two runs of index.html?capture=SECONDS&fps=FPS per GL, timed from the page:
- paced, as the page runs: one frame per animation frame. The time spent in each animation-frame
  callback is the main thread's share of a frame (issuing the GL calls; the GPU process draws
  them on its own), and the interval between frames is the pace, the display's 60 Hz at best.
- unpaced: requestAnimationFrame is replaced before the page loads by a zero-delay task, so the
  frames are drawn back to back; after the last one a one-pixel readPixels waits for the GPU
  process to finish drawing them all. The time from the first frame to then, over the frames, is
  what a frame costs when nothing waits for the display.
"""
import statistics
import sys

import web_browsers

# Installed before the page's scripts run. Notes the length of every animation-frame callback that
# drew a frame and the moment each frame was published; in unpaced mode it also takes over
# requestAnimationFrame. On the last frame it waits for the drawing to finish.
INSTRUMENT = """(() => {
    const frames = window.frameLog = {callbacks: [], published: [], finished: null};
    const lastTime = %(last)r, unpaced = %(unpaced)s;
    let drew = false;
    const timed = (callback) => (stamp) => {
        const start = performance.now();
        drew = false;
        try {
            callback(stamp);
        } finally {
            if (drew) {
                frames.callbacks.push(performance.now() - start);
            }
        }
    };
    if (unpaced) {
        const channel = new MessageChannel(), waiting = [];
        channel.port1.onmessage = () => waiting.shift()(performance.now());
        window.requestAnimationFrame = (callback) => {
            waiting.push(timed(callback));
            channel.port2.postMessage(0);
            return waiting.length;
        };
    } else {
        const request = window.requestAnimationFrame.bind(window);
        window.requestAnimationFrame = (callback) => request(timed(callback));
    }
    addEventListener("DOMContentLoaded", () => {
        const publish = window.quartzPublish;
        window.quartzPublish = function (state, position, ...rest) {
            const result = publish.call(this, state, position, ...rest);
            drew = true;
            frames.published.push(performance.now());
            if (position >= lastTime) {
                const gl = document.getElementById("canvas").getContext("webgl2");
                gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
                frames.finished = performance.now();
            }
            return result;
        };
    });
})();"""


def measure(chromium, url, frames, last_time, unpaced):
    # The instrument is the page's only knowledge of the mode; a page load before it would miss it.
    script = INSTRUMENT % {"last": last_time - 1e-6, "unpaced": "true" if unpaced else "false"}
    identifier = chromium.browser.call("Page.addScriptToEvaluateOnNewDocument",
                                       source=script)["identifier"]
    try:
        chromium.browser.call("Page.navigate", url=url)
        web_browsers.wait(lambda: chromium.evaluate(
            f"document.title === 'captured {frames - 1}' || "
            "(window.quartz !== undefined && window.quartz.state === 'failed')"), 900,
            "the last frame")
        log = chromium.evaluate("window.frameLog")
        state = chromium.evaluate("window.quartz.state")
    finally:
        chromium.browser.call("Page.removeScriptToEvaluateOnNewDocument", identifier=identifier)
    if state == "failed" or log is None or log["finished"] is None:
        raise RuntimeError(f"the capture did not finish: {chromium.evaluate('window.quartz')}")
    published = log["published"][-frames:]  # the last K+1: one a frame, none before main's
    lengths = sorted(log["callbacks"])
    return {
        "frames": len(published),
        "per_frame": (log["finished"] - published[0]) / (len(published) - 1),
        "pace": statistics.median(b - a for a, b in zip(published, published[1:])),
        "callback": statistics.median(lengths),
        "callback_p90": lengths[int(0.9 * (len(lengths) - 1))],
    }


def main():
    base, seconds, fps = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
    frames = int(seconds * fps + 1e-9) + 1
    last_time = (frames - 1) / fps
    url = f"{base}/index.html?capture={sys.argv[2]}&fps={fps}"
    for gl in sys.argv[4:]:
        chromium = web_browsers.Chromium(gl)
        try:
            chromium.browser.call("Page.enable")
            renderer = chromium.evaluate(web_browsers.RENDERER)
            chromium.browser.call("Emulation.setDeviceMetricsOverride", width=640, height=480,
                                  deviceScaleFactor=1, mobile=False)
            paced = measure(chromium, url, frames, last_time, unpaced=False)
            unpaced = measure(chromium, url, frames, last_time, unpaced=True)
        finally:
            chromium.close()
        print(f"browser, {renderer}:")
        print(f"  paced, one frame per animation frame: {paced['frames']} frames, "
              f"{paced['per_frame']:.1f} ms a frame (median interval {paced['pace']:.1f} ms); "
              f"in the frame callback {paced['callback']:.2f} ms median, "
              f"{paced['callback_p90']:.2f} ms at the 90th percentile")
        print(f"  unpaced, frames back to back: {unpaced['frames']} frames, "
              f"{unpaced['per_frame']:.1f} ms a frame drawn and finished; in the frame callback "
              f"{unpaced['callback']:.2f} ms median", flush=True)


if __name__ == "__main__":
    sys.exit(main())
