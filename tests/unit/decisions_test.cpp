// The pure decisions, in-process: the frame plan and letterbox, the level meter, the capture
// tool's command line, clock and output layout; the display-mode guard's restore; and the music
// the build made.
#include "ffmpeg_commands.h"

#include "app/mode_guard.h"
#include "audio/level.h"
#include "render/frame_plan.h"
#include "render/gl_context.h"
#include "test_support.h"

#include <algorithm>
#include <cmath>

using namespace qm;

using namespace testing_support;

TEST(FramePlan, TimelineAndLevelDecideEachFrame) {
    const struct {
        float time, step;
        int points;
        bool smooth, setSize;
        float size;
        bool pictureB;
    } cases[] = {
        // Early: ten smooth points of sin(t) * 3 + 10 pixels.
        {2.0f, 5.0f, 10, true, true, 12.727892f, false},
        {std::nextafter(4.4f, 0.0f), 3.0f, 10, true, true, 7.145194f, false},
        // From 4.4 itself: a thousand points of step * 8; a step of 0 sets no size, keeping the
        // one in effect. Picture B only after 17.4. (The clear colour never shows: the composite
        // covers every pixel.)
        {4.4f, 3.0f, 1000, false, true, 24.0f, false},
        {10.0f, 0.0f, 1000, false, false, 0.0f, false},
        {17.4f, 1.0f, 1000, false, true, 8.0f, false},
        {std::nextafter(17.4f, 99.0f), 1.0f, 1000, false, true, 8.0f, true},
    };
    for (const auto& c : cases) {
        const FramePlan p = planFrame(c.time, c.step);
        EXPECT_EQ(std::make_tuple(c.points, c.smooth, c.setSize, c.pictureB),
                  std::make_tuple(p.pointCount, p.pointSmooth, p.setPointSize, p.pictureB))
            << c.time;
        EXPECT_NEAR(c.size, p.setPointSize ? p.pointSize : 0.0f, 1e-4) << c.time;
    }
    const std::array<int, 6> letterbox[] = {
        {640, 480, 0, 0, 640, 480},     {1280, 720, 160, 0, 960, 720},
        {1280, 1024, 0, 32, 1280, 960}, {1281, 720, 160, 0, 960, 720},
        {0, 480, 0, 0, 0, 0},           {3, 1, 1, 0, 1, 1}};
    for (const auto& c : letterbox) {
        const ViewportRect r = letterboxRect(c[0], c[1]);
        EXPECT_EQ((std::array<int, 4>{c[2], c[3], c[4], c[5]}),
                  (std::array<int, 4>{r.x, r.y, r.width, r.height}))
            << c[0] << "x" << c[1];
    }
}

TEST(LevelMeter, LeftPeakOverTwentyMillisecondsDividedBy4095) {
    // Full scale either way is step 8; 4094 is still silence; the right channel never counts.
    const std::vector<std::int16_t> frames = {0, 32767, -32768, 0, 8190, -32768, 4094, 32767};
    EXPECT_EQ(levelStepEndingAt(frames.data(), 4, 1), 0u);
    EXPECT_EQ(levelStepEndingAt(frames.data(), 4, 2), 8u);
    EXPECT_EQ(levelStepFromPeak(32768) * 100 + levelStepFromPeak(8190) * 10 +
                  levelStepFromPeak(4095),
              821u);
    EXPECT_EQ(levelStepFromPeak(4094), 0u);
    // The window is the 882 frames (20 ms at 44100 Hz) that end at the given frame.
    std::vector<std::int16_t> longer(2000 * 2, 0);
    longer[2 * 100] = 20000;
    const std::pair<std::size_t, unsigned> window[] = {{100, 0}, {101, 4}, {982, 4}, {983, 0}};
    for (const auto& [end, step] : window) {
        EXPECT_EQ(levelStepEndingAt(longer.data(), 2000, end), step) << end;
    }
}

