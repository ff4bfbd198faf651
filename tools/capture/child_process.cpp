// Finding, starting, feeding and waiting for the capture tool's child programs (POSIX).
#include "child_process.h"

#include "app/process.h"
#include "options.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace qm {

std::vector<char*> argumentPointers(const std::vector<std::string>& args) {
    std::vector<char*> pointers;
    for (const std::string& arg : args) {
        pointers.push_back(const_cast<char*>(arg.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
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
        failure = "cannot start " + quoted(path) + ": " + std::strerror(error);
        return false;
    }
    return true;
}

} // namespace

bool startVideoPipe(VideoPipe& video, const std::string& ffmpegPath,
                    const std::vector<std::string>& args, std::string& failure) {
    int frames[2];
    if (pipe2(frames, O_CLOEXEC) != 0) {
        failure = std::string("cannot make a pipe to ffmpeg: ") + std::strerror(errno);
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

int writeAll(int fd, const unsigned char* data, std::size_t bytes) {
    while (bytes > 0) {
        const ssize_t written = write(fd, data, bytes);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : ENOSPC;
        }
        data += written;
        bytes -= static_cast<std::size_t>(written);
    }
    return 0;
}

int endChild(pid_t pid, double seconds) {
    int status = 0;
    if (!waitForChild(pid, seconds, status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return status;
}

bool writeVideoFrame(VideoPipe& video, const unsigned char* data, std::size_t bytes,
                     std::string& failure) {
    const int error = writeAll(video.input, data, bytes);
    if (error == 0) {
        return true;
    }
    close(video.input);
    video.input = -1;
    // EPIPE means ffmpeg is gone or going; its status says why.
    const int status = endChild(video.pid, 10.0);
    video.pid = -1;
    failure = error == EPIPE ? "ffmpeg stopped: " + describeExit(status)
                             : std::string("cannot write to ffmpeg: ") + std::strerror(error) +
                                   " (ffmpeg " + describeExit(status) + ")";
    return false;
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

} // namespace qm
