// The fixed-rate clock: frame n is drawn at n / fps seconds of music, with the level the music
// clock would read at that moment, so a run drawn by it (the capture tool, the browser's capture
// mode) differs from a live run only in frame rate. It needs no audio device: the meter reads a
// decoder of its own, in step with the frames.
#pragma once

#include "audio/clock.h"
#include "audio/decoder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

// The fastest rate a run may be drawn at.
constexpr int maxCaptureFps = 240;

// Frame n's meter window ends at sample frame floor(n * 44100 / fps), computed in integers so no
// rounding can move it.
double frameSeconds(std::uint64_t frame, int fps);
std::uint64_t frameSampleEnd(std::uint64_t frame, int fps);
// Frames whose time lies below the track's length: ceil(trackFrames * fps / 44100).
std::uint64_t frameCountFor(std::uint64_t trackFrames, int fps);
// The first frame whose time is at or after `seconds`.
std::uint64_t firstFrameAtOrAfter(double seconds, int fps);

// The frames [first, end) of the `frameCount` a track has whose time t has from <= t < to; empty
// (first == end) when none has. `to` may be infinite.
struct FrameRange {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};
FrameRange framesBetween(double fromSeconds, double toSeconds, int fps, std::uint64_t frameCount);

// The meter over a decoder, keeping only the samples the next windows can still need, so a
// long track does not grow memory.
struct MeterWindow {
    Mp3Decoder decoder;
    std::vector<std::int16_t> samples; // interleaved stereo from sample frame `firstFrame`
    std::uint64_t firstFrame = 0;
};

// Opens `path` for metering. False with the decoder's reason.
bool openMeter(MeterWindow& meter, const std::string& path, std::string& failure);
// levelStepEndingAt over the whole track's samples, for a window ending at `endFrame`; calls
// must come with endFrame never decreasing.
unsigned meterStepEndingAt(MeterWindow& meter, std::uint64_t endFrame);
void closeMeter(MeterWindow& meter);

struct FixedRateClock {
    int fps = 60;
    std::uint64_t trackFrames = 0; // sample frames of the whole track, as played
    std::uint64_t nextFrame = 0;   // the frame the next reading is for
    std::uint64_t endFrame = 0;    // the reading for this frame says the run has ended
    MeterWindow meter;
};

// Measures the track at `path` (a whole decode: gapless, as played) and opens its meter; the
// clock then runs from frame 0 to the track's last frame. False with the decoder's reason.
bool openFixedRateClock(FixedRateClock& clock, const std::string& path, int fps,
                        std::string& failure);
// The reading for clock.nextFrame, which then advances.
ClockReading readFixedRateClock(FixedRateClock& clock);
void closeFixedRateClock(FixedRateClock& clock);

} // namespace qm
