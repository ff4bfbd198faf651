// The capture tool end to end: the same pixels as the renderer driven in-process, its clock log,
// frame count and video, bad input, a machine without a display, and what signals, a dying
// ffmpeg, a full disk and a ten-minute track leave behind.
#ifdef QM_CAPTURE_EXE

#include "capture_core.h"

#include "audio/decoder.h"
#include "audio/level.h"
#include "render_support.h"

#include <lodepng.h>

#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

using namespace testing_support;

namespace {

// Left-channel plateaus of `seconds` each: silence under a loud right channel the meter must
// ignore, half scale (step 4), full scale (8).
std::vector<std::int16_t> plateauTrack(double seconds) {
    auto samples = squareStereo(seconds, 44100, 0, 32767);
    append(samples, squareStereo(seconds, 44100, 16383, 0));
    append(samples, squareStereo(seconds, 44100, 32767, 32767));
    return samples;
}

ProcessRun startCapture(const Stage& stage, std::vector<std::string> args,
                        const EnvironmentChanges& environment = {}) {
    args.insert(args.begin(), QM_CAPTURE_EXE);
    return startProgram(args, stage.dir.path.string(), environment);
}

ProcessResult capture(const Stage& stage, const std::vector<std::string>& args,
                      const EnvironmentChanges& environment = {}) {
    return finishProgram(startCapture(stage, args, environment), 120.0 * slowdown);
}

std::vector<std::int16_t> decoded(const std::string& path) {
    std::vector<std::int16_t> frames;
    std::string failure;
    EXPECT_TRUE(decodeWholeMp3(path.c_str(), frames, failure)) << failure;
    return frames;
}

struct LogLine {
    std::uint64_t frame = 0;
    float time = 0.0f;
    unsigned levelStep = 0;
    float cumulativeLevel = 0.0f;
};

std::vector<LogLine> readClockLog(const std::string& path) {
    std::istringstream in(readFile(path));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "frame,time,levelStep,cumulativeLevel");
    std::vector<LogLine> lines;
    char comma = 0;
    for (LogLine entry; std::getline(in, line); lines.push_back(entry)) {
        std::istringstream fields(line);
        fields >> entry.frame >> comma >> entry.time >> comma >> entry.levelStep >> comma >>
            entry.cumulativeLevel;
        EXPECT_FALSE(fields.fail()) << line;
    }
    return lines;
}

// ffprobe's value of `key` for the first stream of `kind` (v or a); -1 when it has none.
double probe(const std::string& file, const char* kind, const std::string& key) {
    const std::string out = shellOutput("ffprobe -v error -count_frames -select_streams " +
                                        std::string(kind) + ":0 -show_entries stream=" + key +
                                        " -of default=noprint_wrappers=1:nokey=1 '" + file + "'");
    return out.empty() || !std::isdigit(static_cast<unsigned char>(out[0]))
               ? -1.0
               : std::atof(out.c_str());
}

std::vector<std::string> framesIn(const std::string& folder) {
    std::vector<std::string> frames;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        frames.push_back(entry.path().string());
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

// Every frame file decodes as a whole picture of the capture's size.
void expectWholeFrames(const std::string& folder, unsigned width = 640, unsigned height = 480) {
    for (const std::string& frame : framesIn(folder)) {
        std::vector<unsigned char> rgb;
        unsigned w = 0, h = 0;
        EXPECT_EQ(0u, lodepng::decode(rgb, w, h, frame, LCT_RGB)) << frame;
        EXPECT_EQ(w * 10000 + h, width * 10000 + height) << frame;
    }
}

bool waitForFrames(const std::string& folder, std::size_t count) {
    return waitUntil(60.0 * slowdown, [&] {
        return std::filesystem::is_directory(folder) && framesIn(folder).size() >= count;
    });
}

} // namespace

// A GL context in the test process, to drive the renderer with the tool's logged clock.
using CaptureEquivalence = render_test::GlTest;

