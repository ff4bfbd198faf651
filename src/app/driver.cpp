// The desktop: start-up, the frame loop clocked by the music, and shutdown, in that order. Every
// step that can fail says once what failed and why; shutdown always runs and releases what
// start-up made, in reverse order, so the monitor gets its mode back whatever happened. Where the
// process dies before shutdown can run, the mode guard (app/mode_guard.h) gives it back.
#include "app/driver.h"

#include "app/mode_guard.h"
#include "app/presentation.h"
#include "app/process.h"
#include "app/report.h"
#include "audio/music.h"
#include "names.h"

#include "render/gl.h"
#include <GLFW/glfw3.h>

#include <string>

namespace qm {

namespace {

bool stopAsked() {
    return caughtStopSignal() != 0;
}

void onKey(GLFWwindow* window, int key, int, int action, int) {
    if (key == GLFW_KEY_ESCAPE && action == GLFW_PRESS) {
        glfwSetWindowShouldClose(window, GL_TRUE);
    }
}

// Start-up, in order: the window library starts before the audio so a machine without a display
// fails before the sound device is touched; without music there is nothing to show, so the
// window (and its mode switch) comes after it. A signal stops start-up before the window too:
// the viewer asked to stop, so none should open. A failure is said only once shutdown is over: a
// message box behind a full-screen window that still holds the display mode is a message nobody
// reads.
bool startUp() {
    std::string failure;
    if (!startWindowLibrary(ContextKind::fullScreen, failure)) {
        return failPresentation(failure);
    }
    if (!openAudioDevice() || !openMusic() || stopAsked()) {
        return false;
    }
    if (!openWindow(ContextKind::fullScreen)) {
        return false;
    }
    glfwSetKeyCallback(presentation.window, onKey);
    return makeScene();
}

// Plays to the end, Escape, a close request or a signal.
void playFrames() {
    GLFWwindow* window = presentation.window;
    startPlayback();
    while (!glfwWindowShouldClose(window)) {
        FrameTarget target;
        glfwGetFramebufferSize(window, &target.width, &target.height);
        if (!presentFrame(readMusicClock(), target)) {
            break;
        }
        glfwSwapBuffers(window);
        glfwPollEvents();
        if (stopAsked()) {
            glfwSetWindowShouldClose(window, GL_TRUE);
        }
    }
}

} // namespace

int runPresentation() {
    // First of all, while no thread exists: the guard is a forked child. Not holding the mode is
    // no reason to stop; it is said, since a crash would then cost the viewer the desktop's mode.
    // A Wayland session has no mode to guard: no client switches one there, and the X display
    // beside it is Xwayland's, whose switch is only emulated for its client.
    if (std::string warning;
        windowPlatform() != WindowPlatform::wayland && !startModeGuard(warning)) {
        reportFailure(programName, warning);
    }
    // SIGINT, SIGTERM and SIGHUP end the run the way Escape does: the loop sees the close flag,
    // so the full-screen window is destroyed and the monitor's mode restored. With the X
    // connection killed, SIGPIPE ignored lets the next write to its socket fail, and Xlib says so
    // itself and exits with 1.
    catchStopSignals();
    if (startUp() && !stopAsked()) {
        playFrames();
    }
    shutDownPresentation();
    finishModeGuard(); // after the window library ended, so the mode is back already
    if (!presentation.failure.empty()) {
        reportFailure(programName, presentation.failure);
        return exitFailure;
    }
    return stopAsked() ? 128 + caughtStopSignal() : exitPlayed;
}

} // namespace qm
