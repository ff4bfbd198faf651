// The music clock: plays the track and answers, once per frame, where playback is and how loud
// the left channel is. libmpg123 decodes on a thread of this layer's own; SDL2 plays.
#pragma once

#include "assets.h"

#include <cstdint>
#include <string>

using MusicStream = std::uint32_t; // 0 means no stream

// Opens the default output device at 44100 Hz stereo. False on failure; musicFailure() says why.
bool openDevice();

// Opens `path` (the presentation passes musicFileName) for streaming playback. The first audio
// frame is decoded before this answers, so a file that is missing, empty or not an MP3 gives 0;
// musicFailure() then says why.
MusicStream openStream(const char* path = musicFileName);

void startPlayback(MusicStream stream);

// isActive, positionSeconds and readLevelStep answer for one moment: the one heard when update()
// was last called (the start of the stream before the first call). So a frame's time, its level
// and the end test can never disagree.

// False once everything decoded has been heard, or once the device has taken no sound for about
// 2 s of running frames while music was still to be heard (playbackFailure then says so).
bool isActive(MusicStream stream);

// The position being heard, in seconds of the stream; never decreases.
double positionSeconds(MusicStream stream);

// The left-channel peak of the 20 ms that end at the heard position, as a step 0..8.
unsigned readLevelStep(MusicStream stream);

// Once per frame, after the buffer swap: takes the next frame's reading of the clock (what the
// device is playing now), watches for a device that stopped calling back, and wakes the decoder.
// A long gap between two calls (the frame loop itself held) counts as a short one.
void update();

// Why the music will not be heard to its end, as the line to tell the user: it broke off (a
// damaged frame the decoder could not get past, naming the file openStream was given) or the
// device stopped taking it. Empty while neither happened.
std::string playbackFailure(MusicStream stream);

void freeStream(MusicStream stream);
// A device that stopped taking sound is not closed (that would wait on it, maybe forever): it is
// left to the end of the process.
void freeDevice();

// The reason for the last failed openDevice or openStream.
const std::string& musicFailure();
