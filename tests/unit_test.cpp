// The pure decisions, in-process: the frame plan and letterbox, the level meter, the capture
// tool's command line, clock, meter window and output layout, and picture padding.
#include "capture_core.h"

#include "audio/decoder.h"
#include "audio/level.h"
#include "render/frame_plan.h"
#include "render/picture.h"
#include "test_support.h"

#include <lodepng.h>

#include <cmath>

using namespace testing_support;

TEST(FramePlan, TimelineAndLevelDecideEachFrame) {
    const float justBefore = std::nextafter(4.4f, 0.0f), justAfter = std::nextafter(17.4f, 99.0f);
    const struct {
        float time, step;
        int points;
        bool smooth, setSize;
        float size, clear, alpha;
        bool pictureB;
    } cases[] = {
        // Early: ten smooth points of sin(t) * 3 + 10 pixels on white.
        {2.0f, 5.0f, 10, true, true, 12.727892f, 1.0f, 1.0f, false},
        {justBefore, 3.0f, 10, true, true, 7.145194f, 1.0f, 1.0f, false},
        // From 4.4 itself: a thousand points of step * 8 on 1 - step grey at half alpha; a step
        // of 0 (white) sets no size, keeping the one in effect.
        {4.4f, 3.0f, 1000, false, true, 24.0f, -2.0f, 0.5f, false},
        {10.0f, 0.0f, 1000, false, false, 0.0f, 1.0f, 0.5f, false},
        {17.4f, 1.0f, 1000, false, true, 8.0f, 0.0f, 0.5f, false},
        {justAfter, 1.0f, 1000, false, true, 8.0f, 0.0f, 0.5f, true},
        {20.0f, 0.0f, 1000, false, false, 0.0f, 1.0f, 0.5f, true},
    };
    for (const auto& c : cases) {
        const FramePlan plan = planFrame(c.time, c.step);
        SCOPED_TRACE(testing::Message() << "time " << c.time << ", step " << c.step);
        EXPECT_EQ(c.points, plan.pointCount);
        EXPECT_EQ(c.smooth, plan.pointSmooth);
        EXPECT_EQ(c.setSize, plan.setPointSize);
        EXPECT_NEAR(c.size, plan.setPointSize ? plan.pointSize : 0.0f, 1e-4);
        EXPECT_EQ((std::array<float, 4>{c.clear, c.clear, c.clear, c.alpha}),
                  (std::array<float, 4>{plan.clearColor[0], plan.clearColor[1], plan.clearColor[2],
                                        plan.clearColor[3]}));
        EXPECT_EQ(c.pictureB, plan.pictureB);
    }
}

TEST(FramePlan, LetterboxIsTheLargestCentredFourByThreeRectangle) {
    const struct {
        int width, height, x, y, w, h;
    } cases[] = {
        {640, 480, 0, 0, 640, 480},     {1280, 720, 160, 0, 960, 720},
        {1280, 1024, 0, 32, 1280, 960}, {1281, 720, 160, 0, 960, 720},
        {0, 480, 0, 0, 0, 0},           {3, 1, 1, 0, 1, 1},
    };
    for (const auto& c : cases) {
        const ViewportRect r = letterboxRect(c.width, c.height);
        EXPECT_EQ((std::array<int, 4>{c.x, c.y, c.w, c.h}),
                  (std::array<int, 4>{r.x, r.y, r.width, r.height}))
            << c.width << "x" << c.height;
    }
}

TEST(LevelMeter, LeftPeakOverTwentyMillisecondsDividedBy4095) {
    // Full scale either way is step 8; 4094 is still silence; the right channel never counts.
    const std::vector<std::int16_t> frames = {0, 32767, -32768, 0, 4095, -32768, 4094, 32767};
    EXPECT_EQ(peakLeft(frames.data(), 4), 32768u);
    EXPECT_EQ(levelStepEndingAt(frames.data(), 4, 1), 0u);
    EXPECT_EQ(levelStepEndingAt(frames.data(), 4, 2), 8u);
    EXPECT_EQ(levelStepFromPeak(4095), 1u);
    EXPECT_EQ(levelStepFromPeak(4094), 0u);
    EXPECT_EQ(levelStepFromPeak(8190), 2u);
    // The window is 882 frames (20 ms at 44100 Hz) that end at the given frame.
    std::vector<std::int16_t> long_(2000 * 2, 0);
    long_[2 * 100] = 20000;
    EXPECT_EQ(levelStepEndingAt(long_.data(), 2000, 101), 4u);
    EXPECT_EQ(levelStepEndingAt(long_.data(), 2000, 982), 4u);
    EXPECT_EQ(levelStepEndingAt(long_.data(), 2000, 983), 0u);
    EXPECT_EQ(levelStepEndingAt(long_.data(), 2000, 100), 0u);
}

TEST(CaptureOptions, BadValuesAreRefusedWithOneReason) {
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{"--frobnicate"}, "unknown option \"--frobnicate\""},
        {{"extra"}, "unexpected argument \"extra\""},
        {{"--fps", "0"}, "--fps must be a whole number from 1 to 240"},
        {{"--fps", "241"}, "--fps must be"},
        {{"--fps=+5"}, "--fps must be"},
        {{"--fps"}, "--fps needs a value"},
        {{"--size", "1281x720"}, "odd side"},
        {{"--size", "320x240"}, "smaller than the 640x480"},
        {{"--size", "8194x480", "--png", "p"}, "--size must be"},
        {{"--from", "-1"}, "--from must be seconds"},
        {{"--to", "inf"}, "--to must be seconds"},
        {{"--from", "3", "--to", "2"}, "is not before --to"},
    };
    for (const auto& c : cases) {
        CaptureOptions options;
        std::string failure;
        EXPECT_FALSE(parseCaptureOptions(c.args, options, failure)) << c.args[0];
        EXPECT_NE(failure.find(c.reason), std::string::npos) << failure;
        EXPECT_EQ(failure.find('\n'), std::string::npos) << failure;
    }
    CaptureOptions options;
    std::string failure;
    ASSERT_TRUE(parseCaptureOptions({"--fps=30", "--size", "1281x721", "--png", "p", "--from", ".5",
                                     "--to", "12", "--assets", "a b"},
                                    options, failure))
        << failure;
    EXPECT_EQ(options.fps, 30);
    EXPECT_EQ(options.width * 10000 + options.height, 1281 * 10000 + 721);
    EXPECT_EQ(options.fromSeconds, 0.5);
    EXPECT_EQ(options.toSeconds, 12.0);
    EXPECT_EQ(options.assetDir, "a b");
}

