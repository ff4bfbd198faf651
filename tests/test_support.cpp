// The shared fixture's bodies. Xlib stays in this file: its macros (None, Status, Bool) must not
// meet the suites' headers.
#include "test_support.h"

#include "audio/decoder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace qm;

namespace testing_support {

Display* screen();

TempDir::TempDir() {
    // Spaces and non-ASCII letters in every path the programs are given: none may split or
    // mangle it.
    std::string pattern =
        (fs::temp_directory_path() / "qm test b\xC3\xBChne \xE2\x98\x83 XXXXXX").string();
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

void square(std::vector<std::int16_t>& to, double seconds, int left, int right, double hz) {
    for (long i = 0; i < std::lround(seconds * 44100); ++i) {
        const int sign = std::fmod(i * hz / 44100, 1.0) < 0.5 ? 1 : -1;
        to.insert(to.end(), {std::int16_t(sign * left), std::int16_t(sign * right)});
    }
}

void busyLeft(std::vector<std::int16_t>& to, double seconds) {
    std::uint32_t state = 12345;
    for (int chunk = 0; chunk < seconds * 147; ++chunk) {
        state = state * 1664525u + 1013904223u;
        square(to, 300.0 / 44100, int(state >> 17), 0, 441.0);
    }
}

std::vector<std::int16_t> decodeOrFail(const std::string& path) {
    std::vector<std::int16_t> frames;
    std::string failure;
    EXPECT_TRUE(qm::decodeWholeMp3(path.c_str(), frames, failure)) << failure;
    return frames;
}

std::string makeMp3(const TempDir& dir, const std::string& name,
                    const std::vector<std::int16_t>& samples, int channels, int rate) {
    std::string failure;
    EXPECT_TRUE(writeMp3(dir.file(name), samples, channels, rate, failure)) << failure;
    return dir.file(name);
}

Stage::Stage(const std::vector<std::int16_t>& samples) {
    for (const char* name : assetFileNames) {
        fs::copy_file(builtAsset(name), dir.file(name));
    }
    if (!samples.empty()) {
        fs::remove(dir.file(assetFileNames[0]));
        makeMp3(dir, assetFileNames[0], samples);
    }
}

ProcessRun startProgram(const std::vector<std::string>& argv, const std::string& cwd,
                        const Environment& environment) {
    screen();
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
        std::vector<char*> args(argv.size() + 1, nullptr);
        std::transform(argv.begin(), argv.end(), args.begin(),
                       [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
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

Environment environmentFrom(const std::string& lines, Environment to) {
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        to.emplace_back(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
    }
    return to;
}

std::string shellOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (int c = 0; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) {
        output += char(c);
    }
    return pipe != nullptr && ::pclose(pipe) >= 0 ? output : "";
}

void readToEnd(int fd) {
    char bytes[4096];
    while (fd >= 0 && ::read(fd, bytes, sizeof bytes) > 0) {
    }
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
    EXPECT_EQ(std::make_tuple(result.exitCode, result.signal, result.timedOut),
              std::make_tuple(1, 0, false))
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.rfind(program + ": ", 0), 0u) << text;
    EXPECT_TRUE(file.empty() || text.find(file + "\"") != std::string::npos)
        << file << ": " << text;
    EXPECT_NE(text.find(reason), std::string::npos) << "wanted " << reason << " in: " << text;
}

// One connection for the test's whole process, opened on first use. The suite's Xvfb resets
// itself whenever its last client leaves and refuses connections while it does, so a program
// started just then could not open its display; holding this keeps the server up between the
// programs a test starts. Few connections matter too: a loaded Xvfb accepts slowly.
Display* screen() {
    static Display* held = nullptr;
    if (held == nullptr && std::getenv("DISPLAY") != nullptr) {
        waitUntil(10.0 * slowdown, [] { return (held = XOpenDisplay(nullptr)) != nullptr; });
        // A window gone in between must not end the test.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    return held;
}

unsigned long windowOf(pid_t pid) {
    const std::string id =
        shellOutput("xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null");
    return id.empty() ? 0 : std::stoul(id);
}

unsigned long waitForFrame(const ProcessRun& run, double seconds) {
    unsigned long window = 0;
    const bool drawn = waitUntil(seconds, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        window = windowOf(run.pid);
        XImage* image = window == 0 ? nullptr
                                    : XGetImage(screen(), DefaultRootWindow(screen()), 300, 220, 40,
                                                40, AllPlanes, ZPixmap);
        bool lit = false;
        for (int i = 0; image != nullptr && i < 40 * 40 && !lit; ++i) {
            lit = XGetPixel(image, i % 40, i / 40) != 0;
        }
        if (image != nullptr) {
            XDestroyImage(image);
        }
        return lit;
    });
    return drawn ? window : 0;
}

int windowsMappedWhile(const std::function<void()>& action) {
    Display* x = screen();
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);
    XSync(x, False);
    action();
    XSync(x, False);
    int mapped = 0;
    for (XEvent event; XPending(x) > 0; mapped += event.type == MapNotify ? 1 : 0) {
        XNextEvent(x, &event);
    }
    XSelectInput(x, DefaultRootWindow(x), NoEventMask);
    return mapped;
}

ProcessResult escapeUntilEnded(const ProcessRun& run, double seconds) {
    waitUntil(seconds, [&] {
        std::system("xdotool key Escape 2>/dev/null");
        return waitUntil(0.5, [&run] { return !stillRunning(run); });
    });
    return finishProgram(run, 5.0 * slowdown);
}

RealXServer::RealXServer() {
    const std::string xorg = shellOutput("command -v Xorg");
    failure = ::geteuid() != 0 ? "Xorg runs only as root here"
              : xorg.empty() || !fs::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so")
                  ? "no Xorg with its dummy video driver (scripts/install-deps --test)"
                  : "";
    if (!failure.empty()) {
        return;
    }
    // A display another server holds makes Xorg exit at once: the next one is tried.
    for (int number = 70; number < 80 && display.empty(); ++number) {
        const std::string name = ":" + std::to_string(number);
        if (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
            fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
            continue;
        }
        server = startProgram({xorg.substr(0, xorg.find('\n')), name, "-noreset", "-nolisten",
                               "tcp", "-config",
                               (fs::path(__FILE__).parent_path() / "xorg-dummy.conf").string(),
                               "-logfile", dir.file("xorg.log")},
                              dir.path.string());
        display = name; // for mode()
        if (!waitUntil(20.0 * slowdown, [&] { return !mode().empty() || !stillRunning(server); }) ||
            !stillRunning(server)) {
            ::kill(server.pid, SIGKILL);
            const std::string log = readFile(dir.file("xorg.log"));
            failure = "Xorg did not start on " + name + ": " +
                      finishProgram(server, 5.0).standardError +
                      log.substr(log.size() > 400 ? log.size() - 400 : 0);
            server = {};
            display.clear();
        }
    }
    if (display.empty() && failure.empty()) {
        failure = "no free display from :70 to :79";
    }
}

RealXServer::~RealXServer() {
    if (server.pid > 0) {
        ::kill(server.pid, SIGTERM);
        finishProgram(server, 10.0 * slowdown);
    }
}

std::string RealXServer::mode() const {
    const std::string mode = shellOutput("DISPLAY=" + display +
                                         " xrandr --current 2>/dev/null | sed -n 's/.* connected "
                                         "[a-z ]*\\([0-9]*x[0-9]*\\)+.*/\\1/p'");
    return mode.substr(0, mode.find('\n'));
}

namespace {

const std::string compositorScript =
    (fs::path(__FILE__).parent_path() / "../scripts/compositor.bash").string();

} // namespace

HeadlessCompositor::HeadlessCompositor(const std::string& compositor) : name(compositor) {
    dir = shellOutput("'" + compositorScript + "' new qm-wayland");
    dir.erase(dir.find_last_not_of('\n') + 1);
    failure = run("start " + name + " 2>&1");
    failure.erase(failure.find_last_not_of('\n') + 1);
    if (failure.empty()) {
        // Never the suite's X screen for a native client.
        native = environmentFrom(run("env native"), {{"DISPLAY", std::nullopt}});
        x11 = environmentFrom(run("env x11"));
    }
}

HeadlessCompositor::~HeadlessCompositor() {
    run("stop");
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

std::string HeadlessCompositor::run(const std::string& arguments) const {
    return shellOutput("'" + compositorScript + "' '" + dir + "' " + arguments);
}

std::string HeadlessCompositor::fullScreenWindow(pid_t pid, bool nativeClient) const {
    return nativeClient && name == "mutter" ? "?" : run("window " + std::to_string(pid));
}

} // namespace testing_support
