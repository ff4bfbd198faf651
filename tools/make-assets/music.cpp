// The arrangement: one function per instrument, one per section, the mixer and the master stage
// that cuts the silences and clips to 16 bits.
#include "music.h"

#include "synth.h"
#include "timeline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace qm {

namespace {

// The picture changes at grooveStart, breakStart and dropStart, so the music changes there too.
// Five 4/4 bars fill the groove exactly, so the break begins on a downbeat (about 140 BPM).
constexpr double beat = (breakStart - grooveStart) / 20.0;
constexpr double bar = 4.0 * beat;
// The intro and the break each hold twenty slices of their own pulse, near an eighth note.
constexpr double slice = (dropStart - breakStart) / 20.0;
constexpr int dropBars = 8;
constexpr double outroStart = dropStart + dropBars * bar;
constexpr double musicEnd = outroStart + 3.4;
// The last beat of the fourth drop bar stops dead on the left, so the meter falls to 0 mid-drop.
constexpr double stopStart = dropStart + 15.0 * beat;
constexpr double stopEnd = dropStart + 16.0 * beat;
// The tail fades out and the file ends in true silence.
constexpr double fadeStart = musicEnd - 1.6;
constexpr double fadeEnd = musicEnd - 0.35;
// Gates ramp over 2 ms: a hard cut would click, and anything longer blurs the stutter.
constexpr double gateRamp = 0.002;

// The break's stutter: which of its twenty slices each side lets through. The right side echoes
// the left one slice late; both close the last slice, a breath before the drop.
constexpr char leftChop[] = "XX.XX.X.XXX.XX.XXXX.";
constexpr char rightChop[] = "XXX.XX.X.XXX.XX.XXX.";

struct Chord {
    int bass;               // MIDI note of the bass line
    std::array<int, 4> pad; // MIDI notes of the pad voicing
};
constexpr Chord aMinor{45, {57, 60, 64, 71}};
constexpr Chord fMajor{41, {53, 57, 60, 64}};
constexpr Chord cMajor{48, {55, 60, 64, 71}};
constexpr Chord gMajor{43, {55, 59, 62, 67}};
constexpr Chord dMinor{50, {53, 57, 60, 62}};
constexpr Chord eMajor{40, {52, 56, 59, 62}};
constexpr Chord eSuspended{40, {52, 57, 59, 64}};

// What the instruments play into, kept apart until the mixer because the parts get different
// treatment. Kept few: every whole-length bus is 12 MB of fresh memory to touch.
struct Mix {
    Bus dry;      // drums, claps, impacts and risers
    Bus ducked;   // bass and pad, which dip under the kick
    Bus lead;     // bells and arpeggio: ducked too, and the only input of the echo
    Bus roomSend; // what goes to the reverb besides the lead
    std::vector<double> kickTimes;
    Noise noise{0x2545F491u};
};

double secondsOf(std::size_t frame) {
    return static_cast<double>(frame) / playbackRate;
}

// A gentle ramp to zero over the last part of a sound, so no sound ends on a step.
double tailFade(double t, double length) {
    return std::clamp((length - t) / 0.01, 0.0, 1.0);
}

void addKick(Mix& mix, double at, double gain) {
    const double length = 0.5;
    std::vector<double> sound(frameAt(length));
    double phase = 0.0;
    for (std::size_t i = 0; i < sound.size(); ++i) {
        const double t = secondsOf(i);
        // Most of the punch is the pitch falling from a knock to a low boom.
        const double hz = 48.0 + 140.0 * decay(t, 0.03);
        const double body = sine(phase) * decay(t, 0.15) * std::min(1.0, t / 0.0008);
        const double click = nextNoise(mix.noise) * decay(t, 0.003) * 0.3;
        sound[i] = std::tanh(1.3 * (body + click)) / std::tanh(1.3) * tailFade(t, length);
        advance(phase, hz / playbackRate);
    }
    mixMono(mix.dry, sound, frameAt(at), gain, 0.0);
    mix.kickTimes.push_back(at);
}

void addHat(Mix& mix, double at, double gain, bool open) {
    const double length = open ? 0.3 : 0.06;
    std::vector<double> sound(frameAt(length));
    Svf state;
    tune(state, 7500.0, 0.8);
    for (std::size_t i = 0; i < sound.size(); ++i) {
        const double t = secondsOf(i);
        const double hiss = filter(state, nextNoise(mix.noise)).high;
        sound[i] = hiss * decay(t, open ? 0.09 : 0.018) * tailFade(t, length);
    }
    mixMono(mix.dry, sound, frameAt(at), gain, 0.35);
}

void addClap(Mix& mix, double at, double gain) {
    const double length = 0.35;
    std::vector<double> sound(frameAt(length));
    Svf state;
    tune(state, 1300.0, 1.2);
    for (std::size_t i = 0; i < sound.size(); ++i) {
        const double t = secondsOf(i);
        // Three quick bursts before the tail: several hands that never clap quite together.
        const double envelope = decay(t, 0.004) + decay(t - 0.011, 0.004) +
                                decay(t - 0.022, 0.004) + 0.7 * decay(t - 0.03, 0.1);
        const double body = filter(state, nextNoise(mix.noise)).band;
        sound[i] = 2.5 * body * envelope * tailFade(t, length);
    }
    mixMono(mix.dry, sound, frameAt(at), gain, -0.15);
    mixMono(mix.roomSend, sound, frameAt(at), 0.5 * gain, -0.15);
}

// A sub boom and a wide crash that mark a section change.
void addImpact(Mix& mix, double at, double gain) {
    const double length = 2.5;
    Bus sound = makeBus(frameAt(length));
    double phase = 0.0;
    Svf crashLeft;
    Svf crashRight;
    tune(crashLeft, 3500.0, 0.7);
    tune(crashRight, 3500.0, 0.7);
    for (std::size_t i = 0; i < sound.left.size(); ++i) {
        const double t = secondsOf(i);
        const double boom = sine(phase) * decay(t, 0.7) * std::min(1.0, t / 0.001);
        advance(phase, (32.0 + 50.0 * decay(t, 0.12)) / playbackRate);
        // Separate noise on each side makes the crash wide instead of a point in the middle.
        const double crash = 0.35 * decay(t, 0.9) * tailFade(t, length);
        sound.left[i] = boom + crash * filter(crashLeft, nextNoise(mix.noise)).high;
        sound.right[i] = boom + crash * filter(crashRight, nextNoise(mix.noise)).high;
    }
    mixStereo(mix.dry, sound, frameAt(at), gain);
}

// A resonant saw an octave over a sine sub; `brightness` opens the filter.
void addBassNote(Mix& mix, int note, double at, double length, double gain, double brightness) {
    const double hz = noteHz(note);
    const double release = 0.03;
    std::vector<double> sound(frameAt(length + release));
    double sawPhase = 0.0;
    double subPhase = 0.0;
    Svf state;
    for (std::size_t i = 0; i < sound.size(); ++i) {
        const double t = secondsOf(i);
        if (i % retunePeriod == 0)
            tune(state, hz * (1.5 + brightness * (1.0 + 8.0 * decay(t, 0.06))), 2.0);
        const double body = filter(state, saw(sawPhase, hz / playbackRate)).low;
        sound[i] =
            (0.55 * body + 0.6 * sine(subPhase)) * adsr(t, length, 0.003, 0.15, 0.8, release);
        advance(sawPhase, hz / playbackRate);
        advance(subPhase, hz / 2.0 / playbackRate);
    }
    mixMono(mix.ducked, sound, frameAt(at), gain, 0.0);
}

// Three detuned saws per chord note through a lowpass that sweeps from `cutoffFrom` to
// `cutoffTo` over the chord; each note sits at its own place in the stereo field.
void addPadChord(Mix& mix, const Chord& chord, double at, double length, double attack,
                 double cutoffFrom, double cutoffTo, double gain) {
    const double release = 0.6;
    const double pans[] = {-0.6, -0.2, 0.25, 0.6};
    const double detunes[] = {-0.12, 0.0, 0.1};
    for (std::size_t voice = 0; voice < chord.pad.size(); ++voice) {
        std::vector<double> sound(frameAt(length + release));
        // Saws that start in phase sound like one loud saw for the first few milliseconds.
        double phases[] = {0.0, 0.37, 0.71};
        double increments[3];
        for (int s = 0; s < 3; ++s)
            increments[s] = noteHz(chord.pad[voice] + detunes[s]) / playbackRate;
        Svf state;
        // An exponential sweep as a per-sample factor: a pow() per sample per voice was the
        // single largest cost of the whole synthesis.
        const double sweepStep = std::pow(cutoffTo / cutoffFrom, 1.0 / (length * playbackRate));
        double cutoff = cutoffFrom;
        for (std::size_t i = 0; i < sound.size(); ++i) {
            const double t = secondsOf(i);
            if (t < length)
                cutoff *= sweepStep;
            double sum = 0.0;
            for (int s = 0; s < 3; ++s) {
                sum += saw(phases[s], increments[s]);
                advance(phases[s], increments[s]);
            }
            if (i % retunePeriod == 0)
                tune(state, cutoff, 0.9);
            sound[i] = filter(state, sum / 3.0).low * adsr(t, length, attack, 1.0, 1.0, release);
        }
        mixMono(mix.ducked, sound, frameAt(at), gain, pans[voice]);
        mixMono(mix.roomSend, sound, frameAt(at), 0.35 * gain, pans[voice]);
    }
}

// Two-operator FM; a modulator at 3.5 times the pitch gives the inharmonic shimmer of struck
// glass.
void addBell(Mix& mix, int note, double at, double gain, double pan) {
    const double length = 1.6;
    const double hz = noteHz(note);
    std::vector<double> sound(frameAt(length));
    double carrier = 0.0;
    double modulator = 0.0;
    for (std::size_t i = 0; i < sound.size(); ++i) {
        const double t = secondsOf(i);
        const double index = 0.3 * decay(t, 0.25);
        sound[i] = sine(carrier + index * sine(modulator)) * decay(t, 0.5) *
                   std::min(1.0, t / 0.002) * tailFade(t, length);
        advance(carrier, hz / playbackRate);
        advance(modulator, 3.5 * hz / playbackRate);
    }
    mixMono(mix.lead, sound, frameAt(at), gain, pan);
}

// A plucked pulse wave for the drop's sixteenth-note arpeggio.
void addArpNote(Mix& mix, int note, double at, double gain, double pan) {
    const double length = 0.28;
    const double hz = noteHz(note);
    std::vector<double> sound(frameAt(length));
    double phase = 0.0;
    Svf state;
    for (std::size_t i = 0; i < sound.size(); ++i) {
        const double t = secondsOf(i);
        if (i % retunePeriod == 0)
            tune(state, 700.0 + 4000.0 * decay(t, 0.05), 1.5);
        const double tone = filter(state, pulse(phase, hz / playbackRate, 0.3)).low;
        sound[i] = tone * decay(t, 0.09) * std::min(1.0, t / 0.002) * tailFade(t, length);
        advance(phase, hz / playbackRate);
    }
    mixMono(mix.lead, sound, frameAt(at), gain, pan);
}

// Noise through a band-pass that climbs five octaves while swelling and travelling from left to
// right: the build-up before a section change.
void addRiser(Mix& mix, double at, double length, double gain) {
    Bus sound = makeBus(frameAt(length));
    Svf state;
    for (std::size_t i = 0; i < sound.left.size(); ++i) {
        const double progress = secondsOf(i) / length;
        if (i % retunePeriod == 0)
            tune(state, 250.0 * std::pow(40.0, progress), 4.0);
        const double hiss = filter(state, nextNoise(mix.noise)).band;
        const PanGains pans = panGains(-0.8 + 1.6 * progress);
        const double level = 1.5 * progress * progress;
        sound.left[i] = hiss * level * pans.left;
        sound.right[i] = hiss * level * pans.right;
    }
    mixStereo(mix.dry, sound, frameAt(at), gain);
}

void arrangeIntro(Mix& mix) {
    addPadChord(mix, aMinor, 0.0, grooveStart, 2.5, 200.0, 2400.0, 0.13);
    // A bell on most slices, wandering over the chord and growing louder as the intro builds.
    const int bellNotes[] = {69, 76, 72, 79, 71, 76, 74, 81};
    constexpr char bellRhythm[] = ".X.XX.X.XX.XX.XXX.XX";
    for (int k = 0; k < 20; ++k) {
        if (bellRhythm[k] == 'X')
            addBell(mix, bellNotes[k % 8], k * slice, 0.06 + 0.16 * k / 19.0, k % 2 ? 0.45 : -0.45);
    }
    addRiser(mix, grooveStart - 2.2, 2.2, 0.2);
}

void arrangeGroove(Mix& mix) {
    const Chord progression[] = {aMinor, fMajor, cMajor, gMajor, aMinor};
    addImpact(mix, grooveStart, 0.8);
    for (int b = 0; b < 5; ++b) {
        const double barStart = grooveStart + b * bar;
        const Chord& chord = progression[b];
        addPadChord(mix, chord, barStart, bar, 0.04, 700.0, 1400.0, 0.09);
        for (int j = 0; j < 4; ++j) {
            const double t = barStart + j * beat;
            addKick(mix, t, 0.75);
            // Off-beat bass, the classic push between kicks.
            addBassNote(mix, chord.bass, t + beat / 2.0, beat * 0.45, 0.35, 1.0);
            addHat(mix, t + beat / 4.0, 0.1, false);
            addHat(mix, t + beat / 2.0, 0.22, true);
            addHat(mix, t + 3.0 * beat / 4.0, 0.1, false);
            // The claps join halfway, so the groove still grows before the break.
            if (b >= 2 && j % 2 == 1)
                addClap(mix, t, 0.35);
        }
    }
}

void arrangeBreak(Mix& mix) {
    addImpact(mix, breakStart, 1.0);
    addKick(mix, breakStart, 1.0);
    addPadChord(mix, fMajor, breakStart, 10 * slice, 0.01, 2500.0, 1200.0, 0.2);
    addPadChord(mix, eSuspended, breakStart + 10 * slice, 9 * slice, 0.01, 1200.0, 5000.0, 0.2);
    const int bellNotes[] = {81, 76, 72, 77, 81, 84, 83, 76};
    for (int k = 0; k < 19; k += 2)
        addBell(mix, bellNotes[(k / 2) % 8], breakStart + k * slice, 0.25, k % 4 ? 0.5 : -0.5);
    addRiser(mix, breakStart + 6 * slice, 13 * slice, 0.4);
}

void arrangeDrop(Mix& mix) {
    const Chord progression[] = {aMinor, fMajor, cMajor, gMajor, aMinor, fMajor, dMinor, eMajor};
    // The arpeggio walks up and down the voicing, an octave above the pad.
    const int arpOrder[] = {0, 1, 2, 3, 2, 1, 3, 2};
    addImpact(mix, dropStart, 1.0);
    for (int b = 0; b < dropBars; ++b) {
        const double barStart = dropStart + b * bar;
        const Chord& chord = progression[b];
        // Bars five and six pull back (darker, softer kick) so the level moves within the drop.
        const bool pulledBack = b == 4 || b == 5;
        addPadChord(mix, chord, barStart, bar, 0.02, pulledBack ? 600.0 : 1500.0,
                    pulledBack ? 900.0 : 3000.0, 0.1);
        for (int j = 0; j < 4; ++j) {
            const double t = barStart + j * beat;
            // The same time summed in a different order may land a hair early: the margin keeps
            // the stopped beat from playing.
            if (t >= stopStart - 1e-9 && t < stopEnd)
                continue;
            addKick(mix, t, pulledBack ? 0.85 : 1.2);
            for (int s = 0; s < 4; ++s) {
                const double at = t + s * beat / 4.0;
                // Rolling bass on the three sixteenths after each kick, the last an octave up.
                if (s > 0)
                    addBassNote(mix, chord.bass + (s == 3 ? 12 : 0), at, beat / 4.0 * 0.8, 0.35,
                                pulledBack ? 0.4 : 1.4);
                addHat(mix, at, s == 2 ? 0.2 : 0.08, s == 2);
                addArpNote(mix, chord.pad[arpOrder[(j * 4 + s) % 8]] + 12, at,
                           pulledBack ? 0.07 : 0.12, s % 2 ? 0.35 : -0.35);
            }
            if (j % 2 == 1)
                addClap(mix, t, 0.35);
        }
    }
}

void arrangeOutro(Mix& mix) {
    addImpact(mix, outroStart, 0.9);
    addKick(mix, outroStart, 1.0);
    addPadChord(mix, aMinor, outroStart, 2.2, 0.01, 2500.0, 250.0, 0.22);
    const int bellNotes[] = {81, 76, 72, 69};
    for (int k = 0; k < 4; ++k)
        addBell(mix, bellNotes[k], outroStart + 2 * k * slice, 0.3 - 0.05 * k,
                k % 2 ? 0.45 : -0.45);
}

// The tonal parts dip under every kick: the pumping that makes the level breathe with the beat.
std::vector<float> kickDucking(std::size_t frames, const std::vector<double>& kickTimes) {
    std::vector<float> gain(frames, 1.0f);
    const std::size_t span = frameAt(0.35);
    for (double kick : kickTimes) {
        const std::size_t start = frameAt(kick);
        for (std::size_t i = 0; i < span && start + i < frames; ++i) {
            const double t = secondsOf(i);
            // 4 ms into the dip: an instant drop would click on the sustained pad.
            const double depth = 0.6 * std::min(1.0, t / 0.004) * decay(t, 0.12);
            gain[start + i] = std::min(gain[start + i], static_cast<float>(1.0 - depth));
        }
    }
    return gain;
}

// Sums the parts, the reverb and the echo into the dry bus, which becomes the mix.
Bus mixDown(Mix& mix) {
    const std::size_t frames = mix.dry.left.size();
    for (std::size_t i = 0; i < frames; ++i) {
        mix.roomSend.left[i] += 0.4f * mix.lead.left[i];
        mix.roomSend.right[i] += 0.4f * mix.lead.right[i];
    }
    reverb(mix.roomSend, 0.85, 0.4);
    addPingPongDelay(mix.lead, mix.dry, 0.75 * beat, 0.45, 0.5);
    const std::vector<float> duck = kickDucking(frames, mix.kickTimes);
    Bus& out = mix.dry;
    for (std::size_t i = 0; i < frames; ++i) {
        out.left[i] +=
            duck[i] * (mix.ducked.left[i] + mix.lead.left[i]) + 0.6f * mix.roomSend.left[i];
        out.right[i] +=
            duck[i] * (mix.ducked.right[i] + mix.lead.right[i]) + 0.6f * mix.roomSend.right[i];
    }
    return std::move(out);
}

// 1 outside [from, to), exactly 0 inside, with short ramps just outside its edges.
double muted(double t, double from, double to) {
    if (t >= from && t < to)
        return 0.0;
    return std::min(1.0, (t < from ? from - t : t - to) / gateRamp);
}

double chopGain(double t, const char* pattern) {
    double gain = 1.0;
    for (int k = 0; k < 20; ++k) {
        if (pattern[k] != 'X')
            gain *= muted(t, breakStart + k * slice, breakStart + (k + 1) * slice);
    }
    return gain;
}

double endFade(double t) {
    const double remaining = std::clamp((fadeEnd - t) / (fadeEnd - fadeStart), 0.0, 1.0);
    return remaining * remaining;
}

// The gates give exact zeros, which the meter needs to read step 0: reverb and echo tails
// would otherwise fill every pause.
double leftGain(double t) {
    double gain = endFade(t) * muted(t, stopStart, stopEnd);
    if (t > breakStart - gateRamp && t < dropStart + gateRamp)
        gain *= chopGain(t, leftChop);
    return gain;
}

double rightGain(double t) {
    double gain = endFade(t);
    if (t > breakStart - gateRamp && t < dropStart + gateRamp)
        gain *= chopGain(t, rightChop);
    return gain;
}

std::int16_t toSample(double value) {
    // Clipping here keeps full-scale hits at full scale instead of wrapping to the other sign.
    return static_cast<std::int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * 32767.0));
}

} // namespace

std::vector<std::int16_t> synthesiseMusic() {
    const std::size_t frames = frameAt(musicEnd);
    Mix mix{makeBus(frames), makeBus(frames), makeBus(frames), makeBus(frames), {}};
    arrangeIntro(mix);
    arrangeGroove(mix);
    arrangeBreak(mix);
    arrangeDrop(mix);
    arrangeOutro(mix);
    const Bus master = mixDown(mix);

    std::vector<std::int16_t> pcm(frames * playbackChannels);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = secondsOf(i);
        pcm[2 * i] = toSample(master.left[i] * leftGain(t));
        pcm[2 * i + 1] = toSample(master.right[i] * rightGain(t));
    }
    return pcm;
}

} // namespace qm
