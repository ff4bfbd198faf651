// The progress bar, the failure lines and the closing lines, sharing stderr's last line.
#include "progress.h"

#include "app/report.h"
#include "options.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qm {

namespace {

// True while the progress bar holds the terminal's last line, which has no line end yet.
bool barOnLine = false;

int terminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

} // namespace

void endBarLine() {
    if (barOnLine) {
        std::fputc('\n', stderr);
        barOnLine = false;
    }
}

bool failCapture(const std::string& message) {
    endBarLine();
    reportFailure(captureProgram, message);
    return false;
}

void say(const std::string& message) {
    endBarLine();
    std::fprintf(stderr, "%s: %s\n", captureProgram, message.c_str());
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void showProgress(std::uint64_t rendered, std::uint64_t total,
                  std::chrono::steady_clock::time_point start) {
    const double elapsed = secondsSince(start);
    const std::string line = progressLine(rendered, total, elapsed > 0 ? rendered / elapsed : 0.0,
                                          terminalColumns() - 1);
    std::fprintf(stderr, "\r%s", line.c_str());
    barOnLine = true;
}

std::string progressLine(std::uint64_t done, std::uint64_t total, double framesPerSecond,
                         int columns) {
    char tail[96];
    const double left =
        framesPerSecond > 0.0 ? double(total - std::min(done, total)) / framesPerSecond : 0.0;
    const auto leftSeconds = static_cast<long long>(std::ceil(left));
    std::snprintf(tail, sizeof tail, " %llu/%llu frames  %.1f fps  %lld:%02lld left",
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  framesPerSecond, leftSeconds / 60, leftSeconds % 60);
    const int barWidth = std::max(10, columns - 3 - static_cast<int>(std::strlen(tail)));
    const int filled =
        total == 0 ? barWidth : static_cast<int>(double(std::min(done, total)) / total * barWidth);
    std::string line = "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
    line += tail;
    if (columns > 0 && static_cast<int>(line.size()) > columns) {
        line.resize(columns);
    }
    return line;
}

} // namespace qm
