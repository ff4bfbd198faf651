// A single-producer, single-consumer ring of interleaved stereo frames: the decoder writes the
// future, the device callback takes it, and the meter reads the recent past. Each side moves
// only its own count, `written` the producer's and `consumed` the consumer's, and publishes it
// with release after the samples it covers. Samples are relaxed atomics, so the meter's look at
// the past while the producer writes the future is free of data races without locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace qm {

struct FrameRing {
    static constexpr std::uint64_t frames = 1u << 16; // about 1.5 s at 44100 Hz
    std::unique_ptr<std::atomic<std::int16_t>[]> samples;
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> consumed{0};
};

// Empty, with its samples allocated or released; neither side may run meanwhile.
void allocateRing(FrameRing& ring);
void releaseRing(FrameRing& ring);

// Producer: frames written and not yet taken, and writing `count` more.
std::uint64_t ringAhead(const FrameRing& ring);
void ringWrite(FrameRing& ring, const std::int16_t* stereoFrames, std::size_t count);

// Consumer: copies up to `wanted` ready frames to `out`, from frame `first`; how many.
std::uint64_t ringTake(FrameRing& ring, std::int16_t* out, std::uint64_t wanted,
                       std::uint64_t& first);
// Consumer, while it does not run: takes again from `frame`, which must still be in the ring.
void ringRewind(FrameRing& ring, std::uint64_t frame);

// Any thread: frames [start, start + count) of the recent past, into `out`.
void ringPeek(const FrameRing& ring, std::uint64_t start, std::size_t count, std::int16_t* out);

} // namespace qm
