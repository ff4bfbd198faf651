// Browser entry: the page (web/quartz.js) fetches the three assets into the module's file
// system and calls main, either with no arguments (the live run, started by a click through
// qm_start) or with "capture SEC FPS" (the capture tool's frames 0 to floor(SEC * FPS), drawn
// one per browser frame). The browser owns the frame loop, so start-up, each frame and shutdown
// are separate calls here; window.quartz is how the page and its tests see the state.
#include "app/report.h"
#include "assets.h"
#include "audio/music.h"
#include "capture_core.h"
#include "render/gl_context.h"
#include "render/scene.h"

#include <GLFW/glfw3.h>
#include <emscripten.h>
#include <emscripten/html5.h>

#include <cstdint>
#include <string>

namespace {

constexpr char programName[] = "quartz-meridian";

enum class Phase { ready, playing, capturing, ended, failed };

struct WebRun {
    Phase phase = Phase::ready;
    GLFWwindow* window = nullptr;
    bool sceneReady = false;
    MusicStream musicStream = 0;
    bool escapeAsked = false;
    std::string message;
    // Capture mode.
    MeterWindow meter;
    int fps = 0;
    std::uint64_t frame = 0;
    std::uint64_t lastFrame = 0;
};

WebRun run;

const char* phaseName(Phase phase) {
    switch (phase) {
    case Phase::ready:
        return "ready";
    case Phase::playing:
    case Phase::capturing:
        return "playing";
    case Phase::ended:
        return "ended";
    case Phase::failed:
        return "failed";
    }
    return "failed";
}

void publish(double position, unsigned levelStep) {
    // clang-format off
    EM_ASM({ quartzPublish(UTF8ToString($0), $1, $2, UTF8ToString($3)); },
           phaseName(run.phase), position, levelStep, run.message.c_str());
    // clang-format on
}

void onKey(GLFWwindow*, int key, int, int action, int) {
    if (key == GLFW_KEY_ESCAPE && action == GLFW_PRESS) {
        run.escapeAsked = true;
    }
}

// Releases, in reverse order, whatever start-up made; the page keeps its canvas.
void shutDown() {
    if (run.sceneReady) {
        releaseScene();
        run.sceneReady = false;
    }
    freeStream(run.musicStream);
    run.musicStream = 0;
    freeDevice();
    closeMeter(run.meter);
    if (run.window != nullptr) {
        closeContext(run.window);
        run.window = nullptr;
    }
}

void finish(Phase phase, const std::string& message) {
    emscripten_cancel_main_loop();
    shutDown();
    run.phase = phase;
    run.message = message;
    if (phase == Phase::failed) {
        reportFailure(programName, message);
    }
    publish(0.0, 0);
}

// The canvas's drawing buffer, which the page keeps at the element's size in device pixels: the
// composite is drawn at full resolution into its letterboxed 4:3 box, as the desktop draws into
// the monitor's own resolution. The point image stays 640x480 whatever the size.
FrameTarget canvasTarget() {
    FrameTarget target;
    emscripten_webgl_get_drawing_buffer_size(emscripten_webgl_get_current_context(), &target.width,
                                             &target.height);
    return target;
}

void playFrame() {
    // The reading is taken as the frame starts, not after the last one: after a hidden spell the
    // first frame back must show what is heard now, not where the picture stopped.
    update();
    if (run.escapeAsked) {
        finish(Phase::ended, "the viewer ended the run");
        return;
    }
    if (!isActive(run.musicStream)) {
        if (const std::string failure = decodeFailure(run.musicStream); !failure.empty()) {
            finish(Phase::failed,
                   std::string("music \"") + musicFileName + "\" broke off: " + failure);
        } else {
            finish(Phase::ended, "the music has ended");
        }
        return;
    }
    const double position = positionSeconds(run.musicStream);
    const unsigned levelStep = readLevelStep(run.musicStream);
    renderFrame(static_cast<float>(position), static_cast<float>(levelStep), canvasTarget());
    publish(position, levelStep);
}

void captureFrame() {
    const std::uint64_t frame = run.frame;
    const float time = frameTime(frame, run.fps);
    const unsigned levelStep = meterStepEndingAt(run.meter, frameSampleEnd(frame, run.fps));
    renderFrame(time, static_cast<float>(levelStep), canvasTarget());
    publish(time, levelStep);
    if (frame < run.lastFrame) {
        ++run.frame;
        return;
    }
    // The canvas keeps showing this frame; nothing is released, so it stays to be read.
    emscripten_cancel_main_loop();
    EM_ASM({ document.title = "captured " + $0; }, static_cast<double>(frame));
}

void frameLoop() {
    if (run.phase == Phase::playing) {
        playFrame();
    } else if (run.phase == Phase::capturing) {
        captureFrame();
    }
}

// The last frame at or before `seconds` that lies within the track, as the capture tool counts.
bool planCapture(double seconds, int fps, std::string& failure) {
    std::uint64_t trackFrames = 0;
    if (!countTrackFrames(musicFileName, trackFrames, failure) ||
        !openMeter(run.meter, musicFileName, failure)) {
        failure = std::string("cannot open music \"") + musicFileName + "\": " + failure;
        return false;
    }
    std::uint64_t last = firstFrameAtOrAfter(seconds, fps);
    if (last > 0 && frameSeconds(last, fps) > seconds) {
        --last;
    }
    const std::uint64_t frameCount = frameCountFor(trackFrames, fps);
    run.fps = fps;
    run.lastFrame = frameCount > 0 && last >= frameCount ? frameCount - 1 : last;
    return true;
}

bool startUp(bool capture, double seconds, int fps, std::string& failure) {
    run.window = openContext(ContextKind::canvas, sceneWidth, sceneHeight, failure);
    if (run.window == nullptr) {
        return false;
    }
    glfwSetKeyCallback(run.window, onKey);
    run.sceneReady = setupScene(failure);
    if (!run.sceneReady) {
        return false;
    }
    if (capture) {
        return planCapture(seconds, fps, failure);
    }
    // The music is opened (its first frame decoded) before the click, so a broken file is said
    // at once; the device waits for the click, since browsers start no sound without one.
    run.musicStream = openStream(musicFileName);
    if (run.musicStream == 0) {
        failure = std::string("cannot open music \"") + musicFileName + "\": " + musicFailure();
        return false;
    }
    return true;
}

} // namespace

