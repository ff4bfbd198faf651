// MP3 decoding with libmpg123, always to 44100 Hz interleaved stereo 16-bit, gapless.
// The live music clock decodes on its own thread with it; the capture tool decodes in step with
// the frames it renders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct mpg123_handle_struct;

struct Mp3Decoder {
    mpg123_handle_struct* handle = nullptr;
    // The first frames, decoded while opening to prove the file holds audio; handed out first.
    std::vector<std::int16_t> pending;
    std::size_t pendingOffset = 0; // in frames
    bool finished = false;
    int sourceRate = 0;
    int sourceChannels = 0;
    std::string failure; // why decoding stopped early, empty at a clean end
};

// Opens `path` and decodes its first audio. False, with the reason in `failure`, for a file that
// is missing, a folder, empty, unreadable or holds no MPEG audio.
bool openMp3(Mp3Decoder& decoder, const char* path, std::string& failure);

// Decodes up to `maxFrames` frames into `stereoFrames`; returns how many it wrote. Returns 0
// only once the stream has ended (then `decoder.finished` is true).
std::size_t decodeMp3(Mp3Decoder& decoder, std::int16_t* stereoFrames, std::size_t maxFrames);

void closeMp3(Mp3Decoder& decoder);

// Decodes a whole file (for tests and tools; the presentation never loads its music whole).
bool decodeWholeMp3(const char* path, std::vector<std::int16_t>& stereoFrames,
                    std::string& failure);
