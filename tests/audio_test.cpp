// The music clock: decoding at every rate and channel count to true lengths, and the heard
// position, level and end while a track plays on a device whose queue the test knows.
#include "audio/decoder.h"
#include "audio/level.h"
#include "audio/music.h"

#include "test_support.h"
#include "timing_tracks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

using namespace testing_support;

namespace {

std::vector<std::int16_t> decodeOrFail(const std::string& path) {
    std::vector<std::int16_t> frames;
    std::string failure;
    EXPECT_TRUE(decodeWholeMp3(path.c_str(), frames, failure)) << failure;
    return frames;
}

// Quiet (step 0), half (4) and full scale (8) on every channel, 0.3 s each.
std::vector<std::int16_t> heldLevels(int rate, int channels) {
    std::vector<std::int16_t> samples;
    for (const double amplitude : {2000.0, 18400.0, 32767.0}) {
        for (int i = 0; i < rate * 3 / 10; ++i) {
            const double wave = std::sin(2.0 * M_PI * 220.0 * i / rate);
            // Full scale as a square, which clips at the scale's end after encoding.
            const double value =
                amplitude > 32000 ? (wave < 0 ? -amplitude : amplitude) : amplitude * wave;
            samples.insert(samples.end(), channels, static_cast<std::int16_t>(value));
        }
    }
    return samples;
}

} // namespace

TEST(AudioDecoder, EveryRateAndChannelCountArrivesAsStereoOfItsTrueLength) {
    // Gapless (the encoder's delay and padding gone) and resampled to 44100 Hz.
    const TempDir dir;
    for (const int channels : {1, 2}) {
        for (const int rate : {22050, 32000, 44100, 48000}) {
            const auto frames =
                decodeOrFail(makeMp3(dir, "rate.mp3", heldLevels(rate, channels), channels, rate));
            ASSERT_NEAR(static_cast<double>(frames.size() / 2), 0.9 * 44100, 1.0) << rate;
            // The middle of each plateau, away from where one level turns into the next.
            for (const auto& [end, step] : {std::pair{8000u, 0u},
                                            {21000u, 4u},
                                            {21300u, 4u},
                                            {34000u, 8u},
                                            {34500u, 8u},
                                            {38000u, 8u}}) {
                EXPECT_EQ(levelStepEndingAt(frames.data(), frames.size() / 2, end), step)
                    << rate << " Hz, " << channels << " channels, frame " << end;
            }
            for (std::size_t i = 0; channels == 1 && i < frames.size(); i += 2) {
                ASSERT_EQ(frames[i], frames[i + 1]) << "mono reaches both sides, frame " << i / 2;
            }
        }
    }
}

// Broadcast and podcast files are cut and joined from pieces of other formats, and tracks come
// at every rate: the decoded length must be the pieces' sum and every burst must land where it
// was put, or the picture drifts away from the sound.
TEST(AudioDecoder, JoinedFormatsAndOtherRatesKeepEverySampleInPlace) {
    const TempDir dir;
    std::string failure;
    const std::vector<TrackPiece> pieces = {{44100, 2, 0.6}, {48000, 2, 0.6}, {44100, 1, 0.6},
                                            {32000, 2, 0.6}, {22050, 2, 0.6}, {44100, 2, 0.6}};
    ASSERT_TRUE(writeJoinedMp3(dir.file("joined.mp3"), dir.path.string(), pieces, failure))
        << failure;
    const auto joined = decodeOrFail(dir.file("joined.mp3"));
    double start = 0.0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const auto alone = decodeOrFail(piecePath(dir.path.string(), i));
        const double expected = start + burstCentre(alone, alone.size() / 4.0, 4410);
        EXPECT_NEAR(burstCentre(joined, expected, 8820), expected, 2.0) << "piece " << i;
        start += static_cast<double>(alone.size() / 2);
    }
    EXPECT_EQ(static_cast<double>(joined.size() / 2), start);

    for (const int rate : {48000, 32000, 8000}) {
        // Five frames over, so the length at 44100 Hz ends on a fraction to be rounded.
        const double seconds = 10.3 + 5.0 / rate;
        ASSERT_TRUE(writeMp3(dir.file("clicks.mp3"),
                             burstTrack(rate, 2, seconds, {0.2, 10.0, 10.28}), 2, rate, failure,
                             rate > 24000 ? 128 : 64))
            << failure;
        const auto frames = decodeOrFail(dir.file("clicks.mp3"));
        const auto sourceFrames = static_cast<double>(static_cast<long>(seconds * rate));
        EXPECT_EQ(frames.size() / 2, std::llround(sourceFrames * 44100 / rate)) << rate;
        for (const double at : {0.2, 10.0, 10.28}) {
            EXPECT_NEAR(burstCentre(frames, at * 44100, 2205), at * 44100, 2.0)
                << rate << " Hz, burst at " << at << " s";
        }
    }
}

