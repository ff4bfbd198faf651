// The loaders in-process: every way to break one of the three files, refused with its reason;
// and every input the fuzzers ever tripped over, and their seed corpora, fed once more through
// the fuzz targets' checks in the ordinary test build (and so under the asan and tsan presets
// too): a fixed fault stays fixed without clang or libFuzzer.
#include "fuzz/checks.h"
#include "test_support.h"

#include <chrono>
#include <optional>
#include <tuple>

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

// Each way to break one of the three files, with what the presentation's one line must say of
// it (AppEndToEnd shows one of each kind reaching the viewer): the file's bytes, none where it is
// missing, "/" for a folder. The built tovrel.png holds plausible MPEG frame headers in its
// compressed data and must still be refused as music rather than play as a burst of noise.
TEST(BrokenAssets, EachIsRefusedInOneLineWithItsReason) {
    const TempDir dir;
    for (const char* file : assetFileNames) {
        const bool music = file == assetFileNames[0];
        const char* cut = music ? "no MPEG audio found in the file" : "not a valid PNG";
        const std::string built = readFile(builtAsset(assetFileNames[music ? 0 : 1]));
        const std::tuple<const char*, const char*, std::optional<std::string>> cases[] = {
            {"missing", "No such file or directory", std::nullopt},
            {"empty", "the file is empty", ""},
            {"a folder", "it is a folder, not a file", "/"},
            // Cut inside the first frames: a track cut later still plays the part that is there.
            {"cut", cut, built.substr(0, music ? 400 : 3000)},
            {"another format", music ? "not an MP3 file" : cut,
             readFile(builtAsset(assetFileNames[music ? 2 : 0]))},
            // The fuzz seeds: an ID3v2 tag with nothing after it, and a valid PNG whose header
            // claims 100000x100000 pixels, more than the GL's largest texture.
            {"a seed", music ? cut : "100000x100000 pixels do not fit",
             readFile(fuzzInput(music ? "corpus-music/id3-only.mp3"
                                      : "corpus-picture/huge-header.png"))}};
        for (const auto& [damage, reason, bytes] : cases) {
            SCOPED_TRACE(std::string(file) + ", " + damage);
            const std::string path = dir.file(file);
            fs::remove_all(path);
            if (bytes == "/") {
                fs::create_directory(path);
            } else if (bytes) {
                writeFile(path, *bytes);
            }
            std::vector<std::int16_t> frames;
            Picture picture;
            std::string failure;
            EXPECT_FALSE(music ? decodeWholeMp3(path.c_str(), frames, failure)
                               : readPicture(path, 16384, picture, failure));
            EXPECT_NE(failure.find(reason), std::string::npos) << failure;
            EXPECT_EQ(failure.find('\n'), std::string::npos) << failure;
        }
    }
}
