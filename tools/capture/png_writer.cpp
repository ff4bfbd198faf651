// The PNG writer: LodePNG with zlib's fastest deflate, written whole or not at all.
#include "png_writer.h"

#include "child_process.h"
#include "options.h"

#include <lodepng.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qm {

namespace {

// zlib's fastest level makes the same size of file as LodePNG's own deflate at its fastest
// settings in half the time or less (docs/PERFORMANCE.md). LodePNG frees the result with free().
unsigned deflateFast(unsigned char** out, std::size_t* outSize, const unsigned char* in,
                     std::size_t inSize, const LodePNGCompressSettings*) {
    uLongf size = compressBound(static_cast<uLong>(inSize));
    *out = static_cast<unsigned char*>(std::malloc(size));
    if (*out == nullptr) {
        return 83; // LodePNG's "memory allocation failed"
    }
    if (compress2(*out, &size, in, static_cast<uLong>(inSize), Z_BEST_SPEED) != Z_OK) {
        return 111; // LodePNG's "custom zlib or deflate compression failed"
    }
    *outSize = size;
    return 0;
}

} // namespace

std::string pngFrameName(std::uint64_t frame) {
    char name[40];
    std::snprintf(name, sizeof name, "frame_%06llu.png", static_cast<unsigned long long>(frame));
    return name;
}

bool writePngFrame(const std::string& path, const unsigned char* rgb, int width, int height,
                   std::vector<unsigned char>& encoded, std::string& failure) {
    // LodePNG's defaults spend most of a frame's time on the encoder's own choices: colour
    // analysis, per-row filter trials and lazy matching. Measured in docs/PERFORMANCE.md.
    static const lodepng::State state = [] {
        lodepng::State fast;
        fast.encoder.auto_convert = 0;
        fast.info_raw.colortype = LCT_RGB;
        fast.info_raw.bitdepth = 8;
        fast.info_png.color.colortype = LCT_RGB;
        fast.info_png.color.bitdepth = 8;
        fast.encoder.filter_strategy = LFS_ZERO;
        fast.encoder.zlibsettings.custom_zlib = deflateFast;
        return fast;
    }();
    lodepng::State working = state;
    encoded.clear();
    const unsigned error = lodepng::encode(encoded, rgb, static_cast<unsigned>(width),
                                           static_cast<unsigned>(height), working);
    if (error != 0) {
        failure = "cannot encode " + quoted(path) + ": " + lodepng_error_text(error);
        return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        failure = "cannot write " + quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    int writeError = writeAll(fd, encoded.data(), encoded.size());
    if (close(fd) != 0 && writeError == 0) {
        writeError = errno;
    }
    if (writeError != 0) {
        unlink(path.c_str());
        failure = "cannot write " + quoted(path) + ": " + std::strerror(writeError);
        return false;
    }
    return true;
}

} // namespace qm
