// The frame loop: every frame from 0 drawn by the presentation's own code at the fixed-rate
// clock's time into the capture target, logged, and, within the range, read back and written to
// each output. PNG encoding costs more than drawing a frame, so it runs on a worker thread while
// the main thread draws the next one.
#include "capture_run.h"

#include "app/presentation.h"
#include "app/process.h"
#include "png_writer.h"
#include "progress.h"

#include <GL/glew.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>

namespace qm {

namespace {

// Waits for the PNG frame being written, if any; false once it failed (and was reported).
bool finishPngWriting() {
    if (!capture.pngWriting.valid()) {
        return true;
    }
    const std::string failure = capture.pngWriting.get();
    return failure.empty() || failCapture(failure);
}

// Reads the frame just drawn back and writes it to every output.
bool emitFrame(std::uint64_t frame) {
    glBindFramebuffer(GL_READ_FRAMEBUFFER, capture.framebuffer);
    glReadPixels(0, 0, sceneWidth, sceneHeight, GL_RGBA, GL_UNSIGNED_BYTE, capture.glFrame.data());
    capture.outputIndex = 1 - capture.outputIndex;
    std::vector<unsigned char>& output = capture.outputFrames[capture.outputIndex];
    // The RGB frame only where a PNG or the master needs it: the video has its own.
    if (!capture.options.pngDir.empty() || capture.master.input >= 0) {
        placeFrame(capture.glFrame.data(), capture.layout, output.data());
    }

    countFlashes(capture.flashes, frame, capture.glFrame.data(), sceneWidth, sceneHeight);
    std::string failure;
    if (capture.video.input >= 0) {
        placeFrameYuv420(capture.glFrame.data(), capture.layout, capture.videoFrame);
        if (!writeVideoFrame(capture.video, capture.videoFrame.data(), capture.videoFrame.size(),
                             failure)) {
            return failCapture(failure);
        }
    }
    if (capture.master.input >= 0 &&
        !writeVideoFrame(capture.master, output.data(), output.size(), failure)) {
        return failCapture(failure + " (" + capture.options.masterFile + ")");
    }
    if (capture.options.pngDir.empty()) {
        return true;
    }
    if (!finishPngWriting()) {
        return false;
    }
    const std::string path = capture.options.pngDir + "/" + pngFrameName(frame);
    capture.pngWriting = std::async(std::launch::async, [path, &output] {
        std::string reason;
        writePngFrame(path, output.data(), capture.layout.width, capture.layout.height,
                      capture.encodedPng, reason);
        return reason;
    });
    return true;
}

bool logFrame(std::uint64_t frame, float time, unsigned levelStep) {
    if (capture.clockLog == nullptr) {
        return true;
    }
    // %.9g gives every float back exactly, so the log can drive renderFrame again.
    std::fprintf(capture.clockLog, "%" PRIu64 ",%.9g,%u,%.9g\n", frame, double(time), levelStep,
                 double(sceneObjects.cumulativeLevel));
    if (std::ferror(capture.clockLog)) {
        return failClockLog(errno);
    }
    return true;
}

} // namespace

bool failClockLog(int error) {
    return failCapture("cannot write the clock log " + quoted(capture.options.clockLogFile) + ": " +
                       std::strerror(error));
}

LoopResult renderFrames() {
    const FrameTarget target{capture.framebuffer, sceneWidth, sceneHeight};
    const bool progress = isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    auto lastShown = start;
    LoopResult result;

    while (result.ok && caughtStopSignal() == 0) {
        const std::uint64_t frame = capture.clock.nextFrame;
        const ClockReading reading = readFixedRateClock(capture.clock);
        if (!presentFrame(reading, target)) {
            break;
        }
        result.rendered = frame + 1;
        result.ok = logFrame(frame, static_cast<float>(reading.seconds), reading.levelStep);
        if (result.ok && frame >= capture.range.first) {
            result.ok = emitFrame(frame);
            result.written += result.ok ? 1 : 0;
        }
        if (progress && result.ok && secondsSince(lastShown) >= 0.1) {
            lastShown = std::chrono::steady_clock::now();
            showProgress(result.rendered, capture.range.end, start);
        }
    }
    if (!result.ok && capture.pngWriting.valid()) {
        capture.pngWriting.wait(); // its outcome no longer matters: the failure was reported
    } else if (!finishPngWriting()) {
        result.ok = false;
        --result.written;
    }
    if (progress && result.ok) {
        showProgress(result.rendered, capture.range.end, start);
    }
    endBarLine();
    return result;
}

} // namespace qm
