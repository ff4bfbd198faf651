// The page around the module: fetches the three assets from beside index.html into the module's
// file system (or, in the single-file edition, takes them from the page itself), starts the run
// on a click or tap, and shows window.quartz's state. Every failure is said on the page and in
// the console, so no fault leaves a silent black canvas or "loading…" for ever.
"use strict";

const params = new URLSearchParams(location.search);
const capture = params.has("capture");
const notice = document.getElementById("notice");
const canvas = document.getElementById("canvas");
// The single-file edition carries the wasm and the assets as base64 in window.quartzFiles.
const embedded = window.quartzFiles;
window.quartz = { state: "loading", position: 0, levelStep: 0, message: "", wakeLock: "" };

// Said before every click that starts a run: most of the presentation flashes more than three
// times a second (quartz-capture counts it).
const flashWarning = "Warning: this presentation contains rapidly flashing lights that may" +
    " trigger seizures in people with photosensitive epilepsy.";

function show(text, failed) {
    notice.textContent = text;
    notice.classList.toggle("failed", failed);
}

// What the viewer can do about a failure depends on when it came: while loading (a page opened
// as a file cannot read the files beside it, which is then the real cause), while main set up
// (a file is broken) or after the click. Capture mode's failures name the value or the file.
let mainCalled = false;
let started = false;
function advice() {
    if (started) {
        return "Reload the page to try again. If it fails the same way, check that this browser" +
            " may play sound here, or put the build's copy of the named file in its place.";
    }
    if (mainCalled) {
        return capture ? "" : "The named file is damaged or from another build: put the one" +
            " from the build in its place, then reload the page.";
    }
    if (location.protocol === "file:" && !embedded) {
        return "Opened as a file, this page cannot read the files beside it. Open" +
            " quartz-meridian.html instead, the single-file edition built beside this folder," +
            " or serve this folder and open it over http (python3 -m http.server -d" +
            " THIS-FOLDER 8000, then http://127.0.0.1:8000/).";
    }
    return embedded ? "Reload the page; if it fails again, build the file again." :
        "Reload the page; if it fails again, copy the whole folder from the build again: the" +
        " page needs every file that came with index.html.";
}

function leaveFullScreen() {
    if (document.fullscreenElement) {
        document.exitFullscreen().catch(() => {});
    }
}

// `said`: the module has already written the message to the console (as to stderr natively).
function fail(message, said = false, whatToDo = advice()) {
    message += whatToDo ? "\n" + whatToDo : "";
    Object.assign(window.quartz, { state: "failed", message });
    performance.mark("quartz-failed");
    if (!said) {
        console.error("quartz-meridian: " + message);
    }
    document.body.classList.remove("playing", "capture");
    leaveFullScreen();
    releaseWakeLock();
    show(message, true);
}

// The screen must not dim or lock while the presentation plays; the lock lapses whenever the
// page is hidden, so it is asked for again each time the page is shown while playing.
let wakeLock = null;
async function keepAwake() {
    if (!navigator.wakeLock) {
        window.quartz.wakeLock = "not offered";
        return;
    }
    try {
        const lock = await navigator.wakeLock.request("screen");
        if (window.quartz.state !== "playing") {
            lock.release();
            return;
        }
        wakeLock = lock;
        window.quartz.wakeLock = "held";
        lock.addEventListener("release", () => {
            window.quartz.wakeLock = "released";
        });
    } catch (error) {
        window.quartz.wakeLock = "refused: " + error.message;
    }
}

function releaseWakeLock() {
    if (wakeLock) {
        wakeLock.release().catch(() => {});
        wakeLock = null;
    }
}

// Called by the module every frame and at every change of state.
function quartzPublish(state, position, levelStep, message) {
    const before = window.quartz.state;
    // The stamp lets a reader tell the clock's pace from how late this frame came.
    const publishedAt = performance.now();
    Object.assign(window.quartz, { state, position, levelStep, message, publishedAt });
    if (state === before) {
        return;
    }
    if (state === "failed") {
        fail(message, true);
        return;
    }
    performance.mark("quartz-" + state);
    if (state === "ready") {
        show(flashWarning + "\n\nclick or tap to start", false);
    } else if (state === "playing" && !capture) {
        keepAwake();
    } else if (state === "ended") {
        document.body.classList.remove("playing");
        leaveFullScreen();
        releaseWakeLock();
        show(flashWarning + "\n\nthe run has ended\n", false);
        const again = document.createElement("a");
        again.href = location.href;
        again.textContent = "play again";
        // The click reaches the notice, which starts the next run in this page.
        again.addEventListener("click", (event) => event.preventDefault());
        notice.appendChild(again);
    }
}

// Whether the run has been shown full screen, kept apart from document.fullscreenElement: a tab
// hidden in full screen has left it before its fullscreenchange arrives, which a hidden page
// only gets once it is shown again.
let fullScreenRun = false;

function start() {
    if (!["ready", "ended"].includes(window.quartz.state)) {
        return;
    }
    started = true;
    document.body.classList.add("playing");
    // Where the browser refuses full screen, the run goes on in the window.
    if (document.documentElement.requestFullscreen) {
        document.documentElement.requestFullscreen().then(() => {
            fullScreenRun = true;
        }, () => {});
    }
    Module._qm_start();
}

function stop() {
    if (["ready", "playing"].includes(window.quartz.state)) {
        Module._qm_stop();
    }
}

