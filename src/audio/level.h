// The level meter: the left channel's peak over the last 20 ms, reduced to a whole step.
// Shared by the live music clock and the capture tool, so both see the same numbers.
#pragma once

#include "assets.h"

#include <cstddef>
#include <cstdint>

namespace qm {

// Peak |left sample| (0..32768) of `frames` interleaved stereo 16-bit frames.
unsigned peakLeft(const std::int16_t* stereoFrames, std::size_t frames);

// The peak divided by 4095, remainder dropped: 0 for silence, 8 at full scale.
inline unsigned levelStepFromPeak(unsigned peak) {
    return (peak & 0xFFFFu) / 4095u;
}

// The step for the window of `levelWindowFrames` frames that ends at frame `endFrame` of a
// buffer of `totalFrames` interleaved stereo frames (a shorter window at the very start).
unsigned levelStepEndingAt(const std::int16_t* stereoFrames, std::size_t totalFrames,
                           std::size_t endFrame);

} // namespace qm
