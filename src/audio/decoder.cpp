// libmpg123 behind a small decode-to-stereo interface.
#include "audio/decoder.h"

#include "audio/music.h"

#include <mpg123.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr std::size_t firstDecodeFrames = 4096;

std::string libraryReason(mpg123_handle* handle, int code) {
    if (handle != nullptr && code == MPG123_ERR) {
        return mpg123_strerror(handle);
    }
    return mpg123_plain_strerror(code);
}

// Missing files, folders and empty files get their own words instead of a decoder error.
bool checkReadableFile(const char* path, std::string& failure) {
    struct stat info {};
    if (stat(path, &info) != 0) {
        failure = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        failure = "it is a folder, not a file";
        return false;
    }
    if (info.st_size == 0) {
        failure = "the file is empty";
        return false;
    }
    std::FILE* probe = std::fopen(path, "rb");
    if (probe == nullptr) {
        failure = std::strerror(errno);
        return false;
    }
    unsigned char head[3] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, probe);
    std::fclose(probe);
    // libmpg123 hunts for frame headers through whatever it is given and finds some in most
    // larger files (a PNG plays as a burst of noise), so the file must begin like an MP3: with
    // an ID3v2 tag or with an MPEG audio frame's sync bits.
    const bool id3 = got == 3 && head[0] == 'I' && head[1] == 'D' && head[2] == '3';
    const bool sync = got >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0;
    if (!id3 && !sync) {
        failure = "not an MP3 file (it starts with neither an ID3 tag nor an MPEG audio frame)";
        return false;
    }
    return true;
}

// Reads until some audio arrives, the stream ends or the library fails. Returns frames written.
std::size_t readSome(Mp3Decoder& decoder, std::int16_t* out, std::size_t maxFrames) {
    while (!decoder.finished) {
        std::size_t bytes = 0;
        const int result = mpg123_read(decoder.handle, reinterpret_cast<unsigned char*>(out),
                                       maxFrames * 4, &bytes);
        if (bytes > 0) {
            return bytes / 4;
        }
        if (result == MPG123_OK || result == MPG123_NEW_FORMAT) {
            continue;
        }
        decoder.finished = true;
        if (result != MPG123_DONE) {
            decoder.failure = libraryReason(decoder.handle, result);
        }
    }
    return 0;
}

} // namespace

bool openMp3(Mp3Decoder& decoder, const char* path, std::string& failure) {
    closeMp3(decoder);
    if (!checkReadableFile(path, failure)) {
        return false;
    }
    static std::once_flag initialised;
    std::call_once(initialised, [] { mpg123_init(); });

    int error = MPG123_OK;
    decoder.handle = mpg123_new(nullptr, &error);
    if (decoder.handle == nullptr) {
        failure = libraryReason(nullptr, error);
        return false;
    }
    // MPG123_FLAGS would replace the library's defaults and with them gapless decoding: only add.
    mpg123_param(decoder.handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0.0);
    // One output format whatever the file holds: other rates are resampled by the library, a
    // mono channel is copied to both sides (so it counts as the left one).
    mpg123_format_none(decoder.handle);
    mpg123_format(decoder.handle, playbackRate, MPG123_STEREO, MPG123_ENC_SIGNED_16);

    if (int result = mpg123_open(decoder.handle, path); result != MPG123_OK) {
        failure = libraryReason(decoder.handle, result);
        closeMp3(decoder);
        return false;
    }

    // The library accepts any bytes at open time and only finds out while decoding, so decode
    // the first frames now: a file without audio must fail here, not play as silence.
    decoder.pending.resize(firstDecodeFrames * 2);
    const std::size_t frames = readSome(decoder, decoder.pending.data(), firstDecodeFrames);
    if (frames == 0) {
        failure = decoder.failure.empty() ? "no MPEG audio found in the file" : decoder.failure;
        closeMp3(decoder);
        return false;
    }
    decoder.pending.resize(frames * 2);
    decoder.pendingOffset = 0;

    long rate = 0;
    int channels = 0;
    int encoding = 0;
    mpg123_getformat(decoder.handle, &rate, &channels, &encoding);
    if (rate != playbackRate || channels != 2 || encoding != MPG123_ENC_SIGNED_16) {
        failure = "the decoder cannot convert it to 44100 Hz stereo";
        closeMp3(decoder);
        return false;
    }
    mpg123_frameinfo info{};
    if (mpg123_info(decoder.handle, &info) == MPG123_OK) {
        decoder.sourceRate = static_cast<int>(info.rate);
        decoder.sourceChannels = info.mode == MPG123_M_MONO ? 1 : 2;
    }
    return true;
}

std::size_t decodeMp3(Mp3Decoder& decoder, std::int16_t* stereoFrames, std::size_t maxFrames) {
    if (decoder.handle == nullptr || maxFrames == 0) {
        return 0;
    }
    const std::size_t pendingFrames = decoder.pending.size() / 2;
    if (decoder.pendingOffset < pendingFrames) {
        const std::size_t count = std::min(maxFrames, pendingFrames - decoder.pendingOffset);
        std::memcpy(stereoFrames, decoder.pending.data() + 2 * decoder.pendingOffset,
                    count * 2 * sizeof(std::int16_t));
        decoder.pendingOffset += count;
        return count;
    }
    return readSome(decoder, stereoFrames, maxFrames);
}

void closeMp3(Mp3Decoder& decoder) {
    if (decoder.handle != nullptr) {
        mpg123_close(decoder.handle);
        mpg123_delete(decoder.handle);
    }
    decoder = Mp3Decoder{};
}

bool decodeWholeMp3(const char* path, std::vector<std::int16_t>& stereoFrames,
                    std::string& failure) {
    Mp3Decoder decoder;
    if (!openMp3(decoder, path, failure)) {
        return false;
    }
    stereoFrames.clear();
    std::vector<std::int16_t> chunk(8192 * 2);
    while (std::size_t frames = decodeMp3(decoder, chunk.data(), 8192)) {
        stereoFrames.insert(stereoFrames.end(), chunk.begin(), chunk.begin() + frames * 2);
    }
    failure = decoder.failure;
    closeMp3(decoder);
    return failure.empty();
}
