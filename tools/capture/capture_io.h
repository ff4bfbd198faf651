// What the capture tool does outside the GL: its own X display when there is none, the ffmpeg
// child fed through a pipe, PNG frames and the folder checks. Every failure comes back as one
// line naming the file or program and the system's reason.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

namespace qm {

// The first of SIGINT, SIGTERM or SIGHUP that arrived; 0 while none has. A lock-free atomic, as
// the presentation's own stop flag, since the handler may run on any thread.
extern std::atomic<int> caughtSignal;

// Catches SIGINT, SIGTERM and SIGHUP into caughtSignal and ignores SIGPIPE and SIGXFSZ, so a
// dead ffmpeg or a file-size limit shows up as a write error with a reason instead of a silent
// death.
void installCaptureSignals();

// The full path of `program` on PATH; empty when there is none.
std::string findProgram(const std::string& program);

// "exit status 3", "killed by SIGKILL"
std::string describeExit(int waitStatus);

// A private X server (Xvfb) for a machine without a display. It runs in a process group of its
// own, so the terminal's Ctrl-C reaches only this tool, which stops it after the GL is gone; it
// also dies with this process, should that be killed outright.
struct OwnDisplay {
    pid_t pid = -1;
    std::string name; // ":N"
};
bool startOwnDisplay(OwnDisplay& display, std::string& failure);
void stopOwnDisplay(OwnDisplay& display);

// ffmpeg reading raw frames on its standard input. Its own process group keeps Ctrl-C from
// cutting it short: the tool closes the pipe instead, and ffmpeg finishes a playable file.
struct VideoPipe {
    pid_t pid = -1;
    int input = -1;
};
bool startVideoPipe(VideoPipe& video, const std::string& ffmpegPath,
                    const std::vector<std::string>& args, std::string& failure);
// False when ffmpeg stopped reading, with "ffmpeg stopped: <how it ended>".
bool writeVideoFrame(VideoPipe& video, const unsigned char* data, std::size_t bytes,
                     std::string& failure);
// Closes the pipe and waits for ffmpeg to finish the file. False when it failed.
bool finishVideoPipe(VideoPipe& video, std::string& failure);

// Makes `folder` if it is missing and proves a file can be created in it.
bool prepareFolder(const std::string& folder, bool create, std::string& failure);

// Encodes a top-row-first RGB frame as a PNG (fast settings) and writes it; a partly written
// file is removed, so a full disk never leaves a frame that looks whole.
bool writePngFrame(const std::string& path, const unsigned char* rgb, int width, int height,
                   std::vector<unsigned char>& encoded, std::string& failure);

} // namespace qm
