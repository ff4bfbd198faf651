// The producer side of the music clock's ring: libmpg123 decodes the track about half a second
// ahead of what the device has taken. On the desktop it runs on a thread of its own; the browser
// build has no threads, so there the frame loop and the device callback top the ring up instead.
#pragma once

#include "assets.h"
#include "audio/frame_ring.h"

#include <string>

namespace qm {

// Frames the filler keeps ready beyond what the device has taken.
constexpr std::uint64_t fillAheadFrames = playbackRate / 2;
constexpr std::size_t fillChunkFrames = 4096;

// Opens `path` and decodes its first audio into `ring` (allocated, empty) before it answers, so
// a file that is missing, empty or not an MP3 gives false with the reason in `failure`; then
// keeps filling until stopFilling.
bool startFilling(FrameRing& ring, const char* path, std::string& failure);

// Where there is no decoder thread, decodes up to the mark; elsewhere nothing. Lock-free on the
// ring; from the frame loop or the callback, which never run at once there.
void topUpRing();

// Everything decoded is in the ring.
bool fillingFinished();
// Why decoding stopped short, once finished: a damaged frame it could not get past; else empty.
std::string fillingFailure();

// Stops the thread and closes the file.
void stopFilling();

} // namespace qm
