// Decoding at every rate and channel count to true lengths, joined files, junk before the first
// frame and files that are not MP3 at all.
#include "audio/decoder.h"
#include "audio/level.h"

#include "test_support.h"
#include "timing_tracks.h"

#include <algorithm>
#include <cmath>

using namespace qm;

using namespace testing_support;

namespace {

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
                                "\x44\xAC\x00\x00\x10\xB1\x02\x00\x04\x00\x10\x00"
                                "data",
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
