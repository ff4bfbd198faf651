// Frame cost of the renderer: renderFrame plus glFinish, median of 300 frames, at three music
// times and three level steps, each pass also timed alone; and a count of the C++ allocations
// made inside renderFrame, which must be zero. Besides wall time it gives the process's CPU
// time per frame: llvmpipe renders on threads of this process, so on a busy machine that
// figure moves less than wall time does.
//
//   xvfb-run -a -s "-screen 0 640x480x24" build/<dir>/bench/render_bench [--frames N] [folder]
//
// --frames sets the frames timed per case (default 300; CI's short run takes a few). Without an
// asset folder it writes two 640x480 pictures of its own to a temporary folder.
#include "assets.h"
#include "render/gl_context.h"
#include "render/scene.h"

#include <lodepng.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

using namespace qm;

namespace {

// Counted only while `countingAllocations` is set, so set-up and printing do not count.
bool countingAllocations = false;
long allocationsSeen = 0;

void* countedAllocation(std::size_t size) {
    if (countingAllocations) {
        ++allocationsSeen;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) {
    return countedAllocation(size);
}
void* operator new[](std::size_t size) {
    return countedAllocation(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

int framesPerCase = 300;
constexpr int warmUpFrames = 10;

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double>& samples) {
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

bool writePictures(const std::string& folder) {
    std::vector<unsigned char> rings(640 * 480 * 4);
    std::vector<unsigned char> ramp(640 * 480 * 4);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            unsigned char* a = &rings[(y * 640 + x) * 4];
            const int ring = ((x - 320) * (x - 320) + (y - 240) * (y - 240)) / 900 % 2;
            a[0] = ring ? 200 : 30, a[1] = 90, a[2] = ring ? 40 : 220, a[3] = 255;
            unsigned char* b = &ramp[(y * 640 + x) * 4];
            b[0] = static_cast<unsigned char>(y * 255 / 479), b[1] = 60, b[2] = 120, b[3] = 255;
        }
    }
    return lodepng::encode(folder + "/" + pictureFileA, rings, 640, 480) == 0 &&
           lodepng::encode(folder + "/" + pictureFileB, ramp, 640, 480) == 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string assetDir;
    std::filesystem::path madeDir;
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "--frames") {
        framesPerCase = std::max(1, std::atoi(argv[2]));
        first = 3;
    }
    if (argc > first) {
        assetDir = argv[first];
    } else {
        madeDir = std::filesystem::temp_directory_path() / "quartz-render-bench";
        std::filesystem::create_directories(madeDir);
        assetDir = madeDir.string();
        if (!writePictures(assetDir)) {
            std::fprintf(stderr, "render_bench: cannot write pictures to %s\n", assetDir.c_str());
            return 1;
        }
    }
    std::string failure;
    GLFWwindow* window = openContext(ContextKind::hidden, sceneWidth, sceneHeight, failure);
    if (window == nullptr) {
        std::fprintf(stderr, "render_bench: %s\n", failure.c_str());
        return 1;
    }
    // Set-up allocates (file bytes, pixels, strings): a count above zero here shows the
    // counting operator new is the one in use, so the zero for renderFrame means something.
    countingAllocations = true;
    const bool ready = setupScene(failure, assetDir);
    countingAllocations = false;
    const long allocationsInSetup = allocationsSeen;
    if (!ready) {
        std::fprintf(stderr, "render_bench: %s\n", failure.c_str());
        closeContext(window);
        return 1;
    }
    std::printf("GL: %s / %s\n\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)),
                reinterpret_cast<const char*>(glGetString(GL_VERSION)));
    std::printf("| time (s) | level step | point size | frame (ms) | frame, CPU time of all "
                "threads (ms) | point pass (ms) | composite pass (ms) |\n");
    std::printf("|---|---|---|---|---|---|---|\n");

    std::vector<double> frames(framesPerCase);
    std::vector<double> frameCpu(framesPerCase);
    std::vector<double> points(framesPerCase);
    std::vector<double> composites(framesPerCase);
    long allocationsInFrames = 0;
    for (float time : {2.0f, 10.0f, 20.0f}) {
        for (float step : {0.0f, 4.0f, 8.0f}) {
            for (int i = 0; i < warmUpFrames; ++i) {
                renderFrame(time, step);
            }
            glFinish();
            allocationsSeen = 0;
            countingAllocations = true;
            for (int i = 0; i < framesPerCase; ++i) {
                const Clock::time_point start = Clock::now();
                const std::clock_t cpuStart = std::clock();
                renderFrame(time, step);
                glFinish();
                frames[i] = millisecondsSince(start);
                frameCpu[i] = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
            }
            countingAllocations = false;
            allocationsInFrames += allocationsSeen;
            // The same work as renderFrame, split at the pass boundary.
            for (int i = 0; i < framesPerCase; ++i) {
                sceneObjects.cumulativeLevel += step;
                const FramePlan plan = planFrame(time, step);
                const Clock::time_point start = Clock::now();
                drawPointPass(time, plan, FrameTarget{});
                glFinish();
                points[i] = millisecondsSince(start);
                const Clock::time_point middle = Clock::now();
                drawCompositePass(time, plan, FrameTarget{});
                glFinish();
                composites[i] = millisecondsSince(middle);
            }
            GLfloat pointSize = 0.0f;
            glGetFloatv(GL_POINT_SIZE, &pointSize);
            std::printf("| %.0f | %.0f | %.1f | %.2f | %.2f | %.2f | %.2f |\n", time, step,
                        pointSize, median(frames), median(frameCpu), median(points),
                        median(composites));
        }
    }
    std::printf("\nC++ allocations inside renderFrame over %d frames: %ld (set-up made %ld)\n",
                9 * framesPerCase, allocationsInFrames, allocationsInSetup);
    const GLenum error = glGetError();
    releaseScene();
    closeContext(window);
    if (!madeDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(madeDir, ignored);
    }
    if (error != GL_NO_ERROR) {
        std::fprintf(stderr, "render_bench: GL error 0x%04X after the run\n", error);
        return 1;
    }
    return allocationsInFrames == 0 ? 0 : 1;
}
