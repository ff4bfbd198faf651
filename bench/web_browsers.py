"""Drives Chromium (DevTools protocol, through tests/web's Browser) and Firefox (WebDriver BiDi)
alike for the browser benchmarks: open a page, evaluate an expression, click, close.

Both browsers play into whatever PulseAudio server PULSE_SERVER names. Firefox draws WebGL only
with a display, so it runs windowed on DISPLAY (an Xvfb); Chromium runs headless.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import websocket

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
from check_page import Browser, wait  # noqa: E402

RENDERER = ("(() => { const gl = document.createElement('canvas').getContext('webgl2');"
            " return gl ? gl.getParameter(gl.getExtension('WEBGL_debug_renderer_info')"
            ".UNMASKED_RENDERER_WEBGL) : 'no WebGL2'; })()")


class Chromium:
    name = "Chromium"

    def __init__(self, gl="gl"):
        self.browser = Browser("chromium", gl)

    def version(self):
        return self.browser.call("Browser.getVersion")["product"]

    def open(self, url, width=640, height=480):
        self.browser.open(url, width, height)

    def evaluate(self, expression):
        return self.browser.evaluate(expression)

    def click(self, x, y):
        for kind in ("mousePressed", "mouseReleased"):
            self.browser.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                              clickCount=1)

    def close(self):
        try:
            self.browser.close()
        except OSError:
            # Chromium's helpers may still be writing into the profile as it is removed.
            shutil.rmtree(self.browser.profile.name, ignore_errors=True)


class Firefox:
    name = "Firefox"
    # Autoplay allowed, no first-run chatter, the real renderer's name, and full-precision
    # timers: by default Firefox rounds performance.now() to a millisecond.
    PREFS = {"media.autoplay.default": 0, "media.autoplay.blocking_policy": 0,
             "browser.shell.checkDefaultBrowser": False,
             "datareporting.policy.dataSubmissionEnabled": False,
             "webgl.sanitize-unmasked-renderer": False,
             "privacy.reduceTimerPrecision": False}

    def __init__(self, binary="firefox-esr"):
        if not os.environ.get("DISPLAY"):
            raise RuntimeError("Firefox needs a display for WebGL: set DISPLAY (an Xvfb)")
        self.profile = tempfile.TemporaryDirectory(prefix="quartz-firefox.")
        with open(os.path.join(self.profile.name, "user.js"), "w") as prefs:
            for name, value in self.PREFS.items():
                prefs.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        self.log = open(os.path.join(self.profile.name, "firefox.log"), "w+")
        self.process = subprocess.Popen(
            [binary, "--remote-debugging-port=0", "--no-remote", "--profile", self.profile.name,
             "about:blank"], stdout=subprocess.DEVNULL, stderr=self.log)
        port = []

        def listening():
            if self.process.poll() is not None:
                raise RuntimeError(f"{binary} exited with {self.process.returncode}")
            self.log.seek(0)
            found = re.search(r"WebDriver BiDi listening on ws://127\.0\.0\.1:(\d+)",
                              self.log.read())
            port.extend(found.groups() if found else [])
            return bool(port)

        wait(listening, 60, "Firefox's WebDriver BiDi port")
        # Firefox refuses a handshake that carries an Origin header.
        self.socket = websocket.create_connection(f"ws://127.0.0.1:{port[0]}/session",
                                                  suppress_origin=True, timeout=120)
        self.next_id = 0
        self.capabilities = self.call("session.new", capabilities={})["capabilities"]
        self.context = self.call("browsingContext.getTree")["contexts"][0]["context"]

    def version(self):
        return f"Firefox {self.capabilities.get('browserVersion', '?')}"

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.next_id:
                if message.get("type") == "error":
                    raise RuntimeError(f"{method}: {message.get('error')}: "
                                       f"{message.get('message')}")
                return message["result"]

    def open(self, url, width=640, height=480):
        self.call("browsingContext.setViewport", context=self.context,
                  viewport={"width": width, "height": height})
        self.call("browsingContext.navigate", context=self.context, url=url, wait="complete")
        wait(lambda: self.evaluate("window.quartz !== undefined"), 120, "the page to load")

    def evaluate(self, expression):
        result = self.call("script.evaluate", expression=f"JSON.stringify({expression})",
                           target={"context": self.context}, awaitPromise=True)
        if result["type"] != "success":
            raise RuntimeError(f"evaluating {expression}: {result.get('exceptionDetails')}")
        value = result["result"].get("value")
        return None if value is None else json.loads(value)

    def click(self, x, y):
        self.call("input.performActions", context=self.context, actions=[{
            "type": "pointer", "id": "mouse", "actions": [
                {"type": "pointerMove", "x": x, "y": y, "origin": "viewport"},
                {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0}]}])

    def close(self):
        try:
            self.socket.settimeout(10)  # a page that hangs Firefox must not hold the bench
            self.call("session.end")
        except (RuntimeError, OSError, websocket.WebSocketException):
            pass
        self.socket.close()
        self.process.terminate()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()
        self.profile.cleanup()


def start(kind, gl="gl"):
    """kind: 'chromium' or 'firefox'; gl picks Chromium's WebGL2 back end ('gl' or 'swiftshader')."""
    return Chromium(gl) if kind == "chromium" else Firefox()
