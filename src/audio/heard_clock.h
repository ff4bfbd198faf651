// The heard clock: from what the device side reports (each callback's stamp, or a device's own
// clock) to the frame being heard now, and the two watches on a device that stops playing: one
// that stops calling back (held), one that SDL reports lost. Arithmetic over moments it is
// given, and the lock-free boards the callback publishes on; no SDL, so its tests can hand it
// any moment they like.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace qm {

constexpr std::int64_t nanosecondsPerSecond = 1'000'000'000;

// The moments the stamps and the watches count in: the monotonic clock, in nanoseconds.
std::int64_t monotonicNanoseconds();

// A device that has taken nothing for this long while music is still to be heard (a suspended or
// corked sound server) is given up on. A hold of up to 5 s is survived, as a lost device gets 5 s
// to come back; the 3 s beyond it leave room for a loaded machine's late frames and for a sound
// server that takes a moment to take sound again after it resumes, and the viewer before a frozen
// picture is still told within about ten seconds.
constexpr int deviceHoldSeconds = 8;
// A frame loop that was itself held (the machine suspended, a debugger) has seen nothing of the
// device meanwhile, so a gap between two frames counts towards a hold for at most this much.
constexpr std::int64_t longestCountedGapNanoseconds = 250'000'000;

// A lost device (its sound server gone) is opened again on the default device this often, and
// given up on once this long has passed without one: long enough for a desktop's sound service
// to be restarted, short enough not to leave a viewer wondering.
constexpr std::int64_t reopenPeriodNanoseconds = 250'000'000;
constexpr int reopenSeconds = 5;

// What one callback published: the stream frames of the buffer the device started to play then,
// and when.
struct Stamp {
    std::uint64_t firstFrame = 0;
    std::uint64_t endFrame = 0;    // one past its last frame
    std::int64_t nanoseconds = -1; // -1: no callback since the device was opened
};

// The last callback's stamp, published under a sequence counter so a reader never sees the
// frames of one callback with the time of another. One writer (the callback, or the main thread
// while no callback runs), any number of readers.
struct StampBoard {
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<std::uint64_t> firstFrame{0};
    std::atomic<std::uint64_t> endFrame{0};
    std::atomic<std::int64_t> nanoseconds{-1};
};

// A buffer a callback handed over: stream frames [first, first + frames).
struct Handed {
    std::uint64_t first = 0;
    std::uint64_t frames = 0;
};

// How a driver's callbacks stand to what is heard, taken once from SDL's driver name.
enum class CallbackTiming {
    // The device plays one buffer while the callback fills the next: the buffer handed over in
    // the previous callback starts to be heard at this one.
    nextCallback,
    // SDL's PipeWire driver fills the graph cycle that asks for it, at the graph's own pace (the
    // same 1024 frames, but at the graph's 48 kHz: 21.3 ms), with a buffer of the stream's
    // (23.2 ms), and the stream's resampler keeps what the cycle did not take: from none to about
    // a buffer ahead of what plays, as the two periods beat. So the frames half a buffer before
    // this one's first are heard now. Counting from the previous buffer put the picture 10 ms
    // behind the sound there; half a graph cycle (10.7 ms) instead of half a buffer, 3 ms ahead.
    graphCycle,
};

// The stamp a callback at `now` publishes, which handed over `current` (a device buffer of
// `bufferFrames`) after `previous`.
Stamp callbackStamp(CallbackTiming timing, const Handed& previous, const Handed& current,
                    std::uint64_t bufferFrames, std::int64_t now);

void publishStamp(StampBoard& board, const Stamp& stamp);
// The stamp read whole, and the sequence it was read at (it changes with every callback).
Stamp readStamp(const StampBoard& board, std::uint32_t& sequence);

// A device's own clock (a browser's audio context): each callback that hands samples over
// implies the moment on that clock at which stream frame 0 played. A callback the device ran
// late only ever overstates it, so the least of the last few stands, and a real shift (a gap in
// the sound) is taken up once those few have passed. Written by the callback only.
struct FrameZeroBoard {
    static constexpr std::size_t kept = 8; // about 0.19 s of callbacks
    std::array<std::atomic<double>, kept> zeroes{};
    std::atomic<std::uint64_t> count{0}; // published after its slot
};

void noteFrameZero(FrameZeroBoard& board, double zero);
// The least of the last few; infinity before the first.
double earliestFrameZero(const FrameZeroBoard& board);

struct HeardFrame {
    std::uint64_t frame; // being heard now
    bool pastStamp;      // the heard moment reached the end of the stamped buffer
};

// The frame heard at `now`: the stamped buffer's first frame, advanced by the time since its
// stamp, but never past its end (the rest is the silence after the music, an underrun, or a
// device that stopped calling back), and never back from `previous`.
HeardFrame heardFromStamp(const Stamp& stamp, std::int64_t now, std::uint64_t previous);

// The frame heard at `now` on a device's own clock, on which stream frame 0 played at
// `frameZero` (seconds): never past the `handed` frames and never back from `previous`.
std::uint64_t heardOnDeviceClock(double now, double frameZero, std::uint64_t handed,
                                 std::uint64_t previous);

// Frame-loop time a device has owed a callback. Time counts only while consecutive frames see the
// same stamp outrun, so one long gap in the frame loop cannot trip it, and any callback starts
// the count again.
struct HoldWatch {
    std::uint32_t sequence = 0; // of the stamp the previous frame saw
    std::int64_t previousNanoseconds = -1;
    std::int64_t overdueNanoseconds = 0;
};

// One frame's look: `owed` when the device should have called back by now (the music is not
// all heard and the heard moment is past the stamp). True once the hold has lasted too long.
bool watchHold(HoldWatch& watch, bool owed, std::uint32_t sequence, std::int64_t now);

// SDL's PipeWire driver never reports a device lost: with its server gone the callbacks just stop.
// Where the driver does not report losses, a hold this long is taken for one, so that a server
// started again is reached; a live server's graph calls back every 21 ms or so.
constexpr std::int64_t silentLossNanoseconds = 1'000'000'000;

// Whether the device is to be taken for lost: SDL said so (`reported`), or the driver would not
// say and the hold has lasted too long.
bool deviceLost(bool reported, bool driverReportsLoss, const HoldWatch& watch);

// A device SDL reported lost: where the music stopped being heard, and the pace of the attempts
// to open another.
struct DeviceLoss {
    bool lost = false;
    std::uint64_t heardFrame = 0;
    std::int64_t since = 0;
    std::int64_t nextAttempt = 0;
};

void noteLoss(DeviceLoss& loss, std::uint64_t heardFrame, std::int64_t now);

// Whether a reopening is due at `now`; when it is, the next one is set a period later.
bool reopenDue(DeviceLoss& loss, std::int64_t now);

// After a failed attempt at `now`: whether to give up.
bool reopenExpired(const DeviceLoss& loss, std::int64_t now);

// Where the new device starts: at what was heard. The lost device's buffers held `handedEnd`
// frames' worth beyond it that nobody heard, so they are played again.
std::uint64_t resumeFrame(const DeviceLoss& loss, std::uint64_t handedEnd);

} // namespace qm
