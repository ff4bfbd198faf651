// The capture tool's decisions as plain functions the tests can call: the command line, the
// fixed-rate music clock with its sliding meter window, and where the 640x480 picture lands in
// an output frame.
#pragma once

#include "audio/decoder.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

constexpr char captureProgram[] = "quartz-capture";
constexpr char defaultVideoFile[] = "quartz-meridian.mp4";
constexpr int maxCaptureFps = 240;
// At 8192x8192 one RGB frame is already 200 MB, for no gain in a 640x480 picture.
constexpr int maxOutputSide = 8192;

struct CaptureOptions {
    std::string assetDir; // empty: the working directory
    int fps = 60;
    std::string videoFile; // empty: none (the tool falls back to defaultVideoFile)
    std::string pngDir;    // empty: none
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

// The readings of --fps and --from/--to, which the browser's capture=SEC&fps=N shares: a whole
// number within [low, high], and seconds as plain decimals. Signs, spaces, suffixes, "inf",
// "nan" and hexadecimal are refused.
bool parseWhole(const std::string& text, long long low, long long high, int& value);
bool parseSeconds(const std::string& text, double& value);

// The clock. Frame n is drawn at n / fps seconds of music; its meter window ends at sample
// frame floor(n * 44100 / fps), computed in integers so no rounding can move it.
double frameSeconds(std::uint64_t frame, int fps);
float frameTime(std::uint64_t frame, int fps); // narrowed as the live driver narrows
std::uint64_t frameSampleEnd(std::uint64_t frame, int fps);
// Frames whose time lies below the track's length: ceil(trackFrames * fps / 44100).
std::uint64_t frameCountFor(std::uint64_t trackFrames, int fps);
// The first frame whose time is at or after `seconds`.
std::uint64_t firstFrameAtOrAfter(double seconds, int fps);

// Frames written: [first, end), those with from <= time < to, within the track.
struct FrameRange {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};
FrameRange selectFrames(const CaptureOptions& options, std::uint64_t frameCount);

// The meter over a decoder, keeping only the samples the next windows can still need, so a
// long track does not grow memory.
struct MeterWindow {
    Mp3Decoder decoder;
    std::vector<std::int16_t> samples; // interleaved stereo from sample frame `firstFrame`
    std::uint64_t firstFrame = 0;
};

// Opens `path` for metering. False with the decoder's reason.
bool openMeter(MeterWindow& meter, const std::string& path, std::string& failure);
// levelStepEndingAt over the whole track's samples, for a window ending at `endFrame`; calls
// must come with endFrame never decreasing.
unsigned meterStepEndingAt(MeterWindow& meter, std::uint64_t endFrame);
void closeMeter(MeterWindow& meter);

// Decodes the whole track once to count its sample frames exactly (gapless, as played).
bool countTrackFrames(const std::string& path, std::uint64_t& frames, std::string& failure);

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

// "frame_000123.png"
std::string pngFrameName(std::uint64_t frame);

// The ffmpeg command line for a video of `frames` frames from `first` at the options' rate and
// size, with the music from the same time as its sound.
std::vector<std::string> ffmpegArguments(const CaptureOptions& options, const OutputLayout& layout,
                                         const std::string& musicPath, FrameRange range);

// One progress line (no line end) of `columns` characters at most.
std::string progressLine(std::uint64_t done, std::uint64_t total, double framesPerSecond,
                         int columns);
