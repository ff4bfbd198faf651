// The asset generator: the same bytes on every run, pictures of the size and structure the
// composite pass relies on, music whose left channel drives the level meter over its whole range
// and changes where the picture does, and a clear failure when the folder cannot be written.
#include "assets.h"

#include <gtest/gtest.h>
#include <lodepng.h>
#include <mpg123.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr double windowSeconds = 0.02;

fs::path freshFolder(const std::string& tag) {
    const fs::path folder =
        fs::temp_directory_path() / ("qm-assets-" + tag + "-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

struct ToolRun {
    int exitCode;
    std::string errors;
};

ToolRun runMakeAssets(const fs::path& folder) {
    const fs::path errorFile =
        fs::temp_directory_path() / ("qm-assets-stderr-" + std::to_string(::getpid()));
    const std::string command = std::string("'") + QM_MAKE_ASSETS_EXE + "' '" + folder.string() +
                                "' 2>'" + errorFile.string() + "'";
    const int status = std::system(command.c_str());
    std::ifstream in(errorFile);
    std::string errors{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    fs::remove(errorFile);
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, errors};
}

std::vector<char> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Decoded {
    long rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples; // interleaved
};

// Gapless decoding, as the presentation does it, so section times line up to the frame.
Decoded decodeMp3(const fs::path& path) {
    Decoded decoded;
    mpg123_init();
    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (handle == nullptr)
        return decoded;
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0.0);
    int encoding = 0;
    if (mpg123_open(handle, path.c_str()) == MPG123_OK &&
        mpg123_getformat(handle, &decoded.rate, &decoded.channels, &encoding) == MPG123_OK &&
        encoding == MPG123_ENC_SIGNED_16) {
        std::vector<unsigned char> buffer(1 << 16);
        std::size_t got = 0;
        int result = MPG123_OK;
        do {
            result = mpg123_read(handle, buffer.data(), buffer.size(), &got);
            const auto* first = reinterpret_cast<const std::int16_t*>(buffer.data());
            decoded.samples.insert(decoded.samples.end(), first, first + got / 2);
        } while (result == MPG123_OK);
    }
    mpg123_close(handle);
    mpg123_delete(handle);
    return decoded;
}

// The meter's reading (peak |sample| / 4095, truncated) for each 20 ms window of one channel.
std::vector<int> levelSteps(const Decoded& music, int channel) {
    std::vector<int> steps;
    const std::size_t frames = music.samples.size() / 2;
    for (std::size_t start = 0; start + levelWindowFrames <= frames; start += levelWindowFrames) {
        int peak = 0;
        for (std::size_t i = start; i < start + levelWindowFrames; ++i)
            peak = std::max(peak, std::abs(static_cast<int>(music.samples[2 * i + channel])));
        steps.push_back(peak / 4095);
    }
    return steps;
}

// The windows that start in [from, to) seconds.
std::vector<int> stepsBetween(const std::vector<int>& steps, double from, double to) {
    const auto first = static_cast<std::size_t>(std::lround(from / windowSeconds));
    const auto last =
        std::min(steps.size(), static_cast<std::size_t>(std::lround(to / windowSeconds)));
    return first < last ? std::vector<int>(steps.begin() + first, steps.begin() + last)
                        : std::vector<int>();
}

int maxStep(const std::vector<int>& steps) {
    return steps.empty() ? -1 : *std::max_element(steps.begin(), steps.end());
}

double shareOf(const std::vector<int>& steps, int step) {
    return steps.empty()
               ? 0.0
               : static_cast<double>(std::count(steps.begin(), steps.end(), step)) / steps.size();
}

// One generated set per process: synthesis takes a second or two, too slow to repeat per check.
class GeneratedAssets : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder = freshFolder("shared");
        const ToolRun run = runMakeAssets(folder);
        ASSERT_EQ(run.exitCode, 0) << run.errors;
        music = decodeMp3(folder / musicFileName);
        left = levelSteps(music, 0);
        right = levelSteps(music, 1);
    }
    static void TearDownTestSuite() { fs::remove_all(folder); }

    static fs::path folder;
    static Decoded music;
    static std::vector<int> left;
    static std::vector<int> right;
};
fs::path GeneratedAssets::folder;
Decoded GeneratedAssets::music;
std::vector<int> GeneratedAssets::left;
std::vector<int> GeneratedAssets::right;

} // namespace

TEST(MakeAssetsRun, WritesTheSameBytesOnEveryRun) {
    const fs::path first = freshFolder("first");
    const fs::path second = freshFolder("second");
    ASSERT_EQ(runMakeAssets(first).exitCode, 0);
    ASSERT_EQ(runMakeAssets(second).exitCode, 0);
    for (const char* name : assetFileNames) {
        const std::vector<char> a = readBytes(first / name);
        EXPECT_FALSE(a.empty()) << name;
        EXPECT_TRUE(a == readBytes(second / name)) << name << " differs between runs";
    }
    fs::remove_all(first);
    fs::remove_all(second);
}

