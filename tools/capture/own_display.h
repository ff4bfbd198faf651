// The capture tool's own X display on a machine without one: a private Xvfb at the picture's
// size, started before the GL and stopped after it.
#pragma once

#include <sys/types.h>

#include <string>

namespace qm {

// A private X server (Xvfb) for a machine without a display. It runs in a process group of its
// own, so the terminal's Ctrl-C reaches only this tool, which stops it after the GL is gone; it
// also dies with this process, should that be killed outright.
struct OwnDisplay {
    pid_t pid = -1;
    std::string name; // ":N"
};
bool startOwnDisplay(OwnDisplay& display, std::string& failure);
void stopOwnDisplay(OwnDisplay& display);

} // namespace qm
