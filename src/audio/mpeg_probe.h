// Where a file's MPEG audio begins, told from its bytes alone. MPEG audio may follow junk: 4 KiB
// of zeros, an HTTP response header, the tail of a frame cut off, an ID3v2 tag. libmpg123 hunts
// for frame headers through whatever it is given and finds false ones in most larger files (a
// PNG would play as a burst of noise), so a file is taken as MPEG audio only where a chain of
// frames, each header where the one before it says it ends, begins near its start. No library
// and no file: the decoder hands it a way to read the file, the fuzz target memory.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace qm {

// How far into a file, ID3v2 tags not counted, its audio may begin.
constexpr std::size_t audioSearchBytes = 64 * 1024;

// Reads the bytes at `offset` into `window`, at most its size, and shrinks it to what was read;
// false where the source has no such offset.
using ReadBytesAt = std::function<bool(long offset, std::vector<unsigned char>& window)>;

// Where MPEG audio begins within audioSearchBytes, or -1 where it does not. `window` is left
// holding the last bytes read, the file's first bytes when no tag was passed.
long findMpegAudio(const ReadBytesAt& readAt, std::vector<unsigned char>& window);

// What a refused file looks like from its first bytes, for the line that refuses it: "a WAV
// file: ", "a PNG picture: " and the like, or "".
const char* formatHint(const std::vector<unsigned char>& head);

} // namespace qm
