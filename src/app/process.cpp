// The stop signals and the bounded child wait.
#include "app/process.h"

#include <atomic>
#include <csignal>

#ifndef _WIN32
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <thread>
#endif

namespace qm {

namespace {

// Written by a handler that may run on any thread (SDL's or the decoder's as well as ours), so a
// lock-free atomic rather than a volatile sig_atomic_t.
std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int signalNumber) {
    int none = 0;
    caughtSignal.compare_exchange_strong(none, signalNumber);
}

} // namespace

void catchStopSignals() {
#ifdef _WIN32
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#else
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

int caughtStopSignal() {
    return caughtSignal.load();
}

#ifndef _WIN32
bool waitForChild(pid_t pid, double seconds, int& status) {
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
#endif

} // namespace qm
