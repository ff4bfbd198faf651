// Building blocks of the music synthesiser: oscillators, envelopes, a filter, noise, two effects
// and the stereo bus that instruments are mixed into. All arithmetic is plain double precision
// with no hidden state, so every run produces the same samples.
#pragma once

#include "assets.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm {

constexpr double pi = 3.14159265358979323846;

// One stereo signal, as long as the whole piece. Stored as float (far below audible precision)
// because first touches of fresh memory are a large share of synthesis time.
struct Bus {
    std::vector<float> left;
    std::vector<float> right;
};

Bus makeBus(std::size_t frames);

// The frame a time in seconds falls on, rounded so section times land on exact frames.
std::size_t frameAt(double seconds);

// Equal-power pan gains for -1 (left) .. 1 (right), scaled so the centre gives 1 on both sides.
struct PanGains {
    double left;
    double right;
};
PanGains panGains(double pan);

// Adds a mono sound at frame `at` with equal-power panning (-1 left, 0 centre, 1 right); what
// falls past the end of the bus is dropped.
void mixMono(Bus& bus, const std::vector<double>& sound, std::size_t at, double gain, double pan);
void mixStereo(Bus& bus, const Bus& sound, std::size_t at, double gain);

double noteHz(double midiNote);

// Oscillators take the phase in cycles (0..1). The saw and the pulse are band-limited with
// PolyBLEP, because naive ones alias audibly at bass and lead pitches.
double sine(double phase);
double saw(double phase, double increment);
double pulse(double phase, double increment, double width);
// Advances a phase by `increment` cycles and wraps it into 0..1.
void advance(double& phase, double increment);

// White noise in [-1, 1) from a xorshift generator: the same seed gives the same noise.
struct Noise {
    std::uint32_t state;
};
double nextNoise(Noise& noise);

// Exponential decay that has fallen to 1/e after `timeConstant` seconds.
double decay(double t, double timeConstant);
// Attack, decay to `sustain`, hold until `held` seconds, then release.
double adsr(double t, double held, double attack, double decayTime, double sustain, double release);

// Topology-preserving state-variable filter: stays stable while its cutoff sweeps, which the
// risers and filter envelopes do. Tuning costs a tan(), so sweeps retune every retunePeriod
// samples (0.4 ms, far quicker than the ear follows).
struct Svf {
    double g = 0;
    double k = 1;
    double ic1 = 0;
    double ic2 = 0;
};
constexpr std::size_t retunePeriod = 16;
struct SvfOutput {
    double low;
    double band;
    double high;
};
void tune(Svf& state, double cutoffHz, double q);
SvfOutput filter(Svf& state, double input);

// A small room: eight damped combs and four allpasses per side, with different lengths on the
// two sides so the tail is wide. Replaces the send with the wet signal, which saves a bus.
void reverb(Bus& send, double roomSize, double damping);

// Adds to `into` echoes of `send` that alternate sides, the first on the right, each one darker
// than the last.
void addPingPongDelay(const Bus& send, Bus& into, double delaySeconds, double feedback,
                      double gain);

} // namespace qm
