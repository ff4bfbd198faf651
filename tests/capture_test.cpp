// The capture tool: its clock, meter window and layout in-process, then the real executable on
// short generated tracks (repeatability, the same pixels as the renderer driven in-process, the
// meter, the video, bad input, and a machine without a display).
#include "assets.h"
#include "capture_core.h"

#include "audio/decoder.h"
#include "audio/level.h"
#include "render_support.h"
#include "test_support.h"

#include <sys/prctl.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace testing_support;

namespace {

std::vector<std::int16_t> decodeOrFail(const std::string& path) {
    std::vector<std::int16_t> frames;
    std::string failure;
    EXPECT_TRUE(decodeWholeMp3(path.c_str(), frames, failure)) << failure;
    return frames;
}

// Left-channel plateaus: silence (with a loud right channel the meter must ignore), half scale
// (step 4) and full scale (step 8), `seconds` each.
std::vector<std::int16_t> plateauTrack(double seconds) {
    auto samples = squareStereo(seconds, 44100, 0, 32767);
    append(samples, squareStereo(seconds, 44100, 16383, 0));
    append(samples, squareStereo(seconds, 44100, 32767, 32767));
    return samples;
}

// A left channel whose loudness jumps every 300 samples, so a window that starts or ends a few
// samples off reads a different step somewhere.
std::vector<std::int16_t> busyTrack(double seconds) {
    std::vector<std::int16_t> samples;
    std::uint32_t state = 12345;
    while (samples.size() < static_cast<std::size_t>(seconds * 44100) * 2) {
        state = state * 1664525u + 1013904223u;
        append(samples, squareStereo(300.0 / 44100, 44100, int(state >> 17), 0, 441.0));
    }
    return samples;
}

} // namespace

TEST(CaptureClock, CountsFramesBelowTheLengthAndFloorsTheSampleIndex) {
    EXPECT_EQ(frameCountFor(44100, 60), 60u);     // 1 s: frames 0..59, the last at 59/60 s
    EXPECT_EQ(frameCountFor(44101, 60), 61u);     // a sample more: frame 60 at 1.0 s is inside
    EXPECT_EQ(frameCountFor(1524096, 30), 1037u); // ceil(34.56 * 30)
    EXPECT_EQ(frameSampleEnd(1, 120), 367u);      // 367.5 floors
    EXPECT_EQ(frameSampleEnd(7, 7), 44100u);
    // 0.1 * 30 is 3.0000000000000004 in doubles, yet frame 3 is at 0.1 s.
    EXPECT_EQ(firstFrameAtOrAfter(0.1, 30), 3u);
    CaptureOptions options;
    options.fps = 10;
    options.fromSeconds = 4.3;
    options.toSeconds = 4.6;
    EXPECT_EQ(selectFrames(options, 50).first, 43u);
    EXPECT_EQ(selectFrames(options, 50).end, 46u);
    options.toSeconds = 99.0;
    EXPECT_EQ(selectFrames(options, 50).end, 50u);
}

TEST(CaptureClock, SlidingMeterWindowReadsAsTheWholeTrackDoes) {
    TempDir dir;
    const std::string path = makeMp3(dir, "busy.mp3", busyTrack(4.0));
    const std::vector<std::int16_t> whole = decodeOrFail(path);
    const std::size_t total = whole.size() / 2;
    // 240 fps overlaps consecutive windows; 1 fps skips far past the buffer.
    for (int fps : {240, 23, 1}) {
        MeterWindow meter;
        std::string failure;
        ASSERT_TRUE(openMeter(meter, path, failure)) << failure;
        const std::uint64_t frames = frameCountFor(total, fps);
        for (std::uint64_t frame = 0; frame < frames; ++frame) {
            const std::uint64_t end = frameSampleEnd(frame, fps);
            ASSERT_EQ(meterStepEndingAt(meter, end), levelStepEndingAt(whole.data(), total, end))
                << "fps " << fps << " frame " << frame;
            // The whole window is still held, and little more than it.
            EXPECT_LE(meter.firstFrame, end > levelWindowFrames ? end - levelWindowFrames : 0);
            EXPECT_LE(meter.samples.size() / 2, 65536u + levelWindowFrames + 4096u);
        }
        closeMeter(meter);
    }
}

