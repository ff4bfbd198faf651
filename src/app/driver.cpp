// Start-up, the frame loop clocked by the music, and shutdown, in that order. Every step that
// can fail says once what failed and why; shutdown always runs and releases what start-up made,
// in reverse order, so the monitor gets its mode back whatever happened.
#include "app/driver.h"

#include "app/report.h"
#include "audio/music.h"
#include "render/gl_context.h"
#include "render/scene.h"

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include <atomic>
#include <csignal>
#include <string>

namespace {

constexpr char programName[] = "quartz-meridian";
constexpr char windowTitle[] = "QUARTZ MERIDIAN";

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

void onKey(GLFWwindow* window, int key, int, int action, int) {
    if (key == GLFW_KEY_ESCAPE && action == GLFW_PRESS) {
        glfwSetWindowShouldClose(window, GL_TRUE);
    }
}

// The failure is said once shutdown is over: a message box behind a full-screen window that
// still holds the display mode is a message nobody reads.
std::string failureToReport;

void fail(const std::string& message) {
    if (failureToReport.empty()) {
        failureToReport = message;
    }
}

// Window, context and GL entry points; false once a step failed and was reported.
bool openWindow(GLFWwindow*& window) {
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_COMPAT_PROFILE);
    glfwWindowHint(GLFW_RESIZABLE, 0);
    window =
        glfwCreateWindow(sceneWidth, sceneHeight, windowTitle, glfwGetPrimaryMonitor(), nullptr);
    if (window == nullptr) {
        fail(std::string("cannot open the full-screen window: ") + glfwFailureText());
        return false;
    }
    glfwMakeContextCurrent(window);
    glGetError();
    glewExperimental = GL_TRUE;
    if (GLenum result = glewInit(); result != GLEW_OK) {
        fail(std::string("cannot load the OpenGL entry points: ") +
             reinterpret_cast<const char*>(glewGetErrorString(result)));
        return false;
    }
    glGetError();
    if (!GLEW_VERSION_3_3) {
        const auto* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
        fail(std::string("needs OpenGL 3.3, the driver offers ") +
             (version != nullptr ? version : "an unknown version"));
        return false;
    }
    glfwSetKeyCallback(window, onKey);
    glfwSetInputMode(window, GLFW_CURSOR, GLFW_CURSOR_HIDDEN);
    return true;
}

// Plays to the end, Escape, a close request or a signal. False when the music broke off.
bool playFrames(GLFWwindow* window, MusicStream musicStream) {
    startPlayback(musicStream);
    while (!glfwWindowShouldClose(window)) {
        if (!isActive(musicStream)) {
            if (const std::string failure = decodeFailure(musicStream); !failure.empty()) {
                fail(std::string("music \"") + musicFileName + "\" broke off: " + failure);
                return false;
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
        if (caughtSignal.load() != 0) {
            glfwSetWindowShouldClose(window, GL_TRUE);
        }
    }
    return true;
}

} // namespace

int runPresentation() {
    installSignalHandlers();
    installGlfwErrorCallback();

    // Start-up. Each failure is reported where it happens; what follows is skipped. A signal
    // during start-up skips the rest too: the viewer asked to stop, so no window should open.
    bool runOk = glfwInit() == GLFW_TRUE;
    if (!runOk) {
        fail(std::string("cannot start the window library: ") + glfwFailureText());
    }
    MusicStream musicStream = 0;
    if (runOk && !(runOk = openDevice())) {
        fail("cannot open the audio device: " + musicFailure());
    }
    if (runOk && !(runOk = (musicStream = openStream(musicFileName)) != 0)) {
        fail(std::string("cannot open music \"") + musicFileName + "\": " + musicFailure());
    }
    // Without music there is nothing to show: no window, so no mode switch for nothing.
    const auto goOn = [&runOk] { return runOk && caughtSignal.load() == 0; };
    GLFWwindow* window = nullptr;
    if (goOn()) {
        runOk = openWindow(window);
    }
    const bool glReady = runOk && window != nullptr;
    if (glReady) {
        std::string failure;
        if (!(runOk = setupScene(failure))) {
            fail(failure);
        }
    }

    if (goOn() && glReady) {
        runOk = playFrames(window, musicStream);
    }

    // Shutdown, always, in reverse order of start-up.
    if (window != nullptr) {
        glfwSetInputMode(window, GLFW_CURSOR, GLFW_CURSOR_NORMAL);
    }
    if (glReady) {
        releaseScene(); // also what a half-finished set-up made
    }
    freeStream(musicStream);
    freeDevice();
    if (window != nullptr) {
        glfwDestroyWindow(window);
    }
    glfwTerminate();

    if (!runOk) {
        reportFailure(programName, failureToReport);
        return exitFailure;
    }
    const int signalNumber = caughtSignal.load();
    return signalNumber != 0 ? 128 + signalNumber : exitPlayed;
}
