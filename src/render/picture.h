// Picture textures: a PNG on disk becomes an RGBA texture with power-of-two sides, the picture
// in its top-left corner and transparent black around it.
#pragma once

#include "render/gl.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

// 8-bit RGBA pixels, R first, rows top to bottom, row stride width*4 bytes.
struct Picture {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<std::uint8_t> pixels;
};

// The smallest power of two that is at least `side` (1 for 0 and 1).
std::uint64_t powerOfTwoAtLeast(std::uint64_t side);

// `picture` copied into the top-left corner of a zero-filled picture whose sides are powers of
// two. A picture already that size comes back unchanged.
Picture padToPowerOfTwo(const Picture& picture);

// Reads and decodes `fileName` to 8-bit RGBA, whatever the file's colour type and bit depth.
// A picture whose padded sides would exceed `largestSide` is refused from its header alone,
// before any pixel memory is allocated. False with one line in `failure` naming the file.
bool readPicture(const std::string& fileName, std::uint64_t largestSide, Picture& picture,
                 std::string& failure);

// File to texture: reads, pads and uploads with nearest filtering and the default (repeat)
// wrap. 0 on failure, with one line in `failure`. Needs a current GL context.
GLuint loadImageTexture(const std::string& fileName, std::string& failure);

} // namespace qm
