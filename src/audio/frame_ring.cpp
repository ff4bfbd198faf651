#include "audio/frame_ring.h"

#include <algorithm>

namespace qm {

namespace {

std::atomic<std::int16_t>& sample(const FrameRing& ring, std::uint64_t frame, int channel) {
    return ring.samples[(frame % FrameRing::frames) * 2 + static_cast<std::uint64_t>(channel)];
}

} // namespace

void allocateRing(FrameRing& ring) {
    ring.samples = std::make_unique<std::atomic<std::int16_t>[]>(FrameRing::frames * 2);
    ring.written.store(0);
    ring.consumed.store(0);
}

void releaseRing(FrameRing& ring) {
    ring.samples.reset();
    ring.written.store(0);
    ring.consumed.store(0);
}

std::uint64_t ringAhead(const FrameRing& ring) {
    return ring.written.load(std::memory_order_relaxed) -
           ring.consumed.load(std::memory_order_acquire);
}

void ringWrite(FrameRing& ring, const std::int16_t* stereoFrames, std::size_t count) {
    const std::uint64_t written = ring.written.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < count; ++i) {
        sample(ring, written + i, 0).store(stereoFrames[2 * i], std::memory_order_relaxed);
        sample(ring, written + i, 1).store(stereoFrames[2 * i + 1], std::memory_order_relaxed);
    }
    ring.written.store(written + count, std::memory_order_release);
}

std::uint64_t ringTake(FrameRing& ring, std::int16_t* out, std::uint64_t wanted,
                       std::uint64_t& first) {
    first = ring.consumed.load(std::memory_order_relaxed);
    if (!ring.samples) {
        return 0;
    }
    const std::uint64_t ready =
        std::min(wanted, ring.written.load(std::memory_order_acquire) - first);
    for (std::uint64_t i = 0; i < ready; ++i) {
        out[2 * i] = sample(ring, first + i, 0).load(std::memory_order_relaxed);
        out[2 * i + 1] = sample(ring, first + i, 1).load(std::memory_order_relaxed);
    }
    ring.consumed.store(first + ready, std::memory_order_release);
    return ready;
}

void ringRewind(FrameRing& ring, std::uint64_t frame) {
    ring.consumed.store(frame, std::memory_order_release);
}

void ringPeek(const FrameRing& ring, std::uint64_t start, std::size_t count, std::int16_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = sample(ring, start + i, 0).load(std::memory_order_relaxed);
        out[2 * i + 1] = sample(ring, start + i, 1).load(std::memory_order_relaxed);
    }
}

} // namespace qm