TEST_F(CaptureEquivalence, RepeatsByteForByteAndMatchesTheRendererDrivenInProcess) {
    const Stage stage(plateauTrack(5.0 / 3));
    ProcessResult result = capture(stage, {"--png", "all", "--fps", "10", "--clock-log", "c.csv"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    result = capture(stage, {"--png", "part", "--fps", "10", "--from", "4.3", "--to", "4.6"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    // Frames 43..45 straddle the 4.4 s change of look; rendering still began at 0.
    const std::vector<std::string> part = framesIn(stage.dir.file("part"));
    ASSERT_EQ(part.size(), 3u);
    for (std::uint64_t frame = 43; frame < 46; ++frame) {
        EXPECT_EQ(part[frame - 43], stage.dir.file("part/" + pngFrameName(frame)));
        EXPECT_EQ(readFile(part[frame - 43]),
                  readFile(stage.dir.file("all/" + pngFrameName(frame))));
    }
    const std::vector<LogLine> log = readClockLog(stage.dir.file("c.csv"));
    ASSERT_EQ(log.size(), 50u);
    std::string failure;
    ASSERT_TRUE(setupScene(failure, stage.dir.path.string())) << failure;
    {
        const render_test::OwnTarget own(sceneWidth, sceneHeight);
        for (const LogLine& entry : log) {
            renderFrame(entry.time, static_cast<float>(entry.levelStep), own.target());
            EXPECT_EQ(sceneObjects.cumulativeLevel, entry.cumulativeLevel) << entry.frame;
            if (entry.frame % 12 != 0 && entry.frame != 44 && entry.frame != 49) {
                continue;
            }
            const std::vector<unsigned char> gl = own.pixels();
            std::vector<unsigned char> png, expected(640 * 480 * 3);
            unsigned width = 0, height = 0;
            const std::string file = stage.dir.file("all/" + pngFrameName(entry.frame));
            ASSERT_EQ(0u, lodepng::decode(png, width, height, file, LCT_RGB, 8));
            placeFrame(gl.data(), layoutFor(sceneWidth, sceneHeight), expected.data());
            EXPECT_TRUE(png == expected) << "frame " << entry.frame << " differs";
        }
    }
    releaseScene();
}

TEST(CaptureTool, ClockLogFollowsTheMeterFrameByFrame) {
    std::vector<std::int16_t> samples = plateauTrack(1.0);
    append(samples, busyLeft(1.0));
    const Stage stage(samples);
    // 120 fps puts frame ends between samples (367.5 apart).
    const ProcessResult result =
        capture(stage, {"--png", "last", "--from", "3.98", "--fps", "120", "--clock-log", "c.csv"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    const std::vector<std::int16_t> whole = decoded(stage.dir.file("VARNOCHORD.mp3"));
    const std::size_t total = whole.size() / 2;
    const std::vector<LogLine> log = readClockLog(stage.dir.file("c.csv"));
    ASSERT_EQ(log.size(), frameCountFor(total, 120));
    EXPECT_EQ(framesIn(stage.dir.file("last")).size(), log.size() - 478); // from 3.9833 s
    float sum = 0.0f;
    for (std::uint64_t frame = 0; frame < log.size(); ++frame) {
        ASSERT_EQ(log[frame].frame, frame);
        EXPECT_EQ(log[frame].time, static_cast<float>(frame / 120.0));
        EXPECT_EQ(log[frame].levelStep, levelStepEndingAt(whole.data(), total, frame * 44100 / 120))
            << "frame " << frame;
        EXPECT_EQ(log[frame].cumulativeLevel, sum += static_cast<float>(log[frame].levelStep));
    }
    EXPECT_EQ(log[60].levelStep, 0u);  // 0.5 s: left silent, right loud
    EXPECT_EQ(log[180].levelStep, 4u); // 1.5 s: half scale
    EXPECT_EQ(log[300].levelStep, 8u); // 2.5 s: full scale
}

TEST(CaptureTool, VideoHasTheSizeFramesAndSoundOfTheMusic) {
    const Stage stage(plateauTrack(1.0));
    const ProcessResult result =
        capture(stage, {"--video", "out.mp4", "--fps", "25", "--size", "1280x720"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    const double length = double(decoded(stage.dir.file("VARNOCHORD.mp3")).size() / 2) / 44100.0;
    const std::string file = stage.dir.file("out.mp4");
    EXPECT_EQ(shellOutput("ffprobe -v error -show_entries stream=codec_name,pix_fmt -of csv=p=0 '" +
                          file + "'"),
              "h264,yuv420p\naac\n");
    EXPECT_EQ(probe(file, "v", "width"), 1280.0);
    EXPECT_EQ(probe(file, "v", "height"), 720.0);
    EXPECT_EQ(probe(file, "v", "nb_read_frames"), std::ceil(length * 25));
    EXPECT_NEAR(probe(file, "a", "duration"), length, 1.0 / 25);
}

TEST(CaptureTool, RefusesBadInputWithOneLineAndExitCodeOne) {
    const Stage stage(squareStereo(1.0, 44100, 20000, 0));
    const TempDir empty;
    std::filesystem::create_directory(stage.dir.file("pictureless"));
    std::filesystem::copy_file(stage.dir.file("VARNOCHORD.mp3"),
                               stage.dir.file("pictureless/VARNOCHORD.mp3"));
    std::filesystem::copy_file(builtAsset("zupfist2.png"),
                               stage.dir.file("pictureless/zupfist2.png"));
    writeFile(stage.dir.file("plain-file"), "not a folder");
    // An ffmpeg that takes a little and then dies, as one does on a full disk.
    std::filesystem::create_directory(stage.dir.file("bin"));
    writeFile(stage.dir.file("bin/ffmpeg"), "#!/bin/sh\nhead -c 100000 >/dev/null\nexit 3\n");
    std::filesystem::permissions(stage.dir.file("bin/ffmpeg"), std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
    const struct {
        std::vector<std::string> args;
        const char *file, *reason;
        EnvironmentChanges environment;
    } cases[] = {
        {{"--fps", "0"}, "", "--fps must be a whole number", {}},
        {{"--from", "5", "--png", "p"}, "", "no frames to write", {}},
        {{"--assets", empty.path.string()}, "VARNOCHORD.mp3", "No such file", {}},
        {{"--assets", "pictureless"}, "pictureless/tovrel.png", "No such file", {}},
        {{"--video", "v.mp4"},
         "",
         "cannot find the ffmpeg program",
         {{"PATH", empty.path.string()}}},
        {{"--png", "plain-file/frames"}, "plain-file/frames", "cannot make the folder", {}},
        {{"--video", "missing/v.mp4"}, "missing", "cannot write into the folder", {}},
        {{"--png", "p", "--clock-log", "/dev/full"}, "", "No space left on device", {}},
        {{"--video", "v.mp4"},
         "",
         "ffmpeg stopped: exit status 3",
         {{"PATH", stage.dir.file("bin") + ":" + path}}},
        // A file size limit fails the first frame's write, which is then removed.
        {{"--ulimit"}, "full/frame_000000.png", "File too large", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const ProcessResult result =
            c.args[0] != "--ulimit"
                ? capture(stage, c.args, c.environment)
                : runProgram({"/bin/sh", "-c",
                              std::string("ulimit -f 2; exec '") + QM_CAPTURE_EXE + "' --png full"},
                             stage.dir.path.string(), 120.0 * slowdown);
        expectOneLine(result, "quartz-capture", c.file, c.reason);
    }
    EXPECT_FALSE(std::filesystem::exists(stage.dir.file("full/frame_000000.png")));
    const ProcessResult help = capture(stage, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.standardError, "");
}

// Without a display the tool runs its own Xvfb. A signal mid-capture ends it with 128 + the
// signal and one line of what was done: every PNG whole, the video playable and cut to the
// frames done, and no Xvfb or ffmpeg left behind (orphans would be re-parented to this process).
TEST(CaptureTool, WithoutADisplaySignalsKeepWhatWasWrittenAndLeaveNothingRunning) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const EnvironmentChanges headless = {{"DISPLAY", std::nullopt},
                                         {"WAYLAND_DISPLAY", std::nullopt}};
    const Stage stage;
    const struct {
        int signalNumber, exitCode;
        const char* name;
    } cases[] = {
        {0, 0, ""}, {SIGINT, 130, "SIGINT"}, {SIGTERM, 143, "SIGTERM"}, {SIGHUP, 129, "SIGHUP"}};
    for (const auto& [signalNumber, exitCode, name] : cases) {
        SCOPED_TRACE(signalNumber);
        const std::string frames = stage.dir.file("frames" + std::to_string(signalNumber));
        const std::string video = frames + ".mp4";
        const ProcessRun run = startCapture(stage,
                                            {"--png", frames, "--video", video, "--fps", "2",
                                             "--to", signalNumber == 0 ? "3" : "999"},
                                            headless);
        if (signalNumber != 0) {
            ASSERT_TRUE(waitForFrames(frames, 3));
            ::kill(run.pid, signalNumber);
        }
        const ProcessResult result = finishProgram(run, 120.0 * slowdown);
        EXPECT_EQ(result.exitCode, exitCode) << result.standardError;
        EXPECT_NE(
            result.standardError.find(signalNumber == 0 ? "" : std::string("stopped by ") + name),
            std::string::npos)
            << result.standardError;
        const double written = double(framesIn(frames).size());
        expectWholeFrames(frames);
        EXPECT_TRUE(signalNumber != 0 || written == 6.0) << written;
        EXPECT_GE(written, 3.0);
        EXPECT_LT(written, 69.0);
        EXPECT_NEAR(probe(video, "v", "nb_read_frames"), written, 1.0);
        EXPECT_NEAR(probe(video, "a", "duration"), written / 2.0, 0.1);
        int status = 0;
        EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a process was left behind";
    }
}

// Odd but valid input captures: a 0.1 s track gives its six frames at 60 fps, 0.036 s of 32 kHz
// music that once kept the decoder busy for a minute gives three at once, and an asset folder
// whose path has spaces and non-ASCII characters is read, and named intact when broken.
TEST(HostileCapture, ShortTracksAndAnUnusualAssetPathCapture) {
    const Stage stage;
    const std::filesystem::path odd = stage.dir.path / "with spaces" / "b\xC3\xBChne \xE2\x98\x83";
    std::filesystem::create_directories(odd);
    const TempDir scratch;
    const std::string stalling = std::filesystem::path(__FILE__).parent_path() /
                                 "fuzz/regressions/music/music-stalls-decoder.mp3";
    const struct {
        std::string music;
        std::size_t frames;
    } cases[] = {{makeMp3(scratch, "short.mp3", squareStereo(0.1, 44100, 30000, 0)), 6},
                 {stalling, 3}};
    for (const auto& c : cases) {
        for (const char* name : assetNames) {
            std::filesystem::copy_file(name == assetNames[0] ? c.music : builtAsset(name),
                                       odd / name,
                                       std::filesystem::copy_options::overwrite_existing);
        }
        std::filesystem::remove_all(stage.dir.file("out"));
        const ProcessResult result =
            capture(stage, {"--assets", odd.string(), "--png", "out", "--fps", "60"});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_EQ(framesIn(stage.dir.file("out")).size(), c.frames);
        expectWholeFrames(stage.dir.file("out"));
        EXPECT_LT(result.seconds, 30.0 * slowdown);
    }
    writeFile((odd / "tovrel.png").string(), readFile(builtAsset("tovrel.png")).substr(0, 3000));
    expectOneLine(capture(stage, {"--assets", odd.string(), "--png", "broken"}), "quartz-capture",
                  (odd / "tovrel.png").string(), "not a valid PNG");
}

// ffmpeg dying mid-capture is one line and exit 1, with the PNG frames beside the video whole.
TEST(HostileCapture, FfmpegKilledMidCaptureIsReported) {
    const Stage stage;
    const ProcessRun run =
        startCapture(stage, {"--png", "frames", "--video", "v.mp4", "--fps", "30"});
    ASSERT_TRUE(waitForFrames(stage.dir.file("frames"), 3));
    const std::string ffmpeg = shellOutput("pgrep -P " + std::to_string(run.pid) + " -x ffmpeg");
    ASSERT_FALSE(ffmpeg.empty());
    ::kill(static_cast<pid_t>(std::stol(ffmpeg)), SIGKILL);
    expectOneLine(finishProgram(run, 120.0 * slowdown), "quartz-capture", "", "ffmpeg");
    expectWholeFrames(stage.dir.file("frames"));
    EXPECT_EQ(shellOutput("pgrep -P " + std::to_string(run.pid)), "");
}

// The output disk filling up during a PNG capture: one line naming the frame and the reason,
// and every frame left on the disk whole (the one that did not fit is removed).
TEST(HostileCapture, FullDiskStopsWithWholeFramesBehind) {
    const Stage stage;
    const std::string disk = stage.dir.file("disk");
    std::filesystem::create_directory(disk);
    if (::mount("qm-full-disk", disk.c_str(), "tmpfs", 0, "size=2m") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    }
    expectOneLine(capture(stage, {"--png", disk + "/frames", "--fps", "30"}), "quartz-capture",
                  ".png", "No space left on device");
    EXPECT_FALSE(framesIn(disk + "/frames").empty());
    expectWholeFrames(disk + "/frames");
    ::umount2(disk.c_str(), MNT_DETACH);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Nothing grows per frame: a ten-minute capture to video at one frame a second peaks within
// 10 % of the 34 s track's memory (wait4's peak is the larger of the tool's and its ffmpeg's,
// whose own use does not depend on the length). Left out of the sanitizer builds, whose
// allocators keep freed memory in quarantine on purpose.
TEST(HostileCapture, TenMinuteCapturePeaksLikeAShortOne) {
    const Stage stage;
    const auto peakKilobytes = [&stage](const std::string& out) {
        const ProcessRun run = startCapture(stage, {"--video", out, "--fps", "1"});
        int status = 0;
        rusage usage{};
        ::wait4(run.pid, &status, 0, &usage);
        std::filesystem::remove(run.stderrPath);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
        return usage.ru_maxrss;
    };
    const long shortPeak = peakKilobytes("short.mp4");
    std::vector<std::int16_t> mono(22050 * 600);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        mono[i] = static_cast<std::int16_t>((i / 100) % 2 ? 20000 : -20000);
    }
    std::string failure;
    ASSERT_TRUE(writeMp3(stage.dir.file("VARNOCHORD.mp3"), mono, 1, 22050, failure, 32)) << failure;
    const long longPeak = peakKilobytes("long.mp4");
    EXPECT_LT(double(longPeak), 1.10 * double(shortPeak))
        << "34 s: " << shortPeak << " KiB, 10 min: " << longPeak << " KiB";
}
#endif

#endif // QM_CAPTURE_EXE
