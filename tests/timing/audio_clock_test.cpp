// The music clock against wall time: the heard position, level and end while a track plays on a
// device whose queue the test knows. How long a device may hold the sound, and a device's own
// clock, are decided in heard_clock_test; a run that a stuck device ends is app_test's.
#include "audio/music.h"

#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Frees the stream and the device while the pipe is drained, so SDL's last writes return.
void closeDevice(int device) {
    std::thread drain(readToEnd, device);
    freeStream();
    freeDevice();
    drain.join();
    ::close(device);
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
    ::fcntl(device, F_SETFL, 0);
    do { // the silence SDL wrote while paused comes first
        readDeviceBuffer(device, buffer);
    } while (std::all_of(buffer.begin(), buffer.end(), [](std::int16_t s) { return s == 0; }));
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
