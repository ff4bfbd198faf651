// The SDL output: the default device at the playback format, driven by the music clock's
// callback, with libasound's own messages silenced, and a new default device opened in place of
// one that SDL reports lost (its sound server killed or restarted).
#pragma once

#include <SDL.h>

#include <string>

namespace qm {

// Starts SDL's audio and opens the default device, paused. False with SDL's reason in `failure`.
bool openOutput(SDL_AudioCallback callback, std::string& failure);

void playOutput();

// Pauses the device: once this returns, the callback is not running and will not run again.
void pauseOutput();

// True once SDL has given the device up (it keeps calling back at the sound's pace, into
// nothing). Lock-free and allocation-free, so the callback itself may ask.
bool outputLost();

// Closes the lost device and opens the default one again, paused, with the same callback. False
// with SDL's reason in `failure`; the lost device is closed either way.
bool reopenOutput(std::string& failure);

// Closes the device and SDL's audio. A device held in a write that never returns is not closed
// (closing waits for its thread, maybe for ever): `held` leaves it to the end of the process.
void closeOutput(bool held);

} // namespace qm
