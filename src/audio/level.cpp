// Left-channel peak metering over interleaved stereo 16-bit frames.
#include "audio/level.h"

#include <algorithm>
#include <cstdlib>

namespace qm {

unsigned peakLeft(const std::int16_t* stereoFrames, std::size_t frames) {
    unsigned peak = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        // |-32768| is 32768: computed in int, so the most negative sample does not overflow.
        peak = std::max(peak, static_cast<unsigned>(std::abs(int{stereoFrames[2 * i]})));
    }
    return peak;
}

unsigned levelStepEndingAt(const std::int16_t* stereoFrames, std::size_t totalFrames,
                           std::size_t endFrame) {
    endFrame = std::min(endFrame, totalFrames);
    const std::size_t start = endFrame > levelWindowFrames ? endFrame - levelWindowFrames : 0;
    return levelStepFromPeak(peakLeft(stereoFrames + 2 * start, endFrame - start));
}

} // namespace qm
