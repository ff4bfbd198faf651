// The SDL output: the default device at the playback format, its callback, libasound's own
// messages silenced, and a new default device opened in place of one that SDL reports lost (its
// sound server killed or restarted). The callback only copies ready frames out of the music
// clock's ring and stamps what it handed over; it never decodes, reads a file, locks or
// allocates, so it cannot glitch the sound, except where there is no decoder thread (below).
#pragma once

#include "audio/frame_ring.h"
#include "audio/heard_clock.h"

#include <cstdint>
#include <string>

namespace qm {

// What the callback feeds the device from and reports to, all the music clock's.
struct OutputFeed {
    FrameRing* ring = nullptr;
    StampBoard* stamp = nullptr;
    // Where the device has a clock of its own (useDeviceClock): when the buffer being filled
    // starts to be heard on it, and where each callback notes when frame 0 played.
    double (*bufferStart)() = nullptr;
    FrameZeroBoard* frameZeroes = nullptr;
    // Where there is no decoder thread (the browser) the callback tops the ring up itself
    // before taking from it: a hidden tab gets no frames, but its audio graph still asks for
    // samples, and SDL's callback runs on the page's main thread between frames anyway.
    void (*topUp)() = nullptr;
};

// Starts SDL's audio and opens the default device, paused, fed from `feed` (which must outlive
// it; its fields may change while the device is paused). False with SDL's reason in `failure`.
bool openOutput(const OutputFeed& feed, std::string& failure);

// Hands over from stream frame `frame` on: a new stream, or a new device after a loss. Waits for
// a callback that is running to return.
void restartFeed(std::uint64_t frame);

void playOutput();

// Pauses the device: once this returns, the callback is not running and will not run again.
void pauseOutput();

// True once SDL has given the device up (it keeps calling back at the sound's pace, into
// nothing), and while there is no device. Lock-free and allocation-free, so the callback itself
// may ask.
bool outputLost();

// Whether SDL's driver reports a device lost (SDL's PipeWire driver does not: its callbacks just
// stop), taken once from the driver's name when the audio starts.
bool outputReportsLoss();

// Where an attempt to replace a lost device stands.
enum class Reopen { idle, pending, opened, failed };

// Starts one attempt to replace the lost device, unless one is pending: the lost device closed,
// SDL's audio stopped and started again, and the default device opened, paused, with the same
// feed. It runs on a thread of its own, since SDL's open can block for many seconds (a sound
// server whose session manager never links the stream), and the frames must go on meanwhile.
void startReopen();

// The attempt's outcome, polled from the frame loop; reading `opened` or `failed` (SDL's reason
// then in `failure`) makes it idle again. With no threads (the browser) the attempt ran at once.
Reopen pollReopen(std::string& failure);

// Closes the device and SDL's audio. A device held in a write that never returns is not closed
// (closing waits for its thread, maybe for ever): `held` leaves it to the end of the process, as
// is everything while an attempt to reopen is still pending.
void closeOutput(bool held);

} // namespace qm
