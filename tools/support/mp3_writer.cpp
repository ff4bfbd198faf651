// LAME encoding of a whole PCM buffer to a file, with the LAME tag rewritten at the start once
// encoding has finished: that tag carries the encoder delay and padding that gapless decoders
// remove.
#include "mp3_writer.h"

#include <lame/lame.h>

#include <cstdio>
#include <memory>

namespace qm {

namespace {

struct LameCloser {
    void operator()(lame_global_flags* flags) const { lame_close(flags); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

bool writeMp3(const std::string& path, const std::vector<std::int16_t>& samples, int channels,
              int rate, std::string& failure, int bitrateKbps, bool gaplessTag) {
    if (channels != 1 && channels != 2) {
        failure = "only mono or stereo can be encoded";
        return false;
    }
    std::unique_ptr<lame_global_flags, LameCloser> lame(lame_init());
    if (!lame) {
        failure = "lame_init failed";
        return false;
    }
    lame_set_in_samplerate(lame.get(), rate);
    lame_set_out_samplerate(lame.get(), rate);
    lame_set_num_channels(lame.get(), channels);
    lame_set_mode(lame.get(), channels == 1 ? MONO : JOINT_STEREO);
    lame_set_brate(lame.get(), bitrateKbps);
    lame_set_quality(lame.get(), 5);
    lame_set_bWriteVbrTag(lame.get(), gaplessTag ? 1 : 0);
    if (lame_init_params(lame.get()) < 0) {
        failure = "LAME rejected the encoding parameters (rate " + std::to_string(rate) + ")";
        return false;
    }

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        failure = "cannot create " + path;
        return false;
    }

    const std::size_t frames = samples.size() / static_cast<std::size_t>(channels);
    const std::size_t chunkFrames = 8192;
    std::vector<unsigned char> out(static_cast<std::size_t>(1.25 * chunkFrames) + 7200);
    for (std::size_t start = 0; start < frames; start += chunkFrames) {
        const std::size_t count = std::min(chunkFrames, frames - start);
        const short* pcm = samples.data() + start * static_cast<std::size_t>(channels);
        int written = channels == 1
                          ? lame_encode_buffer(lame.get(), pcm, pcm, static_cast<int>(count),
                                               out.data(), static_cast<int>(out.size()))
                          : lame_encode_buffer_interleaved(lame.get(), const_cast<short*>(pcm),
                                                           static_cast<int>(count), out.data(),
                                                           static_cast<int>(out.size()));
        if (written < 0) {
            failure = "LAME failed to encode (" + std::to_string(written) + ")";
            return false;
        }
        std::fwrite(out.data(), 1, static_cast<std::size_t>(written), file.get());
    }
    int written = lame_encode_flush(lame.get(), out.data(), static_cast<int>(out.size()));
    if (written < 0) {
        failure = "LAME failed to flush";
        return false;
    }
    std::fwrite(out.data(), 1, static_cast<std::size_t>(written), file.get());

    // The tag frame is only complete now that LAME knows the length; it replaces the
    // placeholder LAME wrote as the first frame.
    std::vector<unsigned char> tag(gaplessTag ? lame_get_lametag_frame(lame.get(), nullptr, 0) : 0);
    if (!tag.empty() && lame_get_lametag_frame(lame.get(), tag.data(), tag.size()) == tag.size()) {
        std::fseek(file.get(), 0, SEEK_SET);
        std::fwrite(tag.data(), 1, tag.size(), file.get());
    }
    if (std::ferror(file.get()) || std::fflush(file.get()) != 0) {
        failure = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace qm
