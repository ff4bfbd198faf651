// Start-up: the checks come first and are quick, so whatever a user can get wrong is said before
// the slow part (the display, the whole decode, the GL); then the capture target the frames are
// drawn into and the encoders they are written to.
#include "capture_run.h"

#include "app/presentation.h"
#include "app/process.h"
#include "assets.h"
#include "audio/decoder.h"
#include "ffmpeg_commands.h"
#include "progress.h"
#include "render/gl_errors.h"

#include <GL/glew.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qm {

CaptureState capture;

namespace {

// Makes `folder` if it is missing and proves a file can be created in it.
bool prepareFolder(const std::string& folder, bool create) {
    const std::string where = folder.empty() ? "." : folder;
    std::error_code error;
    if (create && !std::filesystem::is_directory(where, error)) {
        std::filesystem::create_directories(where, error);
        if (error) {
            return failCapture("cannot make the folder " + quoted(where) + ": " + error.message());
        }
    }
    // access() says yes to root for any folder, and says nothing of a read-only file system:
    // only creating a file proves it.
    std::string probe = where + "/.quartz-capture-XXXXXX";
    const int fd = mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) {
        return failCapture("cannot write into the folder " + quoted(where) + ": " +
                           std::strerror(errno));
    }
    close(fd);
    unlink(probe.c_str());
    return true;
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
        if (!prepareFolder(folderOf(file), false)) {
            return false;
        }
    }
    if (!options.pngDir.empty() && !prepareFolder(options.pngDir, true)) {
        return false;
    }
    if (!options.clockLogFile.empty()) {
        capture.clockLog = std::fopen(options.clockLogFile.c_str(), "we");
        if (capture.clockLog == nullptr) {
            return failClockLog(errno);
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
    capture.range = framesBetween(capture.options.fromSeconds, capture.options.toSeconds,
                                  capture.options.fps, capture.clock.endFrame);
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
            return caughtStopSignal() != 0 ? false : failCapture(failure);
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
        return failCapture("cannot write " + qm::quoted(capture.masterSound) + ": " +
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

} // namespace

bool startCapture() {
    startFlashCount(capture.flashes, capture.options.fps);
    capture.layout = layoutFor(capture.options.width, capture.options.height);
    capture.glFrame.assign(std::size_t(sceneWidth) * sceneHeight * 4, 0);
    // Black once: placeFrame only ever writes the picture, so the bars stay black.
    for (std::vector<unsigned char>& output : capture.outputFrames) {
        output.assign(std::size_t(capture.layout.width) * capture.layout.height * 3, 0);
    }
    std::string ffmpegPath;
    return checkAssets() && checkOutputs(ffmpegPath) && measureTrack() && openGl() &&
           startVideo(ffmpegPath);
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

} // namespace qm
