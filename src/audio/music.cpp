// The music clock: wires the ring (audio/frame_ring), its filler (audio/ring_filler), the SDL
// output (audio/output) and the heard clock (audio/heard_clock) together. Who runs what:
//  - desktop (Linux, Windows): the filler's own thread decodes into the ring; SDL's device
//    thread runs the callback, which takes from the ring and stamps what it handed over; the
//    main thread reads the heard position and the level between frames, watches the device and
//    opens a new one in place of a lost one;
//  - browser: no threads of ours; SDL's callback runs on the page's main thread when the audio
//    node asks, between frames, and tops the ring up before taking from it; the frame loop tops
//    it up too, and the position follows the audio context's clock (useDeviceClock).
#include "audio/music.h"

#include "audio/frame_ring.h"
#include "audio/heard_clock.h"
#include "audio/level.h"
#include "audio/output.h"
#include "audio/ring_filler.h"

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>

namespace qm {

namespace {

constexpr std::uint64_t deviceBufferFrames = 1024; // at most what a callback asks for
// The ring must hold the decoded future and the metered past at once.
static_assert(fillAheadFrames + fillChunkFrames + 4 * deviceBufferFrames + levelWindowFrames <
              FrameRing::frames);

struct Playback {
    std::string failure;
    bool deviceOpen = false;

    // Closing the device joins SDL's device thread, which a held device may hold forever in a
    // write that never returns. Once set, the device is left to the end of the process.
    bool deviceStalled = false;

    // The stream. Only one exists at a time; its handle is 1.
    bool streamOpen = false;
    std::string path; // as openStream was given it, for the failure line
    FrameRing ring;   // the filler writes, the callback takes

    // What the callback publishes: the stamp of the buffer the device started to play, and
    // where useDeviceClock gave one, when frame 0 played on the device's own clock.
    StampBoard stamp;
    FrameZeroBoard frameZeroes;
    OutputFeed feed{&ring, &stamp, nullptr, &frameZeroes, topUpRing};
    double (*deviceHeardNow)() = nullptr;

    // Main thread only. The frame's one reading of the clock, taken by readMusicClock(): the
    // position, the level window and the end test all describe that heard moment.
    std::uint64_t frameHeard = 0;
    std::array<std::int16_t, levelWindowFrames * 2> meterWindow{};

