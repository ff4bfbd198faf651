#include "audio/heard_clock.h"

#include "assets.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace qm {

std::int64_t monotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Stamp callbackStamp(CallbackTiming timing, const Handed& previous, const Handed& current,
                    std::uint64_t bufferFrames, std::int64_t now) {
    if (timing == CallbackTiming::nextCallback) {
        return {previous.first, previous.first + previous.frames, now};
    }
    const std::uint64_t lead = std::min(current.first, bufferFrames / 2);
    return {current.first - lead, current.first + current.frames, now};
}

void publishStamp(StampBoard& board, const Stamp& stamp) {
    board.sequence.fetch_add(1, std::memory_order_acq_rel);
    board.firstFrame.store(stamp.firstFrame, std::memory_order_release);
    board.endFrame.store(stamp.endFrame, std::memory_order_release);
    board.nanoseconds.store(stamp.nanoseconds, std::memory_order_release);
    board.sequence.fetch_add(1, std::memory_order_release);
}

Stamp readStamp(const StampBoard& board, std::uint32_t& sequence) {
    for (;;) {
        sequence = board.sequence.load(std::memory_order_acquire);
        if (sequence & 1u) {
            continue;
        }
        // Acquire loads keep the second look at the counter after the three reads.
        Stamp stamp;
        stamp.firstFrame = board.firstFrame.load(std::memory_order_acquire);
        stamp.endFrame = board.endFrame.load(std::memory_order_acquire);
        stamp.nanoseconds = board.nanoseconds.load(std::memory_order_acquire);
        if (board.sequence.load(std::memory_order_relaxed) == sequence) {
            return stamp;
        }
    }
}

void noteFrameZero(FrameZeroBoard& board, double zero) {
    const std::uint64_t count = board.count.load(std::memory_order_relaxed);
    board.zeroes[count % FrameZeroBoard::kept].store(zero, std::memory_order_relaxed);
    board.count.store(count + 1, std::memory_order_release);
}

double earliestFrameZero(const FrameZeroBoard& board) {
    const std::uint64_t count = board.count.load(std::memory_order_acquire);
    double zero = INFINITY;
    for (std::size_t i = 0; i < std::min<std::uint64_t>(count, FrameZeroBoard::kept); ++i) {
        zero = std::min(zero, board.zeroes[i].load(std::memory_order_relaxed));
    }
    return zero;
}

HeardFrame heardFromStamp(const Stamp& stamp, std::int64_t now, std::uint64_t previous) {
    if (stamp.nanoseconds < 0) {
        return {previous, true}; // the device has not asked for anything
    }
    const std::int64_t elapsed = std::max<std::int64_t>(0, now - stamp.nanoseconds);
    const auto advanced =
        static_cast<std::uint64_t>(static_cast<double>(elapsed) * 1e-9 * playbackRate);
    return {std::max(previous, std::min(stamp.firstFrame + advanced, stamp.endFrame)),
            stamp.firstFrame + advanced >= stamp.endFrame};
}

std::uint64_t heardOnDeviceClock(double now, double frameZero, std::uint64_t handed,
                                 std::uint64_t previous) {
    const double frames =
        std::clamp((now - frameZero) * playbackRate, 0.0, static_cast<double>(handed));
    return std::max(previous, static_cast<std::uint64_t>(frames));
}

bool watchHold(HoldWatch& watch, bool owed, std::uint32_t sequence, std::int64_t now) {
    if (!owed || sequence != watch.sequence || watch.previousNanoseconds < 0) {
        watch.overdueNanoseconds = 0;
    } else {
        watch.overdueNanoseconds +=
            std::min(now - watch.previousNanoseconds, longestCountedGapNanoseconds);
    }
    watch.sequence = sequence;
    watch.previousNanoseconds = now;
    return watch.overdueNanoseconds >= deviceHoldSeconds * nanosecondsPerSecond;
}

bool deviceLost(bool reported, bool driverReportsLoss, const HoldWatch& watch) {
    return reported || (!driverReportsLoss && watch.overdueNanoseconds >= silentLossNanoseconds);
}

void noteLoss(DeviceLoss& loss, std::uint64_t heardFrame, std::int64_t now) {
    loss = {true, heardFrame, now, now};
}

bool reopenDue(DeviceLoss& loss, std::int64_t now) {
    if (now < loss.nextAttempt) {
        return false;
    }
    loss.nextAttempt = now + reopenPeriodNanoseconds;
    return true;
}

bool reopenExpired(const DeviceLoss& loss, std::int64_t now) {
    return now - loss.since >= reopenSeconds * nanosecondsPerSecond;
}

std::uint64_t resumeFrame(const DeviceLoss& loss, std::uint64_t handedEnd) {
    return std::min(loss.heardFrame, handedEnd);
}

} // namespace qm