// Files every player plays may hold bytes before their first frame; files that only look like
// MPEG audio somewhere in their bytes must still be refused in one line.
TEST(AudioDecoder, AudioAfterJunkPlaysAndOtherFormatsAreRefused) {
    const TempDir dir;
    const std::string clean = readFile(fuzzInput("corpus-music/stereo-44100.mp3"));
    std::string noise;
    for (std::uint32_t state = 1; noise.size() < 40000;) {
        state = state * 1664525u + 1013904223u;
        noise += static_cast<char>(state >> 24);
    }
    // An ID3v2 tag of 100000 bytes (a cover picture), its size in 7-bit bytes.
    const std::string coverTag =
        std::string("ID3\x03\x00\x00\x00\x06\x0D\x20", 10) + std::string(100000, '\0');
    const std::string http = "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n";
    const auto expected = decodeOrFail(fuzzInput("corpus-music/stereo-44100.mp3"));
    for (const auto& [name, bytes] : {std::pair{"zeros", std::string(4096, '\0') + clean},
                                      {"http", http + clean},
                                      {"noise", noise.substr(0, 5000) + clean},
                                      {"http then tag", http + coverTag + clean}}) {
        writeFile(dir.file("junk.mp3"), bytes);
        EXPECT_EQ(decodeOrFail(dir.file("junk.mp3")), expected) << name;
    }
    const std::string wavHeader("RIFF\x24\x00\x10\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x02\x00"
                                "\x44\xAC\x00\x00\x10\xB1\x02\x00\x04\x00\x10\x00data",
                                40);
    for (const auto& [name, bytes] : {std::pair{"wav", wavHeader + noise},
                                      {"ogg", "OggS" + noise},
                                      {"flac", "fLaC" + noise},
                                      {"png", readFile(builtAsset(pictureFileB))},
                                      {"text", std::string(5000, 'a')}}) {
        writeFile(dir.file("other.mp3"), bytes);
        std::vector<std::int16_t> frames;
        std::string failure;
        EXPECT_FALSE(decodeWholeMp3(dir.file("other.mp3").c_str(), frames, failure)) << name;
        EXPECT_EQ(failure.rfind("not an MP3 file (", 0), 0u) << name << ": " << failure;
    }
}

// SDL's disk driver writing into a pipe that holds exactly one device buffer is a device whose
// queue is known: what this test has read was heard. The driver writes through a stdio buffer of
// one more device buffer, so this device holds two where the clock expects a real one to hold
// one: the position may run one buffer ahead of what was read, never two (the picture would run
// a buffer ahead of the sound), never lag a buffer behind and never go back. A quiet second, then
// a second of full scale on the left: the level reads the heard moment, and the track ends
// exactly at its length.
TEST(AudioClock, PositionLevelAndEndFollowWhatTheDeviceHasPlayed) {
    const TempDir dir;
    const std::string pipePath = dir.file("device");
    ASSERT_EQ(::mkfifo(pipePath.c_str(), 0600), 0);
    const int device = ::open(pipePath.c_str(), O_RDONLY | O_NONBLOCK);
    constexpr int bufferBytes = 1024 * 4; // the device buffer the music clock asks for
    ASSERT_EQ(::fcntl(device, F_SETPIPE_SZ, bufferBytes), bufferBytes);
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", pipePath.c_str(), 1);
    ::setenv("SDL_DISKAUDIODELAY", "0", 1);
    std::vector<std::int16_t> samples;
    square(samples, 1.0, 2000, 2000);
    square(samples, 1.0, 32767, 0);
    ASSERT_TRUE(openDevice()) << musicFailure();
    ASSERT_TRUE(openStream(makeMp3(dir, "event.mp3", samples).c_str())) << musicFailure();
    EXPECT_EQ(readMusicClock().seconds, 0.0);
    ::fcntl(device, F_SETFL, 0);
    std::vector<std::int16_t> buffer(bufferBytes / 2);
    const auto readBuffer = [&] {
        for (std::size_t got = 0; got < bufferBytes;) {
            const ssize_t n =
                ::read(device, reinterpret_cast<char*>(buffer.data()) + got, bufferBytes - got);
            ASSERT_GT(n, 0);
            got += static_cast<std::size_t>(n);
        }
    };
    startPlayback();
    do { // the silence SDL wrote while paused comes first
        readBuffer();
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
        readBuffer();
    }
    EXPECT_TRUE(reading.ended);
    EXPECT_NEAR(reading.seconds, 2.0, 1e-6);
    std::thread drain([&] {
        while (::read(device, buffer.data(), bufferBytes) > 0) {
        }
    });
    freeStream();
    freeDevice();
    drain.join();
    ::close(device);
}

