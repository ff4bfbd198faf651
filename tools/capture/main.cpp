// quartz-capture: renders the presentation frame by frame at a fixed rate of music time into a
// video (through ffmpeg) and/or PNG files. Start-up checks everything a user can get wrong
// before the slow part begins; each frame is the presentation's own frame, clocked by frame
// numbers instead of the sound card; shutdown always runs and releases what start-up made.
#include "capture_run.h"
#include "progress.h"

#include "app/process.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace qm;

namespace {

std::string outputsText() {
    const CaptureOptions& options = capture.options;
    std::string text;
    for (const std::string& output : {options.videoFile, options.masterFile,
                                      options.pngDir.empty() ? "" : options.pngDir + "/"}) {
        if (!output.empty()) {
            text += (text.empty() ? "" : " and ") + output;
        }
    }
    return text;
}

int runCapture(int argc, char** argv) {
    // A signal stops the frame loop between frames; what was written is kept.
    catchStopSignals();
    CaptureOptions& options = capture.options;
    std::string failure;
    if (!parseCaptureOptions(std::vector<std::string>(argv + 1, argv + argc), options, failure)) {
        failCapture(failure);
        return 1;
    }
    if (options.help) {
        std::fputs(captureUsage(), stdout);
        return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    bool ok = startCapture();
    LoopResult loop;
    if (ok && caughtStopSignal() == 0) {
        loop = renderFrames();
        ok = loop.ok;
    }
    // Closing the pipe ends the video at the frames written, also after a signal: ffmpeg's
    // -shortest then ends the sound with them.
    for (const auto& [pipe, file] : {std::pair{&capture.video, options.videoFile},
                                     std::pair{&capture.master, options.masterFile}}) {
        const bool started = pipe->pid > 0;
        if (started && caughtStopSignal() != 0 && loop.written == 0) {
            // Stopped before the first frame: ffmpeg has nothing to finish, the file nothing to
            // show.
            finishVideoPipe(*pipe, failure);
            std::remove(file.c_str());
        } else if (ok && started && !finishVideoPipe(*pipe, failure)) {
            ok = failCapture(failure + " (" + file + ")");
        }
    }
    if (ok && capture.clockLog != nullptr) {
        const bool written = std::fflush(capture.clockLog) == 0 && !std::ferror(capture.clockLog);
        const int error = errno;
        const bool closed = std::fclose(capture.clockLog) == 0;
        capture.clockLog = nullptr;
        if (!written || !closed) {
            ok = failClockLog(written ? errno : error);
        }
    }
    shutdownCapture();
    if (!ok && caughtStopSignal() == 0) {
        return 1;
    }
    const double elapsed = secondsSince(start);
    const double musicSeconds = frameSeconds(loop.rendered, options.fps);
    char summary[256];
    if (caughtStopSignal() != 0) {
        std::snprintf(summary, sizeof summary,
                      "stopped by SIG%s after rendering %" PRIu64 " of %" PRIu64 " frames; ",
                      sigabbrev_np(caughtStopSignal()), loop.rendered, capture.range.end);
        say(summary + (loop.written == 0
                           ? std::string("none written")
                           : std::to_string(loop.written) + " written to " + outputsText()));
        return 128 + caughtStopSignal();
    }
    std::snprintf(summary, sizeof summary,
                  "rendered %" PRIu64
                  " frames in %.1f s: %.1f frames/s, %.2fx real time; wrote %" PRIu64
                  " (%dx%d, %d fps) to ",
                  loop.rendered, elapsed, elapsed > 0 ? loop.rendered / elapsed : 0.0,
                  elapsed > 0 ? musicSeconds / elapsed : 0.0, loop.written, capture.layout.width,
                  capture.layout.height, options.fps);
    say(summary + outputsText());
    say(flashSummary(finishFlashCount(capture.flashes)));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runCapture(argc, argv);
}
