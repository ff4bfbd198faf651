// Every input the fuzzers ever tripped over, and their seed corpora, fed once more through the
// fuzz targets' checks in the ordinary test build (and so under the asan and tsan presets too):
// a fixed fault stays fixed without clang or libFuzzer.
#include "fuzz/checks.h"
#include "test_support.h"

#include <chrono>

using namespace qm;

using namespace testing_support;

// The seeds and the saved findings (tests/fuzz/regressions/KIND/, one file per fault found).
TEST(FuzzRegression, SeedsAndFindingsDecodeOrFailWithOneLine) {
    for (const std::string kind : {"picture", "music"}) {
        int inputs = 0;
        for (const std::string& folder : {"corpus-" + kind, "regressions/" + kind}) {
            std::error_code ignored; // no finding of this kind yet
            for (const auto& entry : fs::directory_iterator(fuzzInput(folder), ignored)) {
                const std::string input = entry.path().string();
                const auto started = std::chrono::steady_clock::now();
                ++inputs;
                EXPECT_EQ(kind == "picture" ? pictureFault(input, 4096)
                                            : musicFault(input, 44100 * 600),
                          "")
                    << input;
                // Inputs hold seconds of music at most: a decoder busy for longer has stalled
                // (once for half a minute of CPU in a single read), and the picture with it.
                EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                              .count(),
                          5.0)
                    << input;
            }
        }
        EXPECT_GT(inputs, 5) << kind;
    }
}
