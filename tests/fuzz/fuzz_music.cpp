// Any bytes as the music file: open, decode to the end and meter what comes out, as the playback
// layer and the capture tool do. Either one reason for refusing, or 44100 Hz stereo whose level
// steps stay within 0..8.
#include "audio/decoder.h"
#include "audio/level.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::size_t chunkFrames = 4096;
// Ten minutes of output: a few bytes of MP3 can legitimately stand for a lot of audio, and a
// run that long would only measure the decoder's speed.
constexpr std::size_t mostFrames = 44100 * 600;

int memoryFile() {
    static const int fd = memfd_create("music", 0);
    return fd;
}

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "fuzz_music: %s\n", what);
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memoryFile();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        fault("cannot write the memory file");
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    Mp3Decoder decoder;
    std::string failure;
    if (!openMp3(decoder, path.c_str(), failure)) {
        if (failure.empty() || failure.find('\n') != std::string::npos) {
            fault("a refused file must give exactly one line");
        }
        if (decoder.handle != nullptr) {
            fault("a refused file left its decoder open");
        }
        return 0;
    }
    if (decoder.sourceChannels != 1 && decoder.sourceChannels != 2) {
        fault("the source has neither one nor two channels");
    }
    std::vector<std::int16_t> chunk(chunkFrames * 2);
    std::size_t total = 0;
    while (const std::size_t frames = decodeMp3(decoder, chunk.data(), chunkFrames)) {
        if (frames > chunkFrames) {
            fault("the decoder wrote past the buffer it was given");
        }
        for (std::size_t end = 0; end <= frames; end += levelWindowFrames / 2) {
            if (levelStepEndingAt(chunk.data(), frames, end) > 8) {
                fault("a level step above 8");
            }
        }
        total += frames;
        if (total > mostFrames) {
            break;
        }
    }
    if (!decoder.finished && total <= mostFrames) {
        fault("decoding stopped without finishing");
    }
    closeMp3(decoder);
    return 0;
}
