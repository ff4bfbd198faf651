// What a frame is drawn from, whichever clock gives it: the music clock (the sound being heard)
// or the fixed-rate clock (frame n at n / fps seconds). One value per frame, so the time, the
// level and the end can only ever describe the same moment.
#pragma once

namespace qm {

struct ClockReading {
    double seconds = 0.0;   // the moment of the music the frame shows
    unsigned levelStep = 0; // the left channel's peak over the 20 ms ending then, 0..8
    bool ended = false;     // the run is over: nothing more to draw
};

} // namespace qm
