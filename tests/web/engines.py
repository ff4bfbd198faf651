"""Firefox (WebDriver BiDi) and WebKitGTK (classic W3C WebDriver) for check_page.py's checks.

Each driver offers what the checks use of Chromium's: open(url, width, height), evaluate(expr),
wait_for(expr, seconds, what), click(x, y), press_escape(), screenshot() -> PIL image, console
(the page's console lines, or None where the engine gives no way to read them) and close().
Both need a display (DISPLAY) and, for a running audio clock, a sound server (QM_PULSE_SERVER):
with no output device their AudioContext never leaves time 0.
"""
import base64
import io
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

import websocket
from PIL import Image

from check_page import ENDING_SIGNALS, end_process_group, remove_tree, wait

ESCAPE_KEY = "\ue00c"


def click_actions(x, y):
    return [{"type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"},
             "actions": [{"type": "pointerMove", "x": x, "y": y, "origin": "viewport"},
                         {"type": "pointerDown", "button": 0},
                         {"type": "pointerUp", "button": 0}]}]


ESCAPE_ACTIONS = [{"type": "key", "id": "keyboard",
                   "actions": [{"type": "keyDown", "value": ESCAPE_KEY},
                               {"type": "keyUp", "value": ESCAPE_KEY}]}]


def png_image(data):
    return Image.open(io.BytesIO(base64.b64decode(data))).convert("RGB")


class Driver:
    """What both engines share: a browser process group in a folder of its own, ended whatever
    happens, and page values passed through JSON so both protocols answer plain Python values."""

    name = "?"

    def __init__(self):
        self.process = None
        self.folder = tempfile.mkdtemp(prefix=f"quartz-{self.name.lower()}.")
        self.console = []

    def launch(self, command, **options):
        # A group of its own, so that ending it reaches every helper process the browser starts.
        self.log = open(os.path.join(self.folder, "browser.log"), "w+")
        # test-web's private sound server; Chromium keeps its own silent output.
        env = dict(os.environ)
        if os.environ.get("QM_PULSE_SERVER"):
            env["PULSE_SERVER"] = os.environ["QM_PULSE_SERVER"]
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT,
                                        start_new_session=True, env=env, **options)

    def log_text(self):
        with open(self.log.name, errors="replace") as log:
            return log.read()

    def wait_for(self, expression, seconds, what):
        wait(lambda: self.evaluate(expression), seconds, what)

    def evaluate(self, expression):
        text = self.evaluate_json(f"JSON.stringify(({expression}))")
        return None if text is None else json.loads(text)

    def state(self):
        return self.evaluate("JSON.stringify(window.quartz)")

    def wait_loaded(self):
        wait(lambda: self.evaluate("document.readyState === 'complete' && "
                                   "window.quartz !== undefined"), 120, "the page to load")

    def close(self):
        """Ends the browser with all its helpers and removes its folder; a second call does
        nothing, it never raises, and a signal waits until it is done."""
        signal.pthread_sigmask(signal.SIG_BLOCK, ENDING_SIGNALS)
        try:
            try:
                self.end_session()
            except Exception:  # the run is decided; a browser that is already gone is fine
                pass
            if self.process is not None:
                left = end_process_group(self.process)
                if left:
                    print(f"check_page: {self.name}'s processes {left} outlived SIGKILL",
                          file=sys.stderr)
                self.process = None
                self.log.close()
            if self.folder is not None:
                remove_tree(self.folder)
                self.folder = None
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, ENDING_SIGNALS)


