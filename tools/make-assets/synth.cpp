// Oscillators, envelopes, filter, noise and effects for the music synthesiser.
#include "synth.h"

#include <algorithm>
#include <cmath>

namespace qm {

Bus makeBus(std::size_t frames) {
    return Bus{std::vector<float>(frames, 0.0f), std::vector<float>(frames, 0.0f)};
}

std::size_t frameAt(double seconds) {
    return static_cast<std::size_t>(std::lround(seconds * playbackRate));
}

PanGains panGains(double pan) {
    const double angle = (std::clamp(pan, -1.0, 1.0) + 1.0) * pi / 4.0;
    // Full gain on both sides at the centre: the plain constant-power law would make centred
    // drums 3 dB quieter than the level plan assumes.
    return PanGains{std::min(1.0, std::cos(angle) * std::sqrt(2.0)),
                    std::min(1.0, std::sin(angle) * std::sqrt(2.0))};
}

void mixMono(Bus& bus, const std::vector<double>& sound, std::size_t at, double gain, double pan) {
    const PanGains pans = panGains(pan);
    const double leftGain = gain * pans.left;
    const double rightGain = gain * pans.right;
    const std::size_t end = std::min(bus.left.size(), at + sound.size());
    for (std::size_t i = at; i < end; ++i) {
        bus.left[i] += static_cast<float>(sound[i - at] * leftGain);
        bus.right[i] += static_cast<float>(sound[i - at] * rightGain);
    }
}

void mixStereo(Bus& bus, const Bus& sound, std::size_t at, double gain) {
    const std::size_t end = std::min(bus.left.size(), at + sound.left.size());
    for (std::size_t i = at; i < end; ++i) {
        bus.left[i] += static_cast<float>(sound.left[i - at] * gain);
        bus.right[i] += static_cast<float>(sound.right[i - at] * gain);
    }
}

double noteHz(double midiNote) {
    return 440.0 * std::pow(2.0, (midiNote - 69.0) / 12.0);
}

double sine(double phase) {
    return std::sin(2.0 * pi * phase);
}

namespace {

// The correction that rounds off a discontinuity at phase 0 over one sample on either side.
double polyBlep(double phase, double increment) {
    if (phase < increment) {
        const double x = phase / increment;
        return x + x - x * x - 1.0;
    }
    if (phase > 1.0 - increment) {
        const double x = (phase - 1.0) / increment;
        return x * x + x + x + 1.0;
    }
    return 0.0;
}

} // namespace

double saw(double phase, double increment) {
    return 2.0 * phase - 1.0 - polyBlep(phase, increment);
}

double pulse(double phase, double increment, double width) {
    double falling = phase + 1.0 - width;
    falling -= std::floor(falling);
    return (phase < width ? 1.0 : -1.0) + polyBlep(phase, increment) - polyBlep(falling, increment);
}

void advance(double& phase, double increment) {
    phase += increment;
    phase -= std::floor(phase);
}

double nextNoise(Noise& noise) {
    std::uint32_t x = noise.state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    noise.state = x;
    return static_cast<double>(x) / 2147483648.0 - 1.0;
}

double decay(double t, double timeConstant) {
    return t < 0.0 ? 0.0 : std::exp(-t / timeConstant);
}

double adsr(double t, double held, double attack, double decayTime, double sustain,
            double release) {
    auto level = [&](double at) {
        if (at < attack)
            return at / attack;
        return sustain + (1.0 - sustain) * decay(at - attack, decayTime);
    };
    if (t < 0.0)
        return 0.0;
    if (t < held)
        return level(t);
    return level(held) * std::max(0.0, 1.0 - (t - held) / release);
}

void tune(Svf& state, double cutoffHz, double q) {
    const double cutoff = std::clamp(cutoffHz, 10.0, 0.45 * playbackRate);
    state.g = std::tan(pi * cutoff / playbackRate);
    state.k = 1.0 / q;
}

SvfOutput filter(Svf& state, double input) {
    const double g = state.g;
    const double k = state.k;
    const double a1 = 1.0 / (1.0 + g * (g + k));
    const double a2 = g * a1;
    const double a3 = g * a2;
    const double v3 = input - state.ic2;
    const double v1 = a1 * state.ic1 + a2 * v3;
    const double v2 = state.ic2 + a2 * state.ic1 + a3 * v3;
    state.ic1 = 2.0 * v1 - state.ic1;
    state.ic2 = 2.0 * v2 - state.ic2;
    return SvfOutput{v2, v1, input - k * v1 - v2};
}

namespace {

struct Comb {
    std::vector<double> buffer;
    std::size_t index = 0;
    double store = 0.0;
};

struct Allpass {
    std::vector<double> buffer;
    std::size_t index = 0;
};

double runComb(Comb& comb, double input, double feedback, double damping) {
    const double output = comb.buffer[comb.index];
    comb.store = output * (1.0 - damping) + comb.store * damping;
    comb.buffer[comb.index] = input + comb.store * feedback;
    if (++comb.index == comb.buffer.size())
        comb.index = 0;
    return output;
}

double runAllpass(Allpass& allpass, double input) {
    const double delayed = allpass.buffer[allpass.index];
    allpass.buffer[allpass.index] = input + delayed * 0.5;
    if (++allpass.index == allpass.buffer.size())
        allpass.index = 0;
    return delayed - input;
}

void reverbSide(std::vector<float>& signal, std::size_t spread, double roomSize, double damping) {
    // Unrelated lengths keep the combs from ringing together into a metallic tone.
    const std::size_t combLengths[] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
    const std::size_t allpassLengths[] = {556, 441, 341, 225};
    std::vector<Comb> combs;
    for (std::size_t length : combLengths)
        combs.push_back(Comb{std::vector<double>(length + spread, 0.0)});
    std::vector<Allpass> allpasses;
    for (std::size_t length : allpassLengths)
        allpasses.push_back(Allpass{std::vector<double>(length + spread, 0.0)});
    const double feedback = 0.7 + 0.28 * roomSize;
    for (float& sample : signal) {
        double sum = 0.0;
        for (Comb& comb : combs)
            sum += runComb(comb, sample * 0.015, feedback, damping);
        for (Allpass& allpass : allpasses)
            sum = runAllpass(allpass, sum);
        sample = static_cast<float>(sum);
    }
}

} // namespace

void reverb(Bus& send, double roomSize, double damping) {
    reverbSide(send.left, 0, roomSize, damping);
    reverbSide(send.right, 23, roomSize, damping);
}

void addPingPongDelay(const Bus& send, Bus& into, double delaySeconds, double feedback,
                      double gain) {
    const std::size_t frames = std::min(send.left.size(), into.left.size());
    const std::size_t delay = frameAt(delaySeconds);
    std::vector<double> lineLeft(delay, 0.0);
    std::vector<double> lineRight(delay, 0.0);
    double darkLeft = 0.0;
    double darkRight = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t slot = i % delay;
        const double outLeft = lineLeft[slot];
        const double outRight = lineRight[slot];
        // A one-pole lowpass in each path makes later echoes duller, as tape echoes are.
        darkLeft += 0.35 * (outLeft - darkLeft);
        darkRight += 0.35 * (outRight - darkRight);
        lineRight[slot] = 0.5 * (send.left[i] + send.right[i]) + darkLeft * feedback;
        lineLeft[slot] = darkRight * feedback;
        into.left[i] += static_cast<float>(gain * outLeft);
        into.right[i] += static_cast<float>(gain * outRight);
    }
}

} // namespace qm
