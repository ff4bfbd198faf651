// Decoding at every rate and channel count to true lengths, joined files and junk before the
// first frame.
#include "audio/decoder.h"
#include "audio/level.h"

#include "test_support.h"
#include "timing_tracks.h"

#include <algorithm>
#include <cmath>

using namespace qm;

using namespace testing_support;

namespace {

// Quiet (step 0), half (4) and full scale (8) on every channel, 0.3 s each, and five frames
// over, so the length at 44100 Hz ends on a fraction to be rounded.
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
    samples.insert(samples.end(), 5 * channels, 0);
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
            ASSERT_EQ(frames.size() / 2, std::llround((rate * 9 / 10 + 5) * 44100.0 / rate))
                << rate;
            // The middle of each plateau, away from where one level turns into the next.
            for (const auto& [end, step] :
                 {std::pair{8000u, 0u}, {21000u, 4u}, {34000u, 8u}, {38000u, 8u}}) {
                EXPECT_EQ(levelStepEndingAt(frames.data(), frames.size() / 2, end), step)
                    << rate << " Hz, " << channels << " channels, frame " << end;
            }
            for (std::size_t i = 0; channels == 1 && i < frames.size(); i += 2) {
                ASSERT_EQ(frames[i], frames[i + 1]) << "mono reaches both sides, frame " << i / 2;
            }
        }
    }
}

// Broadcast and podcast files are cut and joined from pieces of other formats and rates: the
// decoded length must be the pieces' sum and every burst must land where it was put, or the
// picture drifts away from the sound.
TEST(AudioDecoder, JoinedFormatsKeepEverySampleInPlace) {
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
}

// Files every player plays may hold bytes before their first frame: zeros, an HTTP header, an
// ID3v2 tag, noise, or a tag as large as a cover picture that only its size in the header skips.
// (Files that only look like MPEG audio somewhere in their bytes are refused: BrokenAssets.)
TEST(AudioDecoder, AudioAfterJunkPlays) {
    const TempDir dir;
    const std::string clean = fuzzInput("corpus-music/stereo-44100.mp3");
    const auto expected = decodeOrFail(clean);
    decodeOrFail(fuzzInput("corpus-music/junk-garbage.mp3")); // noise before other audio
    for (const char* seed : {"junk-zeros-4k", "junk-http-header", "id3-then-audio"}) {
        EXPECT_EQ(decodeOrFail(fuzzInput("corpus-music/" + std::string(seed) + ".mp3")), expected)
            << seed;
    }
    // An ID3v2 tag of 100000 bytes, its size in 7-bit bytes.
    writeFile(dir.file("cover.mp3"), std::string("ID3\x03\x00\x00\x00\x06\x0D\x20", 10) +
                                         std::string(100000, '\0') + readFile(clean));
    EXPECT_EQ(decodeOrFail(dir.file("cover.mp3")), expected);
}
