// The fixed-rate clock and its sliding meter window.
#include "audio/fixed_clock.h"

#include "assets.h"
#include "audio/level.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace qm {

double frameSeconds(std::uint64_t frame, int fps) {
    return static_cast<double>(frame) / fps;
}

std::uint64_t frameSampleEnd(std::uint64_t frame, int fps) {
    return frame * static_cast<std::uint64_t>(playbackRate) / static_cast<std::uint64_t>(fps);
}

std::uint64_t frameCountFor(std::uint64_t trackFrames, int fps) {
    const auto rate = static_cast<std::uint64_t>(playbackRate);
    return (trackFrames * static_cast<std::uint64_t>(fps) + rate - 1) / rate;
}

std::uint64_t firstFrameAtOrAfter(double seconds, int fps) {
    if (!(seconds > 0.0)) {
        return 0;
    }
    if (seconds * fps >= 1e15) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    // seconds * fps can land a hair above a whole number (0.1 * 30), so settle on the frame by
    // the same division frameSeconds does.
    auto frame = static_cast<std::uint64_t>(std::floor(seconds * fps));
    while (frame > 0 && frameSeconds(frame - 1, fps) >= seconds) {
        --frame;
    }
    while (frameSeconds(frame, fps) < seconds) {
        ++frame;
    }
    return frame;
}

FrameRange framesBetween(double fromSeconds, double toSeconds, int fps, std::uint64_t frameCount) {
    const std::uint64_t first = std::min(firstFrameAtOrAfter(fromSeconds, fps), frameCount);
    return {first, std::max(first, std::min(firstFrameAtOrAfter(toSeconds, fps), frameCount))};
}

bool openMeter(MeterWindow& meter, const std::string& path, std::string& failure) {
    closeMeter(meter);
    return openMp3(meter.decoder, path.c_str(), failure);
}

unsigned meterStepEndingAt(MeterWindow& meter, std::uint64_t endFrame) {
    constexpr std::size_t chunkFrames = 4096;
    // Samples older than the window are dropped in large steps, so the copy stays rare while
    // the buffer stays small whatever the track's length.
    constexpr std::uint64_t dropStep = 65536;
    const std::uint64_t keepFrom = endFrame > levelWindowFrames ? endFrame - levelWindowFrames : 0;
    std::uint64_t buffered = meter.samples.size() / 2;
    if (keepFrom >= meter.firstFrame + dropStep) {
        const std::uint64_t drop = std::min(keepFrom - meter.firstFrame, buffered);
        meter.samples.erase(meter.samples.begin(),
                            meter.samples.begin() + static_cast<std::ptrdiff_t>(drop * 2));
        meter.firstFrame += drop;
        buffered -= drop;
    }
    while (meter.firstFrame + buffered < endFrame && !meter.decoder.finished) {
        meter.samples.resize((buffered + chunkFrames) * 2);
        const std::size_t got =
            decodeMp3(meter.decoder, meter.samples.data() + buffered * 2, chunkFrames);
        buffered += got;
        meter.samples.resize(buffered * 2);
        if (got == 0) {
            break;
        }
        // A skip longer than the buffer (a low frame rate) leaves nothing worth keeping behind.
        if (meter.firstFrame + buffered < keepFrom && buffered > dropStep) {
            meter.firstFrame += buffered;
            meter.samples.clear();
            buffered = 0;
        }
    }
    return levelStepEndingAt(meter.samples.data(), static_cast<std::size_t>(buffered),
                             static_cast<std::size_t>(endFrame - meter.firstFrame));
}

void closeMeter(MeterWindow& meter) {
    closeMp3(meter.decoder);
    meter.samples.clear();
    meter.samples.shrink_to_fit();
    meter.firstFrame = 0;
}

bool openFixedRateClock(FixedRateClock& clock, const std::string& path, int fps,
                        std::string& failure) {
    closeFixedRateClock(clock);
    clock.fps = fps;
    if (!countMp3Frames(path.c_str(), clock.trackFrames, failure) ||
        !openMeter(clock.meter, path, failure)) {
        return false;
    }
    clock.endFrame = frameCountFor(clock.trackFrames, fps);
    return true;
}

ClockReading readFixedRateClock(FixedRateClock& clock) {
    const std::uint64_t frame = clock.nextFrame;
    if (frame >= clock.endFrame) {
        return {frameSeconds(frame, clock.fps), 0, true};
    }
    ++clock.nextFrame;
    return {frameSeconds(frame, clock.fps),
            meterStepEndingAt(clock.meter, frameSampleEnd(frame, clock.fps)), false};
}

void closeFixedRateClock(FixedRateClock& clock) {
    closeMeter(clock.meter);
    clock = FixedRateClock{};
}

} // namespace qm
