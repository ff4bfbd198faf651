// Shared helpers for the playback and end-to-end tests: temporary folders and generated MP3s.
#pragma once

#include "mp3_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under the system's temporary directory, removed when the object goes.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-test-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

// Stereo PCM in which each channel is a full-cycle square wave (amplitude 0 = silence): squares
// clip at full scale after encoding, so their peak is exactly the scale's end.
inline std::vector<std::int16_t> squareStereo(double seconds, int rate, int leftAmplitude,
                                              int rightAmplitude, double hz = 110.0) {
    const auto frames = static_cast<std::size_t>(std::lround(seconds * rate));
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const bool high = std::fmod(static_cast<double>(i) * hz / rate, 1.0) < 0.5;
        samples[2 * i] = static_cast<std::int16_t>(high ? leftAmplitude : -leftAmplitude);
        samples[2 * i + 1] = static_cast<std::int16_t>(high ? rightAmplitude : -rightAmplitude);
    }
    return samples;
}

inline void append(std::vector<std::int16_t>& to, const std::vector<std::int16_t>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

inline std::string makeMp3(const TempDir& dir, const std::string& name,
                           const std::vector<std::int16_t>& samples, int channels = 2,
                           int rate = 44100) {
    std::string failure;
    const std::string path = dir.file(name);
    EXPECT_TRUE(writeMp3(path, samples, channels, rate, failure)) << failure;
    return path;
}

} // namespace testing_support
