// What giving a saved RandR configuration back takes: the guard's one decision, kept apart from
// the X calls so it is tested without a server.
#include "app/mode_guard.h"

#include <algorithm>

namespace qm {

namespace {

bool sameSetting(const CrtcSetting& a, const CrtcSetting& b) {
    return a.mode == b.mode && a.x == b.x && a.y == b.y && a.rotation == b.rotation &&
           a.outputs == b.outputs;
}

} // namespace

RestorePlan planRestore(const ScreenSetting& saved, const ScreenSetting& now) {
    RestorePlan plan;
    plan.resize = saved.width != now.width || saved.height != now.height;
    for (const CrtcSetting& was : saved.crtcs) {
        const auto is = std::find_if(now.crtcs.begin(), now.crtcs.end(),
                                     [&was](const CrtcSetting& c) { return c.id == was.id; });
        if (is == now.crtcs.end() || sameSetting(was, *is)) {
            continue; // a CRTC that went away has nothing to be given back
        }
        // RandR refuses a screen smaller than a lit CRTC's extent.
        if (is->mode != 0 &&
            (is->x + int(is->width) > saved.width || is->y + int(is->height) > saved.height)) {
            plan.switchOff.push_back(is->id);
        }
        plan.set.push_back(was);
    }
    return plan;
}

} // namespace qm