notice.addEventListener("click", start);
document.addEventListener("keydown", (event) => {
    if (event.key === "Escape") {
        stop();
    }
});
// A device with only a touch screen has no Escape: there a tap ends the run.
document.addEventListener("pointerdown", (event) => {
    if (event.pointerType === "touch" && window.quartz.state === "playing" &&
        matchMedia("(any-hover: none)").matches) {
        stop();
    }
});
// The browser takes Escape for itself to leave full screen; leaving it ends the run likewise.
// Full screen granted only after the run failed (the request is answered after the click that
// failed) is left at once.
document.addEventListener("fullscreenchange", () => {
    if (document.fullscreenElement && window.quartz.state !== "playing") {
        leaveFullScreen();
    } else if (!document.fullscreenElement && window.quartz.state === "playing" && !capture) {
        stop();
    }
});
// Switching tabs leaves full screen, so in full screen it ends the run as Escape does. Without
// full screen (refused, or not offered) the music plays on in the hidden tab.
document.addEventListener("visibilitychange", () => {
    if (window.quartz.state !== "playing" || capture) {
        return;
    }
    if (document.visibilityState === "hidden" && fullScreenRun) {
        stop();
    } else if (document.visibilityState === "visible") {
        keepAwake();
    }
});

// The drawing buffer follows the canvas's size in device pixels, so the picture is drawn at the
// screen's own resolution instead of being stretched, blurred, from 640x480. The size is the CSS
// size times devicePixelRatio rather than devicePixelContentBoxSize: Chromium's device-metrics
// override (its device mode) changes the first and not the second.
let fittedRatio = 0;
function fitCanvas() {
    const rect = canvas.getBoundingClientRect();
    const width = Math.round(rect.width * devicePixelRatio);
    const height = Math.round(rect.height * devicePixelRatio);
    fittedRatio = devicePixelRatio;
    if (width > 0 && height > 0 && (canvas.width !== width || canvas.height !== height)) {
        canvas.width = width;
        canvas.height = height;
    }
}
// A change of ratio alone (the window moved to another screen, or zoomed) resizes nothing, and
// not every browser reports it as a change of the resolution media query; a comparison each
// frame costs nothing.
function watchPixelRatio() {
    if (devicePixelRatio !== fittedRatio) {
        fitCanvas();
    }
    requestAnimationFrame(watchPixelRatio);
}
new ResizeObserver(fitCanvas).observe(canvas);
watchPixelRatio();
canvas.addEventListener("webglcontextlost", (event) => {
    event.preventDefault();
    if (window.quartz.state !== "failed") {
        fail("the browser took the graphics (WebGL2) context away", false,
            "Reload the page to play again.");
    }
});

// The bytes of a file beside the page, or of the single file's copy of it.
async function fileBytes(name) {
    if (embedded) {
        return decodeBase64(embedded[name] || "");
    }
    let response;
    try {
        response = await fetch(name, { cache: "no-cache" });
    } catch (error) {
        throw new Error(`cannot fetch "${name}": ${error.message}`);
    }
    if (!response.ok) {
        throw new Error(`cannot fetch "${name}": HTTP ${response.status} ${response.statusText}`);
    }
    return new Uint8Array(await response.arrayBuffer());
}

async function fetchAsset(name) {
    Module.FS.writeFile(name, await fileBytes(name));
}

function decodeBase64(text) {
    const bytes = atob(text);
    const result = new Uint8Array(bytes.length);
    for (let i = 0; i < bytes.length; ++i) {
        result[i] = bytes.charCodeAt(i);
    }
    return result;
}

function assetNames() {
    const names = [];
    for (let name; (name = Module._qm_asset_name(names.length)) !== 0; ) {
        names.push(Module.UTF8ToString(name));
    }
    return names;
}

var Module = {
    canvas,
    // The page loads the wasm itself: where the glue does, a failure can go unseen (a page
    // opened as a file gets no word of a rejection in a script of another origin, and every
    // file there is its own origin), and the page would say "loading…" for ever.
    instantiateWasm: (imports, receiveInstance) => {
        const name = "quartz-meridian.wasm";
        fileBytes(name)
            .then((bytes) => WebAssembly.instantiate(bytes, imports).catch((error) => {
                throw new Error(`cannot start "${name}": ${error.message}`);
            }))
            .then((result) => receiveInstance(result.instance, result.module))
            .catch((error) => fail(error.message));
        return {};
    },
    print: (text) => console.log(text),
    printErr: (text) => console.error(text),
    onAbort: (what) => fail("the program stopped: " + what),
    onRuntimeInitialized: async () => {
        if (capture) {
            document.body.classList.add("capture");
        }
        if (!document.createElement("canvas").getContext("webgl2")) {
            fail("this browser offers no WebGL2", false,
                "Open the page in a current browser, with hardware acceleration (WebGL) on.");
            return;
        }
        try {
            await Promise.all(assetNames().map(fetchAsset));
        } catch (error) {
            fail(error.message);
            return;
        }
        const args = capture ? ["capture", params.get("capture"), params.get("fps") || "60"] : [];
        mainCalled = true;
        Module.callMain(args);
        // Making the GL window set the drawing buffer back to 640x480.
        fitCanvas();
    },
};

// Whatever else goes wrong before the run is over.
window.addEventListener("error", (event) => {
    if (!["ended", "failed"].includes(window.quartz.state)) {
        fail(event.message || "a script failed to load");
    }
});
window.addEventListener("unhandledrejection", (event) => {
    if (!["ended", "failed"].includes(window.quartz.state)) {
        fail(String((event.reason && event.reason.message) || event.reason));
    }
});
