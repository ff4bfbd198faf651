// The capture tool's command line, read as the usage text describes it.
#include "options.h"

#include "app/command_line.h"
#include "assets.h"
#include "audio/fixed_clock.h"

#include <algorithm>
#include <cstdio>

namespace qm {

namespace {

bool parseSize(const std::string& text, int& width, int& height) {
    const std::size_t cross = text.find_first_of("xX");
    if (cross == std::string::npos) {
        return false;
    }
    return parseWhole(text.substr(0, cross), 1, maxOutputSide, width) &&
           parseWhole(text.substr(cross + 1), 1, maxOutputSide, height);
}

} // namespace

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return text;
}

const char* captureUsage() {
    static const std::string text =
        std::string(
            "usage: quartz-capture [--assets DIR] [--fps N] [--video FILE] [--png DIR]\n"
            "                      [--master FILE] [--size WxH] [--from SEC] [--to SEC]\n"
            "                      [--clock-log FILE]\n"
            "Renders the presentation frame by frame at a fixed rate of music time, without\n"
            "playing it, and writes the frames as a video, as PNG files, or both.\n"
            "  --assets DIR      folder of ") +
        musicFileName + ", " + pictureFileA + ", " + pictureFileB +
        " (default: .)\n"
        "  --fps N           frames per second of music, 1 to " +
        std::to_string(maxCaptureFps) +
        " (default: 60)\n"
        "  --video FILE      H.264/AAC video made by ffmpeg, BT.601 (default: " +
        defaultVideoFile +
        "\n"
        "                    when neither --png nor --master is given)\n"
        "  --png DIR         DIR/frame_NNNNNN.png for every frame, N counted from 0\n"
        "  --master FILE     lossless master by ffmpeg: FFV1 RGB and FLAC in Matroska (.mkv)\n"
        "  --size WxH        output size, at least 640x480, even for video (default: " +
        std::to_string(defaultVideoWidth) + "x" + std::to_string(defaultVideoHeight) +
        "\n"
        "                    with a video, else 640x480); the picture is enlarged by the\n"
        "                    largest whole factor that fits\n"
        "  --from SEC        write only the frames at or after SEC seconds of music\n"
        "  --to SEC          write only the frames before SEC seconds of music\n"
        "                    (rendering still starts at 0: every frame builds on the last)\n"
        "  --clock-log FILE  CSV of every rendered frame: frame,time,levelStep,cumulativeLevel\n"
        "  --help            this text\n"
        "Without a display it starts a private Xvfb. Ctrl-C stops and keeps what was done.\n"
        "The last line says how many seconds flash more than 3 times a second.\n";
    return text.c_str();
}

bool parseCaptureOptions(const std::vector<std::string>& args, CaptureOptions& options,
                         std::string& failure) {
    bool sizeGiven = false;
    std::string sizeText;
    bool fromGiven = false;
    bool toGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (const std::size_t equals = name.find('=');
            name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        static const char* const withValue[] = {"--assets", "--fps",       "--video",
                                                "--png",    "--size",      "--from",
                                                "--to",     "--clock-log", "--master"};
        if (std::find_if(std::begin(withValue), std::end(withValue),
                         [&](const char* known) { return name == known; }) == std::end(withValue)) {
            failure = (name.rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ") +
                      quoted(args[i]) + " (see --help)";
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                failure = name + " needs a value (see --help)";
                return false;
            }
            value = args[++i];
        }
        if (value.empty() && name != "--assets") {
            failure = name + " needs a value (see --help)";
            return false;
        }
        if (name == "--assets") {
            options.assetDir = value;
        } else if (name == "--fps") {
            if (!parseWhole(value, 1, maxCaptureFps, options.fps)) {
                failure = "--fps must be a whole number from 1 to " +
                          std::to_string(maxCaptureFps) + ", not " + quoted(value);
                return false;
            }
        } else if (name == "--video") {
            options.videoFile = value;
        } else if (name == "--png") {
            options.pngDir = value;
        } else if (name == "--master") {
            options.masterFile = value;
        } else if (name == "--size") {
            if (!parseSize(value, options.width, options.height)) {
                failure = "--size must be WIDTHxHEIGHT with sides up to " +
                          std::to_string(maxOutputSide) + ", like 1920x1080, not " + quoted(value);
                return false;
            }
            sizeGiven = true;
            sizeText = value;
        } else if (name == "--from" || name == "--to") {
            double& seconds = name == "--from" ? options.fromSeconds : options.toSeconds;
            if (!parseSeconds(value, seconds)) {
                failure = name + " must be seconds of music (like 12.5), not " + quoted(value);
                return false;
            }
            (name == "--from" ? fromGiven : toGiven) = true;
        } else {
            options.clockLogFile = value;
        }
    }
    if (options.help) {
        return true;
    }
    if (sizeGiven && (options.width < sceneWidth || options.height < sceneHeight)) {
        failure = "--size " + sizeText + " is smaller than the 640x480 picture";
        return false;
    }
    if (options.videoFile.empty() && options.pngDir.empty() && options.masterFile.empty()) {
        options.videoFile = defaultVideoFile;
    }
    // yuv420p stores colour per 2x2 block; PNG frames and the master have no such need.
    const bool video = !options.videoFile.empty();
    if (!sizeGiven && video) {
        options.width = defaultVideoWidth;
        options.height = defaultVideoHeight;
    }
    if (video && (options.width % 2 != 0 || options.height % 2 != 0)) {
        failure = "--size " + sizeText + " has an odd side: H.264 video in yuv420p needs even ones";
        return false;
    }
    if (fromGiven && toGiven && options.fromSeconds >= options.toSeconds) {
        failure = "--from " + formatSeconds(options.fromSeconds) + " is not before --to " +
                  formatSeconds(options.toSeconds);
        return false;
    }
    return true;
}

} // namespace qm
