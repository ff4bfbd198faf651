// Start-up, the frame loop clocked by the music, and shutdown, in that order. Every step that
// can fail says once what failed and why; shutdown always runs and releases what start-up made,
// in reverse order, so the monitor gets its mode back whatever happened.
#include "app/driver.h"

#include "app/report.h"
#include "audio/music.h"
#include "render/gl_context.h"
#include "render/scene.h"

#include "render/gl.h"
#include <GLFW/glfw3.h>

#include <atomic>
#include <csignal>
#include <string>

namespace {

constexpr char programName[] = "quartz-meridian";

// Written by a handler that may run on any thread (SDL's or the decoder's as well as ours), so a
// lock-free atomic rather than a volatile sig_atomic_t.
std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onSignal(int signalNumber) {
    caughtSignal = signalNumber;
}

// SIGINT, SIGTERM and SIGHUP end the run the way Escape does: the loop sees the close flag, so
// the full-screen window is destroyed and the monitor's mode restored.
void installSignalHandlers() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#ifdef SIGHUP
    std::signal(SIGHUP, onSignal);
#endif
#ifdef SIGPIPE
    // With the X connection killed, the next write to its socket would end the run silently by
    // SIGPIPE; ignored, the write fails and Xlib says so itself and exits with 1.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool stopAsked() {
    return caughtSignal.load() != 0;
}

void onKey(GLFWwindow* window, int key, int, int action, int) {
    if (key == GLFW_KEY_ESCAPE && action == GLFW_PRESS) {
        glfwSetWindowShouldClose(window, GL_TRUE);
    }
}

// The failure is said once shutdown is over: a message box behind a full-screen window that
// still holds the display mode is a message nobody reads.
std::string failureToReport;

// Keeps the first failure; false, so a failing step can return it.
bool fail(const std::string& message) {
    if (failureToReport.empty()) {
        failureToReport = message;
    }
    return false;
}

// What start-up made, released by shutDown in reverse order.
struct Presentation {
    MusicStream musicStream = 0;
    GLFWwindow* window = nullptr; // with its context current while set
    bool sceneReady = false;
};

Presentation presentation;

// Start-up steps, in order. Each reports its own failure and returns false.

bool startWindows() {
    std::string failure;
    return startWindowLibrary(ContextKind::fullScreen, failure) || fail(failure);
}

bool openAudio() {
    return openDevice() || fail("cannot open the audio device: " + musicFailure());
}

bool openMusic() {
    presentation.musicStream = openStream(musicFileName);
    return presentation.musicStream != 0 ||
           fail(std::string("cannot open music \"") + musicFileName + "\": " + musicFailure());
}

bool openWindow() {
    std::string failure;
    presentation.window = openContext(ContextKind::fullScreen, sceneWidth, sceneHeight, failure);
    if (presentation.window == nullptr) {
        return fail(failure);
    }
    glfwSetKeyCallback(presentation.window, onKey);
    glfwSetInputMode(presentation.window, GLFW_CURSOR, GLFW_CURSOR_HIDDEN);
    return true;
}

bool makeScene() {
    std::string failure;
    presentation.sceneReady = setupScene(failure);
    return presentation.sceneReady || fail(failure);
}

// False once a step failed. The window library starts before the audio so a machine without a
// display fails before the sound device is touched; without music there is nothing to show, so
// the window (and its mode switch) comes after it. A signal stops start-up before the window
// too: the viewer asked to stop, so none should open.
bool startUp() {
    if (!startWindows() || !openAudio() || !openMusic()) {
        return false;
    }
    return stopAsked() || (openWindow() && makeScene());
}

// Plays to the end, Escape, a close request or a signal. False when the music broke off or the
// audio device stopped taking it.
bool playFrames() {
    GLFWwindow* window = presentation.window;
    const MusicStream musicStream = presentation.musicStream;
    startPlayback(musicStream);
    while (!glfwWindowShouldClose(window)) {
        if (!isActive(musicStream)) {
            if (const std::string failure = playbackFailure(musicStream); !failure.empty()) {
                return fail(failure);
            }
            break;
        }
        const auto time = static_cast<float>(positionSeconds(musicStream));
        const auto levelStep = static_cast<float>(readLevelStep(musicStream));
        FrameTarget target;
        glfwGetFramebufferSize(window, &target.width, &target.height);
        renderFrame(time, levelStep, target);
        glfwSwapBuffers(window);
        update();
        glfwPollEvents();
        if (stopAsked()) {
            glfwSetWindowShouldClose(window, GL_TRUE);
        }
    }
    return true;
}

// Always, in reverse order of start-up, whatever part of it ran.
void shutDown() {
    GLFWwindow* window = presentation.window;
    if (window != nullptr) {
        glfwSetInputMode(window, GLFW_CURSOR, GLFW_CURSOR_NORMAL);
        releaseScene(); // also what a half-finished set-up made
    }
    freeStream(presentation.musicStream);
    freeDevice();
    closeContext(window);
    presentation = Presentation{};
}

} // namespace

int runPresentation() {
    installSignalHandlers();
    bool ok = startUp();
    if (ok && presentation.sceneReady && !stopAsked()) {
        ok = playFrames();
    }
    shutDown();
    if (!ok) {
        reportFailure(programName, failureToReport);
        return exitFailure;
    }
    return stopAsked() ? 128 + caughtSignal.load() : exitPlayed;
}
