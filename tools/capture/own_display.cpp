// The private Xvfb: started with -displayfd, so it says itself which display it took and when it
// is ready; stopped with SIGTERM, then SIGKILL if it does not go.
#include "own_display.h"

#include "app/process.h"
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace qm {

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
        failure = std::string("cannot start Xvfb: ") + std::strerror(errno);
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
        failure = std::string("cannot start Xvfb: ") + std::strerror(errno);
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
        if (caughtStopSignal() != 0 || left <= 0) {
            failure = caughtStopSignal() != 0 ? "stopped while Xvfb was starting"
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
            const int status = endChild(pid, 2.0);
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
        endChild(display.pid, 5.0);
    }
    display = OwnDisplay{};
}

} // namespace qm