TEST(CaptureLayout, EnlargesByWholeFactorsCentredAndFlipsRows) {
    const OutputLayout hd = layoutFor(1920, 1080);
    EXPECT_EQ(hd.factor, 2);
    EXPECT_EQ(hd.left, 320);
    EXPECT_EQ(hd.top, 60);
    // Bottom-up RGBA whose every pixel encodes its own GL row and column.
    std::vector<unsigned char> gl(std::size_t(sceneWidth) * sceneHeight * 4);
    for (int row = 0; row < sceneHeight; ++row) {
        for (int column = 0; column < sceneWidth; ++column) {
            unsigned char* pixel = &gl[(std::size_t(row) * sceneWidth + column) * 4];
            pixel[0] = static_cast<unsigned char>(row);
            pixel[1] = static_cast<unsigned char>(row >> 8);
            pixel[2] = static_cast<unsigned char>(column);
            pixel[3] = 77;
        }
    }
    const OutputLayout odd = layoutFor(1926, 1444); // factor 3 with a 3-pixel and 2-pixel margin
    std::vector<unsigned char> out(std::size_t(odd.width) * odd.height * 3, 0);
    placeFrame(gl.data(), odd, out.data());
    const auto at = [&](int x, int y) {
        const unsigned char* p = &out[(std::size_t(y) * odd.width + x) * 3];
        return std::array<int, 3>{p[0] + 256 * p[1], p[2], 0};
    };
    ASSERT_EQ(odd.factor, 3);
    EXPECT_EQ(at(3, 2), (std::array<int, 3>{479, 0, 0})); // top-left is the top GL row
    EXPECT_EQ(at(5, 4), (std::array<int, 3>{479, 0, 0})); // a 3x3 block
    EXPECT_EQ(at(6, 5), (std::array<int, 3>{478, 1, 0}));
    EXPECT_EQ(at(1922, 1441), (std::array<int, 3>{0, 639 & 255, 0})); // bottom-right
    EXPECT_EQ(at(2, 2), (std::array<int, 3>{0, 0, 0}));               // bars stay black
    EXPECT_EQ(at(1925, 1443), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(at(1000, 1), (std::array<int, 3>{0, 0, 0}));
}

#ifdef QM_CAPTURE_EXE

namespace {

// A folder with the build's two pictures and a generated track.
struct CaptureStage {
    TempDir dir;
    std::string music;
    explicit CaptureStage(const std::vector<std::int16_t>& samples) {
        for (const char* picture : {pictureFileA, pictureFileB}) {
            std::filesystem::copy_file(std::string(QM_BINARY_DIR) + "/" + picture,
                                       dir.file(picture));
        }
        music = makeMp3(dir, musicFileName, samples);
    }
    ProcessResult run(std::vector<std::string> args, const EnvironmentChanges& environment = {},
                      double timeout = 90.0) const {
        args.insert(args.begin(), QM_CAPTURE_EXE);
        return finishProgram(startProgram(args, dir.path.string(), environment), timeout);
    }
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t lineCount(const std::string& path) {
    const std::string text = readFile(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct LogLine {
    std::uint64_t frame = 0;
    float time = 0.0f;
    unsigned levelStep = 0;
    float cumulativeLevel = 0.0f;
};

std::vector<LogLine> readClockLog(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "frame,time,levelStep,cumulativeLevel");
    std::vector<LogLine> lines;
    while (std::getline(in, line)) {
        LogLine entry;
        char comma = 0;
        std::istringstream fields(line);
        fields >> entry.frame >> comma >> entry.time >> comma >> entry.levelStep >> comma >>
            entry.cumulativeLevel;
        EXPECT_FALSE(fields.fail()) << line;
        lines.push_back(entry);
    }
    return lines;
}

std::string probe(const std::string& entries, const std::string& file) {
    return shellOutput("ffprobe -v error " + entries + " -of default=noprint_wrappers=1 '" + file +
                       "'");
}

double probeValue(const std::string& output, const std::string& key) {
    const std::size_t at = output.find(key + "=");
    return at == std::string::npos ? -1.0 : std::atof(output.c_str() + at + key.size() + 1);
}

// One line, "quartz-capture: ...", and nothing else.
void expectOneLine(const ProcessResult& result, const std::string& part) {
    EXPECT_EQ(result.exitCode, 1) << result.standardError;
    EXPECT_EQ(result.standardError.rfind("quartz-capture: ", 0), 0u) << result.standardError;
    EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 1)
        << result.standardError;
    EXPECT_NE(result.standardError.find(part), std::string::npos)
        << "wanted \"" << part << "\" in: " << result.standardError;
}

// Orphans of the tool (an Xvfb it left behind) are re-parented to this process, so none may be
// found, running or dead.
void becomeSubreaper() {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
}
void expectNoOrphans() {
    int status = 0;
    const pid_t left = waitpid(-1, &status, WNOHANG);
    EXPECT_EQ(left, -1) << "a process was left behind: " << left;
}

} // namespace

// A GL context in the test process, to drive the renderer with the tool's logged clock.
class CaptureEquivalence : public render_test::GlTest {};

TEST_F(CaptureEquivalence, RepeatsByteForByteAndMatchesTheRendererDrivenInProcess) {
    CaptureStage stage(plateauTrack(5.0 / 3));
    ProcessResult result = stage.run({"--png", "all", "--fps", "10", "--clock-log", "clock.csv"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    result = stage.run({"--png", "part", "--fps", "10", "--from", "4.3", "--to", "4.6"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    const auto part = std::filesystem::path(stage.dir.file("part"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(part)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    // Frames 43..45 straddle the 4.4 s change of look; rendering still began at 0.
    EXPECT_EQ(names, (std::vector<std::string>{"frame_000043.png", "frame_000044.png",
                                               "frame_000045.png"}));
    for (const std::string& name : names) {
        const std::string whole = readFile(stage.dir.file("all/" + name));
        EXPECT_FALSE(whole.empty());
        EXPECT_TRUE(whole == readFile((part / name).string())) << name << " differs";
    }

    const std::vector<LogLine> log = readClockLog(stage.dir.file("clock.csv"));
    ASSERT_EQ(log.size(), 50u);
    std::string failure;
    ASSERT_TRUE(setupScene(failure, stage.dir.path.string())) << failure;
    render_test::OwnTarget own = render_test::makeTarget(sceneWidth, sceneHeight);
    for (const LogLine& entry : log) {
        renderFrame(entry.time, static_cast<float>(entry.levelStep), own.target());
        EXPECT_EQ(sceneObjects.cumulativeLevel, entry.cumulativeLevel) << entry.frame;
        if (entry.frame % 12 != 0 && entry.frame != 44 && entry.frame != 49) {
            continue;
        }
        const std::vector<unsigned char> gl =
            render_test::readPixels(own.framebuffer, sceneWidth, sceneHeight);
        std::vector<unsigned char> png;
        unsigned width = 0;
        unsigned height = 0;
        ASSERT_EQ(0u,
                  lodepng::decode(png, width, height,
                                  stage.dir.file("all/" + pngFrameName(entry.frame)), LCT_RGB, 8));
        ASSERT_EQ(width, unsigned(sceneWidth));
        ASSERT_EQ(height, unsigned(sceneHeight));
        std::vector<unsigned char> expected(png.size());
        placeFrame(gl.data(), layoutFor(sceneWidth, sceneHeight), expected.data());
        EXPECT_TRUE(png == expected) << "frame " << entry.frame << " differs";
    }
    render_test::deleteTarget(own);
    releaseScene();
}

TEST(CaptureTool, ClockLogFollowsTheMeterFrameByFrame) {
    std::vector<std::int16_t> samples = plateauTrack(1.0);
    append(samples, busyTrack(1.0));
    CaptureStage stage(samples);
    // 120 fps puts frame ends between samples (367.5 apart).
    const ProcessResult result =
        stage.run({"--png", "last", "--from", "3.99", "--fps", "120", "--clock-log", "c.csv"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    const std::vector<std::int16_t> whole = decodeOrFail(stage.music);
    const std::size_t total = whole.size() / 2;
    const std::vector<LogLine> log = readClockLog(stage.dir.file("c.csv"));
    ASSERT_EQ(log.size(), frameCountFor(total, 120));
    float sum = 0.0f;
    for (std::uint64_t frame = 0; frame < log.size(); ++frame) {
        const LogLine& entry = log[frame];
        ASSERT_EQ(entry.frame, frame);
        EXPECT_EQ(entry.time, static_cast<float>(frame / 120.0));
        EXPECT_EQ(entry.levelStep, levelStepEndingAt(whole.data(), total, frame * 44100 / 120))
            << "frame " << frame;
        sum += static_cast<float>(entry.levelStep);
        EXPECT_EQ(entry.cumulativeLevel, sum);
    }
    EXPECT_EQ(log[60].levelStep, 0u);  // 0.5 s: left silent, right loud
    EXPECT_EQ(log[180].levelStep, 4u); // 1.5 s: half scale
    EXPECT_EQ(log[300].levelStep, 8u); // 2.5 s: full scale
}

TEST(CaptureTool, VideoHasTheSizeFramesAndSoundOfTheMusic) {
    CaptureStage stage(plateauTrack(1.0));
    const ProcessResult result =
        stage.run({"--video", "out.mp4", "--fps", "25", "--size", "1280x720"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    const double length = double(decodeOrFail(stage.music).size() / 2) / 44100.0;
    const std::string file = stage.dir.file("out.mp4");
    const std::string video = probe("-select_streams v:0 -count_frames -show_entries "
                                    "stream=codec_name,width,height,pix_fmt,nb_read_frames",
                                    file);
    EXPECT_NE(video.find("codec_name=h264"), std::string::npos) << video;
    EXPECT_NE(video.find("pix_fmt=yuv420p"), std::string::npos) << video;
    EXPECT_EQ(probeValue(video, "width"), 1280.0) << video;
    EXPECT_EQ(probeValue(video, "height"), 720.0) << video;
    EXPECT_EQ(probeValue(video, "nb_read_frames"), std::ceil(length * 25)) << video;
    const std::string audio =
        probe("-select_streams a:0 -show_entries stream=codec_name,duration", file);
    EXPECT_NE(audio.find("codec_name=aac"), std::string::npos) << audio;
    EXPECT_NEAR(probeValue(audio, "duration"), length, 1.0 / 25) << audio;
}

TEST(CaptureTool, RefusesBadInputWithOneLineAndExitCodeOne) {
    CaptureStage stage(squareStereo(1.0, 44100, 20000, 0));
    TempDir empty;
    std::filesystem::create_directory(stage.dir.file("pictureless"));
    std::filesystem::copy_file(stage.music, stage.dir.file("pictureless/VARNOCHORD.mp3"));
    std::filesystem::copy_file(stage.dir.file(pictureFileA),
                               stage.dir.file("pictureless/zupfist2.png"));
    std::ofstream(stage.dir.file("plain-file")) << "not a folder";
    // An ffmpeg that takes a little and then dies, as one does on a full disk.
    std::filesystem::create_directory(stage.dir.file("bin"));
    std::ofstream(stage.dir.file("bin/ffmpeg")) << "#!/bin/sh\nhead -c 100000 >/dev/null\nexit 3\n";
    std::filesystem::permissions(stage.dir.file("bin/ffmpeg"), std::filesystem::perms::owner_all);
    const std::string realPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";

    struct Case {
        std::vector<std::string> args;
        std::string part;
        EnvironmentChanges environment;
    };
    const std::vector<Case> cases = {
        {{"--frobnicate"}, "unknown option \"--frobnicate\"", {}},
        {{"--fps", "0"}, "--fps must be a whole number from 1 to 240", {}},
        {{"--fps", "241"}, "--fps must be", {}},
        {{"--fps"}, "--fps needs a value", {}},
        {{"--size", "1281x720"}, "odd side", {}},
        {{"--size", "320x240"}, "smaller than the 640x480", {}},
        {{"--from", "-1"}, "--from must be seconds", {}},
        {{"--from", "3", "--to", "2"}, "is not before --to", {}},
        {{"--from", "5", "--png", "p"}, "no frames to write", {}},
        {{"--assets", empty.path.string()}, "VARNOCHORD.mp3\": No such file", {}},
        {{"--assets", "pictureless"}, "pictureless/tovrel.png\": No such file", {}},
        {{"--video", "v.mp4"}, "cannot find the ffmpeg program", {{"PATH", empty.path.string()}}},
        {{"--png", "plain-file/frames"}, "cannot make the folder \"plain-file/frames\"", {}},
        {{"--video", "missing/v.mp4"}, "cannot write into the folder \"missing\"", {}},
        {{"--png", "p", "--clock-log", "/dev/full"}, "No space left on device", {}},
        {{"--video", "v.mp4"},
         "ffmpeg stopped: exit status 3",
         {{"PATH", stage.dir.file("bin") + ":" + realPath}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        expectOneLine(stage.run(c.args, c.environment), c.part);
    }

    // A full disk while writing frames: the file size limit fails the first frame's write.
    const ProcessResult full = finishProgram(
        startProgram(
            {"/bin/sh", "-c", std::string("ulimit -f 2; exec '") + QM_CAPTURE_EXE + "' --png full"},
            stage.dir.path.string()),
        60.0);
    expectOneLine(full, "full/frame_000000.png\": File too large");
    EXPECT_FALSE(std::filesystem::exists(stage.dir.file("full/frame_000000.png")));

    const ProcessResult help = stage.run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.standardError, "");
}

TEST(CaptureTool, WithoutADisplayRunsItsOwnXvfbAndStopsIt) {
    becomeSubreaper();
    const EnvironmentChanges headless = {{"DISPLAY", std::nullopt},
                                         {"WAYLAND_DISPLAY", std::nullopt}};
    {
        CaptureStage stage(squareStereo(2.0, 44100, 20000, 0));
        const ProcessResult result = stage.run({"--png", "p", "--fps", "5"}, headless);
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_TRUE(std::filesystem::exists(stage.dir.file("p/frame_000009.png")));
        expectNoOrphans();
    }
    // Ctrl-C mid-video: a playable file of what was done, exit 130, the server gone too.
    CaptureStage stage(squareStereo(30.0, 44100, 20000, 0));
    const ProcessRun run =
        startProgram({QM_CAPTURE_EXE, "--video", "v.mp4", "--clock-log", "c.csv"},
                     stage.dir.path.string(), headless);
    const auto started = std::chrono::steady_clock::now();
    while (lineCount(stage.dir.file("c.csv")) < 40 &&
           std::chrono::steady_clock::now() - started < std::chrono::seconds(60)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(run.pid, SIGINT);
    const ProcessResult result = finishProgram(run, 30.0);
    EXPECT_EQ(result.exitCode, 130) << result.standardError;
    EXPECT_NE(result.standardError.find("stopped by SIGINT"), std::string::npos)
        << result.standardError;
    const double frames = probeValue(probe("-select_streams v:0 -count_frames -show_entries "
                                           "stream=nb_read_frames",
                                           stage.dir.file("v.mp4")),
                                     "nb_read_frames");
    EXPECT_GE(frames, 40.0);
    EXPECT_LT(frames, 1800.0);
    // Cut to the frames done, not left with the rest of the music under the last one.
    const double sound = probeValue(
        probe("-select_streams a:0 -show_entries stream=duration", stage.dir.file("v.mp4")),
        "duration");
    EXPECT_NEAR(sound, frames / 60.0, 0.1);
    expectNoOrphans();
}

#endif
