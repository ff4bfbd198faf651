// Any bytes as the music file (fuzz_music) or as a picture file (fuzz_picture, built with
// QM_FUZZ_PICTURE), through the checks of checks.h.
#include "checks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One memory file for the whole run, reached by path: the loaders take a file name, and the
    // disk would make every execution a hundred times slower.
    static const int fd = memfd_create("input", 0);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        __builtin_trap();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
#ifdef QM_FUZZ_PICTURE
    // 4096: big enough for every colour type and interlace, small enough that a header claiming
    // more is refused before any large allocation.
    const std::string fault = pictureFault(path, 4096);
#else
    // Ten minutes of output at most: a run that long would only measure the decoder's speed.
    const std::string fault = musicFault(path, 44100 * 600);
#endif
    if (!fault.empty()) {
        std::fprintf(stderr, "fuzz: %s\n", fault.c_str());
        __builtin_trap();
    }
    return 0;
}
