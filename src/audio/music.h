// The music clock: plays the track and answers, once per frame, where playback is and how loud
// the left channel is. libmpg123 decodes on a thread of this layer's own; SDL2 plays.
#pragma once

#include "assets.h"
#include "audio/clock.h"

#include <string>

namespace qm {

// Opens the default output device at 44100 Hz stereo. False on failure; musicFailure() says why.
bool openDevice();

// Opens `path` (the presentation passes musicFileName) for streaming playback. The first audio
// frame is decoded before this answers, so a file that is missing, empty or not an MP3 gives
// false; musicFailure() then says why.
bool openStream(const char* path = musicFileName);

void startPlayback();

// Once per frame, before drawing it: what the device is playing now, the level heard then, and
// whether the run is over: everything decoded has been heard, or the device has taken no sound
// for 8 s of running frames while music was still to be heard, or it was lost and no default
// device could be opened for 5 s (playbackFailure then says so). A lost device is replaced from
// here, the position held meanwhile where the sound stopped; the position never decreases. Also
// watches the device (a long gap between two calls, the frame loop itself held, counts as a
// short one) and, where there is no decoder thread, decodes ahead.
ClockReading readMusicClock();

// For a device that says when each buffer will be heard, on a clock of its own: a browser's audio
// context, whose graph and output queue lie beyond the script node whose callback SDL answers.
// In each callback `bufferStart` answers when the buffer being filled starts to be heard, and in
// readMusicClock() `heardNow` answers the moment heard now, both in seconds of that clock (NaN:
// not known yet). The position then follows that clock instead of the callbacks' moments. Give
// it between openDevice and startPlayback; it holds until freeDevice.
void useDeviceClock(double (*bufferStart)(), double (*heardNow)());

// Why the music will not be heard to its end, as the line to tell the user: it broke off (a
// damaged frame the decoder could not get past, naming the file openStream was given), the
// device stopped taking it, or it was lost and none came back. Empty while none happened.
std::string playbackFailure();

void freeStream();
// A device that stopped taking sound is not closed (that would wait on it, maybe forever): it is
// left to the end of the process.
void freeDevice();

// The reason for the last failed openDevice or openStream.
const std::string& musicFailure();

} // namespace qm
