// quartz-capture: renders the presentation frame by frame at a fixed rate of music time into a
// video (through ffmpeg) and/or PNG files. Start-up checks everything a user can get wrong
// before the slow part begins; each frame is the presentation's own frame, clocked by frame
// numbers instead of the sound card; shutdown always runs and releases what start-up made.
#include "capture_core.h"
#include "capture_io.h"
#include "flash_count.h"

#include "app/presentation.h"
#include "app/report.h"
#include "assets.h"
#include "audio/decoder.h"
#include "render/gl_errors.h"

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

using namespace qm;

namespace {

constexpr std::size_t glFrameBytes = std::size_t(sceneWidth) * sceneHeight * 4;

// Everything start-up makes, released by shutdownCapture in reverse order.
struct CaptureState {
    CaptureOptions options;
    OutputLayout layout;
    FrameRange range;
    FixedRateClock clock;
    OwnDisplay display;
    GLuint framebuffer = 0;
    GLuint colourBuffer = 0;
    // One frame as glReadPixels gives it. A ring of pixel buffers was measured to gain nothing
    // (docs/PERFORMANCE.md), so the read-back is synchronous.
    std::vector<unsigned char> glFrame;
    VideoPipe video;
    VideoPipe master;
    std::string masterSound; // the decoded samples the master's ffmpeg reads; removed at the end
    FlashCounter flashes;
    std::FILE* clockLog = nullptr;
    // Two output frames in turn: the PNG worker encodes one while the next is filled.
    std::vector<unsigned char> outputFrames[2];
    int outputIndex = 0;
    std::vector<unsigned char> videoFrame; // the output frame in the video's Y'CbCr
    std::future<std::string> pngWriting;   // empty string: written
    std::vector<unsigned char> encodedPng; // the worker's
};

CaptureState capture;

// True while the progress bar holds the terminal's last line, which has no line end yet.
bool barOnLine = false;

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

// The one line a finished or interrupted capture leaves on stderr.
void say(const std::string& message) {
    endBarLine();
    std::fprintf(stderr, "%s: %s\n", captureProgram, message.c_str());
}

std::string assetPath(const char* name) {
    return qm::assetPath(capture.options.assetDir, name);
}

std::string folderOf(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : file.substr(0, slash);
}

bool checkAssets() {
    for (const char* name : assetFileNames) {
        const std::string path = assetPath(name);
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            return failCapture("missing asset " + quoted(path) + ": " + std::strerror(errno));
        }
        if (!S_ISREG(info.st_mode)) {
            return failCapture("asset " + quoted(path) + " is not a file");
        }
    }
    return true;
}

// Output checks come before the slow start (the display, the decode, the GL).
bool checkOutputs(std::string& ffmpegPath) {
    const CaptureOptions& options = capture.options;
    std::string failure;
    for (const auto& [file, option] :
         {std::pair{options.videoFile, "--video"}, std::pair{options.masterFile, "--master"}}) {
        if (file.empty()) {
            continue;
        }
        ffmpegPath = findProgram("ffmpeg");
        if (ffmpegPath.empty()) {
            return failCapture(std::string("cannot find the ffmpeg program on PATH, needed for ") +
                               option + ": install ffmpeg, or write PNG frames with --png");
        }
        struct stat info {};
        if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            return failCapture(std::string("the ") + option + " file " + quoted(file) +
                               " is a folder");
        }
        if (!prepareFolder(folderOf(file), false, failure)) {
            return failCapture(failure);
        }
    }
    if (!options.pngDir.empty() && !prepareFolder(options.pngDir, true, failure)) {
        return failCapture(failure);
    }
    if (!options.clockLogFile.empty()) {
        capture.clockLog = std::fopen(options.clockLogFile.c_str(), "we");
        if (capture.clockLog == nullptr) {
            return failCapture("cannot write the clock log " + quoted(options.clockLogFile) + ": " +
                               std::strerror(errno));
        }
        std::fputs("frame,time,levelStep,cumulativeLevel\n", capture.clockLog);
    }
    return true;
}