TEST(CaptureClock, OptionsFrameTimesAndCounts) {
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"--frobnicate"}, "unknown option \"--frobnicate\""},
        {{"--fps", "241"}, "--fps must be a whole number from 1 to 240"},
        {{"--fps"}, "--fps needs a value"},
        {{"--size", "1281x720"}, "odd side"},
        {{"--size", "320x240"}, "smaller than the 640x480"},
        {{"--to", "inf"}, "--to must be seconds"},
        {{"--from", "3", "--to", "2"}, "is not before --to"},
    };
    for (const auto& [args, reason] : refused) {
        CaptureOptions options;
        std::string failure;
        EXPECT_FALSE(parseCaptureOptions(args, options, failure)) << args[0];
        EXPECT_NE(failure.find(reason), std::string::npos) << failure;
        EXPECT_EQ(failure.find('\n'), std::string::npos) << failure;
    }
    EXPECT_EQ(frameCountFor(44100, 60), 60u);     // 1 s: frames 0..59, the last at 59/60 s
    EXPECT_EQ(frameCountFor(44101, 60), 61u);     // a sample more: frame 60 at 1.0 s is inside
    EXPECT_EQ(frameCountFor(1524096, 30), 1037u); // ceil(34.56 * 30)
    EXPECT_EQ(frameSampleEnd(1, 120), 367u);      // 367.5 floors
    EXPECT_EQ(frameSampleEnd(7, 7), 44100u);
    // 0.1 * 30 is 3.0000000000000004 in doubles, yet frame 3 is at 0.1 s.
    EXPECT_EQ(firstFrameAtOrAfter(0.1, 30), 3u);
}

TEST(CaptureClock, OutputEnlargesByWholeFactorsCentredAndFlipsRows) {
    const OutputLayout hd = layoutFor(1920, 1080);
    EXPECT_EQ((std::array<int, 3>{hd.factor, hd.left, hd.top}), (std::array<int, 3>{2, 320, 60}));
    // Bottom-up RGBA whose every pixel holds its own GL row (red, green) and column (blue).
    std::vector<unsigned char> gl(640 * 480 * 4);
    for (std::size_t i = 0; i < 640 * 480; ++i) {
        gl[i * 4] = static_cast<unsigned char>(i / 640);
        gl[i * 4 + 1] = static_cast<unsigned char>(i / 640 >> 8);
        gl[i * 4 + 2] = static_cast<unsigned char>(i % 640);
    }
    const OutputLayout odd = layoutFor(1926, 1444); // factor 3, margins of 3 and 2 pixels
    ASSERT_EQ(odd.factor, 3);
    std::vector<unsigned char> out(std::size_t(odd.width) * odd.height * 3, 0);
    placeFrame(gl.data(), odd, out.data());
    // (x, y) of the output, then the GL row and column it must show; -1: black bars.
    const std::array<int, 4> probes[] = {{3, 2, 479, 0},       {5, 4, 479, 0}, {6, 5, 478, 1},
                                         {1922, 1441, 0, 639}, {2, 2, -1, -1}, {1925, 1443, -1, -1},
                                         {1000, 1, -1, -1}};
    for (const auto& [x, y, row, column] : probes) {
        const unsigned char* p = &out[(std::size_t(y) * odd.width + x) * 3];
        EXPECT_EQ((std::array<int, 3>{p[0], p[1], p[2]}),
                  (row < 0 ? std::array<int, 3>{0, 0, 0}
                           : std::array<int, 3>{row & 255, row >> 8, column & 255}))
            << x << ", " << y;
    }
}

