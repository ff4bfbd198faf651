// The shared fixture's bodies. Xlib stays in this file: its macros (None, Status, Bool) must not
// meet the suites' headers.
#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace testing_support {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qm-test-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::int16_t> squareStereo(double seconds, int rate, int left, int right, double hz) {
    const auto frames = static_cast<std::size_t>(std::lround(seconds * rate));
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const int sign = std::fmod(static_cast<double>(i) * hz / rate, 1.0) < 0.5 ? 1 : -1;
        samples[2 * i] = static_cast<std::int16_t>(sign * left);
        samples[2 * i + 1] = static_cast<std::int16_t>(sign * right);
    }
    return samples;
}

std::vector<std::int16_t> busyLeft(double seconds) {
    std::vector<std::int16_t> samples;
    std::uint32_t state = 12345;
    while (samples.size() < static_cast<std::size_t>(seconds * 44100) * 2) {
        state = state * 1664525u + 1013904223u;
        append(samples, squareStereo(300.0 / 44100, 44100, int(state >> 17), 0, 441.0));
    }
    return samples;
}

void append(std::vector<std::int16_t>& to, const std::vector<std::int16_t>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

std::string makeMp3(const TempDir& dir, const std::string& name,
                    const std::vector<std::int16_t>& samples, int channels, int rate) {
    std::string failure;
    EXPECT_TRUE(writeMp3(dir.file(name), samples, channels, rate, failure)) << failure;
    return dir.file(name);
}

Stage::Stage(const std::vector<std::int16_t>& samples) {
    for (const char* name : assetNames) {
        fs::copy_file(builtAsset(name), dir.file(name));
    }
    if (!samples.empty()) {
        fs::remove(dir.file(assetNames[0]));
        makeMp3(dir, assetNames[0], samples);
    }
}

// The suite's Xvfb resets itself whenever its last client leaves and refuses connections while
// it does, so a program started just then could not open its display. One connection held for
// the test's whole process keeps the server up between the programs it starts.
void holdScreen() {
    static Display* held = nullptr;
    if (held == nullptr && std::getenv("DISPLAY") != nullptr) {
        waitUntil(10.0 * slowdown, [] { return (held = XOpenDisplay(nullptr)) != nullptr; });
    }
}

ProcessRun startProgram(const std::vector<std::string>& argv, const std::string& cwd,
                        const EnvironmentChanges& environment) {
    holdScreen();
    ProcessRun run;
    static int runs = 0;
    run.stderrPath = cwd + "/stderr-" + std::to_string(::getpid()) + "-" + std::to_string(++runs);
    run.started = std::chrono::steady_clock::now();
    run.pid = ::fork();
    if (run.pid == 0) {
        if (::chdir(cwd.c_str()) != 0) {
            ::_exit(126);
        }
        for (const auto& [name, value] : environment) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
        ::dup2(::open(run.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return run;
}

bool stillRunning(const ProcessRun& run) {
    siginfo_t info{};
    // WNOWAIT leaves the exit status for finishProgram.
    return ::waitid(P_PID, static_cast<id_t>(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

ProcessResult finishProgram(const ProcessRun& run, double timeoutSeconds) {
    ProcessResult result;
    result.timedOut = !waitUntil(timeoutSeconds, [&run] { return !stillRunning(run); });
    if (result.timedOut) {
        ::kill(run.pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(run.pid, &status, 0);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.standardError = readFile(run.stderrPath);
    fs::remove(run.stderrPath);
    return result;
}

std::string shellOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            output += buffer;
        }
        ::pclose(pipe);
    }
    return output;
}

bool waitUntil(double seconds, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void expectOneLine(const ProcessResult& result, const std::string& program, const std::string& file,
                   const std::string& reason) {
    const std::string& text = result.standardError;
    EXPECT_EQ(result.signal, 0) << text;
    EXPECT_FALSE(result.timedOut) << text;
    EXPECT_EQ(result.exitCode, 1) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.rfind(program + ": ", 0), 0u) << text;
    EXPECT_TRUE(file.empty() || text.find(file + "\"") != std::string::npos)
        << file << ": " << text;
    EXPECT_NE(text.find(reason), std::string::npos) << "wanted " << reason << " in: " << text;
}

namespace {

// Errors a window gone in between causes here must not end the test. Connections are few and
// held: a loaded Xvfb accepts slowly, and a test that floods it with connections makes the
// program under test fail to open its display.
struct Connection {
    Display* display = XOpenDisplay(nullptr);
    Connection() {
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    ~Connection() {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
};

long pidOf(Display* display, Window window) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), 0, 1, False,
                           XA_CARDINAL, &type, &format, &count, &left, &data) == Success &&
        data != nullptr && count == 1) {
        pid = *reinterpret_cast<long*>(data);
    }
    XFree(data);
    return pid;
}

unsigned long windowOf(Display* display, pid_t pid) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    unsigned long found = 0;
    if (display != nullptr &&
        XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && found == 0; ++i) {
            XWindowAttributes attributes{};
            if (pidOf(display, children[i]) == pid &&
                XGetWindowAttributes(display, children[i], &attributes) &&
                attributes.map_state == IsViewable) {
                found = children[i];
            }
        }
    }
    XFree(children);
    return found;
}

// Whether the middle of the screen shows anything but black.
bool screenLit(Display* display) {
    XImage* image =
        XGetImage(display, DefaultRootWindow(display), 300, 220, 40, 40, AllPlanes, ZPixmap);
    bool lit = false;
    for (int i = 0; image != nullptr && i < 40 * 40 && !lit; ++i) {
        lit = XGetPixel(image, i % 40, i / 40) != 0;
    }
    if (image != nullptr) {
        XDestroyImage(image);
    }
    return lit;
}

// Polls `condition` every 50 ms until it holds or `seconds` pass.
bool pollEvery50ms(double seconds, const std::function<bool()>& condition) {
    return waitUntil(seconds, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        return condition();
    });
}

} // namespace

unsigned long windowOf(pid_t pid) {
    return windowOf(Connection().display, pid);
}

unsigned long waitForFrame(const ProcessRun& run, double seconds) {
    const Connection x;
    unsigned long window = 0;
    const bool drawn = x.display != nullptr && pollEvery50ms(seconds, [&] {
                           window = windowOf(x.display, run.pid);
                           return window != 0 && screenLit(x.display);
                       });
    return drawn ? window : 0;
}

bool askWindowToClose(unsigned long window) {
    Connection x;
    if (x.display == nullptr) {
        return false;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x.display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x.display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    return XSendEvent(x.display, window, False, NoEventMask, &event) != 0;
}

void destroyWindow(unsigned long window) {
    Connection x;
    XDestroyWindow(x.display, window);
    XSync(x.display, False);
}

void killClientOf(unsigned long window) {
    Connection x;
    XKillClient(x.display, window);
    XSync(x.display, False);
}

int windowsMappedWhile(const std::function<void()>& action) {
    Connection x;
    EXPECT_NE(x.display, nullptr);
    XSelectInput(x.display, DefaultRootWindow(x.display), SubstructureNotifyMask);
    XSync(x.display, False);
    action();
    XSync(x.display, False);
    int mapped = 0;
    while (XPending(x.display) > 0) {
        XEvent event;
        XNextEvent(x.display, &event);
        mapped += event.type == MapNotify ? 1 : 0;
    }
    return mapped;
}

ProcessResult escapeUntilEnded(const ProcessRun& run, double seconds) {
    waitUntil(seconds, [&run] {
        std::system("xdotool key Escape 2>/dev/null");
        return pollEvery50ms(0.5, [&run] { return !stillRunning(run); });
    });
    return finishProgram(run, 5.0 * slowdown);
}

} // namespace testing_support