    // Main thread only: the watches on a device that stops calling back or is lost.
    bool started = false;
    HoldWatch holdWatch;
    bool stalled = false;
    DeviceLoss loss;
    bool lostForGood = false;
    std::string reopenFailure; // SDL's answer to the last attempt
};

// Never destroyed: a library that calls exit() mid-run (Xlib when the window or the X connection
// is taken away) would otherwise free the ring under the filler thread that is still writing it.
Playback& playback = *new Playback;

struct StampReading {
    HeardFrame heard;
    std::uint32_t sequence; // of the stamp it was read from
};

// The frame being heard at `now`, from the last callback's stamp.
StampReading readStampAt(std::int64_t now) {
    StampReading reading{};
    const Stamp stamp = readStamp(playback.stamp, reading.sequence);
    reading.heard = heardFromStamp(stamp, now, playback.frameHeard);
    return reading;
}

// The frame heard now on the device's own clock, never past what the callbacks have handed over
// and never back. The callbacks' moments (`fromStamp`) stand in until that clock has spoken.
std::uint64_t deviceClockFrame(std::uint64_t fromStamp) {
    const double zero = earliestFrameZero(playback.frameZeroes);
    const double now = playback.deviceHeardNow();
    if (!std::isfinite(zero) || !std::isfinite(now)) {
        return fromStamp;
    }
    return heardOnDeviceClock(now, zero, playback.ring.consumed.load(std::memory_order_acquire),
                              playback.frameHeard);
}

bool allHeard() {
    return fillingFinished() &&
           playback.frameHeard >= playback.ring.written.load(std::memory_order_acquire);
}

// The left-channel peak of the 20 ms that end at the heard position, as a step 0..8.
unsigned levelStepHeard() {
    const std::uint64_t end = playback.frameHeard;
    const std::uint64_t start = end > levelWindowFrames ? end - levelWindowFrames : 0;
    const std::size_t frames = static_cast<std::size_t>(end - start);
    ringPeek(playback.ring, start, frames, playback.meterWindow.data());
    return levelStepEndingAt(playback.meterWindow.data(), frames, frames);
}

// Playback goes on from what was heard on a device opened in place of a lost one: what sat in
// the lost device's buffers was never heard, so it is handed over again. No callback runs now
// (the lost device is closed, the new one paused), and the ring still holds those frames: the
// decoder stays half a second ahead of what was handed, a few buffers past what was heard.
void resumeAfterLoss() {
    const std::uint64_t resume =
        resumeFrame(playback.loss, playback.ring.consumed.load(std::memory_order_relaxed));
    ringRewind(playback.ring, resume);
    restartFeed(resume);
    publishStamp(playback.stamp, {resume, resume, -1});
    playback.frameZeroes.count.store(0, std::memory_order_release);
    playback.frameHeard = resume;
    playback.holdWatch = {};
    playback.loss.lost = false;
    playOutput();
}

// The clock while the device is lost: held where the sound stopped, silent, while a new default
// device is tried every reopening period, one attempt at a time and off the frame loop, until one
// opens or the time is up (the run then ends and playbackFailure says why), an attempt SDL has
// not answered by then included.
ClockReading readWhileLost(std::int64_t now) {
    if (!playback.lostForGood) {
        const Reopen state = pollReopen(playback.reopenFailure);
        if (state == Reopen::opened) {
            resumeAfterLoss();
        } else if (reopenExpired(playback.loss, now)) {
            playback.lostForGood = true;
            if (state == Reopen::pending) {
                playback.reopenFailure = "the sound server had not answered the last attempt";
            }
        } else if (state != Reopen::pending && reopenDue(playback.loss, now)) {
            startReopen();
        }
    }
    const double seconds = static_cast<double>(playback.frameHeard) / playbackRate;
    if (playback.loss.lost) {
        return {seconds, 0, playback.lostForGood}; // nothing is heard, so the meter reads silence
    }
    return {seconds, levelStepHeard(), false};
}

void resetStreamState() {
    releaseRing(playback.ring);
    restartFeed(0);
    publishStamp(playback.stamp, {});
    playback.frameZeroes.count.store(0);
    playback.frameHeard = 0;
    playback.started = false;
    playback.holdWatch = {};
    playback.stalled = false;
    playback.loss = {};
    playback.lostForGood = false;
}

} // namespace

bool openDevice() {
    playback.deviceOpen = openOutput(playback.feed, playback.failure);
    return playback.deviceOpen;
}

bool openStream(const char* path) {
    if (playback.streamOpen) {
        playback.failure = "a music stream is already open";
        return false;
    }
    resetStreamState();
    allocateRing(playback.ring);
    if (!startFilling(playback.ring, path, playback.failure)) {
        releaseRing(playback.ring);
        return false;
    }
    playback.path = path;
    playback.streamOpen = true;
    return true;
}

void startPlayback() {
    if (playback.streamOpen && playback.deviceOpen) {
        playOutput();
        playback.started = true;
    }
}

ClockReading readMusicClock() {
    if (!playback.streamOpen) {
        return {0.0, 0, true};
    }
    const std::int64_t now = monotonicNanoseconds();
    if (playback.loss.lost) {
        return readWhileLost(now);
    }
    const StampReading stamp = readStampAt(now);
    playback.frameHeard = playback.deviceHeardNow != nullptr ? deviceClockFrame(stamp.heard.frame)
                                                             : stamp.heard.frame;
    const bool owed = playback.started && stamp.heard.pastStamp && !allHeard();
    const bool held = watchHold(playback.holdWatch, owed, stamp.sequence, now);
    if (playback.started && !allHeard() &&
        deviceLost(outputLost(), outputReportsLoss(), playback.holdWatch)) {
        noteLoss(playback.loss, playback.frameHeard, now);
        return readWhileLost(now);
    }
    if (held) {
        playback.stalled = true;
        playback.deviceStalled = true;
    }
    topUpRing();
    return {static_cast<double>(playback.frameHeard) / playbackRate, levelStepHeard(),
            playback.stalled || allHeard()};
}

void useDeviceClock(double (*bufferStart)(), double (*heardNow)()) {
    playback.feed.bufferStart = bufferStart;
    playback.deviceHeardNow = heardNow;
}

std::string playbackFailure() {
    if (!playback.streamOpen) {
        return {};
    }
    const double heardSeconds = static_cast<double>(playback.frameHeard) / playbackRate;
    char line[160];
    if (playback.stalled) {
        std::snprintf(line, sizeof line,
                      "the audio device stopped playing: no sound taken for %d s at %.1f s of the "
                      "music",
                      deviceHoldSeconds, heardSeconds);
        return line;
    }
    if (playback.lostForGood) {
        std::snprintf(line, sizeof line,
                      "the audio device was lost at %.1f s of the music and none came back within "
                      "%d s: ",
                      heardSeconds, reopenSeconds);
        return line + playback.reopenFailure;
    }
    const std::string brokeOff = fillingFailure();
    return brokeOff.empty() ? brokeOff : "music \"" + playback.path + "\" broke off: " + brokeOff;
}

void freeStream() {
    if (!playback.streamOpen) {
        return;
    }
    pauseOutput(); // the callback is not inside the ring once this returns
    stopFilling();
    resetStreamState();
    playback.streamOpen = false;
}

void freeDevice() {
    closeOutput(playback.deviceStalled);
    playback.deviceStalled = false;
    playback.deviceOpen = false;
    useDeviceClock(nullptr, nullptr);
}

const std::string& musicFailure() {
    return playback.failure;
}

} // namespace qm
