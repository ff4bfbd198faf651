// What every input must keep, shared by the fuzz targets and by the regression replay of their
// seeds and findings in the ordinary build: an empty answer, or the fault found.
#pragma once

#include "audio/decoder.h"
#include "audio/level.h"
#include "audio/mpeg_probe.h"
#include "render/picture.h"

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace qm {

// Read, decode to 8-bit RGBA and pad, exactly as set-up does before the upload.
inline std::string pictureFault(const std::string& path, std::uint64_t largestSide) {
    Picture picture;
    std::string failure;
    if (!readPicture(path, largestSide, picture, failure)) {
        const bool oneLine = !failure.empty() && failure.find('\n') == std::string::npos;
        return oneLine ? "" : "a refused picture must give exactly one line";
    }
    if (picture.pixels.size() != std::size_t{picture.width} * picture.height * 4) {
        return "decoded pixels do not match the picture's size";
    }
    const Picture padded = padToPowerOfTwo(picture);
    for (const auto& [side, power] :
         {std::pair{picture.width, padded.width}, std::pair{picture.height, padded.height}}) {
        if (power < side || power >= 2 * side || (power & (power - 1)) != 0 ||
            power > largestSide) {
            return "padded sides are not the next powers of two";
        }
    }
    return ""; // what lands in the padded texels, the composite's model checks
}

// The MPEG probe alone, over the bytes in memory read as a file reads (past the end, nothing):
// where it says audio begins there must be a frame header, or nothing but the tags before it.
inline std::string probeFault(const std::uint8_t* data, std::size_t size) {
    std::vector<unsigned char> window;
    const long start = findMpegAudio(
        [&](long offset, std::vector<unsigned char>& bytes) {
            const std::size_t from = std::min(static_cast<std::size_t>(offset), size);
            bytes.assign(data + from, data + from + std::min(bytes.size(), size - from));
            return true;
        },
        window);
    if (start < -1 ||
        (start >= 0 && static_cast<std::size_t>(start) < size && data[start] != 0xFF)) {
        return "the probe placed the audio where no frame header begins";
    }
    return "";
}

// The probe over the file's bytes; then open, decode to the end and meter every chunk, as the
// playback layer and the capture tool do.
// Decoding stops after `mostFrames`: a few bytes of MP3 can legitimately stand for a lot of audio.
inline std::string musicFault(const std::string& path, std::size_t mostFrames) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    if (std::string fault = probeFault(bytes.data(), bytes.size()); !fault.empty()) {
        return fault;
    }
    Mp3Decoder decoder;
    std::string failure;
    if (!openMp3(decoder, path.c_str(), failure)) {
        if (failure.empty() || failure.find('\n') != std::string::npos) {
            return "a refused file must give exactly one line";
        }
        return decoder.handle == nullptr ? "" : "a refused file left its decoder open";
    }
    std::string fault = decoder.sourceChannels == 1 || decoder.sourceChannels == 2
                            ? ""
                            : "the source has neither one nor two channels";
    constexpr std::size_t chunkFrames = 4096;
    std::vector<std::int16_t> chunk(chunkFrames * 2);
    std::size_t total = 0;
    while (fault.empty() && total <= mostFrames) {
        const std::size_t frames = decodeMp3(decoder, chunk.data(), chunkFrames);
        if (frames == 0) {
            fault = decoder.finished ? "" : "decoding stopped without finishing";
            break;
        }
        fault = frames > chunkFrames ? "the decoder wrote past the buffer it was given" : "";
        for (std::size_t end = 0; end <= frames && fault.empty(); end += levelWindowFrames / 2) {
            fault = levelStepEndingAt(chunk.data(), frames, end) > 8 ? "a level step above 8" : "";
        }
        total += frames;
    }
    closeMp3(decoder);
    return fault;
}

} // namespace qm
