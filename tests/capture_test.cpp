// The capture tool end to end: the same pixels as the renderer driven in-process, its clock log,
// frame count and video, bad input, short input, and a machine without a display, where signals
// keep what was written and leave nothing running.
#ifdef QM_CAPTURE_EXE

#include "capture_core.h"

#include "audio/decoder.h"
#include "audio/level.h"
#include "render_support.h"

#include <lodepng.h>

#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <sstream>

using namespace testing_support;

namespace {

// Left-channel plateaus of `seconds` each: silence under a loud right channel the meter must
// ignore, half scale (step 4), full scale (8).
std::vector<std::int16_t> plateaus(double seconds) {
    std::vector<std::int16_t> samples;
    square(samples, seconds, 0, 32767);
    square(samples, seconds, 16383, 0);
    square(samples, seconds, 32767, 32767);
    return samples;
}

ProcessRun startCapture(const Stage& stage, std::vector<std::string> args,
                        const Environment& environment = {}) {
    args.insert(args.begin(), QM_CAPTURE_EXE);
    return startProgram(args, stage.dir.path.string(), environment);
}

ProcessResult capture(const Stage& stage, const std::vector<std::string>& args,
                      const Environment& environment = {}) {
    return finishProgram(startCapture(stage, args, environment), 120.0 * slowdown);
}

// frame, time, levelStep, cumulativeLevel of every line after the header.
std::vector<std::array<double, 4>> clockLog(const std::string& path) {
    std::vector<std::array<double, 4>> lines;
    std::istringstream in(readFile(path));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "frame,time,levelStep,cumulativeLevel");
    for (std::array<double, 4> e{}; std::getline(in, line); lines.push_back(e)) {
        EXPECT_EQ(4, std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf", &e[0], &e[1], &e[2], &e[3]));
    }
    return lines;
}

// ffprobe's `key` of the first stream of `kind` (v or a), -1 when it has none.
double probe(const std::string& file, const std::string& kind, const std::string& key) {
    const std::string out =
        shellOutput("ffprobe -v error -count_frames -select_streams " + kind +
                    ":0 -show_entries stream=" + key + " -of csv=p=0 '" + file + "'");
    return std::isdigit(static_cast<unsigned char>(out[0])) ? std::atof(out.c_str()) : -1.0;
}

// The frame files in `folder`, every one a whole 640x480 picture.
std::vector<std::string> wholeFrames(const std::string& folder) {
    std::vector<std::string> frames;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::vector<unsigned char> rgb;
        unsigned w = 0, h = 0;
        EXPECT_EQ(0u, lodepng::decode(rgb, w, h, entry.path().string(), LCT_RGB)) << entry;
        EXPECT_EQ(w * h, 640u * 480u) << entry;
        frames.push_back(entry.path().string());
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

} // namespace

// A GL context in the test process, to drive the renderer with the tool's logged clock.
using CaptureEquivalence = render_test::GlTest;

TEST_F(CaptureEquivalence, RepeatsByteForByteAndMatchesTheRendererDrivenInProcess) {
    const Stage stage(plateaus(5.0 / 3));
    ASSERT_EQ(capture(stage, {"--png", "all", "--fps", "10", "--clock-log", "c.csv"}).exitCode, 0);
    ASSERT_EQ(
        capture(stage, {"--png", "part", "--fps", "10", "--from", "4.3", "--to", "4.6"}).exitCode,
        0);
    // Frames 43..45 straddle the 4.4 s change of look; rendering still began at 0.
    const std::vector<std::string> part = wholeFrames(stage.dir.file("part"));
    ASSERT_EQ(part.size(), 3u);
    for (int frame = 43; frame < 46; ++frame) {
        EXPECT_EQ(part[frame - 43], stage.dir.file("part/" + pngFrameName(frame)));
        EXPECT_EQ(readFile(part[frame - 43]),
                  readFile(stage.dir.file("all/" + pngFrameName(frame))));
    }
    const auto log = clockLog(stage.dir.file("c.csv"));
    ASSERT_EQ(log.size(), 50u);
    std::string failure;
    ASSERT_TRUE(setupScene(failure, stage.dir.path.string())) << failure;
    {
        const render_test::OwnTarget own(sceneWidth, sceneHeight);
        for (const auto& [frame, time, step, sum] : log) {
            renderFrame(float(time), float(step), own.target());
            EXPECT_EQ(sceneObjects.cumulativeLevel, float(sum)) << frame;
            if (int(frame) % 12 == 0 || frame == 44 || frame == 49) {
                std::vector<unsigned char> png, expected(640 * 480 * 3);
                unsigned width = 0, height = 0;
                const std::string file = stage.dir.file("all/" + pngFrameName(int(frame)));
                ASSERT_EQ(0u, lodepng::decode(png, width, height, file, LCT_RGB, 8));
                placeFrame(own.pixels().data(), layoutFor(640, 480), expected.data());
                EXPECT_TRUE(png == expected) << "frame " << frame << " differs";
            }
        }
    }
    releaseScene();
}

TEST(CaptureTool, ClockLogFollowsTheMeterFrameByFrame) {
    std::vector<std::int16_t> samples = plateaus(1.0);
    busyLeft(samples, 1.0);
    const Stage stage(samples);
    // 120 fps puts frame ends between samples (367.5 apart).
    const ProcessResult result =
        capture(stage, {"--png", "last", "--from", "3.98", "--fps", "120", "--clock-log", "c"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    std::vector<std::int16_t> whole;
    std::string failure;
    ASSERT_TRUE(decodeWholeMp3(stage.dir.file(musicFileName).c_str(), whole, failure));
    const std::size_t total = whole.size() / 2;
    const auto log = clockLog(stage.dir.file("c"));
    ASSERT_EQ(log.size(), frameCountFor(total, 120));
    EXPECT_EQ(wholeFrames(stage.dir.file("last")).size(), log.size() - 478); // from 3.9833 s
    double sum = 0.0;
    for (std::size_t frame = 0; frame < log.size(); ++frame) {
        EXPECT_EQ(log[frame][0], frame);
        EXPECT_EQ(float(log[frame][1]), float(frame / 120.0));
        EXPECT_EQ(log[frame][2], levelStepEndingAt(whole.data(), total, frame * 44100 / 120))
            << "frame " << frame;
        EXPECT_EQ(log[frame][3], sum += log[frame][2]);
    }
    EXPECT_EQ(log[60][2] * 100 + log[180][2] * 10 + log[300][2], 48.0); // 0, 4 and 8
}

TEST(CaptureTool, VideoHasTheSizeFramesAndSoundOfTheMusic) {
    const Stage stage(plateaus(1.0));
    const std::string file = stage.dir.file("out.mp4");
    ASSERT_EQ(capture(stage, {"--video", file, "--fps", "25", "--size", "1280x720"}).exitCode, 0);
    EXPECT_EQ(shellOutput("ffprobe -v error -show_entries stream=codec_name,width,height,pix_fmt "
                          "-of csv=p=0 '" +
                          file + "'"),
              "h264,1280,720,yuv420p\naac\n");
    EXPECT_EQ(probe(file, "v", "nb_read_frames"), 75.0);
    EXPECT_NEAR(probe(file, "a", "duration"), 3.0, 1.0 / 25);
}

// Bad input the tool only meets as a process: one line naming the file and reason, exit 1.
TEST(CaptureTool, RefusesBadInputWithOneLineAndExitCodeOne) {
    const Stage stage;
    const TempDir empty;
    fs::create_directory(stage.dir.file("pictureless"));
    fs::copy_file(builtAsset(assetFileNames[0]), stage.dir.file("pictureless/") + assetFileNames[0]);
    writeFile(stage.dir.file("plain-file"), "not a folder");
    // An ffmpeg that takes a little and then dies, as one does on a full disk.
    fs::create_directory(stage.dir.file("bin"));
    writeFile(stage.dir.file("bin/ffmpeg"), "#!/bin/sh\nhead -c 100000 >/dev/null\nexit 3\n");
    fs::permissions(stage.dir.file("bin/ffmpeg"), fs::perms::owner_all);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
    const struct {
        std::vector<std::string> args;
        const char *file, *reason;
        Environment environment;
    } cases[] = {
        {{"--fps", "0"}, "", "--fps must be a whole number", {}},
        {{"--from", "40", "--png", "p"}, "", "no frames to write", {}},
        {{"--assets", empty.path}, musicFileName, "No such file", {}},
        {{"--assets", "pictureless"}, "pictureless/zupfist2.png", "No such file", {}},
        {{"--video", "v.mp4"}, "", "cannot find the ffmpeg program", {{"PATH", empty.path}}},
        {{"--png", "plain-file/frames"}, "plain-file/frames", "cannot make the folder", {}},
        {{"--video", "missing/v.mp4"}, "missing", "cannot write into the folder", {}},
        {{"--png", "p", "--clock-log", "/dev/full"}, "", "No space left on device", {}},
        {{"--video", "v.mp4"},
         "",
         "ffmpeg stopped: exit status 3",
         {{"PATH", stage.dir.file("bin") + ":" + path}}},
        // A file size limit fails the first frame's write, which is then removed.
        {{"--png", "full"}, "full/frame_000000.png", "File too large", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -f 2; exec \"$0\" \"$@\"",
                                         QM_CAPTURE_EXE};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        expectOneLine(
            runProgram(c.args[1] == "full" ? argv : std::vector(argv.begin() + 3, argv.end()),
                       stage.dir.path, 120.0 * slowdown, c.environment),
            "quartz-capture", c.file, c.reason);
    }
    EXPECT_FALSE(fs::exists(stage.dir.file("full/frame_000000.png")));
    EXPECT_EQ(capture(stage, {"--help"}).exitCode, 0);
}

// Short input captures whole: a 0.1 s track its six frames at 60 fps, and 0.036 s of 32 kHz
// music that once kept the decoder busy for a minute its three, at once.
TEST(CaptureTool, ShortTracksCaptureEveryFrame) {
    std::vector<std::int16_t> tenth;
    square(tenth, 0.1, 30000, 0);
    const Stage shortStage(tenth), stalling;
    fs::copy_file(fs::path(__FILE__).parent_path() /
                      "fuzz/regressions/music/music-stalls-decoder.mp3",
                  stalling.dir.file(assetFileNames[0]), fs::copy_options::overwrite_existing);
    for (const auto& [stage, frames] : {std::pair{&shortStage, 6u}, {&stalling, 3u}}) {
        const ProcessResult result = capture(*stage, {"--png", "out", "--fps", "60"});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_EQ(wholeFrames(stage->dir.file("out")).size(), frames);
        EXPECT_LT(result.seconds, 30.0 * slowdown);
    }
}

// Without a display the tool runs its own Xvfb. A signal mid-capture ends it with 128 + the
// signal and one line of what was done: every PNG whole, the video playable and cut to the
// frames done, and no Xvfb or ffmpeg left behind (orphans would be re-parented to this process).
TEST(CaptureTool, WithoutADisplaySignalsKeepWhatWasWrittenAndLeaveNothingRunning) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const Stage stage;
    const std::pair<int, const char*> cases[] = {
        {0, ""}, {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    for (const auto& [signalNumber, name] : cases) {
        SCOPED_TRACE(signalNumber);
        const std::string frames = stage.dir.file("frames" + std::to_string(signalNumber));
        const ProcessRun run =
            startCapture(stage,
                         {"--png", frames, "--video", frames + ".mp4", "--fps", "2", "--to",
                          signalNumber == 0 ? "3" : "99"},
                         {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
        ASSERT_TRUE(signalNumber == 0 || waitUntil(60.0 * slowdown, [&] {
                        return fs::is_directory(frames) &&
                               std::distance(fs::directory_iterator(frames), {}) >= 3;
                    }));
        ::kill(run.pid, signalNumber);
        const ProcessResult result = finishProgram(run, 120.0 * slowdown);
        EXPECT_EQ(result.exitCode, signalNumber == 0 ? 0 : 128 + signalNumber);
        EXPECT_NE(result.standardError.find(std::string(*name ? "stopped by " : "") + name),
                  std::string::npos)
            << result.standardError;
        const double written = double(wholeFrames(frames).size());
        EXPECT_TRUE(signalNumber != 0 || written == 6.0) << written;
        EXPECT_GE(written, 3.0);
        EXPECT_LT(written, 69.0);
        EXPECT_NEAR(probe(frames + ".mp4", "v", "nb_read_frames"), written, 1.0);
        EXPECT_NEAR(probe(frames + ".mp4", "a", "duration"), written / 2.0, 0.1);
        int status = 0;
        EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a process was left behind";
    }
}

#endif // QM_CAPTURE_EXE
