// ffmpeg's command lines for the video and the master, with why each setting was chosen.
#include "ffmpeg_commands.h"

namespace qm {

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

} // namespace qm
