#include "audio/ring_filler.h"

#include "audio/decoder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qm {

namespace {

#ifdef __EMSCRIPTEN__
constexpr bool decodeOnOwnThread = false;
#else
constexpr bool decodeOnOwnThread = true;
#endif

// The ring holds half a second ahead, so a nap of 40 ms keeps it full at any rate the device
// takes; only stopFilling wakes the thread early, to stop.
constexpr auto decoderNap = std::chrono::milliseconds(40);

struct Filler {
    FrameRing* ring = nullptr;
    Mp3Decoder decoder;
    std::atomic<bool> finished{false};
    std::vector<std::int16_t> frameLoopChunk; // where there is no decoder thread
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false; // guarded by mutex
};

// Never destroyed: a library that calls exit() mid-run (Xlib when the window or the X connection
// is taken away) would otherwise run ~thread on the live decoder thread and abort with a core.
Filler& filler = *new Filler;

void decodeAhead(std::vector<std::int16_t>& chunk) {
    while (!filler.finished.load(std::memory_order_relaxed) &&
           ringAhead(*filler.ring) < fillAheadFrames) {
        const std::size_t frames = decodeMp3(filler.decoder, chunk.data(), fillChunkFrames);
        if (frames == 0) {
            // The decoder's failure is written before this publishes it.
            filler.finished.store(true, std::memory_order_release);
            return;
        }
        ringWrite(*filler.ring, chunk.data(), frames);
    }
}

[[maybe_unused]] void runDecoder() { // unused where decodeOnOwnThread is false
    std::vector<std::int16_t> chunk(fillChunkFrames * 2);
    std::unique_lock<std::mutex> lock(filler.mutex);
    while (!filler.stop) {
        lock.unlock();
        decodeAhead(chunk);
        lock.lock();
        filler.wake.wait_for(lock, decoderNap, [] { return filler.stop; });
    }
}

} // namespace

bool startFilling(FrameRing& ring, const char* path, std::string& failure) {
    filler.ring = &ring;
    filler.finished.store(false);
    filler.stop = false;
    if (!openMp3(filler.decoder, path, failure)) {
        return false;
    }
    std::vector<std::int16_t> chunk(fillChunkFrames * 2);
    decodeAhead(chunk);
    if constexpr (decodeOnOwnThread) {
        filler.thread = std::thread(runDecoder);
    } else {
        filler.frameLoopChunk = std::move(chunk);
    }
    return true;
}

void topUpRing() {
    if constexpr (!decodeOnOwnThread) {
        if (filler.ring != nullptr && filler.ring->samples) {
            decodeAhead(filler.frameLoopChunk);
        }
    }
}

bool fillingFinished() {
    return filler.finished.load(std::memory_order_acquire);
}

std::string fillingFailure() {
    return fillingFinished() ? filler.decoder.failure : std::string();
}

void stopFilling() {
    {
        std::lock_guard<std::mutex> lock(filler.mutex);
        filler.stop = true;
    }
    filler.wake.notify_one();
    if (filler.thread.joinable()) {
        filler.thread.join();
    }
    closeMp3(filler.decoder);
    filler.finished.store(false);
}

} // namespace qm
