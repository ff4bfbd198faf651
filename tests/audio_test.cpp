// The music clock: decoding, metering and the heard position, against generated MP3s.
#include "audio/decoder.h"
#include "audio/level.h"
#include "audio/music.h"

#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

using namespace testing_support;

namespace {

// The largest and smallest meter reading over every 20 ms window of a decoded track.
std::pair<unsigned, unsigned> stepRange(const std::vector<std::int16_t>& frames) {
    unsigned low = 99, high = 0;
    const std::size_t total = frames.size() / 2;
    for (std::size_t end = levelWindowFrames; end <= total; end += levelWindowFrames / 2) {
        const unsigned step = levelStepEndingAt(frames.data(), total, end);
        low = std::min(low, step);
        high = std::max(high, step);
    }
    return {low, high};
}

std::vector<std::int16_t> decodeOrFail(const std::string& path) {
    std::vector<std::int16_t> frames;
    std::string failure;
    EXPECT_TRUE(decodeWholeMp3(path.c_str(), frames, failure)) << failure;
    return frames;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Plays `path` on the dummy device; the test body runs while it plays.
struct Playing {
    MusicStream stream = 0;
    explicit Playing(const std::string& path) {
        EXPECT_TRUE(openDevice()) << musicFailure();
        stream = openStream(path.c_str());
        EXPECT_NE(stream, 0u) << musicFailure();
    }
    ~Playing() {
        freeStream(stream);
        freeDevice();
    }
};

} // namespace

TEST(AudioMeter, ReducesThePeakOfTheLeftChannelOnly) {
    // Full scale in either direction is step 8; 4094 is still silence to the meter.
    const std::vector<std::int16_t> frames = {0, 32767, -32768, 0, 100, -32768};
    EXPECT_EQ(peakLeft(frames.data(), 3), 32768u);
    EXPECT_EQ(levelStepFromPeak(32768), 8u);
    EXPECT_EQ(levelStepFromPeak(4094), 0u);
    EXPECT_EQ(levelStepFromPeak(4095), 1u);
    // The window ends at the given frame: the loud second frame is outside a window ending at 1.
    EXPECT_EQ(levelStepEndingAt(frames.data(), 3, 1), 0u);
    EXPECT_EQ(levelStepEndingAt(frames.data(), 3, 2), 8u);
}

TEST(AudioDecoder, MetersSilenceFullScaleAndRightOnlyTracks) {
    TempDir dir;
    const auto silent = decodeOrFail(makeMp3(dir, "silent.mp3", squareStereo(1.0, 44100, 0, 0)));
    const auto loud = decodeOrFail(makeMp3(dir, "loud.mp3", squareStereo(1.0, 44100, 32767, 0)));
    const auto right = decodeOrFail(makeMp3(dir, "right.mp3", squareStereo(1.0, 44100, 0, 32767)));
    EXPECT_EQ(stepRange(silent), std::make_pair(0u, 0u));
    EXPECT_EQ(stepRange(loud).second, 8u);
    EXPECT_EQ(stepRange(right), std::make_pair(0u, 0u));
}

TEST(AudioDecoder, DecodesExactLengthsMonoAndOtherRates) {
    TempDir dir;
    // Gapless: the encoder's delay and padding are removed, so one second is 44100 frames.
    EXPECT_EQ(decodeOrFail(makeMp3(dir, "one.mp3", squareStereo(1.0, 44100, 8000, 8000))).size(),
              2u * 44100u);

    // A mono file's only channel is the left one (and the right one too).
    std::vector<std::int16_t> mono(44100);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        mono[i] = (i / 200) % 2 ? 32767 : -32767;
    }
    const auto monoFrames = decodeOrFail(makeMp3(dir, "mono.mp3", mono, 1));
    ASSERT_EQ(monoFrames.size(), 2u * 44100u);
    EXPECT_EQ(stepRange(monoFrames).second, 8u);
    for (std::size_t i = 0; i < monoFrames.size(); i += 2) {
        ASSERT_EQ(monoFrames[i], monoFrames[i + 1]) << "frame " << i / 2;
    }

    // Other rates and mono arrive as 44100 Hz stereo of their true length, and held levels
    // meter as they do at 44100 Hz: quiet (step 0), half (4) and full scale (8) in turn.
    const auto heldLevels = [](int rate, int channels) {
        std::vector<std::int16_t> samples;
        for (const double amplitude : {2000.0, 18400.0, 32767.0}) {
            for (int i = 0; i < rate * 3 / 10; ++i) {
                const double wave = std::sin(2.0 * M_PI * 220.0 * i / rate);
                // Full scale as a square, which clips at the scale's end after encoding.
                const double value = amplitude > 32000 ? (wave < 0 ? -amplitude : amplitude)
                                                       : amplitude * wave;
                samples.insert(samples.end(), channels, static_cast<std::int16_t>(value));
            }
        }
        return samples;
    };
    const auto reference = decodeOrFail(makeMp3(dir, "held.mp3", heldLevels(44100, 2)));
    for (const auto& [end, step] : {std::pair{8000u, 0u}, {21000u, 4u}, {34000u, 8u}}) {
        ASSERT_EQ(levelStepEndingAt(reference.data(), reference.size() / 2, end), step) << end;
    }
    for (const int channels : {1, 2}) {
        for (const int rate : {22050, 32000, 48000}) {
            const auto frames = decodeOrFail(
                makeMp3(dir, "rate.mp3", heldLevels(rate, channels), channels, rate));
            ASSERT_NEAR(static_cast<double>(frames.size() / 2), 0.9 * 44100, 1.0) << rate;
            // The middle of each plateau, away from where one level turns into the next.
            for (const std::size_t end : {8000u, 21000u, 21300u, 34000u, 34500u, 38000u}) {
                EXPECT_EQ(levelStepEndingAt(frames.data(), frames.size() / 2, end),
                          levelStepEndingAt(reference.data(), reference.size() / 2, end))
                    << rate << " Hz, " << channels << " channels, frame " << end;
            }
        }
    }
}

