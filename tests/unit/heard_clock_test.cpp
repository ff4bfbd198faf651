// The heard clock's decisions on made-up moments: how long a device may hold the sound, and how
// a lost device is replaced.
#include "audio/heard_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace qm;

namespace {

constexpr std::int64_t ms = 1'000'000;

} // namespace

// Frames every 10 ms that see the same stamp outrun: five seconds are survived, eight end the
// run, and after one a driver that never reports a loss is taken for lost. A callback starts the
// count again, and a frame loop held for seconds counts a quarter.
TEST(HeardClock, ADeviceMayHoldTheSoundFiveSecondsButNotEight) {
    HoldWatch watch;
    std::int64_t now = 0;
    const auto framesFor = [&](std::int64_t span, std::uint32_t sequence) {
        bool held = false;
        for (const std::int64_t end = now + span; now < end && !held;) {
            now += 10 * ms;
            held = watchHold(watch, true, sequence, now);
        }
        return held;
    };
    EXPECT_FALSE(framesFor(900 * ms, 2));
    EXPECT_FALSE(deviceLost(false, false, watch)) << "a PipeWire graph a moment late";
    EXPECT_FALSE(framesFor(4200 * ms, 2));
    EXPECT_TRUE(deviceLost(false, false, watch)) << "the PipeWire driver's server gone";
    EXPECT_FALSE(deviceLost(false, true, watch)) << "a driver that would say is only held";
    EXPECT_FALSE(framesFor(5100 * ms, 4)) << "a callback came between";
    now += 3000 * ms; // the frame loop itself held
    EXPECT_FALSE(watchHold(watch, true, 4, now));
    EXPECT_FALSE(framesFor(2500 * ms, 4));
    EXPECT_TRUE(framesFor(400 * ms, 4));
    EXPECT_FALSE(watchHold(watch, false, 4, now + 10 * ms)) << "nothing owed";
}

// A lost device is given up 5 s after the loss, and the device that comes back starts at what was
// heard, never at what the lost one was handed.
TEST(HeardClock, ALostDeviceIsReplacedFromTheHeardFrameForFiveSeconds) {
    DeviceLoss loss;
    noteLoss(loss, 3 * 44100 + 17, 1000 * ms);
    EXPECT_TRUE(loss.lost);
    EXPECT_FALSE(reopenExpired(loss, 5990 * ms));
    EXPECT_TRUE(reopenExpired(loss, 6000 * ms));
    EXPECT_EQ(resumeFrame(loss, 3 * 44100 + 17 + 3072), 3u * 44100 + 17);
    EXPECT_EQ(resumeFrame(loss, 3 * 44100), 3u * 44100) << "never beyond what was handed";
}

// A device's own clock (a browser's audio context): each callback tells when stream frame 0
// played on it, every other one 3 ms late, as a callback run late would. The earliest of the
// last few stands, a real shift is taken up once they have passed, and the heard frame never
// passes what was handed over nor goes back.
TEST(HeardClock, ADeviceClockIsFollowedPastLateCallbacks) {
    FrameZeroBoard board;
    EXPECT_EQ(earliestFrameZero(board), INFINITY);
    for (int k = 0; k < 20; ++k) {
        noteFrameZero(board, k % 2 ? 1.003 : 1.0);
    }
    EXPECT_EQ(earliestFrameZero(board), 1.0);
    for (std::size_t k = 0; k < FrameZeroBoard::kept; ++k) {
        noteFrameZero(board, 2.0);
    }
    EXPECT_EQ(earliestFrameZero(board), 2.0);
    EXPECT_EQ(heardOnDeviceClock(2.25, 2.0, 44100, 0), 11025u);
    EXPECT_EQ(heardOnDeviceClock(2.25, 2.0, 4096, 0), 4096u);
    EXPECT_EQ(heardOnDeviceClock(2.25, 2.0, 44100, 20000), 20000u);
}

// SDL's PipeWire driver as measured: the graph asks every 1024 frames at 48 kHz, and a callback
// hands 1024 frames at 44.1 kHz to the stream's resampler whenever it holds less than a cycle
// takes; what it holds is not heard yet. The driver's timing keeps the picture within 2 ms of
// that at the median and within a 60 Hz frame at worst; counting from the previous buffer, as
// for other drivers, puts it behind.
TEST(HeardClock, ThePipeWireDriversCallbacksPlaceTheHeardFrame) {
    for (const auto& [timing, inStep] : {std::pair{CallbackTiming::graphCycle, true},
                                         std::pair{CallbackTiming::nextCallback, false}}) {
        const double cycle = 1024.0 / 48000, buffer = 1024.0 / 44100;
        double held = 0; // seconds of sound in the resampler
        Handed previous, current;
        Stamp stamp;
        std::uint64_t heard = 0;
        std::vector<double> errors;
        for (int n = 0; n < 250; ++n, held -= cycle) {
            const auto now = static_cast<std::int64_t>(n * cycle * 1e9);
            if (held < cycle) {
                previous = current;
                current = {previous.first + previous.frames, 1024};
                stamp = callbackStamp(timing, previous, current, 1024, now);
                held += buffer;
            }
            heard = heardFromStamp(stamp, now, heard).frame;
            errors.push_back((static_cast<double>(heard) - (current.first + 1024)) / 44100 + held);
        }
        std::sort(errors.begin(), errors.end());
        EXPECT_EQ(std::abs(errors[errors.size() / 2]) < 0.002, inStep) << errors[errors.size() / 2];
        if (inStep) {
            EXPECT_LT(std::max(-errors.front(), errors.back()), 1.0 / 60);
        }
    }
}
