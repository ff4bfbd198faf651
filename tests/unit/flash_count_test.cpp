// The flash counter on made frames: what a still picture, a strobe, a slow change, a red strobe
// of unchanged luminance and a strobe too small to matter count to.
#include "flash_count.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

using namespace qm;

namespace {

// Blocks of 20x15, fields of 80x60.
constexpr int width = 320, height = 240, fps = 60;

using Colour = std::array<unsigned char, 3>;

// Seconds counted over `seconds` of frames, `colourAt(frame, x, y)` giving each pixel.
std::vector<FlashSecond> count(double seconds,
                               const std::function<Colour(int frame, int x, int y)>& colourAt) {
    FlashCounter counter;
    startFlashCount(counter, fps);
    std::vector<unsigned char> rgba(width * height * 4);
    for (int frame = 0; frame < seconds * fps; ++frame) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const Colour c = colourAt(frame, x, y);
                std::copy(c.begin(), c.end(), &rgba[(y * width + x) * 4]);
            }
        }
        countFlashes(counter, frame, rgba.data(), width, height);
    }
    return finishFlashCount(counter);
}

// Alternates two colours every `frames` frames, over the whole picture.
std::function<Colour(int, int, int)> strobe(int frames, Colour a, Colour b) {
    return [=](int frame, int, int) { return (frame / frames) % 2 == 0 ? a : b; };
}

// A black and white 10 Hz strobe in the rectangle at x, y of w x h pixels, black around it.
std::function<Colour(int, int, int)> strobeIn(int left, int top, int w, int h) {
    return [=](int frame, int x, int y) {
        const bool inside = x >= left && x < left + w && y >= top && y < top + h;
        const unsigned char level = inside && frame / 3 % 2 == 1 ? 255 : 0;
        return Colour{level, level, level};
    };
}

constexpr Colour black{0, 0, 0}, white{255, 255, 255}, red{255, 0, 0};
// Mid grey of the same relative luminance as full red (0.2126).
constexpr Colour redGrey{127, 127, 127};

} // namespace

TEST(FlashCount, CountsGeneralAndRedFlashesASecond) {
    const struct {
        const char* what;
        std::function<Colour(int, int, int)> colourAt;
        double general, red;
    } cases[] = {
        {"still", strobe(1000, white, black), 0, 0},
        {"10 Hz black and white", strobe(3, black, white), 10, 0},
        // Both bright: no darker state below 0.80, so no general flash.
        {"10 Hz white and light grey", strobe(3, white, {235, 235, 235}), 0, 0},
        {"10 Hz red and grey of its luminance", strobe(3, red, redGrey), 0, 10},
        {"10 Hz red and black", strobe(3, red, black), 10, 10},
        // A quarter of a field flashing counts, even across the blocks' grid; one block, a
        // sixteenth of a field, does not.
        {"10 Hz in one block", strobeIn(0, 0, 20, 15), 0, 0},
        {"10 Hz in a quarter field off the grid", strobeIn(110, 68, 40, 30), 10, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<FlashSecond> seconds = count(2.5, c.colourAt);
        ASSERT_EQ(seconds.size(), 3u);
        // The first second lacks the change into its first state, the last is half a second.
        EXPECT_EQ(seconds[1].general, c.general);
        EXPECT_EQ(seconds[1].red, c.red);
    }
}

// Three flashes a second are allowed; a second over it asks for a warning.
TEST(FlashCount, SaysHowManySecondsExceedTheLimit) {
    std::vector<FlashSecond> seconds(35, {3.0, 3.0});
    seconds[4].red = 3.5;
    EXPECT_EQ(flashSummary(seconds),
              "flashing: 1 of 35 s exceeds 3 flashes a second; show a warning before it");
}
