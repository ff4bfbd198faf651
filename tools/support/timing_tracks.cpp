#include "timing_tracks.h"

#include "mp3_writer.h"

#include <cmath>
#include <fstream>
#include <iterator>

namespace qm {

namespace {
constexpr double pi = 3.14159265358979323846;
}

std::vector<std::int16_t> burstTrack(int rate, int channels, double seconds,
                                     const std::vector<double>& burstSeconds) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * rate) * channels, 0);
    const int half = rate / 100; // 10 ms each side of the centre
    for (const double centre : burstSeconds) {
        const auto middle = static_cast<long>(std::lround(centre * rate));
        for (long i = std::max(0L, middle - half); i < middle + half; ++i) {
            const double t = static_cast<double>(i - middle) / rate;
            // A Hann-shaped 1 kHz tone: symmetric about its centre, so its centroid is the centre.
            const double envelope = 0.5 + 0.5 * std::cos(pi * t * 100.0);
            const double value = 20000.0 * envelope * std::sin(2.0 * pi * 1000.0 * t);
            for (int c = 0; c < channels && i * channels + c < static_cast<long>(samples.size());
                 ++c) {
                samples[static_cast<std::size_t>(i * channels + c)] =
                    static_cast<std::int16_t>(std::lround(value));
            }
        }
    }
    return samples;
}

double burstCentre(const std::vector<std::int16_t>& stereoFrames, double aroundFrame,
                   double radiusFrames) {
    const long frames = static_cast<long>(stereoFrames.size() / 2);
    const long first = std::max(0L, static_cast<long>(aroundFrame - radiusFrames));
    const long last = std::min(frames, static_cast<long>(aroundFrame + radiusFrames));
    double energy = 0.0, moment = 0.0;
    for (long i = first; i < last; ++i) {
        const double sample = stereoFrames[static_cast<std::size_t>(2 * i)];
        energy += sample * sample;
        moment += sample * sample * static_cast<double>(i);
    }
    return energy > 0.0 ? moment / energy : -1.0;
}

std::string piecePath(const std::string& folder, std::size_t index) {
    return folder + "/piece-" + std::to_string(index) + ".mp3";
}

bool writeJoinedMp3(const std::string& path, const std::string& folder,
                    const std::vector<TrackPiece>& pieces, std::string& failure) {
    std::ofstream joined(path, std::ios::binary);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const TrackPiece& piece = pieces[i];
        const auto samples =
            burstTrack(piece.rate, piece.channels, piece.seconds, {piece.seconds / 2});
        if (!writeMp3(piecePath(folder, i), samples, piece.channels, piece.rate, failure,
                      piece.rate >= 32000 ? 128 : 64, false)) {
            return false;
        }
        std::ifstream in(piecePath(folder, i), std::ios::binary);
        joined << in.rdbuf();
    }
    joined.close();
    if (!joined) {
        failure = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace qm