extern "C" {

// The page needs the names of the files to fetch; they are spelled once, in assets.h.
EMSCRIPTEN_KEEPALIVE const char* qm_asset_name(int index) {
    constexpr int count = sizeof assetFileNames / sizeof assetFileNames[0];
    return index >= 0 && index < count ? assetFileNames[index] : nullptr;
}

// Called from the click that starts the run, so the audio context may start.
EMSCRIPTEN_KEEPALIVE void qm_start() {
    if (run.phase != Phase::ready) {
        return;
    }
    if (!openDevice()) {
        finish(Phase::failed, "cannot open the audio device: " + musicFailure());
        return;
    }
    startPlayback(run.musicStream);
    run.phase = Phase::playing;
    publish(0.0, 0);
}

// Escape pressed where the canvas does not get it, full screen left, or a tap on a touch screen.
// At once, not at the next frame: a tab hidden by leaving full screen gets no more frames, and
// its music would play on unseen.
EMSCRIPTEN_KEEPALIVE void qm_stop() {
    if (run.phase == Phase::ready || run.phase == Phase::playing) {
        finish(Phase::ended, "the viewer ended the run");
    }
}
}

int main(int argc, char** argv) {
    const bool capture = argc == 4 && std::string(argv[1]) == "capture";
    double seconds = 0.0;
    int fps = 0;
    // Read as quartz-capture reads --from and --fps, so "abc" is refused rather than taken as 0.
    if (capture && !parseSeconds(argv[2], seconds)) {
        finish(Phase::failed, std::string("capture= must be seconds of music (like 12.5), not \"") +
                                  argv[2] + "\"");
        return 0;
    }
    if (capture && !parseWhole(argv[3], 1, maxCaptureFps, fps)) {
        finish(Phase::failed, "fps= must be a whole number from 1 to " +
                                  std::to_string(maxCaptureFps) + ", not \"" + argv[3] + "\"");
        return 0;
    }
    std::string failure;
    if (!startUp(capture, seconds, fps, failure)) {
        finish(Phase::failed, failure);
        return 0;
    }
    run.phase = capture ? Phase::capturing : Phase::ready;
    publish(0.0, 0);
    emscripten_set_main_loop(frameLoop, 0, false);
    return 0;
}
