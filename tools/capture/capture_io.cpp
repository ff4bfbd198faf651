// Child processes, signals and files of the capture tool (POSIX).
#include "capture_io.h"

#include "capture_core.h"

#include <lodepng.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include <zlib.h>

extern char** environ;

namespace qm {

std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

namespace {

extern "C" void onCaptureSignal(int signalNumber) {
    if (caughtSignal == 0) {
        caughtSignal = signalNumber;
    }
}

std::string systemReason(int error) {
    return std::strerror(error);
}

std::vector<char*> argumentPointers(const std::vector<std::string>& args) {
    std::vector<char*> pointers;
    for (const std::string& arg : args) {
        pointers.push_back(const_cast<char*>(arg.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Waits for `pid` at most `seconds`; true with its status once it ended.
bool waitAtMost(pid_t pid, double seconds, int& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// zlib's fastest level makes the same size of file as LodePNG's own deflate at its fastest
// settings in half the time or less (docs/PERFORMANCE.md). LodePNG frees the result with free().
unsigned deflateFast(unsigned char** out, std::size_t* outSize, const unsigned char* in,
                     std::size_t inSize, const LodePNGCompressSettings*) {
    uLongf size = compressBound(static_cast<uLong>(inSize));
    *out = static_cast<unsigned char*>(std::malloc(size));
    if (*out == nullptr) {
        return 83; // LodePNG's "memory allocation failed"
    }
    if (compress2(*out, &size, in, static_cast<uLong>(inSize), Z_BEST_SPEED) != Z_OK) {
        return 111; // LodePNG's "custom zlib or deflate compression failed"
    }
    *outSize = size;
    return 0;
}

} // namespace

void installCaptureSignals() {
    struct sigaction action {};
    action.sa_handler = onCaptureSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: a signal during a blocking pipe write must not cut a frame in half; the
    // frame loop looks at caughtSignal between frames.
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

std::string findProgram(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + program;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

std::string describeExit(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return "exit status " + std::to_string(WEXITSTATUS(waitStatus));
    }
    if (WIFSIGNALED(waitStatus)) {
        const char* name = sigabbrev_np(WTERMSIG(waitStatus));
        return name != nullptr ? std::string("killed by SIG") + name
                               : "killed by signal " + std::to_string(WTERMSIG(waitStatus));
    }
    return "an unknown end";
}

bool startOwnDisplay(OwnDisplay& display, std::string& failure) {
    const std::string xvfb = findProgram("Xvfb");
    if (xvfb.empty()) {
        failure = "no display (DISPLAY is not set) and no Xvfb program on PATH to make one: "
                  "install xvfb or run under a display";
        return false;
    }
    // -displayfd: the server picks a free display number itself and writes it once it accepts
    // connections, so there is neither a race over lock files nor a guess at readiness.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        failure = "cannot start Xvfb: " + systemReason(errno);
        return false;
    }
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    const std::vector<std::string> args = {xvfb,        "-displayfd", std::to_string(ready[1]),
                                           "-screen",   "0",          "640x480x24",
                                           "-nolisten", "tcp"};
    std::vector<char*> argv = argumentPointers(args);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
        std::signal(SIGPIPE, SIG_DFL);
        std::signal(SIGXFSZ, SIG_DFL);
        fcntl(ready[1], F_SETFD, 0);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2); // its font and keyboard warnings are no business of the user's
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ready[1]);
    if (null >= 0) {
        close(null);
    }
    if (pid < 0) {
        failure = "cannot start Xvfb: " + systemReason(errno);
        close(ready[0]);
        return false;
    }
    display.pid = pid;
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (caughtSignal != 0 || left <= 0) {
            failure = caughtSignal != 0 ? "stopped while Xvfb was starting"
                                        : "Xvfb did not become ready in 20 seconds";
            break;
        }
        pollfd waitFor{ready[0], POLLIN, 0};
        if (poll(&waitFor, 1, static_cast<int>(std::min<long long>(left, 200))) <= 0) {
            continue;
        }
        char buffer[16];
        const ssize_t got = read(ready[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            int status = 0;
            waitAtMost(pid, 2.0, status);
            display.pid = -1;
            failure = "Xvfb stopped before it was ready (" + describeExit(status) + ")";
            break;
        }
        number.append(buffer, static_cast<std::size_t>(got));
        if (number.find('\n') != std::string::npos) {
            number.resize(number.find('\n'));
            break;
        }
    }
    close(ready[0]);
    if (!failure.empty()) {
        stopOwnDisplay(display);
        return false;
    }
    display.name = ":" + number;
    setenv("DISPLAY", display.name.c_str(), 1);
    return true;
}

void stopOwnDisplay(OwnDisplay& display) {
    if (display.pid > 0) {
        kill(display.pid, SIGTERM);
        int status = 0;
        if (!waitAtMost(display.pid, 5.0, status)) {
            kill(display.pid, SIGKILL);
            waitpid(display.pid, &status, 0);
        }
    }
    display = OwnDisplay{};
}

namespace {

// Starts `args` in a process group of its own, with its standard input from `input` (none: -1).
bool spawnInGroup(const std::string& path, const std::vector<std::string>& args, int input,
                  pid_t& pid, std::string& failure) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0) {
        posix_spawn_file_actions_adddup2(&actions, input, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Ignored signals stay ignored across exec; the child gets the usual SIGPIPE back.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv = argumentPointers(args);
    const int error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        failure = "cannot start " + quoted(path) + ": " + systemReason(error);
        return false;
    }
    return true;
}

} // namespace

bool startVideoPipe(VideoPipe& video, const std::string& ffmpegPath,
                    const std::vector<std::string>& args, std::string& failure) {
    int frames[2];
    if (pipe2(frames, O_CLOEXEC) != 0) {
        failure = "cannot make a pipe to ffmpeg: " + systemReason(errno);
        return false;
    }
    // Fewer, larger hand-overs: a frame is about a megabyte.
    fcntl(frames[1], F_SETPIPE_SZ, 1 << 20);
    pid_t pid = -1;
    const bool started = spawnInGroup(ffmpegPath, args, frames[0], pid, failure);
    close(frames[0]);
    if (!started) {
        close(frames[1]);
        return false;
    }
    video.pid = pid;
    video.input = frames[1];
    return true;
}

bool writeVideoFrame(VideoPipe& video, const unsigned char* data, std::size_t bytes,
                     std::string& failure) {
    while (bytes > 0) {
        const ssize_t written = write(video.input, data, bytes);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            close(video.input);
            video.input = -1;
            int status = 0;
            // EPIPE means ffmpeg is gone or going; its status says why.
            const bool ended = waitAtMost(video.pid, 10.0, status);
            if (!ended) {
                kill(video.pid, SIGKILL);
                waitpid(video.pid, &status, 0);
            }
            video.pid = -1;
            failure = error == EPIPE ? "ffmpeg stopped: " + describeExit(status)
                                     : "cannot write to ffmpeg: " + systemReason(error) +
                                           " (ffmpeg " + describeExit(status) + ")";
            return false;
        }
        data += written;
        bytes -= static_cast<std::size_t>(written);
    }
    return true;
}

bool finishVideoPipe(VideoPipe& video, std::string& failure) {
    if (video.input >= 0) {
        close(video.input);
        video.input = -1;
    }
    if (video.pid <= 0) {
        return true;
    }
    int status = 0;
    while (waitpid(video.pid, &status, 0) < 0 && errno == EINTR) {
    }
    video.pid = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        failure = "ffmpeg failed to finish the video: " + describeExit(status);
        return false;
    }
    return true;
}

bool prepareFolder(const std::string& folder, bool create, std::string& failure) {
    const std::string where = folder.empty() ? "." : folder;
    std::error_code error;
    if (create && !std::filesystem::is_directory(where, error)) {
        std::filesystem::create_directories(where, error);
        if (error) {
            failure = "cannot make the folder " + quoted(where) + ": " + error.message();
            return false;
        }
    }
    // access() says yes to root for any folder, and says nothing of a read-only file system:
    // only creating a file proves it.
    std::string probe = where + "/.quartz-capture-XXXXXX";
    const int fd = mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) {
        failure = "cannot write into the folder " + quoted(where) + ": " + systemReason(errno);
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

bool writePngFrame(const std::string& path, const unsigned char* rgb, int width, int height,
                   std::vector<unsigned char>& encoded, std::string& failure) {
    // LodePNG's defaults spend most of a frame's time on the encoder's own choices: colour
    // analysis, per-row filter trials and lazy matching. Measured in docs/PERFORMANCE.md.
    static const lodepng::State state = [] {
        lodepng::State fast;
        fast.encoder.auto_convert = 0;
        fast.info_raw.colortype = LCT_RGB;
        fast.info_raw.bitdepth = 8;
        fast.info_png.color.colortype = LCT_RGB;
        fast.info_png.color.bitdepth = 8;
        fast.encoder.filter_strategy = LFS_ZERO;
        fast.encoder.zlibsettings.custom_zlib = deflateFast;
        return fast;
    }();
    lodepng::State working = state;
    encoded.clear();
    const unsigned error = lodepng::encode(encoded, rgb, static_cast<unsigned>(width),
                                           static_cast<unsigned>(height), working);
    if (error != 0) {
        failure = "cannot encode " + quoted(path) + ": " + lodepng_error_text(error);
        return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        failure = "cannot write " + quoted(path) + ": " + systemReason(errno);
        return false;
    }
    const unsigned char* data = encoded.data();
    std::size_t left = encoded.size();
    int writeError = 0;
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            writeError = written < 0 ? errno : ENOSPC;
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (close(fd) != 0 && writeError == 0) {
        writeError = errno;
    }
    if (writeError != 0) {
        unlink(path.c_str());
        failure = "cannot write " + quoted(path) + ": " + systemReason(writeError);
        return false;
    }
    return true;
}

} // namespace qm
