// Any bytes as a picture file: read, decode to 8-bit RGBA and pad, exactly as set-up does before
// the upload. Either one line of failure, or pixels whose size and padding hold together.
#include "render/picture.h"

#include <lodepng.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The largest texture side the fuzzer allows: big enough for every colour type and interlace,
// small enough that a header claiming more is refused before any large allocation.
constexpr std::uint64_t largestSide = 4096;

// One memory file for the whole run, reached by path: readPicture takes a file name, and the
// disk would make every execution a hundred times slower.
const std::string& memoryPath() {
    static const std::string path = "/proc/self/fd/" + std::to_string(memfd_create("picture", 0));
    return path;
}

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "fuzz_picture: %s\n", what);
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = std::stoi(memoryPath().substr(14));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        fault("cannot write the memory file");
    }
    // The header's claims as comparisons the fuzzer can see (LodePNG itself is not
    // instrumented): each new colour type, depth or size class counts as new ground.
    unsigned width = 0;
    unsigned height = 0;
    lodepng::State header;
    if (lodepng_inspect(&width, &height, &header, data, size) == 0) {
        const LodePNGColorMode& mode = header.info_png.color;
        volatile unsigned features = (mode.colortype == LCT_PALETTE) + (mode.bitdepth == 16) * 2 +
                                     (header.info_png.interlace_method == 1) * 4 +
                                     (width > 256) * 8 + (height > 256) * 16;
        (void)features;
    }

    Picture picture;
    std::string failure;
    if (!readPicture(memoryPath(), largestSide, picture, failure)) {
        if (failure.empty() || failure.find('\n') != std::string::npos) {
            fault("a refused picture must give exactly one line");
        }
        return 0;
    }
    if (picture.pixels.size() != std::size_t{picture.width} * picture.height * 4) {
        fault("decoded pixels do not match the picture's size");
    }
    const Picture padded = padToPowerOfTwo(picture);
    if (padded.width < picture.width || padded.height < picture.height ||
        (padded.width & (padded.width - 1)) != 0 || (padded.height & (padded.height - 1)) != 0 ||
        padded.width > largestSide || padded.height > largestSide) {
        fault("padded sides are not the next powers of two");
    }
    const std::size_t stride = std::size_t{picture.width} * 4;
    const std::size_t paddedStride = std::size_t{padded.width} * 4;
    for (std::size_t row = 0; row < padded.height; ++row) {
        const std::uint8_t* line = padded.pixels.data() + row * paddedStride;
        const std::size_t kept = row < picture.height ? stride : 0;
        if (kept != 0 && std::memcmp(line, picture.pixels.data() + row * stride, kept) != 0) {
            fault("a picture row was not copied intact");
        }
        for (std::size_t i = kept; i < paddedStride; ++i) {
            if (line[i] != 0) {
                fault("the padding is not transparent black");
            }
        }
    }
    return 0;
}
