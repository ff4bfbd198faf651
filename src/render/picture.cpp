// Picture loading. Every way a picture file can be unusable stops the run with its name and
// reason: a silently empty texture would look like a rendering fault much later.
#include "render/picture.h"

#include "render/gl_errors.h"

#include <lodepng.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

namespace qm {

namespace {

std::string pictureFailure(const std::string& fileName, const std::string& reason) {
    return "cannot load picture \"" + fileName + "\": " + reason;
}

// lodepng::load_file answers "failed to open file" for a missing file, a folder and an
// unreadable one alike; the user needs to know which.
bool readWholeFile(const std::string& fileName, std::vector<unsigned char>& bytes,
                   std::string& reason) {
    std::error_code code;
    if (std::filesystem::is_directory(fileName, code)) {
        reason = "it is a folder, not a file";
        return false;
    }
    errno = 0;
    std::FILE* file = std::fopen(fileName.c_str(), "rb");
    if (file == nullptr) {
        reason = errno != 0 ? std::strerror(errno) : "cannot open the file";
        return false;
    }
    bytes.clear();
    unsigned char chunk[65536];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) {
            break;
        }
    }
    const bool readFailed = std::ferror(file) != 0;
    const int readErrno = errno;
    std::fclose(file);
    if (readFailed) {
        reason = readErrno != 0 ? std::strerror(readErrno) : "read error";
        return false;
    }
    if (bytes.empty()) {
        reason = "the file is empty";
        return false;
    }
    return true;
}

} // namespace

std::uint64_t powerOfTwoAtLeast(std::uint64_t side) {
    std::uint64_t power = 1;
    while (power < side) {
        power *= 2;
    }
    return power;
}

Picture padToPowerOfTwo(const Picture& picture) {
    Picture padded;
    padded.width = static_cast<unsigned>(powerOfTwoAtLeast(picture.width));
    padded.height = static_cast<unsigned>(powerOfTwoAtLeast(picture.height));
    padded.pixels.assign(std::size_t{padded.width} * padded.height * 4, 0);
    const std::size_t sourceStride = std::size_t{picture.width} * 4;
    const std::size_t paddedStride = std::size_t{padded.width} * 4;
    // Rows the pixel buffer does not hold stay zero instead of being read past its end.
    const std::size_t rows =
        sourceStride == 0
            ? 0
            : std::min<std::size_t>(picture.height, picture.pixels.size() / sourceStride);
    for (std::size_t row = 0; row < rows; ++row) {
        std::memcpy(padded.pixels.data() + row * paddedStride,
                    picture.pixels.data() + row * sourceStride, sourceStride);
    }
    return padded;
}

bool readPicture(const std::string& fileName, std::uint64_t largestSide, Picture& picture,
                 std::string& failure) {
    std::vector<unsigned char> bytes;
    std::string reason;
    if (!readWholeFile(fileName, bytes, reason)) {
        failure = pictureFailure(fileName, reason);
        return false;
    }
    lodepng::State state;
    state.info_raw.colortype = LCT_RGBA;
    state.info_raw.bitdepth = 8;
    unsigned width = 0;
    unsigned height = 0;
    unsigned error = lodepng_inspect(&width, &height, &state, bytes.data(), bytes.size());
    if (error != 0) {
        failure =
            pictureFailure(fileName, std::string("not a valid PNG: ") + lodepng_error_text(error));
        return false;
    }
    // A header may claim any size up to 2^31-1 a side; decoding first would allocate for it.
    if (powerOfTwoAtLeast(width) > largestSide || powerOfTwoAtLeast(height) > largestSide) {
        failure = pictureFailure(fileName, std::to_string(width) + "x" + std::to_string(height) +
                                               " pixels do not fit the largest texture the GL "
                                               "takes (" +
                                               std::to_string(largestSide) + " a side)");
        return false;
    }
    std::vector<unsigned char> pixels;
    error = lodepng::decode(pixels, width, height, state, bytes);
    if (error != 0) {
        failure =
            pictureFailure(fileName, std::string("not a valid PNG: ") + lodepng_error_text(error));
        return false;
    }
    if (pixels.size() != std::size_t{width} * height * 4) {
        failure = pictureFailure(fileName, "the decoder returned " + std::to_string(pixels.size()) +
                                               " bytes for " + std::to_string(width) + "x" +
                                               std::to_string(height) + " pixels");
        return false;
    }
    picture.width = width;
    picture.height = height;
    picture.pixels = std::move(pixels);
    return true;
}

GLuint loadImageTexture(const std::string& fileName, std::string& failure) {
    GLint largestSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largestSide);
    Picture picture;
    if (!readPicture(fileName, static_cast<std::uint64_t>(largestSide > 0 ? largestSide : 0),
                     picture, failure)) {
        return 0;
    }
    const Picture padded = padToPowerOfTwo(picture);
    // Only the upload's own error may be blamed on this picture.
    clearGlErrors();
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexImage2D(GL_TEXTURE_2D, 0, pictureInternalFormat, static_cast<GLsizei>(padded.width),
                 static_cast<GLsizei>(padded.height), 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 padded.pixels.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    const GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        glDeleteTextures(1, &texture);
        failure = pictureFailure(fileName, "the GL refused its " + std::to_string(padded.width) +
                                               "x" + std::to_string(padded.height) + " texture (" +
                                               glErrorText(error) + ")");
        return 0;
    }
    return texture;
}

} // namespace qm