TEST(MakeAssetsRun, FolderThatCannotBeWrittenFailsWithOneLine) {
    const fs::path scratch = freshFolder("failing");
    const fs::path plainFile = scratch / "not-a-folder";
    std::ofstream(plainFile) << "x";
    for (const fs::path& target : {scratch / "missing", plainFile}) {
        const ToolRun run = runMakeAssets(target);
        EXPECT_EQ(run.exitCode, 1) << target;
        EXPECT_NE(run.errors.find(target.string()), std::string::npos) << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
    }
    fs::remove_all(scratch);
}

TEST_F(GeneratedAssets, PicturesSuitTheCompositePass) {
    std::vector<unsigned char> globe;
    std::vector<unsigned char> star;
    unsigned width = 0;
    unsigned height = 0;
    ASSERT_EQ(lodepng::decode(globe, width, height, (folder / pictureFileA).string()), 0u);
    EXPECT_EQ(width, 640u);
    EXPECT_EQ(height, 480u);
    ASSERT_EQ(lodepng::decode(star, width, height, (folder / pictureFileB).string()), 0u);
    EXPECT_EQ(width, 640u);
    EXPECT_EQ(height, 480u);

    // zupfist2 wins the brighter-of test only where it is brighter than the red point cloud:
    // it needs dark areas for the cloud and bright ones of its own.
    std::size_t dark = 0;
    std::size_t bright = 0;
    for (std::size_t i = 0; i + 3 < globe.size(); i += 4) {
        const double length = std::sqrt(globe[i] * globe[i] + globe[i + 1] * globe[i + 1] +
                                        globe[i + 2] * globe[i + 2]) /
                              255.0;
        dark += length < 0.5;
        bright += length > 0.8;
    }
    const std::size_t pixels = globe.size() / 4;
    EXPECT_GT(dark, pixels / 4);
    EXPECT_GT(bright, pixels / 5);

    // tovrel's red alone becomes saturation and value: large high and low areas, sharp edges.
    std::size_t high = 0;
    std::size_t low = 0;
    for (std::size_t i = 0; i < star.size(); i += 4) {
        high += star[i] >= 217;
        low += star[i] <= 38;
    }
    EXPECT_GT(high, pixels * 3 / 10);
    EXPECT_GT(low, pixels * 3 / 10);
    EXPECT_GT(high + low, pixels * 95 / 100) << "too much mid red: edges are not sharp";
}

TEST_F(GeneratedAssets, LeftChannelSpansTheMeter) {
    ASSERT_EQ(music.rate, 44100);
    ASSERT_EQ(music.channels, 2);
    const double seconds = static_cast<double>(music.samples.size() / 2) / music.rate;
    EXPECT_GE(seconds, 30.0);
    EXPECT_LE(seconds, 40.0);

    EXPECT_EQ(maxStep(left), 8) << "no full-scale hit";
    // Five windows in a row at step 0 after the intro: a real silence, not just a quiet bar.
    const std::vector<int> afterIntro = stepsBetween(left, 4.4, seconds);
    const std::vector<int> silence(5, 0);
    EXPECT_NE(std::search(afterIntro.begin(), afterIntro.end(), silence.begin(), silence.end()),
              afterIntro.end());
    // The right channel is its own mix: it still sounds somewhere the left is silent.
    bool rightAlone = false;
    for (std::size_t w = 0; w < left.size(); ++w)
        rightAlone = rightAlone || (left[w] == 0 && right[w] >= 1);
    EXPECT_TRUE(rightAlone);
}

TEST_F(GeneratedAssets, SectionsChangeWhereThePictureDoes) {
    // Every change starts with a full-scale hit after a quieter moment.
    for (double change : {4.4, 13.0, 17.4}) {
        EXPECT_LT(maxStep(stepsBetween(left, change - 0.2, change)), 6) << change;
        EXPECT_EQ(maxStep(stepsBetween(left, change, change + 0.1)), 8) << change;
    }
    const std::vector<int> intro = stepsBetween(left, 0.0, 4.4);
    const std::vector<int> groove = stepsBetween(left, 4.4, 13.0);
    const std::vector<int> stutter = stepsBetween(left, 13.0, 17.4);
    EXPECT_LE(maxStep(intro), 5) << "the intro should stay below the groove";
    EXPECT_GT(shareOf(intro, 0), 0.05) << "the intro should start from silence";
    EXPECT_EQ(shareOf(groove, 0), 0.0) << "the groove should never drop out";
    EXPECT_GT(shareOf(stutter, 0), 0.2) << "the break should be chopped by silences";
}
