// What every input must keep, shared by the fuzz targets and by the regression replay of their
// seeds and findings in the ordinary build: an empty answer, or the fault found.
#pragma once

#include "audio/decoder.h"
#include "audio/level.h"
#include "render/picture.h"

#include <cstring>
#include <string>
#include <vector>

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
    if (padded.width < picture.width || padded.height < picture.height ||
        (padded.width & (padded.width - 1)) != 0 || (padded.height & (padded.height - 1)) != 0 ||
        padded.width > largestSide || padded.height > largestSide) {
        return "padded sides are not the next powers of two";
    }
    const std::size_t stride = std::size_t{picture.width} * 4, paddedStride = padded.width * 4u;
    for (std::size_t row = 0; row < padded.height; ++row) {
        const std::uint8_t* line = padded.pixels.data() + row * paddedStride;
        const std::size_t kept = row < picture.height ? stride : 0;
        if (kept != 0 && std::memcmp(line, picture.pixels.data() + row * stride, kept) != 0) {
            return "a picture row was not copied intact";
        }
        for (std::size_t i = kept; i < paddedStride; ++i) {
            if (line[i] != 0) {
                return "the padding is not transparent black";
            }
        }
    }
    return "";
}

// Open, decode to the end and meter every chunk, as the playback layer and the capture tool do.
// Decoding stops after `mostFrames`: a few bytes of MP3 can legitimately stand for a lot of audio.
inline std::string musicFault(const std::string& path, std::size_t mostFrames) {
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