// A sound server that stops taking sound (suspended, corked) must not freeze the picture for
// ever. SDL's disk driver blocks in its write once this test stops reading the pipe, and the
// device stops calling back, as such a server's would. A second's hiccup just continues; a frame
// loop that was itself held for longer than the bound (the process stopped, say) is no stall on
// its own; a device that stays silent while frames go on ends playback with the one line the
// user is told, the position held within what the device was handed.
TEST(AudioClock, ADeviceThatStopsTakingSoundEndsPlaybackWithAFailure) {
    const TempDir dir;
    const std::string pipePath = dir.file("device");
    ASSERT_EQ(::mkfifo(pipePath.c_str(), 0600), 0);
    const int device = ::open(pipePath.c_str(), O_RDONLY | O_NONBLOCK);
    constexpr int bufferBytes = 1024 * 4;
    ASSERT_EQ(::fcntl(device, F_SETPIPE_SZ, bufferBytes), bufferBytes);
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", pipePath.c_str(), 1);
    ::setenv("SDL_DISKAUDIODELAY", "0", 1);
    std::vector<std::int16_t> samples;
    square(samples, 8.0, 2000, 2000);
    ASSERT_TRUE(openDevice()) << musicFailure();
    ASSERT_TRUE(openStream(makeMp3(dir, "long.mp3", samples).c_str())) << musicFailure();
    ::fcntl(device, F_SETFL, 0);
    // The disk driver writes through stdio, whose flush at exit would wait on the full pipe too,
    // so however this case ends the pipe is drained then (never closed: with no reader left, the
    // held write would end the process by SIGPIPE).
    const struct DrainAtEnd {
        int fd;
        ~DrainAtEnd() {
            std::thread([fd = fd] {
                char bytes[4096];
                while (::read(fd, bytes, sizeof bytes) > 0) {
                }
            }).detach();
        }
    } drainAtEnd{device};
    std::vector<std::int16_t> buffer(bufferBytes / 2);
    long long heard = 0; // frames of music read from the device
    const auto readBuffer = [&] {
        for (std::size_t got = 0; got < bufferBytes;) {
            const ssize_t n =
                ::read(device, reinterpret_cast<char*>(buffer.data()) + got, bufferBytes - got);
            ASSERT_GT(n, 0);
            got += static_cast<std::size_t>(n);
        }
        heard += std::any_of(buffer.begin(), buffer.end(), [](std::int16_t s) { return s != 0; })
                     ? 1024
                     : 0;
    };
    startPlayback();
    while (heard == 0) { // the silence SDL wrote while paused comes first
        readBuffer();
    }
    using Clock = std::chrono::steady_clock;
    // Frames every 10 ms until `done`; the moment the position last moved, in `moved`.
    Clock::time_point moved = Clock::now();
    double last = -1.0;
    ClockReading reading;
    const auto framesUntil = [&](const std::function<bool()>& done) {
        return waitUntil(20.0 * slowdown, [&] {
            reading = readMusicClock();
            const double position = reading.seconds;
            EXPECT_LE(std::llround(position * playbackRate), heard + 2 * 1024);
            if (position != last) {
                last = position;
                moved = Clock::now();
            }
            return done();
        });
    };
    const auto frozenFor = [&](double seconds) {
        return std::chrono::duration<double>(Clock::now() - moved).count() >= seconds;
    };
    for (int i = 0; i < 10; ++i) {
        readBuffer();
        reading = readMusicClock();
    }
    ASSERT_TRUE(framesUntil([&] { return frozenFor(1.0); }));
    EXPECT_FALSE(reading.ended) << playbackFailure();
    const double beforeHiccup = last;
    for (int i = 0; i < 10; ++i) {
        readBuffer();
        reading = readMusicClock();
    }
    EXPECT_GT(reading.seconds, beforeHiccup);
    EXPECT_FALSE(reading.ended) << playbackFailure();

    // The device stops again, and once frames have seen it owe a callback, the frame loop is
    // held past the bound: that gap is the condition under test, not a wait for something. The
    // frames after it must still see the device silent for most of the bound.
    ASSERT_TRUE(framesUntil([&] { return frozenFor(0.3); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const auto resumed = Clock::now();
    ASSERT_TRUE(framesUntil([&] { return reading.ended; }));
    const double stalledAfter = std::chrono::duration<double>(Clock::now() - resumed).count();
    EXPECT_GE(stalledAfter, 1.0) << "the held frame loop was taken for the device's stall";
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "the audio device stopped playing: no sound taken for 2 s at %.1f s of the music",
                  reading.seconds);
    EXPECT_EQ(playbackFailure(), expected);
    freeStream();
    freeDevice(); // returns although SDL's device thread is still held in its write
}
