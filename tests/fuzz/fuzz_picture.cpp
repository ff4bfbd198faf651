// Any bytes as a picture file, through the checks of checks.h.
#include "checks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One memory file for the whole run, reached by path: readPicture takes a file name, and
    // the disk would make every execution a hundred times slower.
    static const int fd = memfd_create("picture", 0);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        __builtin_trap();
    }
    // 4096: big enough for every colour type and interlace, small enough that a header
    // claiming more is refused before any large allocation.
    const std::string fault = pictureFault("/proc/self/fd/" + std::to_string(fd), 4096);
    if (!fault.empty()) {
        std::fprintf(stderr, "fuzz_picture: %s\n", fault.c_str());
        __builtin_trap();
    }
    return 0;
}
