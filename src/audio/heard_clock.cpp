#include "audio/heard_clock.h"

#include "assets.h"

#include <algorithm>

namespace qm {

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
