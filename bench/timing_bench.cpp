// Measures how exactly the decoder keeps time on tracks a user may drop in: files joined from
// pieces of different formats (decoded length against the pieces' sum, and where each piece's
// burst lands) and long click tracks at other rates (where a burst at 10 s and at 110 s lands
// against round(t × 44100)).
//   ./bench/timing_bench [FOLDER]   (from the build folder; the files stay in FOLDER when given,
//                                    joined-6.mp3 and joined-60.mp3 among them)
#include "audio/decoder.h"

#include "mp3_writer.h"
#include "timing_tracks.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace qm;

namespace fs = std::filesystem;

namespace {

std::vector<std::int16_t> decode(const std::string& path) {
    std::vector<std::int16_t> frames;
    std::string failure;
    if (!decodeWholeMp3(path.c_str(), frames, failure)) {
        std::fprintf(stderr, "timing_bench: %s: %s\n", path.c_str(), failure.c_str());
        std::exit(1);
    }
    return frames;
}

void joined(const fs::path& folder, const char* name, const std::vector<TrackPiece>& pieces) {
    std::string failure;
    const std::string path =
        (folder / ("joined-" + std::to_string(pieces.size()) + ".mp3")).string();
    if (!writeJoinedMp3(path, folder.string(), pieces, failure)) {
        std::fprintf(stderr, "timing_bench: %s\n", failure.c_str());
        std::exit(1);
    }
    const auto whole = decode(path);
    double start = 0.0, worst = 0.0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const auto alone = decode(piecePath(folder.string(), i));
        const double expected = start + burstCentre(alone, alone.size() / 4.0, 2205);
        // Search half a piece each way: the burst may have moved, but not into the next piece.
        const double found = burstCentre(whole, expected, pieces[i].seconds * 22050);
        worst = std::max(worst, found < 0 ? INFINITY : std::abs(found - expected));
        start += static_cast<double>(alone.size() / 2);
    }
    std::printf("%-34s decoded %8.3f s, pieces alone %8.3f s; worst burst %7.2f ms off\n", name,
                static_cast<double>(whole.size() / 2) / 44100, start / 44100, worst / 44.1);
}

void clicks(const fs::path& folder, int rate) {
    const std::string path = (folder / ("clicks-" + std::to_string(rate) + ".mp3")).string();
    std::string failure;
    if (!writeMp3(path, burstTrack(rate, 2, 111.0, {10.0, 110.0}), 2, rate, failure,
                  rate >= 32000 ? 128 : 64)) {
        std::fprintf(stderr, "timing_bench: %s\n", failure.c_str());
        std::exit(1);
    }
    const auto frames = decode(path);
    std::printf("%5d Hz click track, length %+6.1f frames;", rate,
                static_cast<double>(frames.size() / 2) - 111.0 * 44100);
    for (const double at : {10.0, 110.0}) {
        std::printf(" burst at %3.0f s %+8.2f frames", at,
                    burstCentre(frames, at * 44100, 4410) - at * 44100);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    const fs::path folder =
        argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "quartz-timing-bench";
    fs::create_directories(folder);
    joined(
        folder, "six 3 s pieces, four formats",
        {{44100, 2, 3}, {48000, 2, 3}, {44100, 1, 3}, {32000, 2, 3}, {22050, 2, 3}, {44100, 2, 3}});
    std::vector<TrackPiece> alternating;
    for (int i = 0; i < 60; ++i) {
        alternating.push_back({i % 2 ? 48000 : 44100, 2, 0.1});
    }
    joined(folder, "60 pieces of 0.1 s, 44.1/48 kHz", alternating);
    for (const int rate : {48000, 32000, 24000, 16000, 12000, 8000}) {
        clicks(folder, rate);
    }
    if (argc == 1) {
        fs::remove_all(folder);
    }
    return 0;
}
