// The desktop's display mode given back however the presentation's process ends. GLFW puts the
// mode back when the full-screen window is destroyed, which only an orderly shutdown does; a
// crash, SIGKILL or a killed X connection skip it and leave the viewer a 640x480 desktop. So a
// small guard process, started before the mode switch, holds its own X connection and the RandR
// configuration it found, and puts that back when the presentation goes without saying "done".
// Only the Linux X11 desktop has one: Windows undoes a full-screen mode change itself when the
// process ends (docs/WINDOWS.md), the browser and the capture tool switch no mode.
#pragma once

#include <string>
#include <vector>

namespace qm {

// Starts the guard. Call it while the process has no thread yet: it forks. Without an X display
// (DISPLAY unset) there is nothing to guard and it does nothing. False, with one line's reason in
// `warning`, when the configuration could not be held: the presentation still runs, but a
// crash would then leave the mode switched. An X display that cannot be opened (the window
// library says so itself) or one without RandR (GLFW switches no mode there) is no warning.
bool startModeGuard(std::string& warning);

// Says "done" once the orderly shutdown has given the mode back, and lets the guard go.
void finishModeGuard();

// One CRTC as RandR describes it; mode 0 is a CRTC that is off.
struct CrtcSetting {
    unsigned long id = 0, mode = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0; // the mode's size as rotated
    unsigned short rotation = 1;
    std::vector<unsigned long> outputs;
};

struct ScreenSetting {
    int width = 0, height = 0, widthMm = 0, heightMm = 0; // the screen's size decides a resize
    std::vector<CrtcSetting> crtcs;
};

// What putting `saved` back over `now` takes, in this order: CRTCs to switch off first, because
// they would not fit the screen once resized; the screen's new size; the CRTCs to set as saved.
// Only what differs is touched, so a run killed before its window opened changes nothing.
struct RestorePlan {
    std::vector<unsigned long> switchOff;
    bool resize = false;
    std::vector<CrtcSetting> set;
};

RestorePlan planRestore(const ScreenSetting& saved, const ScreenSetting& now);

} // namespace qm