// The video's frames: the BT.601 matrix in limited range, rounded to nearest, colour per 2x2 the
// mean of its pixels, black bars; and the same layout as the RGB frames.
TEST(CaptureClock, VideoFramesAreBt601LimitedRange) {
    // The top-left GL pixel (its last row) white, the next two red and blue, the rest black.
    std::vector<unsigned char> gl(640 * 480 * 4, 0);
    unsigned char* top = &gl[479 * 640 * 4];
    std::fill(top, top + 4, 255);
    top[4] = 255;
    top[10] = 255;
    const struct {
        int width, height;
        std::array<int, 4> lumaProbe, chromaProbe; // x, y, Y; then x, y, Cb and Cr at half size
        std::array<int, 2> cbcr;
    } cases[] = {
        // Factor 2: pixel 1 (red) fills the chroma sample at (1, 0); 81 is 16 + 219 x 0.299.
        {1280, 960, {2, 1, 81}, {1, 0}, {90, 240}},
        {1280, 960, {0, 0, 235}, {2, 0}, {240, 110}}, // white's luma, then blue's chroma
        {1280, 960, {6, 0, 16}, {3, 0}, {128, 128}},  // black
        // 1920x1080: factor 2 from (320, 60), black bars around.
        {1920, 1080, {322, 61, 81}, {159, 30}, {128, 128}},
        // 640x480: the sample over white, red and two black pixels is their mean.
        {640, 480, {1, 0, 81}, {0, 0}, {119, 156}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        std::vector<unsigned char> yuv;
        placeFrameYuv420(gl.data(), layoutFor(c.width, c.height), yuv);
        ASSERT_EQ(yuv.size(), std::size_t(c.width) * c.height * 3 / 2);
        const auto [x, y, luma, unused] = c.lumaProbe;
        EXPECT_EQ(yuv[std::size_t(y) * c.width + x], luma) << x << ", " << y;
        const std::size_t chroma = std::size_t(c.width) * c.height / 4;
        const std::size_t at = std::size_t(c.width) * c.height +
                               std::size_t(c.chromaProbe[1]) * (c.width / 2) + c.chromaProbe[0];
        EXPECT_EQ((std::array<int, 2>{yuv[at], yuv[at + chroma]}), c.cbcr);
    }
    // The video's tags say so of the raw input: ffmpeg 7.1 drops primaries, transfer and siting
    // given to the output.
    const std::vector<std::string> args = ffmpegArguments({}, layoutFor(640, 480), "m", {0, 1});
    const auto at = [&args](const char* word) { return std::find(args.begin(), args.end(), word); };
    for (const char* tag : {"-color_primaries", "-color_trc", "-colorspace", "-color_range",
                            "-chroma_sample_location"}) {
        EXPECT_LT(at(tag), at("pipe:0")) << tag;
    }
}

// Putting the saved RandR configuration back touches only what differs, and a CRTC lit beyond
// the screen it is to be shrunk back to goes dark before the resize RandR would refuse. (The
// plain mode switch undone: RealDisplay.)
TEST(ModeGuard, RestoreTouchesOnlyWhatDiffersAndFitsTheScreenFirst) {
    const CrtcSetting desktop{63, 100, 0, 0, 1280, 720, 1, {65}};
    const ScreenSetting saved{1280, 720, 338, 190, {desktop, {64, 0, 0, 0, 0, 0, 1, {}}}};
    const RestorePlan untouched = planRestore(saved, saved);
    EXPECT_TRUE(untouched.switchOff.empty() && !untouched.resize && untouched.set.empty());
    const CrtcSetting beside{64, 102, 1280, 0, 1920, 1080, 1, {66}};
    const RestorePlan plan = planRestore(saved, {3200, 1080, 846, 285, {desktop, beside}});
    EXPECT_EQ(plan.switchOff, std::vector<unsigned long>{64});
    EXPECT_TRUE(plan.resize);
    ASSERT_EQ(plan.set.size(), 1u);
    EXPECT_EQ(std::make_pair(plan.set[0].id, plan.set[0].mode), std::make_pair(64ul, 0ul));
}

// Wayland only where a session names its display; everywhere else X11, whose own words a viewer
// without any display then reads, and whose probe prints nothing of libwayland's.
TEST(WindowPlatform, WaylandOnlyWhereTheSessionNamesIt) {
    EXPECT_EQ(chooseWindowPlatform("wayland-1", nullptr), WindowPlatform::wayland);
    // A Wayland desktop's user asking for Xwayland.
    EXPECT_EQ(chooseWindowPlatform("wayland-0", "x11"), WindowPlatform::x11);
    EXPECT_EQ(chooseWindowPlatform("", "wayland"), WindowPlatform::x11);
    EXPECT_EQ(chooseWindowPlatform(nullptr, nullptr), WindowPlatform::x11);
}

// The build's track shows every look: its left channel reaches full scale, the groove never
// drops out, the break is chopped by silences, and each change of look starts with a full-scale
// hit after a quieter moment.
TEST(BuiltAssets, MusicSpansTheMeterAndChangesWhereThePictureDoes) {
    const std::vector<std::int16_t> frames = decodeOrFail(builtAsset(musicFileName));
    ASSERT_FALSE(frames.empty());
    const std::size_t total = frames.size() / 2;
    EXPECT_NEAR(total / 44100.0, 35.0, 5.0);
    std::vector<unsigned> steps; // the meter over each 20 ms from the start
    for (std::size_t end = 882; end <= total; end += 882) {
        steps.push_back(levelStepEndingAt(frames.data(), total, end));
    }
    // The loudest step from `from` to `to` seconds, and the share of silent 20 ms there.
    const auto over = [&steps](double from, double to) {
        const auto first = steps.begin() + std::lround(from * 50);
        const auto last = steps.begin() + std::lround(to * 50);
        return std::pair{*std::max_element(first, last),
                         double(std::count(first, last, 0u)) / double(last - first)};
    };
    for (double change : {4.4, 13.0, 17.4}) {
        EXPECT_LT(over(change - 0.2, change).first, 6u) << change;
        EXPECT_EQ(over(change, change + 0.1).first, 8u) << change;
    }
    EXPECT_LE(over(0.0, 4.4).first, 5u) << "the intro should stay below the groove";
    EXPECT_EQ(over(4.4, 13.0).second, 0.0) << "the groove never drops out";
    EXPECT_GT(over(13.0, 17.4).second, 0.2) << "the break is chopped by silences";
}
