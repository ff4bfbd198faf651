// The capture tool's decisions: its command line, which frames it writes, the output layout and
// the frames' conversion, ffmpeg's arguments and the progress line; no GL, no processes.
#include "capture_core.h"

#include "app/command_line.h"
#include "assets.h"
#include "render/scene.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return text;
}

} // namespace

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
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
        "  --size WxH        output size, at least 640x480, even for video (default: 1280x960\n"
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
    // yuv420p stores colour per 2x2 block; PNG frames and the master have no such need.
    const bool video =
        !options.videoFile.empty() || (options.pngDir.empty() && options.masterFile.empty());
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

FrameRange selectFrames(const CaptureOptions& options, std::uint64_t frameCount) {
    FrameRange range;
    range.first = std::min(firstFrameAtOrAfter(options.fromSeconds, options.fps), frameCount);
    range.end = std::isinf(options.toSeconds)
                    ? frameCount
                    : std::min(firstFrameAtOrAfter(options.toSeconds, options.fps), frameCount);
    range.end = std::max(range.end, range.first);
    return range;
}

OutputLayout layoutFor(int width, int height) {
    OutputLayout layout;
    layout.width = width;
    layout.height = height;
    layout.factor = std::max(1, std::min(width / sceneWidth, height / sceneHeight));
    layout.left = (width - sceneWidth * layout.factor) / 2;
    layout.top = (height - sceneHeight * layout.factor) / 2;
    return layout;
}

// Row `row` of the picture, counted from its top, in a frame as glReadPixels gives it: GL rows
// run bottom to top.
static const unsigned char* glRowFromTop(const unsigned char* glRgba, int row) {
    return glRgba + std::size_t(sceneHeight - 1 - row) * sceneWidth * 4;
}

void placeFrame(const unsigned char* glRgba, const OutputLayout& layout, unsigned char* rgb) {
    const int factor = layout.factor;
    const std::size_t outStride = std::size_t(layout.width) * 3;
    const std::size_t rowBytes = std::size_t(sceneWidth) * factor * 3;
    for (int row = 0; row < sceneHeight; ++row) {
        const unsigned char* source = glRowFromTop(glRgba, row);
        unsigned char* first = rgb +
                               (std::size_t(layout.top) + std::size_t(row) * factor) * outStride +
                               std::size_t(layout.left) * 3;
        unsigned char* out = first;
        for (int column = 0; column < sceneWidth; ++column, source += 4) {
            for (int copy = 0; copy < factor; ++copy, out += 3) {
                out[0] = source[0];
                out[1] = source[1];
                out[2] = source[2];
            }
        }
        for (int copy = 1; copy < factor; ++copy) {
            std::memcpy(first + copy * outStride, first, rowBytes);
        }
    }
}