TEST(CaptureClock, CountsFramesBelowTheLengthAndFloorsTheSampleIndex) {
    EXPECT_EQ(frameCountFor(44100, 60), 60u);     // 1 s: frames 0..59, the last at 59/60 s
    EXPECT_EQ(frameCountFor(44101, 60), 61u);     // a sample more: frame 60 at 1.0 s is inside
    EXPECT_EQ(frameCountFor(1524096, 30), 1037u); // ceil(34.56 * 30)
    EXPECT_EQ(frameSampleEnd(1, 120), 367u);      // 367.5 floors
    EXPECT_EQ(frameSampleEnd(7, 7), 44100u);
    EXPECT_EQ(frameTime(3, 30), 0.1f);
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
    const std::vector<std::int16_t> samples = busyLeft(4.0);
    const TempDir dir;
    const std::string path = makeMp3(dir, "busy.mp3", samples);
    std::vector<std::int16_t> whole;
    std::string failure;
    ASSERT_TRUE(decodeWholeMp3(path.c_str(), whole, failure)) << failure;
    const std::size_t total = whole.size() / 2;
    // 240 fps overlaps consecutive windows; 1 fps skips far past the buffer.
    for (int fps : {240, 23, 1}) {
        MeterWindow meter;
        ASSERT_TRUE(openMeter(meter, path, failure)) << failure;
        for (std::uint64_t frame = 0; frame < frameCountFor(total, fps); ++frame) {
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
    EXPECT_EQ((std::array<int, 3>{hd.factor, hd.left, hd.top}), (std::array<int, 3>{2, 320, 60}));
    // Bottom-up RGBA whose every pixel encodes its own GL row and column.
    std::vector<unsigned char> gl(std::size_t(640) * 480 * 4);
    for (std::size_t i = 0; i < 640 * 480; ++i) {
        gl[i * 4] = static_cast<unsigned char>(i / 640);
        gl[i * 4 + 1] = static_cast<unsigned char>(i / 640 >> 8);
        gl[i * 4 + 2] = static_cast<unsigned char>(i % 640);
    }
    const OutputLayout odd = layoutFor(1926, 1444); // factor 3 with a 3-pixel and 2-pixel margin
    ASSERT_EQ(odd.factor, 3);
    std::vector<unsigned char> out(std::size_t(odd.width) * odd.height * 3, 0);
    placeFrame(gl.data(), odd, out.data());
    const auto at = [&](int x, int y) {
        const unsigned char* p = &out[(std::size_t(y) * odd.width + x) * 3];
        return std::array<int, 2>{p[0] + 256 * p[1], p[2]};
    };
    EXPECT_EQ(at(3, 2), (std::array<int, 2>{479, 0})); // top-left is the top GL row
    EXPECT_EQ(at(5, 4), (std::array<int, 2>{479, 0})); // a 3x3 block
    EXPECT_EQ(at(6, 5), (std::array<int, 2>{478, 1}));
    EXPECT_EQ(at(1922, 1441), (std::array<int, 2>{0, 639 & 255})); // bottom-right
    for (const auto& [x, y] : {std::pair{2, 2}, {1925, 1443}, {1000, 1}}) {
        EXPECT_EQ(at(x, y), (std::array<int, 2>{0, 0})) << "bars stay black";
    }
}

TEST(PicturePadding, PadsToPowerOfTwoWithTransparentBlackAndRefusesOversizedHeaders) {
    Picture picture{5, 3, {}};
    for (int i = 0; i < 5 * 3 * 4; ++i) {
        picture.pixels.push_back(static_cast<std::uint8_t>(i + 1));
    }
    const Picture padded = padToPowerOfTwo(picture);
    ASSERT_EQ(8u, padded.width);
    ASSERT_EQ(4u, padded.height);
    for (unsigned row = 0; row < 4; ++row) {
        for (unsigned byte = 0; byte < 32; ++byte) {
            const int expected = row < 3 && byte < 20 ? int(row * 20 + byte + 1) : 0;
            EXPECT_EQ(expected, padded.pixels[row * 32 + byte]) << row << ", " << byte;
        }
    }
    const Picture single{1, 1, {1, 2, 3, 4}};
    EXPECT_EQ(single.pixels, padToPowerOfTwo(single).pixels);
    // 65 pads to 128: past a largest side of 64, which a 64x64 picture still fits.
    const TempDir dir;
    for (const auto& [width, fits] : {std::pair{65u, false}, {64u, true}}) {
        ASSERT_EQ(0u, lodepng::encode(dir.file("p.png"), std::vector<unsigned char>(width * 64 * 4),
                                      width, 64));
        std::string failure;
        EXPECT_EQ(fits, readPicture(dir.file("p.png"), 64, picture, failure)) << failure;
        EXPECT_TRUE(fits || failure.find("65x64") != std::string::npos) << failure;
    }
}
