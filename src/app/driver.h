// The presentation driver: start-up, the music-clocked frame loop, shutdown.
#pragma once

namespace qm {

// Exit codes of the presentation.
constexpr int exitPlayed = 0;  // the track played to its end, or the viewer ended it
constexpr int exitFailure = 1; // a start-up step failed; the reason went to stderr

// Runs the whole presentation and returns the process exit code: exitPlayed, exitFailure, or
// 128 + the signal number when SIGINT, SIGTERM or SIGHUP ended it.
int runPresentation();

} // namespace qm
