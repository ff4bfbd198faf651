// make-fuzz-corpus DIR: writes the seed corpora DIR/corpus-picture and DIR/corpus-music, small
// files from the project's own PNG and MP3 writers that reach each decoder path once (every
// colour type and depth, interlacing, every MPEG version and channel count) plus broken ones.
#include "mp3_writer.h"

#include <lodepng.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "make-fuzz-corpus: %s\n", what.c_str());
    std::exit(1);
}

void save(const fs::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        fail("cannot write " + path.string());
    }
}

std::vector<unsigned char> load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<unsigned char> png(unsigned width, unsigned height, LodePNGColorType type,
                               unsigned depth, bool interlaced = false) {
    lodepng::State state;
    state.encoder.auto_convert = 0;
    state.info_png.interlace_method = interlaced ? 1 : 0;
    for (LodePNGColorMode* mode : {&state.info_raw, &state.info_png.color}) {
        mode->colortype = type;
        mode->bitdepth = depth;
        if (type == LCT_PALETTE) {
            for (unsigned i = 0; i < (1u << depth) && i < 16; ++i) {
                lodepng_palette_add(mode, 16 * i, 255 - 16 * i, 7 * i, 255 - i);
            }
        }
    }
    const std::size_t bits = std::size_t{lodepng_get_bpp(&state.info_raw)};
    std::vector<unsigned char> raw((width * bits + 7) / 8 * height);
    // Below 8 bits every index fits the palette; at 8 bits keep them below its 16 entries.
    const bool byteIndices = type == LCT_PALETTE && depth == 8;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<unsigned char>(byteIndices ? (i * 37) % 16 : i * 37 + 11);
    }
    std::vector<unsigned char> out;
    if (const unsigned error = lodepng::encode(out, raw, width, height, state)) {
        fail(std::string("PNG encoding: ") + lodepng_error_text(error));
    }
    return out;
}

void writePictures(const fs::path& folder) {
    fs::create_directories(folder);
    save(folder / "rgba8-16x16.png", png(16, 16, LCT_RGBA, 8));
    save(folder / "rgb8-7x5.png", png(7, 5, LCT_RGB, 8));
    save(folder / "rgb16-3x3.png", png(3, 3, LCT_RGB, 16));
    save(folder / "rgba16-2x5.png", png(2, 5, LCT_RGBA, 16));
    save(folder / "grey1-9x3.png", png(9, 3, LCT_GREY, 1));
    save(folder / "grey16-4x4.png", png(4, 4, LCT_GREY, 16));
    save(folder / "greyalpha8-6x2.png", png(6, 2, LCT_GREY_ALPHA, 8));
    save(folder / "palette2-5x5.png", png(5, 5, LCT_PALETTE, 2));
    save(folder / "palette8-8x3.png", png(8, 3, LCT_PALETTE, 8));
    save(folder / "interlaced-13x11.png", png(13, 11, LCT_RGBA, 8, true));
    save(folder / "one-pixel.png", png(1, 1, LCT_RGBA, 8));
    save(folder / "wide-65x1.png", png(65, 1, LCT_RGB, 8));
    const std::vector<unsigned char> whole = png(32, 32, LCT_RGBA, 8);
    save(folder / "truncated.png",
         std::vector<unsigned char>(whole.begin(), whole.begin() + whole.size() / 2));
    // A valid header claiming 100000x100000 pixels, CRC fixed, so only the size is wrong.
    std::vector<unsigned char> huge = png(1, 1, LCT_RGBA, 8);
    for (int offset : {16, 20}) {
        huge[offset] = 0x00, huge[offset + 1] = 0x01, huge[offset + 2] = 0x86,
        huge[offset + 3] = 0xA0;
    }
    const unsigned crc = lodepng_crc32(&huge[12], 17);
    for (int i = 0; i < 4; ++i) {
        huge[29 + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
    }
    save(folder / "huge-header.png", huge);
}

// A tone with a loud left half-second, so the meter sees both ends of its scale.
std::vector<std::int16_t> tone(double seconds, int rate, int channels) {
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<std::int16_t> samples(frames * channels);
    for (std::size_t i = 0; i < frames; ++i) {
        const double value =
            std::sin(2 * M_PI * 440.0 * i / rate) * (i < frames / 2 ? 32000 : 3000);
        for (int c = 0; c < channels; ++c) {
            samples[i * channels + c] = static_cast<std::int16_t>(c == 0 ? value : value / 2);
        }
    }
    return samples;
}

void writeMusic(const fs::path& folder) {
    fs::create_directories(folder);
    const struct {
        const char* name;
        double seconds;
        int rate;
        int channels;
        int kbps;
    } tracks[] = {
        {"stereo-44100.mp3", 0.1, 44100, 2, 96}, {"mono-44100.mp3", 0.1, 44100, 1, 48},
        {"stereo-48000.mp3", 0.1, 48000, 2, 96}, {"mono-32000.mp3", 0.1, 32000, 1, 32},
        {"mono-22050.mp3", 0.2, 22050, 1, 24},   {"stereo-24000.mp3", 0.2, 24000, 2, 32},
        {"mono-16000.mp3", 0.2, 16000, 1, 16},   {"mono-8000.mp3", 0.3, 8000, 1, 8},
        {"stereo-11025.mp3", 0.3, 11025, 2, 16},
    };
    std::string failure;
    for (const auto& track : tracks) {
        if (!writeMp3((folder / track.name).string(),
                      tone(track.seconds, track.rate, track.channels), track.channels, track.rate,
                      failure, track.kbps)) {
            fail(failure);
        }
    }
    const std::vector<unsigned char> whole = load(folder / "stereo-44100.mp3");
    save(folder / "truncated.mp3",
         std::vector<unsigned char>(whole.begin(), whole.begin() + whole.size() / 3));
    // An ID3v2 tag in front of the audio, and a tag with nothing after it.
    std::vector<unsigned char> tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
    tag.resize(30, 0);
    std::vector<unsigned char> tagged = tag;
    tagged.insert(tagged.end(), whole.begin(), whole.end());
    save(folder / "id3-then-audio.mp3", tagged);
    save(folder / "id3-only.mp3", tag);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-fuzz-corpus DIR\n");
        return 1;
    }
    const fs::path root = argv[1];
    writePictures(root / "corpus-picture");
    writeMusic(root / "corpus-music");
    return 0;
}
