// What the capture tool says on stderr: a progress bar on the terminal's last line while frames
// are made, each failure once as "quartz-capture: <what failed>", and the closing lines. A line
// said while the bar is up first ends the bar's line, so the two never share one.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qm {

// One progress line (no line end) of `columns` characters at most.
std::string progressLine(std::uint64_t done, std::uint64_t total, double framesPerSecond,
                         int columns);

// Redraws the bar on the last line: `rendered` of `total` frames since `start`.
void showProgress(std::uint64_t rendered, std::uint64_t total,
                  std::chrono::steady_clock::time_point start);
// Ends the bar's line, if the bar is up.
void endBarLine();

// Says the failure; always false, for `return failCapture(...)`.
bool failCapture(const std::string& message);
// "quartz-capture: <message>", a closing line of a finished or interrupted capture.
void say(const std::string& message);

double secondsSince(std::chrono::steady_clock::time_point start);

} // namespace qm
