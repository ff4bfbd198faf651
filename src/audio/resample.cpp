// A polyphase windowed-sinc resampler with the source position kept as an exact fraction.
#include "audio/resample.h"

#include "assets.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace qm {

namespace {

constexpr double pi = 3.14159265358979323846;

// Source frames each side of a position at a cutoff of the source's own Nyquist rate; the filter
// widens by the ratio when it must cut lower (a source faster than the playback rate).
constexpr int baseHalfTaps = 16;
// Just under Nyquist, so the window's transition band stays clear of aliasing.
constexpr double cutoffShare = 0.95;

double blackman(double x, double half) { // x in [-half, half]
    const double t = pi * x / half;
    return 0.42 + 0.5 * std::cos(t) + 0.08 * std::cos(2.0 * t);
}

// Phase p of `phases` is the position p / phases of a source frame past a whole frame. Each
// phase's weights sum to 1, so silence and a held level pass through unchanged.
void tableTaps(Resampler& r, double cutoff) {
    const int width = 2 * r.halfTaps;
    r.taps.assign(r.phases * static_cast<std::size_t>(width), 0.0f);
    for (std::uint64_t p = 0; p < r.phases; ++p) {
        float* weights = r.taps.data() + p * static_cast<std::size_t>(width);
        const double fraction = static_cast<double>(p) / static_cast<double>(r.phases);
        double sum = 0.0;
        for (int k = 0; k < width; ++k) {
            const double x = (k - r.halfTaps + 1) - fraction; // source frame minus position
            const double arg = pi * cutoff * x;
            const double sinc = std::abs(arg) < 1e-12 ? 1.0 : std::sin(arg) / arg;
            const double w = std::abs(x) < r.halfTaps ? cutoff * sinc * blackman(x, r.halfTaps) : 0;
            weights[k] = static_cast<float>(w);
            sum += w;
        }
        for (int k = 0; k < width; ++k) {
            weights[k] = static_cast<float>(weights[k] / sum);
        }
    }
}

std::int16_t toSample(float value) {
    return static_cast<std::int16_t>(std::lrint(std::clamp(value, -32768.0f, 32767.0f)));
}

// Appends output frames while the history reaches `available` source frames past its start
// (zeros stand in beyond the source's end once it is over).
void produce(Resampler& r, std::uint64_t until, std::vector<std::int16_t>& out) {
    const int width = 2 * r.halfTaps;
    const auto held = static_cast<std::int64_t>(r.history.size() / 2);
    while (r.outputFrames < until) {
        const std::uint64_t position = r.outputFrames * r.step; // in 1/phases source frames
        const auto whole = static_cast<std::int64_t>(position / r.phases);
        const std::int64_t first = whole - r.halfTaps + 1 - r.historyStart;
        if (first + width > held) {
            break;
        }
        const float* weights = r.taps.data() + (position % r.phases) * width;
        const float* frames = r.history.data() + 2 * first;
        float left = 0.0f, right = 0.0f;
        for (int k = 0; k < width; ++k) {
            left += weights[k] * frames[2 * k];
            right += weights[k] * frames[2 * k + 1];
        }
        out.push_back(toSample(left));
        out.push_back(toSample(right));
        ++r.outputFrames;
    }
    // Drop what no later output reaches back to.
    const auto next = static_cast<std::int64_t>(r.outputFrames * r.step / r.phases);
    const std::int64_t unused =
        std::clamp<std::int64_t>(next - r.halfTaps + 1 - r.historyStart, 0, held);
    r.history.erase(r.history.begin(), r.history.begin() + 2 * unused);
    r.historyStart += unused;
}

} // namespace

void startResampler(Resampler& r, int sourceRate) {
    const auto divisor = static_cast<std::uint64_t>(std::gcd(sourceRate, playbackRate));
    r = Resampler{};
    r.phases = playbackRate / divisor;
    r.step = static_cast<std::uint64_t>(sourceRate) / divisor;
    const double ratio = std::min(1.0, static_cast<double>(playbackRate) / sourceRate);
    r.halfTaps = static_cast<int>(std::ceil(baseHalfTaps / ratio));
    tableTaps(r, cutoffShare * ratio);
    // The silence before the first frame, so the first outputs have their left-hand side.
    r.history.assign(2 * static_cast<std::size_t>(r.halfTaps), 0.0f);
    r.historyStart = -r.halfTaps;
}

void resample(Resampler& r, const std::int16_t* stereoFrames, std::size_t frames,
              std::vector<std::int16_t>& out) {
    r.history.insert(r.history.end(), stereoFrames, stereoFrames + 2 * frames);
    r.sourceFrames += frames;
    produce(r, UINT64_MAX, out);
}

void finishResampler(Resampler& r, std::vector<std::int16_t>& out) {
    const std::uint64_t length = (r.sourceFrames * r.phases + r.step / 2) / r.step;
    r.history.resize(r.history.size() + 4 * static_cast<std::size_t>(r.halfTaps), 0.0f);
    produce(r, length, out);
    r = Resampler{};
}

} // namespace qm