TEST(AudioDecoder, RefusesFilesWithoutAudioAndSaysWhy) {
    TempDir dir;
    const std::string good = makeMp3(dir, "good.mp3", squareStereo(0.5, 44100, 8000, 8000));
    std::ifstream in(good, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    auto writeFile = [&](const std::string& name, const std::string& content) {
        std::ofstream(dir.file(name), std::ios::binary) << content;
        return dir.file(name);
    };
    std::filesystem::create_directory(dir.file("folder.mp3"));

    struct Case {
        std::string path;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {dir.file("missing.mp3"), "No such file"},
        {writeFile("empty.mp3", ""), "empty"},
        {dir.file("folder.mp3"), "folder"},
        {writeFile("text.mp3", std::string(4000, 'x')), "not an MP3"},
        {writeFile("png.mp3", "\x89PNG\r\n\x1a\n" + std::string(3000, '\0')), "not an MP3"},
        // The first bytes of a real file: its tag frame and no audio frame after it.
        {writeFile("truncated.mp3", bytes.substr(0, 300)), ""},
    };
    for (const Case& c : cases) {
        MusicStream stream = openStream(c.path.c_str());
        EXPECT_EQ(stream, 0u) << c.path;
        EXPECT_FALSE(musicFailure().empty()) << c.path;
        EXPECT_NE(musicFailure().find(c.reason), std::string::npos)
            << c.path << ": " << musicFailure();
        freeStream(stream);
    }
    // A refused file leaves the layer ready for the next one.
    MusicStream stream = openStream(good.c_str());
    EXPECT_NE(stream, 0u) << musicFailure();
    freeStream(stream);
}

TEST(AudioClock, PositionFollowsWallTimeAndNeverDecreases) {
    TempDir dir;
    Playing playing(makeMp3(dir, "long.mp3", squareStereo(4.0, 44100, 8000, 8000)));
    EXPECT_NEAR(positionSeconds(playing.stream), 0.0, 1e-9);
    startPlayback(playing.stream);
    const auto start = std::chrono::steady_clock::now();
    double last = 0.0;
    while (secondsSince(start) < 2.0) {
        const double position = positionSeconds(playing.stream);
        ASSERT_GE(position, last);
        last = position;
        update();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    // The device's pace is the clock's: SDL's dummy driver runs about 1 % fast when idle and
    // falls a few per cent behind when its thread is scheduled late, and the buffer it plays is
    // heard one callback after it was handed over. Never far ahead of real time, never stalled.
    const double wall = secondsSince(start);
    EXPECT_LE(positionSeconds(playing.stream), 1.02 * wall + 0.005);
    EXPECT_GE(positionSeconds(playing.stream), 0.9 * wall - 0.030);
    EXPECT_TRUE(isActive(playing.stream));
}

TEST(AudioClock, EndsOnceEverythingHasBeenHeard) {
    TempDir dir;
    Playing playing(makeMp3(dir, "second.mp3", squareStereo(1.0, 44100, 8000, 8000)));
    startPlayback(playing.stream);
    const auto start = std::chrono::steady_clock::now();
    while (isActive(playing.stream) && secondsSince(start) < 3.0) {
        update();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(isActive(playing.stream));
    // Not before the last sample could have been played; late only by a loaded device.
    EXPECT_GE(secondsSince(start), 0.98);
    EXPECT_LT(secondsSince(start), 1.25);
    EXPECT_NEAR(positionSeconds(playing.stream), 1.0, 1e-6);
}

TEST(AudioClock, LevelRisesWithinAFrameOfALoudEvent) {
    // One second of silence, then full scale on the left.
    TempDir dir;
    auto samples = squareStereo(1.0, 44100, 0, 0);
    append(samples, squareStereo(1.0, 44100, 32767, 0));
    Playing playing(makeMp3(dir, "event.mp3", samples));
    startPlayback(playing.stream);
    const auto start = std::chrono::steady_clock::now();
    double risenAt = -1.0;
    while (secondsSince(start) < 1.8) {
        const double position = positionSeconds(playing.stream);
        const unsigned step = readLevelStep(playing.stream);
        if (position < 0.99) {
            ASSERT_EQ(step, 0u) << "at " << position << " s";
        } else if (step == 8 && risenAt < 0) {
            risenAt = position;
        }
        update();
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    // The encoder smears the onset by a few milliseconds; a frame is 1/60 s.
    EXPECT_GE(risenAt, 0.99);
    EXPECT_LE(risenAt, 1.0 + 1.0 / 60.0);
}
