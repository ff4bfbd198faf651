// Tracks whose timing can be measured after decoding, for the tests and the benchmarks: silence
// with short tone bursts at known times, and files joined byte for byte from pieces encoded
// alone in different formats, as broadcast and podcast files are cut and joined.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

// Interleaved PCM at `rate` with `channels`, `seconds` long: silence with a 20 ms tone burst
// centred on each of `burstSeconds`.
std::vector<std::int16_t> burstTrack(int rate, int channels, double seconds,
                                     const std::vector<double>& burstSeconds);

// Where the burst nearest `aroundFrame` is centred in decoded 44100 Hz stereo, in frames with a
// fraction: the energy centroid of the left channel within `radiusFrames` of `aroundFrame`.
double burstCentre(const std::vector<std::int16_t>& stereoFrames, double aroundFrame,
                   double radiusFrames);

struct TrackPiece {
    int rate;
    int channels;
    double seconds;
};

// Encodes each piece alone, without a gapless tag, with a burst in its middle, as
// `folder`/piece-N.mp3, and joins them byte for byte into `path`.
bool writeJoinedMp3(const std::string& path, const std::string& folder,
                    const std::vector<TrackPiece>& pieces, std::string& failure);
std::string piecePath(const std::string& folder, std::size_t index);

} // namespace qm
