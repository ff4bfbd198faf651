// Shared helpers for the playback and end-to-end tests: temporary folders and generated MP3s.
#pragma once

#include "mp3_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// Sanitizer builds start, stop and scan processes several times slower: limits meant to catch a
// hang or a slow start scale by this; tolerances that measure the music clock itself do not.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double slowdown = 4.0;
#else
constexpr double slowdown = 1.0;
#endif

// A fresh folder under the system's temporary directory, removed when the object goes.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-test-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

// Stereo PCM in which each channel is a full-cycle square wave (amplitude 0 = silence): squares
// clip at full scale after encoding, so their peak is exactly the scale's end.
inline std::vector<std::int16_t> squareStereo(double seconds, int rate, int leftAmplitude,
                                              int rightAmplitude, double hz = 110.0) {
    const auto frames = static_cast<std::size_t>(std::lround(seconds * rate));
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const bool high = std::fmod(static_cast<double>(i) * hz / rate, 1.0) < 0.5;
        samples[2 * i] = static_cast<std::int16_t>(high ? leftAmplitude : -leftAmplitude);
        samples[2 * i + 1] = static_cast<std::int16_t>(high ? rightAmplitude : -rightAmplitude);
    }
    return samples;
}

inline void append(std::vector<std::int16_t>& to, const std::vector<std::int16_t>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

inline std::string makeMp3(const TempDir& dir, const std::string& name,
                           const std::vector<std::int16_t>& samples, int channels = 2,
                           int rate = 44100) {
    std::string failure;
    const std::string path = dir.file(name);
    EXPECT_TRUE(writeMp3(path, samples, channels, rate, failure)) << failure;
    return path;
}

} // namespace testing_support

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace testing_support {

struct ProcessRun {
    pid_t pid = -1;
    std::string stderrPath;
    std::chrono::steady_clock::time_point started;
};

struct ProcessResult {
    int exitCode = -1; // -1 when it was killed by a signal or timed out
    int signal = 0;
    bool timedOut = false;
    double seconds = 0.0;
    std::string standardError;
};

using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Starts `argv` in `cwd` with the given changes to this process's environment (nullopt removes a
// variable); standard error goes to a file that finishProgram reads back.
inline ProcessRun startProgram(const std::vector<std::string>& argv, const std::string& cwd,
                               const EnvironmentChanges& environment = {}) {
    ProcessRun run;
    run.stderrPath = cwd + "/stderr-" + std::to_string(::getpid()) + ".txt";
    run.started = std::chrono::steady_clock::now();
    run.pid = ::fork();
    if (run.pid == 0) {
        if (::chdir(cwd.c_str()) != 0) {
            ::_exit(126);
        }
        for (const auto& [name, value] : environment) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
        const int err = ::open(run.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, 2);
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

// Waits for the program at most `timeoutSeconds`, then kills it.
inline ProcessResult finishProgram(const ProcessRun& run, double timeoutSeconds) {
    ProcessResult result;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(run.pid, &status, WNOHANG);
        result.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
        if (done == run.pid) {
            break;
        }
        if (result.seconds > timeoutSeconds) {
            result.timedOut = true;
            ::kill(run.pid, SIGKILL);
            ::waitpid(run.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    std::ifstream in(run.stderrPath);
    result.standardError.assign(std::istreambuf_iterator<char>(in), {});
    std::filesystem::remove(run.stderrPath);
    return result;
}

// Runs a shell command and returns its standard output (for xdotool and friends).
inline std::string shellOutput(const std::string& command) {
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

// Polls `condition` every 10 ms until it holds (true) or `seconds` pass (false).
template <typename Condition>
bool waitUntil(double seconds, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The presentation's window title, which xdotool finds it by.
constexpr char presentationWindowName[] = "QUARTZ MERIDIAN";

inline bool windowShown() {
    return !shellOutput(std::string("xdotool search --name '") + presentationWindowName + "'")
                .empty();
}

// The presentation's X window id once start-up is done, 0 if it did not appear in time.
inline unsigned long waitForWindow(double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
           seconds) {
        const std::string id = shellOutput(std::string("xdotool search --name '") +
                                           presentationWindowName + "' 2>/dev/null");
        if (!id.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // into the frame loop
            return std::stoul(id);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

// Presses Escape every half second until the program ends: a key that arrives before the key
// callback is installed is dropped, and a loaded machine can stretch start-up past any fixed wait.
inline ProcessResult escapeUntilEnded(const ProcessRun& run, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    const auto running = [&run] {
        siginfo_t info{};
        // WNOWAIT leaves the exit status for finishProgram to collect.
        return ::waitid(P_PID, static_cast<id_t>(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
                   0 &&
               info.si_pid == 0;
    };
    while (running() &&
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
               seconds) {
        std::system("xdotool key Escape 2>/dev/null");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return finishProgram(run, 1.0);
}

} // namespace testing_support
