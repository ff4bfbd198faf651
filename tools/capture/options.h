// The capture tool's command line: what it asks for, read into plain values with every value
// checked, and the usage text that describes it. Pure, so the tests call it directly.
#pragma once

#include "render/scene.h"

#include <limits>
#include <string>
#include <vector>

namespace qm {

constexpr char captureProgram[] = "quartz-capture";
constexpr char defaultVideoFile[] = "quartz-meridian.mp4";
// A video is made at twice the picture's size unless --size says otherwise: each pixel is then a
// 2x2 block, whose colour survives the codec's halving of colour resolution (docs/PERFORMANCE.md).
constexpr int defaultVideoWidth = 2 * sceneWidth;
constexpr int defaultVideoHeight = 2 * sceneHeight;
// At 8192x8192 one RGB frame is already 200 MB, for no gain in a 640x480 picture.
constexpr int maxOutputSide = 8192;

// A file, folder or program name as every failure line shows it: in double quotes.
std::string quoted(const std::string& text);
// Seconds as the failure lines and ffmpeg's command lines give them: "12.500000".
std::string formatSeconds(double seconds);

struct CaptureOptions {
    std::string assetDir; // empty: the working directory
    int fps = 60;
    std::string videoFile;  // empty: none; defaultVideoFile when no output at all is asked for
    std::string pngDir;     // empty: none
    std::string masterFile; // empty: none
    int width = sceneWidth;
    int height = sceneHeight;
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

} // namespace qm
