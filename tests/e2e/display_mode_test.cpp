// The desktop's display mode on a real X server with video modes: however a run of the
// presentation ends, the 1280x720 desktop it switched to 640x480 is back within 2 s of its end.
#include "test_support.h"

#include <signal.h>
#include <sys/resource.h>

#include <fstream>
#include <sstream>
#include <tuple>

using namespace testing_support;

namespace {

constexpr double startSeconds = 20.0 * slowdown;

// The processes whose parent is `pid`, from /proc.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // "PID (COMMAND) STATE PPID ...": the command may hold spaces and parentheses.
        std::istringstream rest(line.substr(std::min(line.size(), line.rfind(')') + 1)));
        char state = 0;
        pid_t parent = 0;
        if (rest >> state >> parent && parent == pid) {
            children.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return children;
}

// Gone, or a zombie nobody reaps yet: it runs no more.
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    return !std::getline(stat, line) || line.find(") Z ") != std::string::npos;
}

} // namespace

// The end of the track, Escape and SIGTERM shut down in order and GLFW puts the mode back; a
// crash, SIGABRT, SIGKILL and the X connection cut by xkill (Xlib then exits with 1) skip all
// that, and the guard the presentation started before its window must put it back instead.
TEST(RealDisplay, EveryEndingGivesTheDesktopItsModeBack) {
    const RealXServer x;
    if (x.display.empty()) {
        GTEST_SKIP() << "no real X server with video modes: " << x.failure;
    }
    ASSERT_EQ(x.mode(), "1280x720");
    // Two crashes a run: no core files in the stage.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    std::vector<std::int16_t> threeSeconds;
    square(threeSeconds, 3.0, 20000, 20000);
    const Stage shortTrack(threeSeconds), longTrack;
    // A sanitizer's own handler may turn a SIGSEGV into an exit with its code.
    const bool ownHandlers = slowdown > 1.0;
    const struct {
        const char* how;
        int signalNumber, exitCode, diedOf;
    } cases[] = {{"end of the track", 0, 0, 0},
                 {"Escape", 0, 0, 0},
                 {"SIGTERM", SIGTERM, 143, 0},
                 {"SIGSEGV", SIGSEGV, -1, SIGSEGV},
                 {"SIGABRT", SIGABRT, -1, SIGABRT},
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
            unsigned long window = 0;
            EXPECT_TRUE(
                waitUntil(startSeconds, [&] { return (window = x.windowOf(run.pid)) != 0; }));
            if (window != 0) {
                x.killClientOf(window); // 0 would be AllTemporary
            }
        }
        const ProcessResult result = c.how == cases[1].how
                                         ? escapeUntilEnded(run, startSeconds, x.display)
                                         : finishProgram(run, startSeconds);
        const auto died = std::chrono::steady_clock::now();
        const bool modeBack = waitUntil(2.0 * slowdown, [&] { return x.mode() == "1280x720"; });
        EXPECT_TRUE(modeBack)
            << x.mode() << " after "
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - died).count()
            << " s";
        if (!(ownHandlers && c.signalNumber == SIGSEGV)) {
            EXPECT_EQ(std::make_tuple(result.exitCode, result.signal, result.timedOut),
                      std::make_tuple(c.exitCode, c.diedOf, false))
                << result.standardError;
        }
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
