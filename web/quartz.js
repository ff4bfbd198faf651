// The page around the module: fetches the three assets from beside index.html into the module's
// file system, starts the run on a click, and shows window.quartz's state. Every failure is said
// on the page and in the console, so no fault leaves a silent black canvas.
"use strict";

const params = new URLSearchParams(location.search);
const capture = params.has("capture");
const notice = document.getElementById("notice");
window.quartz = { state: "loading", position: 0, levelStep: 0, message: "" };

function show(text, failed) {
    notice.textContent = text;
    notice.classList.toggle("failed", failed);
}

function fail(message) {
    Object.assign(window.quartz, { state: "failed", message });
    console.error("quartz-meridian: " + message);
    document.body.classList.remove("playing", "capture");
    show(message, true);
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
    if (state === "ready") {
        show("click to start", false);
    } else if (state === "ended") {
        document.body.classList.remove("playing");
        if (document.fullscreenElement) {
            document.exitFullscreen().catch(() => {});
        }
        show("the run has ended\n", false);
        const again = document.createElement("a");
        again.href = location.href;
        again.textContent = "play again";
        // The click reaches the notice, which starts the next run in this page.
        again.addEventListener("click", (event) => event.preventDefault());
        notice.appendChild(again);
    } else if (state === "failed") {
        fail(message);
    }
}

function start() {
    if (!["ready", "ended"].includes(window.quartz.state)) {
        return;
    }
    document.body.classList.add("playing");
    // Where the browser refuses full screen, the run goes on in the window.
    if (document.documentElement.requestFullscreen) {
        document.documentElement.requestFullscreen().catch(() => {});
    }
    Module._qm_start();
}

notice.addEventListener("click", start);
document.addEventListener("keydown", (event) => {
    if (event.key === "Escape" && ["ready", "playing"].includes(window.quartz.state)) {
        Module._qm_stop();
    }
});
// The browser takes Escape for itself to leave full screen; leaving it ends the run likewise.
document.addEventListener("fullscreenchange", () => {
    if (!document.fullscreenElement && window.quartz.state === "playing" && !capture) {
        Module._qm_stop();
    }
});

async function fetchAsset(name) {
    let response;
    try {
        response = await fetch(name, { cache: "no-cache" });
    } catch (error) {
        throw new Error(`cannot fetch "${name}": ${error.message}`);
    }
    if (!response.ok) {
        throw new Error(`cannot fetch "${name}": HTTP ${response.status} ${response.statusText}`);
    }
    Module.FS.writeFile(name, new Uint8Array(await response.arrayBuffer()));
}

function assetNames() {
    const names = [];
    for (let name; (name = Module._qm_asset_name(names.length)) !== 0; ) {
        names.push(Module.UTF8ToString(name));
    }
    return names;
}

var Module = {
    canvas: document.getElementById("canvas"),
    print: (text) => console.log(text),
    printErr: (text) => console.error(text),
    onAbort: (what) => fail("the program stopped: " + what),
    onRuntimeInitialized: async () => {
        if (capture) {
            document.body.classList.add("capture");
        }
        if (!document.createElement("canvas").getContext("webgl2")) {
            fail("this browser offers no WebGL2");
            return;
        }
        try {
            await Promise.all(assetNames().map(fetchAsset));
        } catch (error) {
            fail(error.message);
            return;
        }
        const args = capture ? ["capture", params.get("capture"), params.get("fps") || "60"] : [];
        Module.callMain(args);
    },
};

window.addEventListener("error", (event) => {
    if (window.quartz.state !== "failed") {
        fail(event.message || "a script failed to load");
    }
});
