// Measures the music clock: CPU while playing, decode speed, and how straight the heard
// position runs against the monotonic clock, read once per 60 Hz frame.
//   SDL_AUDIODRIVER=dummy ./bench/audio_bench [music.mp3]   (from the build folder)
#include "audio/decoder.h"
#include "audio/music.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

using namespace qm;

namespace {

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU of every thread but this one: the decoder thread and the device thread. The poller
// below samples far more often than the presentation would, so its own cost is left out.
double layerCpuSeconds() {
    return cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : musicFileName;

    // Decode speed: the whole file, as fast as the decoder goes.
    std::vector<std::int16_t> frames;
    std::string failure;
    const double decodeStart = wallSeconds();
    if (!decodeWholeMp3(path, frames, failure)) {
        std::fprintf(stderr, "audio_bench: cannot decode \"%s\": %s\n", path, failure.c_str());
        return 1;
    }
    const double decodeSeconds = wallSeconds() - decodeStart;
    const double trackSeconds = static_cast<double>(frames.size() / 2) / playbackRate;
    std::printf("decode: %.2f s of music in %.3f s = %.0fx real time\n", trackSeconds,
                decodeSeconds, trackSeconds / decodeSeconds);

    if (!openDevice()) {
        std::fprintf(stderr, "audio_bench: cannot open the audio device: %s\n",
                     musicFailure().c_str());
        return 1;
    }
    if (!openStream(path)) {
        std::fprintf(stderr, "audio_bench: cannot open \"%s\": %s\n", path, musicFailure().c_str());
        freeDevice();
        return 1;
    }

    // Ten seconds of playback, read the way the presentation reads it: one clock reading
    // per frame at 60 frames a second, then the position and the level it gives.
    const double span = std::min(10.0, trackSeconds - 0.5);
    std::vector<std::pair<double, double>> samples; // (wall, position)
    samples.reserve(static_cast<std::size_t>(span * 60) + 100);
    startPlayback();
    const double cpuStart = layerCpuSeconds();
    const double wallStart = wallSeconds();
    double nextFrame = wallStart;
    unsigned levelSum = 0;
    while (wallSeconds() - wallStart < span) {
        if (wallSeconds() >= nextFrame) {
            const ClockReading reading = readMusicClock();
            samples.emplace_back(wallSeconds() - wallStart, reading.seconds);
            levelSum += reading.levelStep;
            nextFrame += 1.0 / 60.0;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(1000));
    }
    const double cpuUsed = layerCpuSeconds() - cpuStart;
    const double wallUsed = wallSeconds() - wallStart;
    freeStream();
    freeDevice();

    // Least-squares line through the samples after the first callback; deviations from it.
    std::vector<std::pair<double, double>> playing;
    for (const auto& sample : samples) {
        if (sample.second > 0.0) {
            playing.push_back(sample);
        }
    }
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& [x, y] : playing) {
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double n = static_cast<double>(playing.size());
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double intercept = (sy - slope * sx) / n;
    std::vector<double> deviations;
    for (const auto& [x, y] : playing) {
        deviations.push_back(std::fabs(y - (slope * x + intercept)) * 1000.0);
    }
    std::sort(deviations.begin(), deviations.end());

    std::printf("playing: %.1f s, playback threads used %.3f s CPU = %.2f %% of one core\n",
                wallUsed, cpuUsed, 100.0 * cpuUsed / wallUsed);
    std::printf("position: %zu samples, rate %.5f s/s, deviation from the line: max %.2f ms, "
                "median %.2f ms (level sum %u)\n",
                playing.size(), slope, deviations.back(), deviations[deviations.size() / 2],
                levelSum);
    return 0;
}
