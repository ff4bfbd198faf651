// make-assets DIR: writes the presentation's music and its two pictures into DIR. Everything is
// synthesised here, so the build needs no outside media and makes the same bytes every time.
#include "assets.h"
#include "music.h"
#include "pictures.h"

#include <lodepng.h>
#include <mp3_writer.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qm;

namespace {

[[noreturn]] void die(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "make-assets: cannot write %s: %s\n", path.c_str(), reason.c_str());
    std::exit(1);
}

void writePicture(const std::string& path, const std::vector<unsigned char>& rgba) {
    // Stored as 8-bit RGBA as drawn: left to itself the encoder would pick RGB or a palette.
    lodepng::State state;
    state.encoder.auto_convert = 0;
    state.info_png.color.colortype = LCT_RGBA;
    state.info_png.color.bitdepth = 8;
    std::vector<unsigned char> png;
    const unsigned error = lodepng::encode(png, rgba, pictureWidth, pictureHeight, state);
    if (error != 0)
        die(path, std::string("PNG encoding failed: ") + lodepng_error_text(error));
    // Written by hand rather than with lodepng::save_file, which reports no reason.
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        die(path, std::strerror(errno));
    const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
    const int writeErrno = errno;
    if (std::fclose(file) != 0 || !written) {
        const std::string reason = std::strerror(written ? errno : writeErrno);
        // A truncated picture left behind would pass for a good one on the next run.
        std::remove(path.c_str());
        die(path, reason);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-assets DIR\n");
        return 1;
    }
    const std::string folder = std::string(argv[1]) + "/";
    // The pictures go first: they are quick, so a folder that cannot be written to is reported
    // before the music is synthesised.
    writePicture(folder + pictureFileA, drawGlobePicture());
    writePicture(folder + pictureFileB, drawStarPicture());
    const std::string musicPath = folder + musicFileName;
    std::string failure;
    if (!writeMp3(musicPath, synthesiseMusic(), playbackChannels, playbackRate, failure))
        die(musicPath, failure);
    return 0;
}
