// The desktop's display mode on a real X server with video modes: however a run of the
// presentation ends, the 1280x720 desktop it switched to 640x480 is back within 2 s of its end.
#include "test_support.h"

#include <GLFW/glfw3.h>

#include <signal.h>

#include <sstream>
#include <tuple>

using namespace testing_support;

namespace {

constexpr double startSeconds = 20.0 * slowdown;

// The processes whose parent is `pid`.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::istringstream pids(shellOutput("pgrep -P " + std::to_string(pid)));
    for (pid_t child = 0; pids >> child;) {
        children.push_back(child);
    }
    return children;
}

// Gone, or a zombie nobody reaps yet: it runs no more.
bool ended(pid_t pid) {
    const std::string state = shellOutput("ps -o stat= -p " + std::to_string(pid));
    return state.empty() || state[0] == 'Z';
}

} // namespace

// The end of the track and SIGTERM shut down in order and GLFW puts the mode back (Escape ends
// the run as the track's end does);
// SIGKILL and the X connection cut by xkill (Xlib then exits with 1) skip all that, and the guard
// the presentation started before its window must put it back instead. A crash or an abort is
// no different to the guard: it sees its socket close without the "done" byte, as after SIGKILL.
TEST(RealDisplay, EveryEndingGivesTheDesktopItsModeBack) {
    const RealXServer x;
    if (x.display.empty()) {
        GTEST_SKIP() << "no real X server with video modes: " << x.failure;
    }
    ASSERT_EQ(x.mode(), "1280x720");
    std::vector<std::int16_t> threeSeconds;
    square(threeSeconds, 3.0, 20000, 20000);
    const Stage shortTrack(threeSeconds), longTrack;
    const struct {
        const char* how;
        int signalNumber, exitCode, diedOf;
    } cases[] = {{"end of the track", 0, 0, 0},
                 {"SIGTERM", SIGTERM, 143, 0},
                 {"SIGKILL", SIGKILL, -1, SIGKILL},
                 {"xkill", 0, 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        const bool toTheEnd = c.how == cases[0].how;
        const ProcessRun run =
            startPresentation(toTheEnd ? shortTrack : longTrack,
                              {{"DISPLAY", x.display}, {"SDL_AUDIODRIVER", "dummy"}});
        const bool switched = waitUntil(startSeconds, [&] { return x.mode() == "640x480"; });
        const std::vector<pid_t> guards = childrenOf(run.pid);
        if (!switched) {
            ADD_FAILURE() << "the mode never switched: " << finishProgram(run, 1.0).standardError;
            continue;
        }
        if (c.signalNumber != 0) {
            ::kill(run.pid, c.signalNumber);
        } else if (c.how == std::string("xkill")) {
            // As xkill does: the server cuts the connection of the client that made the window.
            std::system(("export DISPLAY=" + x.display + "; w=$(timeout " +
                         std::to_string(startSeconds) + " xdotool search --sync --onlyvisible " +
                         "--pid " + std::to_string(run.pid) +
                         " | head -1) && xdotool windowkill $w")
                            .c_str());
        }
        const ProcessResult result = finishProgram(run, startSeconds);
        const auto died = std::chrono::steady_clock::now();
        const bool modeBack = waitUntil(2.0 * slowdown, [&] { return x.mode() == "1280x720"; });
        EXPECT_TRUE(modeBack)
            << x.mode() << " after "
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - died).count()
            << " s";
        EXPECT_EQ(std::make_tuple(result.exitCode, result.signal, result.timedOut),
                  std::make_tuple(c.exitCode, c.diedOf, false))
            << result.standardError;
        if (c.exitCode == 0 || c.exitCode == 143) {
            EXPECT_EQ(result.standardError, "");
        }
        // The guard goes too, whether it restored or was told "done".
        EXPECT_EQ(guards.size(), 1u);
        for (pid_t guard : guards) {
            EXPECT_TRUE(waitUntil(2.0 * slowdown, [guard] { return ended(guard); }));
        }
        if (!modeBack) {
            std::system(("DISPLAY=" + x.display + " xrandr -s 1280x720").c_str());
        }
    }
}

// A Wayland session, under GNOME's compositor and sway: through Xwayland (first, so the window
// is the first X11 client of a fresh Xwayland, which GNOME's takes focus from at once) and
// natively where this GLFW speaks Wayland (3.4). No mode switch and no guard: the window is full
// screen at the output's 1280x720 from its first frame to the end of the track, which ends with
// exit 0 and nothing said. (The scene letterboxes itself into that size: RenderScene.)
namespace {

void showsTheWholeRunFullScreen(bool native) {
    int major = 0, minor = 0, revision = 0;
    glfwGetVersion(&major, &minor, &revision);
    if (native && major * 100 + minor < 304) {
        GTEST_SKIP() << "GLFW " << major << "." << minor << " speaks no Wayland (3.4 does)";
    }
    std::vector<std::int16_t> threeSeconds;
    square(threeSeconds, 3.0, 20000, 20000);
    const Stage shortTrack(threeSeconds);
    std::string skipped;
    for (const char* name : {"mutter", "sway"}) {
        SCOPED_TRACE(name);
        const HeadlessCompositor compositor(name);
        if (!compositor.failure.empty()) {
            skipped += compositor.failure + "; ";
            continue;
        }
        Environment environment = native ? compositor.native : compositor.x11;
        environment.emplace_back("SDL_AUDIODRIVER", "dummy");
        const ProcessRun run = startPresentation(shortTrack, environment);
        std::string firstShown, lost;
        std::chrono::steady_clock::time_point shownAt;
        std::vector<pid_t> children;
        int misses = 0;
        while (stillRunning(run)) {
            const std::string shown = compositor.fullScreenWindow(run.pid, native);
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - shownAt).count();
            // On a loaded machine one look can miss the window while the compositor rearranges
            // its tree; a minimised or shrunk window stays missed.
            const bool missed = !firstShown.empty() && shown != firstShown && seconds < 2.0;
            misses = missed ? misses + 1 : 0;
            if (firstShown.empty() && !shown.empty()) {
                firstShown = shown;
                shownAt = std::chrono::steady_clock::now();
                children = childrenOf(run.pid);
            } else if (misses == 3) {
                lost += "'" + shown + "' ";
            }
        }
        const ProcessResult result = finishProgram(run, startSeconds);
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_EQ(result.standardError, "");
        EXPECT_EQ(firstShown, native && name == std::string("mutter") ? "?" : "1280x720\n");
        EXPECT_EQ(lost, "") << "after " << firstShown;
        if (native) {
            EXPECT_EQ(children.size(), 0u) << "a mode guard was started";
        }
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

} // namespace

TEST(RealDisplay, XwaylandShowsTheWholeRunFullScreenWithoutAModeSwitch) {
    showsTheWholeRunFullScreen(false);
}

TEST(RealDisplay, NativeWaylandShowsTheWholeRunFullScreenWithoutAModeSwitch) {
    showsTheWholeRunFullScreen(true);
}
