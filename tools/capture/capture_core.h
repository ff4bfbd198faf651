// The capture tool's decisions as plain functions the tests can call: the command line, which
// frames are written, and where the 640x480 picture lands in an output frame.
#pragma once

#include "audio/fixed_clock.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace qm {

constexpr char captureProgram[] = "quartz-capture";
constexpr char defaultVideoFile[] = "quartz-meridian.mp4";
// A video is made at twice the picture's size unless --size says otherwise: each pixel is then a
// 2x2 block, whose colour survives the codec's halving of colour resolution (docs/PERFORMANCE.md).
constexpr int defaultVideoWidth = 1280;
constexpr int defaultVideoHeight = 960;
// At 8192x8192 one RGB frame is already 200 MB, for no gain in a 640x480 picture.
constexpr int maxOutputSide = 8192;

// A file, folder or program name as every failure line shows it: in double quotes.
std::string quoted(const std::string& text);

struct CaptureOptions {
    std::string assetDir; // empty: the working directory
    int fps = 60;
    std::string videoFile;  // empty: none (the tool falls back to defaultVideoFile)
    std::string pngDir;     // empty: none
    std::string masterFile; // empty: none
    int width = 640;
    int height = 480;
    double fromSeconds = 0.0;
    double toSeconds = std::numeric_limits<double>::infinity();
    std::string clockLogFile; // empty: none
    bool help = false;
};

// Parses the arguments after the program name. False with a one-line reason (no program
// prefix) for an unknown option, a missing value or a value out of range.
bool parseCaptureOptions(const std::vector<std::string>& args, CaptureOptions& options,
                         std::string& failure);

const char* captureUsage();

// Frames written: [first, end), those with from <= time < to, within the track.
struct FrameRange {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};
FrameRange selectFrames(const CaptureOptions& options, std::uint64_t frameCount);

// Output frames: the 640x480 picture scaled by the largest whole factor that fits, centred.
struct OutputLayout {
    int width = 640;
    int height = 480;
    int factor = 1;
    int left = 0;
    int top = 0;
};
OutputLayout layoutFor(int width, int height);

// Writes one frame as the GL gives it (640x480 RGBA, bottom row first) into `rgb`, an output
// frame of layout.width x layout.height RGB, top row first. The bars are left as they are, so a
// buffer cleared to black once stays black around the picture.
void placeFrame(const unsigned char* glRgba, const OutputLayout& layout, unsigned char* rgb);

// The same frame as `placeFrame` gives, converted for the video: planar Y, Cb, Cr at 4:2:0 (each
// chroma sample the mean of its 2x2 pixels), the BT.601 matrix in limited range, rounded to
// nearest. The
// bars are written too (black). Done here, from the 640x480 picture, rather than by ffmpeg from
// the enlarged frame: a quarter of the work at twice the size, and a conversion whose matrix
// and rounding the tests can check.
void placeFrameYuv420(const unsigned char* glRgba, const OutputLayout& layout,
                      std::vector<unsigned char>& yuv);

// "frame_000123.png"
std::string pngFrameName(std::uint64_t frame);

// The ffmpeg command line for a video of `frames` frames from `first` at the options' rate and
// size, with the music from the same time as its sound.
std::vector<std::string> ffmpegArguments(const CaptureOptions& options, const OutputLayout& layout,
                                         const std::string& musicPath, FrameRange range);

// The ffmpeg command line for the lossless master: the same frames, and as its sound the
// decoded samples in `pcmPath` (44100 Hz stereo s16le, from the first frame's time on).
std::vector<std::string> masterArguments(const CaptureOptions& options, const OutputLayout& layout,
                                         const std::string& pcmPath);

// One progress line (no line end) of `columns` characters at most.
std::string progressLine(std::uint64_t done, std::uint64_t total, double framesPerSecond,
                         int columns);

} // namespace qm
