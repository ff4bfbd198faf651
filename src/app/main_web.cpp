// Browser entry: the page (web/quartz.js) fetches the three assets into the module's file
// system and calls main, either with no arguments (the live run, started by a click through
// qm_start) or with "capture SEC FPS" (the capture tool's frames 0 to floor(SEC * FPS), drawn
// one per browser frame). The browser owns the frame loop, so start-up, each frame and shutdown
// are separate calls here; window.quartz is how the page and its tests see the state. What this
// needs of the page's JavaScript is in web/quartz_module.js, one named function each.
#include "app/command_line.h"
#include "app/presentation.h"
#include "app/report.h"
#include "assets.h"
#include "audio/fixed_clock.h"
#include "audio/music.h"
#include "names.h"

#include <GLFW/glfw3.h>
#include <emscripten.h>
#include <emscripten/html5.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

using namespace qm;

// web/quartz_module.js.
extern "C" {
void quartz_publish(const char* phase, double position, unsigned levelStep, const char* message);
void quartz_captured(double frame);
void quartz_make_audio_context(int rate);
void quartz_follow_buffer_starts();
double quartz_buffer_start();
double quartz_heard_now();
}

namespace {

enum class Phase { ready, playing, capturing, ended, failed };

// The page's side of a run; the presentation's own state is in `presentation`.
struct WebRun {
    Phase phase = Phase::ready;
    bool escapeAsked = false;
    std::string message;
    FixedRateClock captureClock; // capture mode
};

WebRun run;

const char* phaseName(Phase phase) {
    switch (phase) {
    case Phase::ready:
        return "ready";
    case Phase::playing:
        return "playing";
    case Phase::capturing:
        return "capturing";
    case Phase::ended:
        return "ended";
    case Phase::failed:
        return "failed";
    }
    return "failed";
}

void publish(double position, unsigned levelStep) {
    quartz_publish(phaseName(run.phase), position, levelStep, run.message.c_str());
}

void onKey(GLFWwindow*, int key, int, int action, int) {
    if (key == GLFW_KEY_ESCAPE && action == GLFW_PRESS) {
        run.escapeAsked = true;
    }
}

void finish(Phase phase, std::string message) {
    emscripten_cancel_main_loop();
    closeFixedRateClock(run.captureClock);
    shutDownPresentation();       // the page keeps its canvas
    presentation.failure.clear(); // a new start begins afresh
    if (phase == Phase::failed) {
        reportFailure(programName, message);
    }
    run.phase = phase;
    run.message = std::move(message);
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

// The audio context's clock, for useDeviceClock. SDL stamps its callback with the moment the
// page's main thread gets round to the script node's event, up to a buffer or more after the
// buffer was due, and it cannot see the audio graph and the device beyond that node (tens of
// milliseconds). The context says both: each buffer's start (the event's playbackTime) and what
// it has rendered, of which the listener is some latency behind.
void followAudioContextClock() {
    quartz_follow_buffer_starts();
    useDeviceClock(quartz_buffer_start, quartz_heard_now);
}

void playFrame() {
    if (run.escapeAsked) {
        finish(Phase::ended, "the viewer ended the run");
        return;
    }
    // The reading is taken as the frame starts: after a hidden spell the first frame back shows
    // what is heard now, not where the picture stopped.
    const ClockReading reading = readMusicClock();
    if (!presentFrame(reading, canvasTarget())) {
        const bool failed = !presentation.failure.empty();
        finish(failed ? Phase::failed : Phase::ended,
               failed ? presentation.failure : "the music has ended");
        return;
    }
    publish(reading.seconds, reading.levelStep);
}

void captureFrame() {
    const std::uint64_t frame = run.captureClock.nextFrame;
    const ClockReading reading = readFixedRateClock(run.captureClock);
    presentFrame(reading, canvasTarget());
    publish(reading.seconds, reading.levelStep);
    if (run.captureClock.nextFrame < run.captureClock.endFrame) {
        return;
    }
    // The canvas keeps showing this frame; nothing is released, so it stays to be read.
    emscripten_cancel_main_loop();
    quartz_captured(static_cast<double>(frame));
}

void frameLoop() {
    if (run.phase == Phase::playing) {
        playFrame();
    } else if (run.phase == Phase::capturing) {
        captureFrame();
    }
}

// Frames 0 to the last at or before `seconds` that lies within the track, as the capture tool
// counts them.
bool planCapture(double seconds, int fps) {
    std::string failure;
    if (!openFixedRateClock(run.captureClock, musicFileName, fps, failure)) {
        return failPresentation(std::string("cannot open music \"") + musicFileName +
                                "\": " + failure);
    }
    // Those at or before `seconds` are those before the next larger double.
    run.captureClock.endFrame =
        framesBetween(0.0, std::nextafter(seconds, HUGE_VAL), fps, run.captureClock.endFrame).end;
    return true;
}

bool startUp(bool capture, double seconds, int fps) {
    if (!openWindow(ContextKind::canvas)) {
        return false;
    }
    glfwSetKeyCallback(presentation.window, onKey);
    if (!makeScene()) {
        return false;
    }
    // The music is opened (its first frame decoded) before the click, so a broken file is said
    // at once; the device waits for the click, since browsers start no sound without one.
    return capture ? planCapture(seconds, fps) : openMusic();
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
    // A run that ended (not one that failed) starts again in the same page from a fresh set-up,
    // as the first did: finish released everything the last one made.
    if (run.phase == Phase::ended) {
        run.escapeAsked = false;
        run.message.clear();
        if (!startUp(false, 0.0, 0)) {
            finish(Phase::failed, presentation.failure);
            return;
        }
        run.phase = Phase::ready;
        emscripten_set_main_loop(frameLoop, 0, false);
    }
    if (run.phase != Phase::ready) {
        return;
    }
    quartz_make_audio_context(playbackRate);
    if (!openAudioDevice()) {
        finish(Phase::failed, presentation.failure);
        return;
    }
    followAudioContextClock();
    startPlayback();
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
    if (!startUp(capture, seconds, fps)) {
        finish(Phase::failed, presentation.failure);
        return 0;
    }
    run.phase = capture ? Phase::capturing : Phase::ready;
    publish(0.0, 0);
    emscripten_set_main_loop(frameLoop, 0, false);
    return 0;
}
