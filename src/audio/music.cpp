// The music clock. Three parties share the playback state:
//  - the decoder thread fills a ring of samples about half a second ahead of the device;
//  - SDL's device callback only copies ready samples out of the ring and stamps the clock
//    (it never decodes, reads the file, locks or allocates, so it cannot glitch the sound);
//  - the main thread asks for the heard position and the level between frames, and opens a new
//    device in place of one SDL reports lost (audio/output), playing on from what was heard.
// Ring samples are relaxed atomics: the meter reads the recent past of the ring while the
// decoder writes its future, and this keeps that sharing free of data races without locks.
#include "audio/music.h"

#include "audio/decoder.h"
#include "audio/frame_ring.h"
#include "audio/heard_clock.h"
#include "audio/level.h"
#include "audio/output.h"

#include <SDL.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace qm {

namespace {

constexpr std::uint64_t decodeAheadFrames = playbackRate / 2; // what the decoder keeps ready
constexpr std::size_t decodeChunkFrames = 4096;
constexpr std::uint64_t deviceBufferFrames = 1024; // at most what a callback asks for
constexpr auto decoderNap = std::chrono::milliseconds(40);
// The ring must hold the decoded future and the metered past at once.
static_assert(decodeAheadFrames + decodeChunkFrames + 4 * deviceBufferFrames + levelWindowFrames <
              FrameRing::frames);

// The browser build has no threads: there readMusicClock() decodes ahead between frames instead,
// and SDL's callback runs between frames too, so nothing else changes. A hidden tab gets no
// frames but its audio graph still asks for samples, so there the callback tops the ring up too.
#ifdef __EMSCRIPTEN__
constexpr bool decodeOnOwnThread = false;
#else
constexpr bool decodeOnOwnThread = true;
#endif

using Clock = std::chrono::steady_clock;

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Playback {
    std::string failure;
    bool deviceOpen = false;

    // Closing the device joins SDL's device thread, which a held device may hold forever in a
    // write that never returns. Once set, the device is left to the end of the process.
    bool deviceStalled = false;

    // The stream. Only one exists at a time; its handle is 1.
    bool streamOpen = false;
    std::string path; // as openStream was given it, for the failure line
    Mp3Decoder decoder;
    FrameRing ring; // the decoder thread writes, the callback takes
    std::atomic<bool> decodeFinished{false};

    // The device plays one buffer while the callback fills the next, so the buffer handed over
    // in a callback starts to be heard at the following callback. Callback only.
    std::uint64_t handedFirstFrame = 0;
    std::uint64_t handedFrames = 0;

    // The clock stamp of the last callback: the stream frames of the buffer the device started
    // to play then.
    StampBoard stamp;

    // The device's own clock, where useDeviceClock gave one.
    double (*deviceBufferStart)() = nullptr;
    double (*deviceHeardNow)() = nullptr;
    FrameZeroBoard frameZeroes;

    std::thread decoderThread;
    std::vector<std::int16_t>
        frameLoopChunk; // readMusicClock()'s, where there is no decoder thread
    std::mutex decoderMutex;
    std::condition_variable decoderWake;
    bool stopDecoder = false; // guarded by decoderMutex

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
// is taken away) would otherwise run ~thread on the live decoder thread and abort with a core.
Playback& playback = *new Playback;

void decodeAhead(std::vector<std::int16_t>& chunk);

void SDLCALL fillDeviceBuffer(void*, Uint8* bytes, int length) {
    if constexpr (!decodeOnOwnThread) {
        if (playback.ring.samples) {
            decodeAhead(playback.frameLoopChunk);
        }
    }
    auto* out = reinterpret_cast<std::int16_t*>(bytes);
    const std::uint64_t wanted = static_cast<std::uint64_t>(length) / 4;
    // SDL goes on calling a lost device's callback at the sound's pace, into nothing: nothing is
    // taken from the ring and nothing stamped, so the clock holds at what was heard.
    if (outputLost()) {
        std::fill(out, out + 2 * wanted, std::int16_t{0});
        return;
    }
    std::uint64_t first = 0;
    const std::uint64_t ready = ringTake(playback.ring, out, wanted, first);
    std::fill(out + 2 * ready, out + 2 * wanted, std::int16_t{0});
    const std::uint64_t handedEnd = playback.handedFirstFrame + playback.handedFrames;
    publishStamp(playback.stamp, {playback.handedFirstFrame, handedEnd, nowNanoseconds()});
    playback.handedFirstFrame = first;
    playback.handedFrames = ready;
    if (playback.deviceBufferStart != nullptr && ready > 0) {
        const double zero =
            playback.deviceBufferStart() - static_cast<double>(first) / playbackRate;
        if (std::isfinite(zero)) {
            noteFrameZero(playback.frameZeroes, zero);
        }
    }
}

// Decodes until the ring holds decodeAheadFrames beyond what the device has taken.
void decodeAhead(std::vector<std::int16_t>& chunk) {
    while (!playback.decodeFinished.load(std::memory_order_relaxed) &&
           ringAhead(playback.ring) < decodeAheadFrames) {
        const std::size_t frames = decodeMp3(playback.decoder, chunk.data(), decodeChunkFrames);
        if (frames == 0) {
            playback.decodeFinished.store(true, std::memory_order_release);
            return;
        }
        ringWrite(playback.ring, chunk.data(), frames);
    }
}

[[maybe_unused]] void runDecoder() { // unused where decodeOnOwnThread is false
    std::vector<std::int16_t> chunk(decodeChunkFrames * 2);
    std::unique_lock<std::mutex> lock(playback.decoderMutex);
    while (!playback.stopDecoder) {
        lock.unlock();
        decodeAhead(chunk);
        lock.lock();
        // The ring holds half a second ahead, so a nap of 40 ms keeps it full at any rate the
        // device takes; only freeStream wakes it early, to stop.
        playback.decoderWake.wait_for(lock, decoderNap, [] { return playback.stopDecoder; });
    }
}

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
    return playback.decodeFinished.load(std::memory_order_acquire) &&
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
    playback.handedFirstFrame = resume;
    playback.handedFrames = 0;
    publishStamp(playback.stamp, {resume, resume, -1});
    playback.frameZeroes.count.store(0, std::memory_order_release);
    playback.frameHeard = resume;
    playback.holdWatch = {};
    playback.loss.lost = false;
    playOutput();
}

// The clock while the device is lost: held where the sound stopped, silent, while a new default
// device is tried every reopening period, until one opens or the time is up (the run then ends
// and playbackFailure says why). Each attempt holds the frame loop only as long as SDL takes to
// open a device or to find it cannot.
ClockReading readWhileLost(std::int64_t now) {
    if (!playback.lostForGood && reopenDue(playback.loss, now)) {
        if (reopenOutput(playback.reopenFailure)) {
            resumeAfterLoss();
        } else if (reopenExpired(playback.loss, now)) {
            playback.lostForGood = true;
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
    playback.decodeFinished.store(false);
    playback.handedFirstFrame = 0;
    playback.handedFrames = 0;
    publishStamp(playback.stamp, {});
    playback.frameZeroes.count.store(0);
    playback.frameHeard = 0;
    playback.stopDecoder = false;
    playback.started = false;
    playback.holdWatch = {};
    playback.stalled = false;
    playback.loss = {};
    playback.lostForGood = false;
}

} // namespace

bool openDevice() {
    playback.deviceOpen = openOutput(fillDeviceBuffer, playback.failure);
    return playback.deviceOpen;
}

bool openStream(const char* path) {
    if (playback.streamOpen) {
        playback.failure = "a music stream is already open";
        return false;
    }
    resetStreamState();
    if (!openMp3(playback.decoder, path, playback.failure)) {
        return false;
    }
    playback.path = path;
    allocateRing(playback.ring);
    std::vector<std::int16_t> chunk(decodeChunkFrames * 2);
    decodeAhead(chunk);
    if constexpr (decodeOnOwnThread) {
        playback.decoderThread = std::thread(runDecoder);
    } else {
        playback.frameLoopChunk = std::move(chunk);
    }
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
    const std::int64_t now = nowNanoseconds();
    if (playback.loss.lost) {
        return readWhileLost(now);
    }
    const StampReading stamp = readStampAt(now);
    playback.frameHeard = playback.deviceHeardNow != nullptr ? deviceClockFrame(stamp.heard.frame)
                                                             : stamp.heard.frame;
    if (playback.started && !allHeard() && outputLost()) {
        noteLoss(playback.loss, playback.frameHeard, now);
        return readWhileLost(now);
    }
    const bool owed = playback.started && stamp.heard.pastStamp && !allHeard();
    if (watchHold(playback.holdWatch, owed, stamp.sequence, now)) {
        playback.stalled = true;
        playback.deviceStalled = true;
    }
    if constexpr (!decodeOnOwnThread) {
        decodeAhead(playback.frameLoopChunk);
    }
    return {static_cast<double>(playback.frameHeard) / playbackRate, levelStepHeard(),
            playback.stalled || allHeard()};
}

void useDeviceClock(double (*bufferStart)(), double (*heardNow)()) {
    playback.deviceBufferStart = bufferStart;
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
    // The decoder thread writes its failure before it publishes decodeFinished.
    if (!playback.decodeFinished.load(std::memory_order_acquire) ||
        playback.decoder.failure.empty()) {
        return {};
    }
    return "music \"" + playback.path + "\" broke off: " + playback.decoder.failure;
}

void freeStream() {
    if (!playback.streamOpen) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(playback.decoderMutex);
        playback.stopDecoder = true;
    }
    playback.decoderWake.notify_one();
    if (playback.decoderThread.joinable()) {
        playback.decoderThread.join();
    }
    pauseOutput(); // the callback is not inside the ring once this returns
    releaseRing(playback.ring);
    closeMp3(playback.decoder);
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
