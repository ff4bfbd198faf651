// libmpg123 behind a small decode-to-stereo interface.
#include "audio/decoder.h"

#include "audio/music.h"

#include <SDL.h>
#include <mpg123.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

// Frames of the file's own format per read.
constexpr std::size_t sourceReadFrames = 4096;

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

void fail(Mp3Decoder& decoder, std::string reason) {
    decoder.failure = std::move(reason);
    decoder.sourceEnded = true;
}

// Moves everything the resampler holds into `ready`.
void drainResampler(Mp3Decoder& decoder) {
    const int bytes = SDL_AudioStreamAvailable(decoder.resampler);
    if (bytes <= 0) {
        return;
    }
    const std::size_t before = decoder.ready.size();
    decoder.ready.resize(before + static_cast<std::size_t>(bytes) / sizeof(std::int16_t));
    const int got = SDL_AudioStreamGet(decoder.resampler, decoder.ready.data() + before, bytes);
    const std::size_t samples = static_cast<std::size_t>(std::max(got, 0)) / sizeof(std::int16_t);
    decoder.ready.resize(before + samples);
    decoder.resampledFrames += samples / 2;
}

// The source format ends (the file ended or its next frames differ): what the resampler still
// holds for it comes out, and the resampler goes. SDL's flush does not push out the filter's
// look-ahead when whole blocks were put, so silence is fed until the stretch reaches its true
// length, rounded to the nearest frame, and the surplus silence is cut.
void endSourceFormat(Mp3Decoder& decoder) {
    if (decoder.resampler == nullptr) {
        return;
    }
    const std::uint64_t trueFrames =
        (decoder.sourceFrames * playbackRate + static_cast<std::uint64_t>(decoder.sourceRate / 2)) /
        static_cast<std::uint64_t>(decoder.sourceRate);
    const std::vector<std::int16_t> silence(decoder.source.size());
    for (int tries = 0; decoder.resampledFrames < trueFrames && tries < 8; ++tries) {
        SDL_AudioStreamPut(decoder.resampler, silence.data(),
                           static_cast<int>(silence.size() * sizeof(std::int16_t)));
        SDL_AudioStreamFlush(decoder.resampler);
        drainResampler(decoder);
    }
    if (decoder.resampledFrames > trueFrames) {
        const std::size_t surplus = std::min<std::size_t>(
            static_cast<std::size_t>(decoder.resampledFrames - trueFrames), decoder.ready.size() / 2);
        decoder.ready.resize(decoder.ready.size() - 2 * surplus);
    }
    SDL_FreeAudioStream(decoder.resampler);
    decoder.resampler = nullptr;
}

// The file's frames from here on come at `rate` with `channels`: a file may change both midway,
// and each stretch is converted on its own so it keeps its true duration.
void startSourceFormat(Mp3Decoder& decoder) {
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    mpg123_getformat(decoder.handle, &rate, &channels, &encoding);
    if (rate == decoder.sourceRate && channels == decoder.sourceChannels) {
        return;
    }
    endSourceFormat(decoder);
    decoder.sourceRate = static_cast<int>(rate);
    decoder.sourceChannels = channels;
    if (channels < 1 || channels > 2 || encoding != MPG123_ENC_SIGNED_16) {
        fail(decoder, "the decoder gave an unexpected sample format");
        return;
    }
    decoder.sourceFrames = 0;
    decoder.resampledFrames = 0;
    if (rate != playbackRate) {
        decoder.resampler = SDL_NewAudioStream(AUDIO_S16SYS, 2, static_cast<int>(rate),
                                               AUDIO_S16SYS, 2, playbackRate);
        if (decoder.resampler == nullptr) {
            fail(decoder, std::string("cannot convert ") + std::to_string(rate) +
                              " Hz to the playback rate: " + SDL_GetError());
        }
    }
}

