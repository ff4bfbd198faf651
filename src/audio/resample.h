// Rate conversion of interleaved stereo 16-bit audio to the playback rate, exact over any
// length: output frame n is the source signal at n × sourceRate / playbackRate, computed from
// integers, so no put ever rounds the position and a stretch of N source frames always becomes
// round(N × playbackRate / sourceRate) frames. The filter is a windowed sinc whose phases are
// tabled once per rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm {

struct Resampler {
    std::uint64_t phases = 0; // output frames per `step` source frames, in lowest terms
    std::uint64_t step = 0;
    int halfTaps = 0;        // source frames on each side of a position
    std::vector<float> taps; // phases × 2·halfTaps weights
    // Source frames (stereo floats) not yet behind every output still to come; history[0] is
    // source frame `historyStart` (negative while the silence before the start is in front).
    std::vector<float> history;
    std::int64_t historyStart = 0;
    std::uint64_t sourceFrames = 0; // put since the start
    std::uint64_t outputFrames = 0; // handed out since the start
};

// Makes `resampler` convert from `sourceRate` (any positive rate) to the playback rate.
void startResampler(Resampler& resampler, int sourceRate);

// Appends to `out` every output frame that `frames` more source frames complete.
void resample(Resampler& resampler, const std::int16_t* stereoFrames, std::size_t frames,
              std::vector<std::int16_t>& out);

// The source ended: appends the rest, up to the stretch's true length, and resets `resampler`.
void finishResampler(Resampler& resampler, std::vector<std::int16_t>& out);

} // namespace qm