bool measureTrack() {
    const std::string path = assetPath(musicFileName);
    std::string failure;
    if (!openFixedRateClock(capture.clock, path, capture.options.fps, failure)) {
        return failCapture("cannot decode the music " + quoted(path) + ": " + failure);
    }
    capture.range = selectFrames(capture.options, capture.clock.endFrame);
    if (capture.range.first >= capture.range.end) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "no frames to write: the music is %.3f s long and --from/--to select "
                      "none of its frames",
                      double(capture.clock.trackFrames) / playbackRate);
        return failCapture(text);
    }
    // Rendering still starts at frame 0: the point image and the level sum accumulate.
    capture.clock.endFrame = capture.range.end;
    return true;
}

bool openGl() {
    std::string failure;
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        if (!startOwnDisplay(capture.display, failure)) {
            // Ctrl-C while the server was starting is no failure; the caller says it stopped.
            return caughtSignal != 0 ? false : failCapture(failure);
        }
    }
    if (!openWindow(ContextKind::hidden) || !makeScene(capture.options.assetDir)) {
        return failCapture(presentation.failure);
    }
    // Only errors of the objects below may count against them.
    clearGlErrors();

    // The composite pass draws here, not into the hidden window, whose back buffer need not
    // keep its pixels while the window is not shown.
    glGenRenderbuffers(1, &capture.colourBuffer);
    glBindRenderbuffer(GL_RENDERBUFFER, capture.colourBuffer);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, sceneWidth, sceneHeight);
    glGenFramebuffers(1, &capture.framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, capture.framebuffer);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                              capture.colourBuffer);
    const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        return failCapture("the 640x480 capture target is incomplete: " +
                           framebufferStatusText(status));
    }
    if (const GLenum error = glGetError(); error != GL_NO_ERROR) {
        return failCapture(std::string("cannot make the capture target: ") + glErrorText(error));
    }
    return true;
}

// The master's sound is the samples the meter read, from the first frame written to the last:
// written beside the master for its ffmpeg, which reads it as its second input.
bool writeMasterSound() {
    const std::string musicPath = assetPath(musicFileName);
    const std::string path = capture.options.masterFile + ".sound.tmp";
    std::FILE* out = std::fopen(path.c_str(), "wbe");
    if (out == nullptr) {
        return failCapture("cannot write " + quoted(path) + ": " + std::strerror(errno));
    }
    capture.masterSound = path; // ours now: removed at shutdown
    const std::uint64_t first = frameSampleEnd(capture.range.first, capture.options.fps);
    const std::uint64_t end = frameSampleEnd(capture.range.end, capture.options.fps);
    std::uint64_t at = 0;
    std::string failure;
    const bool decoded = decodeWholeMp3(
        musicPath.c_str(),
        [&](const std::int16_t* frames, std::size_t count) {
            const std::uint64_t from = std::max(at, first), to = std::min(at + count, end);
            if (from < to) {
                std::fwrite(frames + (from - at) * 2, 4, to - from, out);
            }
            at += count;
        },
        failure);
    const bool written = !std::ferror(out);
    const int error = errno;
    if (std::fclose(out) != 0 || !written) {
        return failCapture("cannot write " + quoted(capture.masterSound) + ": " +
                           std::strerror(written ? errno : error));
    }
    return decoded || failCapture("cannot decode the music " + quoted(musicPath) + ": " + failure);
}

bool startVideo(const std::string& ffmpegPath) {
    std::string failure;
    if (!capture.options.videoFile.empty() &&
        !startVideoPipe(capture.video, ffmpegPath,
                        ffmpegArguments(capture.options, capture.layout, assetPath(musicFileName),
                                        capture.range),
                        failure)) {
        return failCapture(failure);
    }
    if (capture.options.masterFile.empty()) {
        return true;
    }
    // writeMasterSound reports its own failure.
    return writeMasterSound() &&
           (startVideoPipe(capture.master, ffmpegPath,
                           masterArguments(capture.options, capture.layout, capture.masterSound),
                           failure) ||
            failCapture(failure));
}

void shutdownCapture() {
    std::string ignored;
    if (capture.video.pid > 0) {
        finishVideoPipe(capture.video, ignored);
    }
    if (capture.master.pid > 0) {
        finishVideoPipe(capture.master, ignored);
    }
    if (!capture.masterSound.empty()) {
        std::remove(capture.masterSound.c_str());
    }
    if (capture.clockLog != nullptr) {
        std::fclose(capture.clockLog);
        capture.clockLog = nullptr;
    }
    closeFixedRateClock(capture.clock);
    if (presentation.window != nullptr) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &capture.framebuffer);
        glDeleteRenderbuffers(1, &capture.colourBuffer);
    }
    shutDownPresentation();
    stopOwnDisplay(capture.display);
}

