// Writes PCM to an MP3 file with LAME. Used by the asset generator, the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

// `samples` is interleaved 16-bit PCM with `channels` (1 or 2) channels at `rate` Hz.
// With `gaplessTag` the file gets a LAME/Xing header, so decoders can remove the encoder delay
// and padding; without it the file is as many streams and cut-and-joined files are.
// Returns false and sets `failure` when LAME or the file refuses.
bool writeMp3(const std::string& path, const std::vector<std::int16_t>& samples, int channels,
              int rate, std::string& failure, int bitrateKbps = 192, bool gaplessTag = true);

} // namespace qm