void placeFrameYuv420(const unsigned char* glRgba, const OutputLayout& layout,
                      std::vector<unsigned char>& yuv) {
    const int width = layout.width, height = layout.height;
    const std::size_t lumaBytes = std::size_t(width) * height;
    const int chromaWidth = width / 2, chromaHeight = height / 2;
    const std::size_t chromaBytes = std::size_t(chromaWidth) * chromaHeight;
    yuv.resize(lumaBytes + 2 * chromaBytes);

    // Each picture pixel once, top row first: its rounded luma and colour differences, and the
    // two differences unrounded for the samples that mix pixels. BT.601 weights; Cb and Cr
    // scaled so that full blue and full red reach 240.
    constexpr int pixels = sceneWidth * sceneHeight;
    // Luma and both colour differences are sums of one term per channel: tables of them.
    static const std::array<std::array<float, 256>, 9> terms = [] {
        constexpr double kr = 0.299, kb = 0.114, kg = 1.0 - kr - kb;
        constexpr double weights[3] = {kr, kg, kb};
        std::array<std::array<float, 256>, 9> table{};
        for (int channel = 0; channel < 3; ++channel) {
            for (int value = 0; value < 256; ++value) {
                const double own = value / 255.0, luma = weights[channel] * own;
                table[channel][value] = static_cast<float>(luma);
                table[3 + channel][value] =
                    static_cast<float>(((channel == 2 ? own : 0.0) - luma) / (2.0 * (1.0 - kb)));
                table[6 + channel][value] =
                    static_cast<float>(((channel == 0 ? own : 0.0) - luma) / (2.0 * (1.0 - kr)));
            }
        }
        return table;
    }();
    std::vector<unsigned char> lumaOf(pixels), cbOf(pixels), crOf(pixels);
    std::vector<float> blue(pixels + 1), red(pixels + 1); // the last: the bars, black
    for (int row = 0; row < sceneHeight; ++row) {
        const unsigned char* p = glRowFromTop(glRgba, row);
        for (int i = row * sceneWidth; i < (row + 1) * sceneWidth; ++i, p += 4) {
            const float y = terms[0][p[0]] + terms[1][p[1]] + terms[2][p[2]];
            blue[i] = terms[3][p[0]] + terms[4][p[1]] + terms[5][p[2]];
            red[i] = terms[6][p[0]] + terms[7][p[1]] + terms[8][p[2]];
            lumaOf[i] = static_cast<unsigned char>(16.5f + 219.0f * y);
            cbOf[i] = static_cast<unsigned char>(128.5f + 224.0f * blue[i]);
            crOf[i] = static_cast<unsigned char>(128.5f + 224.0f * red[i]);
        }
    }
    // The picture's column under each output column and its row under each output row; -1 in
    // the bars.
    const auto sourceOf = [&](int size, int start, int count) {
        std::vector<int> map(size, -1);
        for (int i = start; i < std::min(size, start + count * layout.factor); ++i) {
            map[i] = (i - start) / layout.factor;
        }
        return map;
    };
    const std::vector<int> columns = sourceOf(width, layout.left, sceneWidth);
    const std::vector<int> rows = sourceOf(height, layout.top, sceneHeight);
    for (int y = 0; y < height; ++y) {
        unsigned char* out = yuv.data() + std::size_t(y) * width;
        if (y > 0 && rows[y] == rows[y - 1]) {
            std::memcpy(out, out - width, width); // an enlarged row is its row above again
            continue;
        }
        std::memset(out, 16, width);
        if (rows[y] >= 0) {
            const unsigned char* in = lumaOf.data() + rows[y] * sceneWidth;
            unsigned char* to = out + layout.left;
            for (int column = 0; column < sceneWidth; ++column) {
                for (int copy = 0; copy < layout.factor; ++copy) {
                    *to++ = in[column];
                }
            }
        }
    }
    unsigned char* cb = yuv.data() + lumaBytes;
    unsigned char* cr = cb + chromaBytes;
    for (int y = 0; y < chromaHeight; ++y) {
        const int top = rows[2 * y], bottom = rows[2 * y + 1];
        for (int x = 0; x < chromaWidth; ++x) {
            const int left = columns[2 * x], right = columns[2 * x + 1];
            const std::size_t at = std::size_t(y) * chromaWidth + x;
            if (top == bottom && left == right && top >= 0 && left >= 0) {
                // All four from one picture pixel, as everywhere at an even enlargement.
                cb[at] = cbOf[top * sceneWidth + left];
                cr[at] = crOf[top * sceneWidth + left];
                continue;
            }
            const auto index = [&](int row, int column) {
                return row < 0 || column < 0 ? pixels : row * sceneWidth + column;
            };
            const int a = index(top, left), b = index(top, right), c = index(bottom, left),
                      d = index(bottom, right);
            cb[at] = static_cast<unsigned char>(
                128.5 + 56.0 * (double(blue[a]) + blue[b] + blue[c] + blue[d]));
            cr[at] = static_cast<unsigned char>(128.5 +
                                                56.0 * (double(red[a]) + red[b] + red[c] + red[d]));
        }
    }
}

std::string pngFrameName(std::uint64_t frame) {
    char name[40];
    std::snprintf(name, sizeof name, "frame_%06llu.png", static_cast<unsigned long long>(frame));
    return name;
}

