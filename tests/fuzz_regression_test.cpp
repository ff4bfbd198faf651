// Every input the fuzzers ever tripped over, and their seed corpora, fed once more through the
// picture reader and the music decoder in the ordinary test build (and so under the asan and
// tsan presets too): a fixed fault stays fixed without clang or libFuzzer.
#include "audio/decoder.h"
#include "audio/level.h"
#include "render/picture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Beside this file in the source tree; CMake passes sources by absolute path.
const fs::path fuzzFolder = fs::path(__FILE__).parent_path() / "fuzz";

// The seeds and the saved findings (tests/fuzz/regressions/KIND/, one file per fault found).
std::vector<fs::path> inputsFor(const std::string& kind) {
    std::vector<fs::path> inputs;
    for (const fs::path& folder :
         {fuzzFolder / ("corpus-" + kind), fuzzFolder / "regressions" / kind}) {
        if (fs::is_directory(folder)) {
            for (const auto& entry : fs::directory_iterator(folder)) {
                inputs.push_back(entry.path());
            }
        }
    }
    return inputs;
}

} // namespace

TEST(FuzzRegression, PictureInputsDecodeOrFailWithOneLine) {
    const std::vector<fs::path> inputs = inputsFor("picture");
    ASSERT_FALSE(inputs.empty()) << fuzzFolder;
    for (const fs::path& input : inputs) {
        Picture picture;
        std::string failure;
        if (readPicture(input.string(), 4096, picture, failure)) {
            EXPECT_EQ(picture.pixels.size(), std::size_t{picture.width} * picture.height * 4)
                << input;
            const Picture padded = padToPowerOfTwo(picture);
            EXPECT_EQ(padded.pixels.size(), std::size_t{padded.width} * padded.height * 4) << input;
        } else {
            EXPECT_FALSE(failure.empty()) << input;
            EXPECT_EQ(failure.find('\n'), std::string::npos) << failure;
        }
    }
}

TEST(FuzzRegression, MusicInputsDecodeToTheEndOrFailWithOneLine) {
    const std::vector<fs::path> inputs = inputsFor("music");
    ASSERT_FALSE(inputs.empty()) << fuzzFolder;
    std::vector<std::int16_t> chunk(4096 * 2);
    for (const fs::path& input : inputs) {
        const auto started = std::chrono::steady_clock::now();
        Mp3Decoder decoder;
        std::string failure;
        if (!openMp3(decoder, input.c_str(), failure)) {
            EXPECT_FALSE(failure.empty()) << input;
            EXPECT_EQ(failure.find('\n'), std::string::npos) << failure;
            continue;
        }
        while (const std::size_t frames = decodeMp3(decoder, chunk.data(), 4096)) {
            ASSERT_LE(frames, 4096u) << input;
            EXPECT_LE(levelStepEndingAt(chunk.data(), frames, frames), 8u) << input;
        }
        EXPECT_TRUE(decoder.finished) << input;
        closeMp3(decoder);
        // Inputs hold seconds of music at most: a decoder busy for longer has stalled (once
        // for half a minute of CPU in a single read), and the picture would stall with it.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                  5.0)
            << input;
    }
}
