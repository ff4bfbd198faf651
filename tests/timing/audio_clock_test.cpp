// The music clock against wall time: the heard position, level and end while a track plays on a
// device whose queue the test knows, with and without a device clock. How long a device may hold
// the sound is decided in heard_clock_test, and a run that a stuck device ends in app_test.
#include "audio/music.h"

#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>

using namespace qm;
using namespace testing_support;

namespace {

constexpr int bufferBytes = 1024 * 4; // the device buffer the music clock asks for

// SDL's disk driver writing into a FIFO that holds one device buffer (opened here for reading,
// not blocking, so the open does not wait for the writer), with `samples` as the track. -1 where
// any of it fails.
int openPipedTrack(const TempDir& dir, const std::vector<std::int16_t>& samples) {
    const std::string pipePath = dir.file("device");
    const int device = ::mkfifo(pipePath.c_str(), 0600) == 0
                           ? ::open(pipePath.c_str(), O_RDONLY | O_NONBLOCK)
                           : -1;
    if (device < 0 || ::fcntl(device, F_SETPIPE_SZ, bufferBytes) != bufferBytes) {
        ADD_FAILURE() << "cannot make a pipe of one device buffer in " << dir.file("");
        return -1;
    }
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", pipePath.c_str(), 1);
    ::setenv("SDL_DISKAUDIODELAY", "0", 1);
    if (!openDevice() || !openStream(makeMp3(dir, "track.mp3", samples).c_str())) {
        ADD_FAILURE() << musicFailure();
        return -1;
    }
    return device;
}

// One device buffer from the pipe, waiting for it.
void readDeviceBuffer(int device, std::vector<std::int16_t>& buffer) {
    for (std::size_t got = 0; got < bufferBytes;) {
        const ssize_t n =
            ::read(device, reinterpret_cast<char*>(buffer.data()) + got, bufferBytes - got);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
}

// Reads up to the first buffer of music: the silence SDL wrote while paused comes first.
void skipPausedSilence(int device, std::vector<std::int16_t>& buffer) {
    ::fcntl(device, F_SETFL, 0);
    do {
        readDeviceBuffer(device, buffer);
    } while (std::all_of(buffer.begin(), buffer.end(), [](std::int16_t s) { return s == 0; }));
}

// Frees the stream and the device while the pipe is drained, so SDL's last writes return.
void closeDevice(int device) {
    std::thread drain(readToEnd, device);
    freeStream();
    freeDevice();
    drain.join();
    ::close(device);
}

// A device clock as a browser's audio context gives it: buffer k starts at k buffers' time, but
// every other callback reports it 3 ms (132 frames) late, as a callback run late would.
std::atomic<int> clockCallbacks{0};
std::atomic<double> clockNow{NAN};

double lateBufferStart() {
    const int callback = clockCallbacks.fetch_add(1);
    return (callback * 1024.0 + (callback % 2 ? 132 : 0)) / playbackRate;
}

double clockHeardNow() {
    return clockNow.load();
}

} // namespace

// SDL's disk driver writing into a pipe that holds exactly one device buffer is a device whose
// queue is known: what this test has read was heard. The driver writes through a stdio buffer of
// one more device buffer, so this device holds two where the clock expects a real one to hold
// one: the position may run one buffer ahead of what was read, never two (the picture would run
// a buffer ahead of the sound), never lag a buffer behind and never go back. A quiet second, then
// a second of full scale on the left: the level reads the heard moment, and the track ends
// exactly at its length.
TEST(AudioClock, PositionLevelAndEndFollowWhatTheDeviceHasPlayed) {
    const TempDir dir;
    std::vector<std::int16_t> samples;
    square(samples, 1.0, 2000, 2000);
    square(samples, 1.0, 32767, 0);
    const int device = openPipedTrack(dir, samples);
    ASSERT_GE(device, 0);
    EXPECT_EQ(readMusicClock().seconds, 0.0);
    std::vector<std::int16_t> buffer(bufferBytes / 2);
    startPlayback();
    skipPausedSilence(device, buffer);
    long long last = 0, heard = 1024;
    ClockReading reading;
    for (; !reading.ended && heard < 200 * 1024; heard += 1024) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60)); // a whole buffer's time
        reading = readMusicClock();
        const auto frame = std::llround(reading.seconds * playbackRate);
        const unsigned step = reading.levelStep;
        EXPECT_LE(frame, heard + 2 * 1024) << "after " << heard << " frames";
        EXPECT_GE(frame + 1024, std::min(heard, 88200LL)) << "after " << heard << " frames";
        ASSERT_GE(frame, last);
        // The encoder smears the onset by a few milliseconds; a frame is 1/60 s.
        EXPECT_TRUE(frame < 43659 ? step == 0 : frame < 44100 + 735 || step == 8)
            << "step " << step << " at frame " << frame;
        last = frame;
        readDeviceBuffer(device, buffer);
    }
    EXPECT_TRUE(reading.ended);
    EXPECT_NEAR(reading.seconds, 2.0, 1e-6);
    closeDevice(device);
}

// Given a device clock, the position is that clock's, never a late callback's report and never
// past what was handed over, and the track still ends exactly at its length.
TEST(AudioClock, ADeviceClockIsFollowedPastLateCallbacksToTheEnd) {
    const TempDir dir;
    std::vector<std::int16_t> samples;
    square(samples, 1.0, 2000, 2000);
    const int device = openPipedTrack(dir, samples);
    ASSERT_GE(device, 0);
    clockCallbacks = 0;
    useDeviceClock(lateBufferStart, clockHeardNow);
    std::vector<std::int16_t> buffer(bufferBytes / 2);
    startPlayback();
    skipPausedSilence(device, buffer);
    // Buffer `played` has been read, so its callback handed it over: a quarter into it by the
    // clock. Read at about the pace of the sound, which the decoder keeps up with.
    int played = 0;
    for (; played < 20; ++played) {
        clockNow = (played + 0.25) * 1024 / playbackRate;
        EXPECT_NEAR(readMusicClock().seconds * playbackRate, played * 1024 + 256, 1)
            << "in buffer " << played;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        readDeviceBuffer(device, buffer);
    }
    clockNow = 1000.0;
    ClockReading reading = readMusicClock();
    EXPECT_LE(reading.seconds * playbackRate, clockCallbacks * 1024.0);
    for (; !reading.ended && played < 100; ++played) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        readDeviceBuffer(device, buffer);
        reading = readMusicClock();
    }
    EXPECT_TRUE(reading.ended);
    EXPECT_NEAR(reading.seconds, 1.0, 1e-6);
    closeDevice(device);
}