std::vector<std::string> ffmpegArguments(const CaptureOptions& options, const OutputLayout& layout,
                                         const std::string& musicPath, FrameRange range) {
    std::vector<std::string> args = {"ffmpeg"};
    const auto add = [&args](std::initializer_list<std::string> more) {
        args.insert(args.end(), more);
    };
    add({"-hide_banner", "-loglevel", "error", "-nostdin", "-y"});
    add({"-f", "rawvideo", "-pix_fmt", "yuv420p", "-framerate", std::to_string(options.fps)});
    add({"-video_size", std::to_string(layout.width) + "x" + std::to_string(layout.height)});
    // The frames come converted with one matrix and range (placeFrameYuv420); the stream says
    // which, or each player guesses its own. The BT.601 matrix under the sRGB (BT.709)
    // primaries: the browsers' fixed-point conversion caps BT.709's blue coefficient and showed
    // saturated blue 16 steps dark, where BT.601's fits (docs/PERFORMANCE.md). Said of the
    // input, where every ffmpeg keeps them: 7.1 drops primaries, transfer and chroma siting
    // given to the output of a raw pipe, and the video is then shown with guessed colours.
    add({"-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "smpte170m",
         "-color_range", "tv", "-chroma_sample_location", "center"});
    add({"-i", "pipe:0"});
    // The sound of the frames written: all of it for a whole capture (the last frame reaches
    // past the music's end), the same stretch for a --from/--to capture.
    if (range.first > 0) {
        add({"-ss", formatSeconds(frameSeconds(range.first, options.fps))});
    }
    add({"-t", formatSeconds(frameSeconds(range.end - range.first, options.fps))});
    // "file:" keeps a name that starts with '-' or holds a ':' from reading as an option or a
    // protocol.
    add({"-i", "file:" + musicPath, "-map", "0:v:0", "-map", "1:a:0"});
    // CRF 10 rather than 18 keeps the scan lines and single points; ultrafast with CABAC and
    // 8x8 transforms (High profile, which every phone plays) does it for about 19 ms of CPU a
    // frame, where superfast needed 29 to 31 (docs/PERFORMANCE.md).
    add({"-c:v", "libx264", "-preset", "ultrafast", "-x264-params", "cabac=1:8x8dct=1", "-crf",
         "10", "-profile:v", "high", "-pix_fmt", "yuv420p"});
    add({"-c:a", "aac", "-b:a", "192k"});
    // A capture stopped early closes the pipe after its last frame; the sound then ends with
    // the pictures instead of running on to the music's end under the last one. A whole
    // capture's sound ends first (before the last frame does), which cuts no frame.
    add({"-shortest", "-movflags", "+faststart", "file:" + options.videoFile});
    return args;
}

std::vector<std::string> masterArguments(const CaptureOptions& options, const OutputLayout& layout,
                                         const std::string& pcmPath) {
    const std::string size = std::to_string(layout.width) + "x" + std::to_string(layout.height);
    return {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "rawvideo",
            "-pix_fmt", "rgb24", "-framerate", std::to_string(options.fps), "-video_size", size,
            "-i", "pipe:0", "-f", "s16le", "-ar", "44100", "-ac", "2", "-i", "file:" + pcmPath,
            "-map", "0:v:0", "-map", "1:a:0",
            // Planar RGB: FFV1 keeps every bit of it; -slices lets both cores encode a frame.
            "-c:v", "ffv1", "-level", "3", "-slices", "4", "-pix_fmt", "gbrp", "-c:a", "flac",
            "-shortest", "file:" + options.masterFile};
}

std::string progressLine(std::uint64_t done, std::uint64_t total, double framesPerSecond,
                         int columns) {
    char tail[96];
    const double left =
        framesPerSecond > 0.0 ? double(total - std::min(done, total)) / framesPerSecond : 0.0;
    const auto leftSeconds = static_cast<long long>(std::ceil(left));
    std::snprintf(tail, sizeof tail, " %llu/%llu frames  %.1f fps  %lld:%02lld left",
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  framesPerSecond, leftSeconds / 60, leftSeconds % 60);
    const int barWidth = std::max(10, columns - 3 - static_cast<int>(std::strlen(tail)));
    const int filled =
        total == 0 ? barWidth : static_cast<int>(double(std::min(done, total)) / total * barWidth);
    std::string line = "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
    line += tail;
    if (columns > 0 && static_cast<int>(line.size()) > columns) {
        line.resize(columns);
    }
    return line;
}

} // namespace qm
