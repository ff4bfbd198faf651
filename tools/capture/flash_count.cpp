// The flash counter: block means of relative luminance and of the red measure, a hysteresis
// track per block and measure, and the changes of each field counted from its blocks'.
#include "flash_count.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace qm {

namespace {

constexpr double luminanceStep = 0.10;
constexpr double darkerBelow = 0.80;
// More than 20, where the luminance step is 0.10 or more.
const double redStep = std::nextafter(20.0, 21.0);
constexpr int blocks = flashGridSide * flashGridSide;
constexpr int fieldsPerSide = flashGridSide - flashFieldBlocks + 1;

// sRGB to linear light, as relative luminance defines it.
const std::array<double, 256>& linearTable() {
    static const std::array<double, 256> table = [] {
        std::array<double, 256> values{};
        for (int i = 0; i < 256; ++i) {
            const double c = i / 255.0;
            values[i] = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        }
        return values;
    }();
    return table;
}

// Counts a change once the value has moved `step` from the extreme of the other direction;
// `darkerLimit` bounds the darker of the two states (luminance only).
void follow(FlashTrack& track, double value, double step, double darkerLimit) {
    track.changed = 0;
    if (track.direction == 0) {
        track.low = std::min(track.low, value);
        track.high = std::max(track.high, value);
        if (value - track.low >= step && track.low < darkerLimit) {
            track = {+1, value, value, +1};
        } else if (track.high - value >= step && value < darkerLimit) {
            track = {-1, value, value, -1};
        }
        return;
    }
    if (track.direction > 0) {
        track.high = std::max(track.high, value);
        if (track.high - value >= step && value < darkerLimit) {
            track = {-1, value, value, -1};
        }
    } else {
        track.low = std::min(track.low, value);
        if (value - track.low >= step && track.low < darkerLimit) {
            track = {+1, value, value, +1};
        }
    }
}

// Adds a change to every field where enough of its blocks changed the same way this frame.
void countFieldChanges(const std::vector<FlashTrack>& tracks, std::vector<int>& changes) {
    for (int top = 0; top < fieldsPerSide; ++top) {
        for (int left = 0; left < fieldsPerSide; ++left) {
            int up = 0, down = 0;
            for (int dy = 0; dy < flashFieldBlocks; ++dy) {
                for (int dx = 0; dx < flashFieldBlocks; ++dx) {
                    const int changed = tracks[(top + dy) * flashGridSide + left + dx].changed;
                    up += changed > 0;
                    down += changed < 0;
                }
            }
            if (up >= flashBlocksThatCount || down >= flashBlocksThatCount) {
                ++changes[top * fieldsPerSide + left];
            }
        }
    }
}

// Two opposing changes make a flash.
double mostFlashes(std::vector<int>& changes) {
    const int most = *std::max_element(changes.begin(), changes.end());
    std::fill(changes.begin(), changes.end(), 0);
    return most / 2.0;
}

void closeSecond(FlashCounter& counter) {
    counter.seconds.push_back(
        {mostFlashes(counter.generalChanges), mostFlashes(counter.redChanges)});
}

} // namespace

void startFlashCount(FlashCounter& counter, int fps) {
    counter = {};
    counter.fps = fps;
    counter.general.assign(blocks, {});
    counter.red.assign(blocks, {});
    counter.generalChanges.assign(fieldsPerSide * fieldsPerSide, 0);
    counter.redChanges.assign(fieldsPerSide * fieldsPerSide, 0);
}

void countFlashes(FlashCounter& counter, std::uint64_t frame, const unsigned char* rgba, int width,
                  int height) {
    const std::uint64_t second = frame / std::uint64_t(counter.fps);
    if (!counter.started) {
        counter.started = true;
        counter.second = second;
    }
    for (; counter.second < second; ++counter.second) {
        closeSecond(counter);
    }

    // Block sums over every other pixel of every other row: a flash that matters covers
    // thousands of them, and the count costs about a third of a millisecond a 640x480 frame.
    const std::array<double, 256>& linear = linearTable();
    counter.blockLuminance.assign(blocks, 0.0);
    counter.blockRed.assign(blocks, 0.0);
    std::array<int, blocks> samples{};
    if (counter.columnBlock.size() != std::size_t(width)) {
        counter.columnBlock.resize(width);
        for (int x = 0; x < width; ++x) {
            counter.columnBlock[x] = x * flashGridSide / width;
        }
    }
    for (int y = 0; y < height; y += 2) {
        const int blockRow = y * flashGridSide / height;
        const unsigned char* pixel = rgba + std::size_t(y) * width * 4;
        for (int x = 0; x < width; x += 2, pixel += 8) {
            const int block = blockRow * flashGridSide + counter.columnBlock[x];
            ++samples[block];
            const double r = linear[pixel[0]], g = linear[pixel[1]], b = linear[pixel[2]];
            counter.blockLuminance[block] += 0.2126 * r + 0.7152 * g + 0.0722 * b;
            // Saturated red: R / (R + G + B) >= 0.8.
            if (r > 0.0 && r >= 4.0 * (g + b)) {
                counter.blockRed[block] += (r - g - b) * 320.0;
            }
        }
    }
    for (int block = 0; block < blocks; ++block) {
        const double count = std::max(samples[block], 1);
        counter.blockLuminance[block] /= count;
        counter.blockRed[block] /= count;
        follow(counter.general[block], counter.blockLuminance[block], luminanceStep, darkerBelow);
        follow(counter.red[block], counter.blockRed[block], redStep, HUGE_VAL);
    }
    countFieldChanges(counter.general, counter.generalChanges);
    countFieldChanges(counter.red, counter.redChanges);
}

const std::vector<FlashSecond>& finishFlashCount(FlashCounter& counter) {
    if (counter.started) {
        closeSecond(counter);
        counter.started = false;
    }
    return counter.seconds;
}

std::string flashSummary(const std::vector<FlashSecond>& seconds) {
    const auto over = std::count_if(seconds.begin(), seconds.end(), [](const FlashSecond& s) {
        return s.general > flashLimitPerSecond || s.red > flashLimitPerSecond;
    });
    const std::string counts =
        std::to_string(over) + " of " + std::to_string(seconds.size()) + " s";
    if (over == 0) {
        return "flashing: none of " + std::to_string(seconds.size()) +
               " s exceeds 3 flashes a second";
    }
    return "flashing: " + counts + (over == 1 ? " exceeds" : " exceed") +
           " 3 flashes a second; show a warning before it";
}

} // namespace qm