class Firefox(Driver):
    name = "Firefox"
    PREFS = {"media.autoplay.default": 0, "media.autoplay.blocking_policy": 0,
             "browser.shell.checkDefaultBrowser": False,
             "datareporting.policy.dataSubmissionEnabled": False,
             "webgl.sanitize-unmasked-renderer": False, "app.update.disabledForTesting": True,
             "browser.startup.homepage_override.mstone": "ignore",
             "toolkit.startup.max_resumed_crashes": -1}

    def __init__(self, binary):
        super().__init__()
        self.socket = None
        self.next_id = 0
        try:
            profile = os.path.join(self.folder, "profile")
            os.mkdir(profile)
            with open(os.path.join(profile, "user.js"), "w") as prefs:
                for name, value in self.PREFS.items():
                    prefs.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
            # Headless, but drawing WebGL through the display's GL: with no display it has none.
            self.launch([binary, "--headless", "--no-remote", "--remote-debugging-port=0",
                         "--profile", profile, "about:blank"])
            listening = []

            def find_port():
                if self.process.poll() is not None:
                    raise RuntimeError(f"Firefox ended at start-up: {self.log_text()[-2000:]}")
                listening[:] = re.findall(r"WebDriver BiDi listening on (ws://\S+)",
                                          self.log_text())
                return listening

            wait(find_port, 120, "Firefox's WebDriver BiDi port")
            # Firefox refuses a handshake that carries an Origin header.
            self.socket = websocket.create_connection(listening[0] + "/session", timeout=120,
                                                      suppress_origin=True)
            self.call("session.new", capabilities={})
            self.call("session.subscribe", events=["log.entryAdded"])
            self.context = self.call("browsingContext.getTree")["contexts"][0]["context"]
        except BaseException:
            self.close()
            raise

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("method") == "log.entryAdded":
                self.console.append(message["params"].get("text") or "")
            if message.get("id") == self.next_id:
                if message.get("type") == "error":
                    raise RuntimeError(f"{method}: {message.get('error')}: "
                                       f"{message.get('message')}")
                return message["result"]

    def evaluate_json(self, expression):
        result = self.call("script.evaluate", expression=expression,
                           target={"context": self.context}, awaitPromise=False)
        if result["type"] == "exception":
            raise RuntimeError(f"script.evaluate: {result['exceptionDetails'].get('text')}")
        return result["result"].get("value")

    def open(self, url, width=640, height=480):
        self.call("browsingContext.setViewport", context=self.context,
                  viewport={"width": width, "height": height}, devicePixelRatio=1)
        self.console = []
        self.call("browsingContext.navigate", context=self.context, url=url, wait="complete")
        self.wait_loaded()

    def click(self, x, y):
        self.call("input.performActions", context=self.context, actions=click_actions(x, y))

    def press_escape(self):
        self.call("input.performActions", context=self.context, actions=ESCAPE_ACTIONS)

    def screenshot(self):
        return png_image(self.call("browsingContext.captureScreenshot",
                                   context=self.context)["data"])

    def end_session(self):
        if self.socket is not None:
            try:
                self.socket.close()
            finally:
                self.socket = None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class WebKit(Driver):
    name = "WebKitGTK"
    MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser"

    def __init__(self, driver, minibrowser=MINIBROWSER):
        super().__init__()
        # The console is not readable through classic WebDriver.
        self.console = None
        self.session = None
        try:
            port = free_port()
            self.base = f"http://127.0.0.1:{port}"
            self.launch([driver, f"--port={port}", "--host=127.0.0.1"])

            def ready():
                if self.process.poll() is not None:
                    raise RuntimeError(f"WebKitWebDriver ended: {self.log_text()[-2000:]}")
                try:
                    return self.request("GET", "/status")["ready"]
                except OSError:
                    return False

            wait(ready, 60, "WebKitWebDriver")
            options = {"binary": minibrowser,
                       "args": ["--automation", "--autoplay-policy=allow", "--enable-webgl=true",
                                "--enable-webaudio=true", "--enable-fullscreen=true",
                                "--media-playback-requires-user-gesture=false"]}
            answer = self.request("POST", "/session", {"capabilities": {"alwaysMatch": {
                "webkitgtk:browserOptions": options}}})
            self.session = "/session/" + answer["sessionId"]
        except BaseException:
            self.close()
            raise

    def request(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=120) as response:
                return json.load(response)["value"]
        except urllib.error.HTTPError as error:
            value = json.load(error).get("value", {})
            raise RuntimeError(f"WebDriver {method} {path}: {value.get('error')}: "
                               f"{value.get('message')}") from None

    def evaluate_json(self, expression):
        return self.request("POST", self.session + "/execute/sync",
                            {"script": f"return {expression};", "args": []})

    def open(self, url, width=640, height=480):
        # The window holds a toolbar above the page: grow it by what the page area lacks.
        for _ in range(3):
            inner = self.evaluate("[window.innerWidth, window.innerHeight]")
            if inner == [width, height]:
                break
            rect = self.request("GET", self.session + "/window/rect")
            self.request("POST", self.session + "/window/rect",
                         {"width": rect["width"] + width - inner[0],
                          "height": rect["height"] + height - inner[1]})
        self.request("POST", self.session + "/url", {"url": url})
        self.wait_loaded()

    def click(self, x, y):
        self.request("POST", self.session + "/actions", {"actions": click_actions(x, y)})

    def press_escape(self):
        self.request("POST", self.session + "/actions", {"actions": ESCAPE_ACTIONS})

    def screenshot(self):
        return png_image(self.request("GET", self.session + "/screenshot"))

    def end_session(self):
        if self.session is not None:
            session, self.session = self.session, None
            self.request("DELETE", session)
