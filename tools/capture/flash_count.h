// Counts the flashes a viewer sees in the rendered frames, by the general-flash and red-flash
// definitions of WCAG 2.3.1: a flash is a pair of opposing changes, either of at least 0.10 in
// relative luminance with the darker state below 0.80, or of more than 20 in the red measure
// (R - G - B) x 320 of a saturated red. Pure: frames in, seconds out, no GL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

// A 10-degree field at the usual viewing distance covers a quarter of the screen's width and
// height (341x256 of 1024x768), whatever the output size: 160x120 of the 640x480 picture. A flash
// counts once it fills a quarter of such a field. The picture is cut into blocks a sixteenth of
// its width and height, each following its own mean; a field is any 4x4 of them (overlapping
// its neighbours), and it sees a change when 4 of its blocks change the same way in one frame.
constexpr int flashGridSide = 16;
constexpr int flashFieldBlocks = 4;
constexpr int flashBlocksThatCount = 4;
constexpr double flashLimitPerSecond = 3.0;

struct FlashSecond {
    double general = 0.0; // flashes in that second of music, in the field that had the most
    double red = 0.0;
};

// Per block and measure: the direction of the last change (+1, -1; 0 before the first), the
// extreme reached since (both ends before the first), and this frame's change.
struct FlashTrack {
    int direction = 0;
    double low = 1e300, high = -1e300;
    int changed = 0;
};

struct FlashCounter {
    int fps = 60;
    bool started = false;
    std::uint64_t second = 0;                    // of the frames being counted
    std::vector<FlashTrack> general, red;        // by block
    std::vector<int> generalChanges, redChanges; // by field, this second
    std::vector<FlashSecond> seconds;            // from the first counted frame's second
    std::vector<double> blockLuminance, blockRed;
    std::vector<int> columnBlock; // of each pixel column
};

void startFlashCount(FlashCounter& counter, int fps);

// One frame of `width` x `height` RGBA pixels at music frame `frame` (rows in either order);
// frames come in order, one after the other.
void countFlashes(FlashCounter& counter, std::uint64_t frame, const unsigned char* rgba, int width,
                  int height);

// Closes the last second and gives every second the frames touched, the first and last however
// little of them was counted.
const std::vector<FlashSecond>& finishFlashCount(FlashCounter& counter);

// "flashing: 30 of 35 s exceed 3 flashes a second; show a warning before it"
std::string flashSummary(const std::vector<FlashSecond>& seconds);

} // namespace qm
