// The display-mode guard: a forked child with its own X connection. It must outlive the
// presentation, so it ignores the signals a terminal sends the whole process group, and it must
// never run the parent's atexit handlers or flush its stdio, so it leaves only through _exit.
#include "app/mode_guard.h"

#include "app/process.h"
#include "names.h"

#include <algorithm>

#ifdef QM_MODE_GUARD
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#endif

namespace qm {

#ifndef QM_MODE_GUARD

bool startModeGuard(std::string&) {
    return true;
}

void finishModeGuard() {}

#else

namespace {

// The guard's first byte says whether it holds the configuration; the presentation's one byte
// at the end of its orderly shutdown says the mode is back already.
constexpr char holding = 'y', noDisplay = 'd', noRandr = 'r', unreadable = 'u';
constexpr char doneByte = 'D';
constexpr int answerMilliseconds = 10000;

struct Guard {
    pid_t pid = -1;
    int socket = -1; // the presentation's end
} guard;

bool readSetting(Display* x, ScreenSetting& setting) {
    const int screen = DefaultScreen(x);
    // The root window's size is asked of the server: Xlib's DisplayWidth stays what it was when
    // the connection opened. The millimetres, as cached, are only ever set back, never compared.
    Window root = 0;
    int ignored = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(x, RootWindow(x, screen), &root, &ignored, &ignored, &width, &height, &border,
                      &depth)) {
        return false;
    }
    setting = ScreenSetting{
        int(width), int(height), DisplayWidthMM(x, screen), DisplayHeightMM(x, screen), {}};
    // "Current": the server's own view, without probing the outputs again.
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(x, RootWindow(x, screen));
    if (resources == nullptr) {
        return false;
    }
    bool read = true;
    for (int i = 0; i < resources->ncrtc && read; ++i) {
        XRRCrtcInfo* info = XRRGetCrtcInfo(x, resources, resources->crtcs[i]);
        read = info != nullptr;
        if (read) {
            setting.crtcs.push_back(
                {resources->crtcs[i], info->mode, info->x, info->y, info->width, info->height,
                 info->rotation,
                 std::vector<unsigned long>(info->outputs, info->outputs + info->noutput)});
            XRRFreeCrtcInfo(info);
        }
    }
    XRRFreeScreenResources(resources);
    return read;
}

int failedRequest = 0; // the X error code of the last refused request

// One line, as the presentation says its own failures; write(2), the parent's stdio being theirs.
[[noreturn]] void restoreFailed(const char* step, int answer) {
    char line[200];
    const int length = std::snprintf(
        line, sizeof line,
        "%s: cannot give the desktop its display mode back: RandR refused %s (answer %d)\n",
        programName, step, answer);
    // A failed write leaves nobody to tell.
    [[maybe_unused]] const ssize_t written =
        ::write(2, line, std::min<std::size_t>(std::max(length, 0), sizeof line - 1));
    ::_exit(1);
}

// Puts `saved` back under a server grab, so no other client sees half of it.
[[noreturn]] void restore(Display* x, const ScreenSetting& saved) {
    XGrabServer(x);
    ScreenSetting now;
    if (!readSetting(x, now)) {
        restoreFailed("reading the configuration", 0);
    }
    const RestorePlan plan = planRestore(saved, now);
    const Window root = DefaultRootWindow(x);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(x, root);
    for (unsigned long crtc : plan.switchOff) {
        const Status answer =
            XRRSetCrtcConfig(x, resources, crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
        if (answer != RRSetConfigSuccess || failedRequest != 0) {
            restoreFailed("switching off a CRTC", answer != 0 ? answer : failedRequest);
        }
    }
    if (plan.resize) {
        XRRSetScreenSize(x, root, saved.width, saved.height, saved.widthMm, saved.heightMm);
        XSync(x, False);
        if (failedRequest != 0) {
            restoreFailed("the screen size", failedRequest);
        }
    }
    for (const CrtcSetting& c : plan.set) {
        std::vector<RROutput> outputs(c.outputs.begin(), c.outputs.end());
        const Status answer = XRRSetCrtcConfig(x, resources, c.id, CurrentTime, c.x, c.y, c.mode,
                                               c.rotation, outputs.data(), int(outputs.size()));
        if (answer != RRSetConfigSuccess || failedRequest != 0) {
            restoreFailed("the saved mode", answer != 0 ? answer : failedRequest);
        }
    }
    XRRFreeScreenResources(resources);
    XUngrabServer(x);
    XSync(x, False);
    ::_exit(failedRequest != 0 ? 1 : 0);
}

// Only the socket and stderr stay open: an inherited pipe held here would keep whoever reads it
// waiting, and stderr is kept just for the one line a failed restore says.
void letGoOfInheritedFiles(int& socket) {
    if (socket != 3) {
        ::dup2(socket, 3);
        socket = 3;
    }
    if (::close_range(4, ~0u, 0) != 0) {
        for (int fd = 4; fd < 1024; ++fd) {
            ::close(fd);
        }
    }
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    if (null > 3) {
        ::close(null);
    }
}

[[noreturn]] void runGuard(int socket) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        ::signal(signalNumber, SIG_IGN);
    }
    letGoOfInheritedFiles(socket);
    auto answer = [socket](char byte) { return ::write(socket, &byte, 1) == 1; };
    Display* x = XOpenDisplay(nullptr);
    if (x == nullptr) {
        answer(noDisplay);
        ::_exit(0);
    }
    // Xlib's own handlers would exit() through the parent's atexit list; a server gone has no
    // mode left to restore.
    XSetIOErrorHandler([](Display*) -> int { ::_exit(0); });
    XSetErrorHandler([](Display*, XErrorEvent* error) {
        failedRequest = error->error_code;
        return 0;
    });
    int events = 0, errors = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(x, &events, &errors) || !XRRQueryVersion(x, &major, &minor) ||
        (major == 1 && minor < 2)) {
        answer(noRandr);
        ::_exit(0);
    }
    ScreenSetting saved;
    if (!readSetting(x, saved) || failedRequest != 0) {
        answer(unreadable);
        ::_exit(0);
    }
    if (!answer(holding)) {
        ::_exit(0);
    }
    char said = 0;
    ssize_t count = 0;
    do {
        count = ::read(socket, &said, 1);
    } while (count < 0 && errno == EINTR);
    if (count == 1 && said == doneByte) {
        ::_exit(0);
    }
    restore(x, saved);
}

} // namespace