// Waits for the PNG frame being written, if any; false once it failed (and was reported).
bool finishPngWriting() {
    if (!capture.pngWriting.valid()) {
        return true;
    }
    const std::string failure = capture.pngWriting.get();
    return failure.empty() || failCapture(failure);
}

// Reads the frame just drawn back and writes it to every output. PNG encoding costs more than
// drawing a frame, so it runs on a worker while the main thread draws the next one.
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
        return failCapture("cannot write the clock log " + quoted(capture.options.clockLogFile) +
                           ": " + std::strerror(errno));
    }
    return true;
}

int terminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void showProgress(std::uint64_t rendered, std::chrono::steady_clock::time_point start) {
    const double elapsed = secondsSince(start);
    const std::string line = progressLine(
        rendered, capture.range.end, elapsed > 0 ? rendered / elapsed : 0.0, terminalColumns() - 1);
    std::fprintf(stderr, "\r%s", line.c_str());
    barOnLine = true;
}

struct LoopResult {
    bool ok = true;
    std::uint64_t rendered = 0;
    std::uint64_t written = 0;
};

LoopResult renderFrames() {
    const FrameTarget target{capture.framebuffer, sceneWidth, sceneHeight};
    const bool progress = isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    auto lastShown = start;
    LoopResult result;

    while (result.ok && caughtSignal == 0) {
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
            showProgress(result.rendered, start);
        }
    }
    if (!result.ok && capture.pngWriting.valid()) {
        capture.pngWriting.wait(); // its outcome no longer matters: the failure was reported
    } else if (!finishPngWriting()) {
        result.ok = false;
        --result.written;
    }
    if (progress && result.ok) {
        showProgress(result.rendered, start);
    }
    endBarLine();
    return result;
}

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
    installCaptureSignals();
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
    if (options.videoFile.empty() && options.pngDir.empty() && options.masterFile.empty()) {
        options.videoFile = defaultVideoFile;
    }
    startFlashCount(capture.flashes, options.fps);
    capture.layout = layoutFor(options.width, options.height);
    capture.glFrame.assign(glFrameBytes, 0);
    // Black once: placeFrame only ever writes the picture, so the bars stay black.
    for (std::vector<unsigned char>& output : capture.outputFrames) {
        output.assign(std::size_t(capture.layout.width) * capture.layout.height * 3, 0);
    }

    std::string ffmpegPath;
    const auto start = std::chrono::steady_clock::now();
    bool ok = checkAssets() && checkOutputs(ffmpegPath) && measureTrack() && openGl() &&
              startVideo(ffmpegPath);
    LoopResult loop;
    if (ok && caughtSignal == 0) {
        loop = renderFrames();
        ok = loop.ok;
    }
    // Closing the pipe ends the video at the frames written, also after a signal: ffmpeg's
    // -shortest then ends the sound with them.
    for (const auto& [pipe, file] : {std::pair{&capture.video, options.videoFile},
                                     std::pair{&capture.master, options.masterFile}}) {
        const bool started = pipe->pid > 0;
        if (started && caughtSignal != 0 && loop.written == 0) {
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
            ok = failCapture("cannot write the clock log " + quoted(options.clockLogFile) + ": " +
                             std::strerror(written ? errno : error));
        }
    }
    shutdownCapture();
    if (!ok && caughtSignal == 0) {
        return 1;
    }
    const double elapsed = secondsSince(start);
    const double musicSeconds = frameSeconds(loop.rendered, options.fps);
    char summary[256];
    if (caughtSignal != 0) {
        std::snprintf(summary, sizeof summary,
                      "stopped by SIG%s after rendering %" PRIu64 " of %" PRIu64 " frames; ",
                      sigabbrev_np(caughtSignal), loop.rendered, capture.range.end);
        say(summary + (loop.written == 0
                           ? std::string("none written")
                           : std::to_string(loop.written) + " written to " + outputsText()));
        return 128 + caughtSignal;
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
