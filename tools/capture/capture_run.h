// One run of the capture tool: the state start-up makes and shutdown releases, and the steps that
// share it, each in a file of its own: start_up.cpp (the checks before the slow part, the GL
// target, the encoders), frame_loop.cpp (every frame drawn, read back and written) and main.cpp
// (the steps in order, the outputs finished, the closing lines).
#pragma once

#include "audio/fixed_clock.h"
#include "child_process.h"
#include "flash_count.h"
#include "options.h"
#include "output_frame.h"
#include "own_display.h"

#include "render/scene.h"

#include <cstdint>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

namespace qm {

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

extern CaptureState capture;

// From the options on: checks what a user can get wrong before the slow part (the display, the
// decode, the GL), then opens the display, the capture target and the encoders. False once a
// step failed (and was said), or when a signal stopped the display's start.
bool startCapture();
// Releases what start-up made, in reverse order; whatever start-up reached.
void shutdownCapture();

struct LoopResult {
    bool ok = true;
    std::uint64_t rendered = 0;
    std::uint64_t written = 0;
};

// Renders from frame 0 to the end of the range or a signal, writing the range's frames.
LoopResult renderFrames();

// Says that the clock log could not be opened, written or closed, with the system's reason for
// `error`; always false.
bool failClockLog(int error);

} // namespace qm
