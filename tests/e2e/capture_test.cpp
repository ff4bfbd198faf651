// The capture tool end to end: the same pixels as the renderer driven in-process, its clock log,
// frame count and video, what players show of the video and the master's exact frames, bad
// input, and a machine without a display, where signals keep what was written and leave nothing
// running.
#ifdef QM_CAPTURE_EXE

#include "child_process.h"
#include "output_frame.h"
#include "png_writer.h"

#include "audio/level.h"
#include "render_support.h"

#include <lodepng.h>

#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

using namespace qm;

using namespace testing_support;

namespace {

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

// ffprobe's `entries` of the streams of `file` (those `options` select), a line a stream.
std::string ffprobe(const std::string& file, const std::string& entries,
                    const std::string& options = "") {
    return shellOutput("ffprobe -v error " + options + " -show_entries stream=" + entries +
                       " -of csv=p=0 '" + file + "'");
}

// ffprobe's `key` of the first stream of `kind` (v or a), -1 when it has none.
double probe(const std::string& file, const std::string& kind, const std::string& key) {
    const std::string out = ffprobe(file, key, "-count_frames -select_streams " + kind + ":0");
    return std::isdigit(static_cast<unsigned char>(out[0])) ? std::atof(out.c_str()) : -1.0;
}

// The frame files in `folder`, every one a whole picture of `pixels` pixels (0: of any size).
std::vector<std::string> wholeFrames(const std::string& folder, unsigned pixels = 640 * 480) {
    std::vector<std::string> frames;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::vector<unsigned char> rgb;
        unsigned w = 0, h = 0;
        EXPECT_EQ(0u, lodepng::decode(rgb, w, h, entry.path().string(), LCT_RGB)) << entry;
        EXPECT_TRUE(pixels == 0 || w * h == pixels) << entry << " is " << w << "x" << h;
        frames.push_back(entry.path().string());
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

// The frames of `file` as `command` (taking FILE and DIR) writes them into a fresh folder.
std::vector<std::string> decodedFrames(const Stage& stage, const std::string& file,
                                       const std::string& command) {
    static int folders = 0;
    const std::string folder = stage.dir.file("decoded" + std::to_string(++folders));
    fs::create_directory(folder);
    std::string line = command;
    line.replace(line.find("FILE"), 4, "'" + stage.dir.file(file) + "'");
    line.replace(line.find("DIR"), 3, "'" + folder + "'");
    EXPECT_EQ(std::system(line.c_str()), 0) << line;
    return wholeFrames(folder, 0);
}

struct Likeness {
    double psnr = 0.0;
    std::array<double, 3> cast{}; // mean signed error of red, green and blue, in 1/255 steps
};

// Over every pixel of every frame shown against the frame written, frame for frame.
Likeness likeness(const std::vector<std::string>& shown, const std::vector<std::string>& written) {
    EXPECT_EQ(shown.size(), written.size());
    double squares = 0.0, count = 0.0;
    Likeness result;
    for (std::size_t i = 0; i < std::min(shown.size(), written.size()); ++i) {
        std::vector<unsigned char> a, b;
        unsigned w = 0, h = 0, w2 = 0, h2 = 0;
        lodepng::decode(a, w, h, shown[i], LCT_RGB);
        lodepng::decode(b, w2, h2, written[i], LCT_RGB);
        if (w != w2 || h != h2) {
            ADD_FAILURE() << shown[i] << " is " << w << "x" << h << ", not " << w2 << "x" << h2;
            return result;
        }
        for (std::size_t k = 0; k < a.size(); ++k) {
            const double error = double(a[k]) - b[k];
            squares += error * error;
            result.cast[k % 3] += error;
        }
        count += double(a.size());
    }
    result.psnr = 10.0 * std::log10(255.0 * 255.0 / std::max(squares / count, 1e-12));
    for (double& channel : result.cast) {
        channel /= count / 3.0;
    }
    return result;
}

void expectLike(const Likeness& l, double psnr, const std::string& who) {
    SCOPED_TRACE(who);
    EXPECT_GE(l.psnr, psnr);
    for (double channel : l.cast) {
        EXPECT_LE(std::abs(channel), 1.0) << "a cast of " << channel << "/255";
    }
}

} // namespace

// A GL context and scene in the test process, to drive the renderer with the tool's logged clock.
using CaptureEquivalence = render_test::SceneTest;

// The clock log follows the meter frame by frame, and the frames written match the renderer
// driven in-process with that clock: 120 fps puts frame ends between samples (367.5 apart), and
// frames 526..530 straddle the 4.4 s change of look while rendering still began at 0.
TEST_F(CaptureEquivalence, ClockLogFollowsTheMeterAndFramesMatchTheRendererInProcess) {
    // Left-channel plateaus of a second each: silence under a loud right channel the meter must
    // ignore, half scale (step 4), full scale (8); then a busy second.
    std::vector<std::int16_t> samples;
    square(samples, 1.0, 0, 32767);
    square(samples, 1.0, 16383, 0);
    square(samples, 1.0, 32767, 32767);
    busyLeft(samples, 2.0);
    const Stage stage(samples);
    const ProcessResult result = capture(stage, {"--png", "part", "--from", "4.38", "--to", "4.42",
                                                 "--fps", "120", "--clock-log", "c"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    const std::vector<std::int16_t> whole = decodeOrFail(stage.dir.file(musicFileName));
    ASSERT_FALSE(whole.empty());
    const auto log = clockLog(stage.dir.file("c"));
    ASSERT_EQ(log.size(), 531u);
    const std::vector<std::string> part = wholeFrames(stage.dir.file("part"));
    ASSERT_EQ(part.size(), 5u);
    double sum = 0.0;
    {
        const render_test::OwnTarget own(sceneWidth, sceneHeight);
        for (std::size_t i = 0; i < log.size(); ++i) {
            const auto& [frame, time, step, cumulative] = log[i];
            EXPECT_EQ(frame, i);
            EXPECT_EQ(float(time), float(frame / 120.0));
            EXPECT_EQ(step, levelStepEndingAt(whole.data(), whole.size() / 2,
                                              std::size_t(frame) * 44100 / 120))
                << "frame " << frame;
            EXPECT_EQ(cumulative, sum += step);
            renderFrame(float(time), float(step), own.target());
            EXPECT_EQ(sceneObjects.cumulativeLevel, float(cumulative)) << frame;
            if (frame >= 526) {
                std::vector<unsigned char> png, expected(640 * 480 * 3);
                unsigned width = 0, height = 0;
                EXPECT_EQ(part[int(frame) - 526],
                          stage.dir.file("part/" + pngFrameName(int(frame))));
                ASSERT_EQ(0u,
                          lodepng::decode(png, width, height, part[int(frame) - 526], LCT_RGB, 8));
                placeFrame(own.pixels().data(), layoutFor(640, 480), expected.data());
                EXPECT_TRUE(png == expected) << "frame " << frame << " differs";
            }
        }
    }
    EXPECT_EQ(log[60][2] * 100 + log[180][2] * 10 + log[300][2], 48.0); // 0, 4 and 8
}

// What players show of the default video against the PNG frames of the same capture: one
// matrix said in the stream, and detail that survives the codec. The master decodes to the PNG
// frames bit for bit and holds the decoded music of the same stretch. The last line counts the
// flashing seconds. (Other sizes only move the picture, which CaptureClock checks in-process.)
TEST(CaptureTool, PlayersShowTheVideoAsWrittenAndTheMasterIsExact) {
    const Stage stage;
    const std::vector<std::int16_t> music = decodeOrFail(stage.dir.file(musicFileName));
    ASSERT_FALSE(music.empty());
    const ProcessResult result = capture(stage, {"--png", "p", "--video", "v.mp4", "--master",
                                                 "m.mkv", "--from", "4.5", "--to", "5"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_NE(result.standardError.find("\nquartz-capture: flashing: "), std::string::npos);
    EXPECT_EQ(result.standardError.back(), '\n');
    const std::vector<std::string> written = wholeFrames(stage.dir.file("p"), 1280 * 960);
    ASSERT_EQ(written.size(), 30u);
    EXPECT_EQ(ffprobe(stage.dir.file("v.mp4"), "codec_name,profile,pix_fmt,color_range,color_space,"
                                               "color_transfer,color_primaries,chroma_location"),
              "h264,High,yuv420p,tv,smpte170m,bt709,bt709,center\naac,LC\n");
    // ffmpeg converts by the stream's tags.
    expectLike(
        likeness(decodedFrames(stage, "v.mp4", "ffmpeg -v error -i FILE DIR/%06d.png"), written),
        38.0, "ffmpeg");
    EXPECT_EQ(ffprobe(stage.dir.file("m.mkv"), "codec_name"), "ffv1\nflac\n");
    const std::vector<std::string> master =
        decodedFrames(stage, "m.mkv", "ffmpeg -v error -i FILE -pix_fmt rgb24 DIR/%06d.png");
    // Bit for bit: one byte off by one in all these frames would score under 135 dB.
    EXPECT_GE(likeness(master, written).psnr, 160.0) << "the master's frames differ";
    const std::string sound =
        shellOutput("ffmpeg -v error -i '" + stage.dir.file("m.mkv") + "' -map 0:a -f s16le -");
    const std::size_t first = 4 * 44100 + 44100 / 2; // the samples from 4.5 s on
    ASSERT_NEAR(double(sound.size()) / 4, 44100 / 2, 44100 * 0.05);
    EXPECT_EQ(0, std::memcmp(sound.data(), music.data() + first * 2,
                             std::min(sound.size(), (music.size() - first * 2) * 2)));
    if (findProgram("mpv").empty()) {
        GTEST_SKIP() << "mpv is not installed: what it shows was not checked";
    }
    // mpv interpolates the halved colour between neighbouring blocks, which costs the one-pixel
    // points about 5 dB; the colours stay true.
    expectLike(likeness(decodedFrames(stage, "v.mp4",
                                      "mpv --no-config --really-quiet --ao=null --vo=image "
                                      "--vo-image-format=png --hwdec=no --vo-image-outdir=DIR "
                                      "FILE >/dev/null"),
                        written),
               32.0, "mpv");
}

// Bad input the tool only meets as a process: one line naming the file and reason, exit 1.
TEST(CaptureTool, RefusesBadInputWithOneLineAndExitCodeOne) {
    const Stage stage;
    const TempDir empty;
    writeFile(stage.dir.file("plain-file"), "not a folder");
    // An ffmpeg that takes a little and then dies, as one does on a full disk.
    fs::create_directory(stage.dir.file("bin"));
    writeFile(stage.dir.file("bin/ffmpeg"), "#!/bin/sh\nhead -c 100000 >/dev/null\nexit 3\n");
    fs::permissions(stage.dir.file("bin/ffmpeg"), fs::perms::owner_all);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
    const struct {
        std::vector<std::string> args;
        std::string file;
        const char* reason;
        Environment environment;
    } cases[] = {
        {{"--from", "40", "--png", "p"}, "", "no frames to write", {}},
        {{"--assets", empty.path}, empty.file(musicFileName), "No such file", {}},
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
        const ProcessResult result =
            c.args[1] != "full"
                ? capture(stage, c.args, c.environment)
                : finishProgram(startProgram({"/bin/sh", "-c", "ulimit -f 2; exec \"$0\" \"$@\"",
                                              QM_CAPTURE_EXE, "--png", "full"},
                                             stage.dir.path),
                                120.0 * slowdown);
        expectOneLine(result, "quartz-capture", c.file, c.reason);
    }
    EXPECT_FALSE(fs::exists(stage.dir.file("full/frame_000000.png")));
    EXPECT_EQ(capture(stage, {"--help"}).exitCode, 0);
}

// Without a display the tool runs its own Xvfb (scripts/run makes a whole video so). A signal
// mid-capture (SIGHUP here: one handler serves SIGINT, SIGTERM and SIGHUP) ends it with 128 + the
// signal and one line of what was done: every PNG whole, the video playable and cut to the frames
// done, and no Xvfb or ffmpeg left behind (orphans would be re-parented to this process).
TEST(CaptureTool, WithoutADisplayASignalKeepsWhatWasWrittenAndLeavesNothingRunning) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const Stage stage;
    const std::string frames = stage.dir.file("frames");
    const ProcessRun run =
        startCapture(stage, {"--png", frames, "--video", frames + ".mp4", "--fps", "2"},
                     {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
    ASSERT_TRUE(waitUntil(60.0 * slowdown, [&] {
        return fs::is_directory(frames) && std::distance(fs::directory_iterator(frames), {}) >= 3;
    }));
    ::kill(run.pid, SIGHUP);
    const ProcessResult result = finishProgram(run, 120.0 * slowdown);
    EXPECT_EQ(result.exitCode, 128 + SIGHUP);
    EXPECT_NE(result.standardError.find("stopped by SIGHUP"), std::string::npos)
        << result.standardError;
    const double written = double(wholeFrames(frames, 1280 * 960).size());
    EXPECT_EQ(ffprobe(frames + ".mp4", "codec_name,width,height,pix_fmt"),
              "h264,1280,960,yuv420p\naac\n");
    EXPECT_GE(written, 3.0);
    EXPECT_LT(written, 69.0);
    EXPECT_NEAR(probe(frames + ".mp4", "v", "nb_read_frames"), written, 1.0);
    EXPECT_NEAR(probe(frames + ".mp4", "a", "duration"), written / 2.0, 0.1);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a process was left behind";
}

#endif // QM_CAPTURE_EXE