// Appends `frames` frames of the source format, as stereo at the playback rate.
void convert(Mp3Decoder& decoder, std::size_t frames) {
    std::int16_t* samples = decoder.source.data();
    if (decoder.sourceChannels == 1) {
        // In place from the back: the buffer holds room for the stereo frames.
        for (std::size_t i = frames; i-- > 0;) {
            samples[2 * i] = samples[2 * i + 1] = samples[i];
        }
    }
    if (decoder.resampler == nullptr) {
        decoder.ready.insert(decoder.ready.end(), samples, samples + 2 * frames);
        return;
    }
    decoder.sourceFrames += frames;
    if (SDL_AudioStreamPut(decoder.resampler, samples,
                           static_cast<int>(frames * 2 * sizeof(std::int16_t))) != 0) {
        fail(decoder, std::string("cannot resample the music: ") + SDL_GetError());
        return;
    }
    drainResampler(decoder);
}

// Refills `ready` with the next converted frames. False once nothing more will come.
bool refill(Mp3Decoder& decoder) {
    decoder.ready.clear();
    decoder.readyOffset = 0;
    while (decoder.ready.empty() && !decoder.sourceEnded) {
        std::size_t bytes = 0;
        // Half the buffer's bytes: a mono read is widened to stereo in place.
        const int result =
            mpg123_read(decoder.handle, reinterpret_cast<unsigned char*>(decoder.source.data()),
                        decoder.source.size(), &bytes);
        if (result == MPG123_NEW_FORMAT) {
            startSourceFormat(decoder);
            continue;
        }
        if (bytes > 0 && decoder.sourceChannels == 0) {
            fail(decoder, "the decoder gave samples before their format");
        } else if (bytes > 0) {
            convert(decoder, bytes / (sizeof(std::int16_t) * decoder.sourceChannels));
        }
        if (result != MPG123_OK && !decoder.sourceEnded) {
            if (result != MPG123_DONE) {
                decoder.failure = libraryReason(decoder.handle, result);
            }
            endSourceFormat(decoder);
            decoder.sourceEnded = true;
        }
    }
    decoder.finished = decoder.ready.empty();
    return !decoder.finished;
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
    // The file's own rate and channels, 16-bit. The library's own rate conversion is not used:
    // it is slow on some frames (half a minute of CPU for one read of a 32 kHz file was seen).
    mpg123_format_none(decoder.handle);
    const long* rates = nullptr;
    std::size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (std::size_t i = 0; i < rateCount; ++i) {
        mpg123_format(decoder.handle, rates[i], MPG123_MONO | MPG123_STEREO,
                      MPG123_ENC_SIGNED_16);
    }

    if (int result = mpg123_open(decoder.handle, path); result != MPG123_OK) {
        failure = libraryReason(decoder.handle, result);
        closeMp3(decoder);
        return false;
    }

    // The library accepts any bytes at open time and only finds out while decoding, so decode
    // the first frames now: a file without audio must fail here, not play as silence.
    decoder.source.resize(sourceReadFrames * 2);
    if (!refill(decoder)) {
        failure = decoder.failure.empty() ? "no MPEG audio found in the file" : decoder.failure;
        closeMp3(decoder);
        return false;
    }
    return true;
}

std::size_t decodeMp3(Mp3Decoder& decoder, std::int16_t* stereoFrames, std::size_t maxFrames) {
    if (decoder.handle == nullptr || maxFrames == 0) {
        return 0;
    }
    if (decoder.readyOffset * 2 == decoder.ready.size() && !refill(decoder)) {
        return 0;
    }
    const std::size_t count = std::min(maxFrames, decoder.ready.size() / 2 - decoder.readyOffset);
    std::memcpy(stereoFrames, decoder.ready.data() + 2 * decoder.readyOffset,
                count * 2 * sizeof(std::int16_t));
    decoder.readyOffset += count;
    return count;
}

void closeMp3(Mp3Decoder& decoder) {
    if (decoder.resampler != nullptr) {
        SDL_FreeAudioStream(decoder.resampler);
    }
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