bool startModeGuard(std::string& warning) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        return true;
    }
    const std::string lost = "the desktop's display mode will not come back if this run is "
                             "killed: ";
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        warning = lost + "cannot make the guard's socket: " + std::strerror(errno);
        return false;
    }
    const pid_t pid = ::fork();
    const int forkError = errno;
    if (pid == 0) {
        ::close(ends[0]);
        runGuard(ends[1]);
    }
    ::close(ends[1]);
    if (pid < 0) {
        warning = lost + "cannot start the guard: " + std::strerror(forkError);
        ::close(ends[0]);
        return false;
    }
    // The mode must not switch before the guard holds the configuration it is to restore.
    pollfd ready{ends[0], POLLIN, 0};
    char answer = 0;
    int polled = 0;
    do {
        polled = ::poll(&ready, 1, answerMilliseconds);
    } while (polled < 0 && errno == EINTR);
    if (polled <= 0 || ::read(ends[0], &answer, 1) != 1 || answer != holding) {
        if (polled <= 0) {
            ::kill(pid, SIGKILL);
        }
        ::close(ends[0]);
        int status = 0;
        waitForChild(pid, answerMilliseconds / 1000.0, status);
        // Nothing to guard without a display (the window library says why) or without RandR,
        // the only way GLFW switches modes on X11.
        const bool nothingToGuard = answer == noDisplay || answer == noRandr;
        warning = nothingToGuard         ? ""
                  : answer == unreadable ? lost + "RandR did not give the screen's configuration"
                  : polled == 0          ? lost + "the guard did not answer within 10 s"
                                         : lost + "the guard ended before it held it";
        return nothingToGuard;
    }
    guard = {pid, ends[0]};
    return true;
}

void finishModeGuard() {
    if (guard.socket < 0) {
        return;
    }
    // A guard that went early has nothing to be told; it restored nothing either.
    const char done = doneByte;
    [[maybe_unused]] const ssize_t sent = ::send(guard.socket, &done, 1, MSG_NOSIGNAL);
    ::close(guard.socket);
    int status = 0;
    waitForChild(guard.pid, 1.0, status);
    guard = {};
}

#endif

} // namespace qm
