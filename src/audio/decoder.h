// MP3 decoding with libmpg123 at the file's own rate and channel count, handed out as 44100 Hz
// interleaved stereo 16-bit, gapless. A 44100 Hz stereo file passes through bit for bit; a mono
// one is copied to both sides; any other rate goes through the resampler, and a file whose rate
// or channel count changes midway has each stretch converted to its own true length. The live music
// clock decodes on its own thread with it; the capture tool decodes in step with the frames it
// renders.
#pragma once

#include "audio/resample.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct mpg123_handle_struct;

namespace qm {

struct Mp3Decoder {
    mpg123_handle_struct* handle = nullptr;
    Resampler resampler; // only used while the source is not at the playback rate
    bool resampling = false;
    int sourceRate = 0;
    int sourceChannels = 0;
    std::vector<std::int16_t> source; // one read of the file's own samples
    // Converted frames not handed out yet. Opening fills it, which proves the file holds audio.
    std::vector<std::int16_t> ready;
    std::size_t readyOffset = 0; // in frames
    bool sourceEnded = false;    // the file gave its last frame, or failed
    bool finished = false;       // everything has been handed out
    std::string failure;         // why decoding stopped early, empty at a clean end
};

// Opens `path` and decodes its first audio. False, with the reason in `failure`, for a file that
// is missing, a folder, empty, unreadable or holds no MPEG audio.
bool openMp3(Mp3Decoder& decoder, const char* path, std::string& failure);

// Decodes up to `maxFrames` frames into `stereoFrames`; returns how many it wrote. Returns 0
// only once the stream has ended (then `decoder.finished` is true).
std::size_t decodeMp3(Mp3Decoder& decoder, std::int16_t* stereoFrames, std::size_t maxFrames);

void closeMp3(Mp3Decoder& decoder);

// Decodes a whole file, handing each chunk of stereo frames to `take` (for the fixed-rate clock,
// the tests and the tools; the live presentation never decodes its music whole).
bool decodeWholeMp3(const char* path,
                    const std::function<void(const std::int16_t*, std::size_t)>& take,
                    std::string& failure);
// The whole file's stereo frames, or only how many there are, as it plays (gapless).
bool decodeWholeMp3(const char* path, std::vector<std::int16_t>& stereoFrames,
                    std::string& failure);
bool countMp3Frames(const char* path, std::uint64_t& frames, std::string& failure);

} // namespace qm
