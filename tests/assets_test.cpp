// The assets the build made: the same bytes on every run, pictures with the structure the
// composite pass relies on, music whose left channel spans the meter and changes where the
// picture does, and a clear failure when the folder cannot be written.
#include "audio/decoder.h"
#include "audio/level.h"
#include "test_support.h"

#include <algorithm>
#include <cmath>

using namespace testing_support;

namespace {

ProcessResult makeAssets(const std::string& folder) {
    return runProgram({QM_MAKE_ASSETS_EXE, folder}, fs::temp_directory_path().string(),
                      120.0 * slowdown);
}

// The meter's step for each 20 ms window of one channel of the built track, from its start.
std::vector<unsigned> steps(int channel) {
    std::vector<std::int16_t> frames;
    std::string failure;
    EXPECT_TRUE(decodeWholeMp3(builtAsset(musicFileName).c_str(), frames, failure)) << failure;
    std::vector<unsigned> result;
    for (std::size_t end = levelWindowFrames; end <= frames.size() / 2; end += levelWindowFrames) {
        result.push_back(levelStepEndingAt(frames.data() + channel, frames.size() / 2, end));
    }
    return result;
}

// The windows that start in [from, to) seconds.
std::vector<unsigned> between(const std::vector<unsigned>& steps, double from, double to) {
    const auto first = std::min(steps.size(), std::size_t(std::lround(from / 0.02)));
    return {steps.begin() + first,
            steps.begin() + std::min(steps.size(), std::size_t(std::lround(to / 0.02)))};
}

unsigned loudest(const std::vector<unsigned>& steps) {
    return steps.empty() ? 99 : *std::max_element(steps.begin(), steps.end());
}

double shareOfSilence(const std::vector<unsigned>& steps) {
    return double(std::count(steps.begin(), steps.end(), 0u)) /
           std::max<std::size_t>(1, steps.size());
}

} // namespace

TEST(MakeAssetsRun, WritesTheSameBytesOnEveryRunAndFailsInOneLine) {
    const TempDir again;
    ASSERT_EQ(makeAssets(again.path.string()).exitCode, 0);
    for (const char* name : assetFileNames) {
        const std::string built = readFile(builtAsset(name));
        EXPECT_FALSE(built.empty()) << name;
        EXPECT_TRUE(built == readFile(again.file(name))) << name << " differs between runs";
    }
    writeFile(again.file("plain-file"), "x");
    for (const std::string& target : {again.file("missing"), again.file("plain-file")}) {
        const ProcessResult run = makeAssets(target);
        EXPECT_EQ(run.exitCode, 1) << target;
        EXPECT_NE(run.standardError.find(target), std::string::npos) << run.standardError;
        EXPECT_EQ(std::count(run.standardError.begin(), run.standardError.end(), '\n'), 1);
    }
}

TEST(BuiltAssets, MusicSpansTheMeterAndChangesWhereThePictureDoes) {
    const std::vector<unsigned> left = steps(0), right = steps(1);
    EXPECT_GE(left.size() * 0.02, 30.0);
    EXPECT_LE(left.size() * 0.02, 40.0);
    EXPECT_EQ(loudest(left), 8u) << "no full-scale hit";
    // Five windows in a row at step 0 after the intro: a real silence, not just a quiet bar.
    const std::vector<unsigned> afterIntro = between(left, 4.4, 99.0), silence(5, 0);
    EXPECT_NE(std::search(afterIntro.begin(), afterIntro.end(), silence.begin(), silence.end()),
              afterIntro.end());
    // The right channel is its own mix: it still sounds somewhere the left is silent.
    bool rightAlone = false;
    for (std::size_t w = 0; w < left.size(); ++w) {
        rightAlone = rightAlone || (left[w] == 0 && right[w] >= 1);
    }
    EXPECT_TRUE(rightAlone);
    // Every change starts with a full-scale hit after a quieter moment.
    for (double change : {4.4, 13.0, 17.4}) {
        EXPECT_LT(loudest(between(left, change - 0.2, change)), 6u) << change;
        EXPECT_EQ(loudest(between(left, change, change + 0.1)), 8u) << change;
    }
    EXPECT_LE(loudest(between(left, 0.0, 4.4)), 5u) << "the intro should stay below the groove";
    EXPECT_GT(shareOfSilence(between(left, 0.0, 4.4)), 0.05) << "the intro starts from silence";
    EXPECT_EQ(shareOfSilence(between(left, 4.4, 13.0)), 0.0) << "the groove never drops out";
    EXPECT_GT(shareOfSilence(between(left, 13.0, 17.4)), 0.2) << "the break is chopped by silences";
}
