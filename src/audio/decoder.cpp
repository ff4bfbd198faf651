// libmpg123 behind a small decode-to-stereo interface.
#include "audio/decoder.h"

#include "assets.h"
#include "audio/mpeg_probe.h"

#include <mpg123.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace qm {

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
// `audioStart` is where the audio was found.
bool checkReadableFile(const char* path, long& audioStart, std::string& failure) {
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
    std::vector<unsigned char> head;
    audioStart = findMpegAudio(
        [probe](long offset, std::vector<unsigned char>& window) {
            if (std::fseek(probe, offset, SEEK_SET) != 0) {
                return false;
            }
            window.resize(std::fread(window.data(), 1, window.size(), probe));
            return true;
        },
        head);
    std::fclose(probe);
    if (audioStart < 0) {
        failure = std::string("not an MP3 file (") + formatHint(head) +
                  "no MPEG audio frames in its first " + std::to_string(audioSearchBytes / 1024) +
                  " KiB)";
        return false;
    }
    return true;
}

void stopDecoding(Mp3Decoder& decoder, std::string reason) {
    decoder.failure = std::move(reason);
    decoder.sourceEnded = true;
}

// The source format ends (the file ended or its next frames differ): the resampler hands out
// the rest of the stretch, up to its true length.
void endSourceFormat(Mp3Decoder& decoder) {
    if (decoder.resampling) {
        finishResampler(decoder.resampler, decoder.ready);
        decoder.resampling = false;
    }
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
        stopDecoding(decoder, "the decoder gave an unexpected sample format");
        return;
    }
    if (rate != playbackRate) {
        startResampler(decoder.resampler, static_cast<int>(rate));
        decoder.resampling = true;
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
    if (decoder.resampling) {
        resample(decoder.resampler, samples, frames, decoder.ready);
    } else {
        decoder.ready.insert(decoder.ready.end(), samples, samples + 2 * frames);
    }
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
        // A change of format can come with the last samples of the old one: they are converted
        // as the old format before the new one starts.
        if (bytes > 0 && decoder.sourceChannels == 0) {
            stopDecoding(decoder, "the decoder gave samples before their format");
        } else if (bytes > 0) {
            convert(decoder, bytes / (sizeof(std::int16_t) * decoder.sourceChannels));
        }
        if (result == MPG123_NEW_FORMAT) {
            startSourceFormat(decoder);
        } else if (result != MPG123_OK && !decoder.sourceEnded) {
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
    long audioStart = 0;
    if (!checkReadableFile(path, audioStart, failure)) {
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
    // The library gives up after 1 KiB of junk by default, counting the tags among junk too.
    mpg123_param(decoder.handle, MPG123_RESYNC_LIMIT,
                 std::max(audioStart, 0L) + static_cast<long>(audioSearchBytes), 0.0);
    // The file's own rate and channels, 16-bit. The library's own rate conversion is not used:
    // it is slow on some frames (half a minute of CPU for one read of a 32 kHz file was seen).
    mpg123_format_none(decoder.handle);
    const long* rates = nullptr;
    std::size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (std::size_t i = 0; i < rateCount; ++i) {
        mpg123_format(decoder.handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
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
    if (decoder.handle != nullptr) {
        mpg123_close(decoder.handle);
        mpg123_delete(decoder.handle);
    }
    decoder = Mp3Decoder{};
}

bool decodeWholeMp3(const char* path,
                    const std::function<void(const std::int16_t*, std::size_t)>& take,
                    std::string& failure) {
    Mp3Decoder decoder;
    if (!openMp3(decoder, path, failure)) {
        return false;
    }
    constexpr std::size_t chunkFrames = 16384;
    std::vector<std::int16_t> chunk(chunkFrames * 2);
    while (const std::size_t frames = decodeMp3(decoder, chunk.data(), chunkFrames)) {
        take(chunk.data(), frames);
    }
    failure = decoder.failure;
    closeMp3(decoder);
    return failure.empty();
}

bool decodeWholeMp3(const char* path, std::vector<std::int16_t>& stereoFrames,
                    std::string& failure) {
    stereoFrames.clear();
    return decodeWholeMp3(
        path,
        [&](const std::int16_t* frames, std::size_t count) {
            stereoFrames.insert(stereoFrames.end(), frames, frames + 2 * count);
        },
        failure);
}

bool countMp3Frames(const char* path, std::uint64_t& frames, std::string& failure) {
    frames = 0;
    return decodeWholeMp3(
        path, [&](const std::int16_t*, std::size_t count) { frames += count; }, failure);
}

} // namespace qm
