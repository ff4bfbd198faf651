// The presentation's music, synthesised from nothing. Its sections change at the same music
// times as the picture (4.4 s, 13.0 s, 17.4 s), and its left channel spans the meter's whole
// range, from stretches of digital silence to full-scale hits.
#pragma once

#include "assets.h"

#include <cstdint>
#include <vector>

namespace qm {

// Interleaved stereo 16-bit PCM at playbackRate, left first; identical on every run.
std::vector<std::int16_t> synthesiseMusic();

} // namespace qm
