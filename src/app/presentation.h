// One run of the presentation, whichever platform drives it: start-up steps, one frame function
// and shutdown over one state. The desktop loop, the browser's main-loop callback and the
// capture tool each take a clock reading and hand it to presentFrame; each decides only the
// order of start-up and what to do with a finished frame.
#pragma once

#include "assets.h"
#include "audio/clock.h"
#include "render/gl_context.h"
#include "render/scene.h"

#include <string>

namespace qm {

struct Presentation {
    bool musicOpen = false;       // the music clock's track, whose end may be a failure
    GLFWwindow* window = nullptr; // with its context current while set
    std::string failure;          // the first step that failed, for the platform to say once
};

extern Presentation presentation;

// Keeps `message` as the run's failure unless an earlier one is kept already; false, so a failing
// step can return it.
bool failPresentation(const std::string& message);

// Start-up steps, in whatever order the platform needs. Each says its failure through
// failPresentation and returns false.
bool openAudioDevice();
bool openMusic(const char* path = musicFileName); // the music clock, its first audio decoded
bool openWindow(ContextKind kind);                // sceneWidth x sceneHeight
bool makeScene(const std::string& assetDir = "");

// The frame function: draws the moment `reading` gives into `target`. False, drawing nothing,
// once the reading says the run is over; where the music broke off or the audio device stopped
// taking it, presentation.failure then says so.
bool presentFrame(const ClockReading& reading, const FrameTarget& target);

// Releases, in reverse order, whatever start-up made; the failure stays to be said.
void shutDownPresentation();

} // namespace qm
