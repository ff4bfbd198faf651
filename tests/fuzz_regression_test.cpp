// Every input the fuzzers ever tripped over, and their seed corpora, fed once more through the
// fuzz targets' checks in the ordinary test build (and so under the asan and tsan presets too):
// a fixed fault stays fixed without clang or libFuzzer.
#include "fuzz/checks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

// The seeds and the saved findings (tests/fuzz/regressions/KIND/, one file per fault found),
// beside this file in the source tree.
std::vector<fs::path> inputsFor(const std::string& kind) {
    const fs::path fuzz = fs::path(__FILE__).parent_path() / "fuzz";
    std::vector<fs::path> inputs;
    std::error_code ignored; // no finding of this kind yet
    for (const fs::path& folder : {fuzz / ("corpus-" + kind), fuzz / "regressions" / kind}) {
        for (const auto& entry : fs::directory_iterator(folder, fs::directory_options(), ignored)) {
            inputs.push_back(entry.path());
        }
    }
    EXPECT_GT(inputs.size(), 5u) << kind;
    return inputs;
}

} // namespace

TEST(FuzzRegression, PictureInputsDecodeOrFailWithOneLine) {
    for (const fs::path& input : inputsFor("picture")) {
        EXPECT_EQ(pictureFault(input.string(), 4096), "") << input;
    }
}

TEST(FuzzRegression, MusicInputsDecodeToTheEndOrFailWithOneLine) {
    for (const fs::path& input : inputsFor("music")) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(musicFault(input.string(), 44100 * 600), "") << input;
        // Inputs hold seconds of music at most: a decoder busy for longer has stalled (once for
        // half a minute of CPU in a single read), and the picture would stall with it.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                  5.0)
            << input;
    }
}
