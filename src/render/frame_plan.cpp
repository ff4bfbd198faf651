// Timeline of the frame-level decisions, kept free of GL so it can be checked on its own.
#include "render/frame_plan.h"

#include "timeline.h"

#include <cmath>

namespace qm {

FramePlan planFrame(float time, float levelStep) {
    FramePlan plan;
    if (time >= static_cast<float>(grooveStart)) {
        plan.pointSmooth = false;
        const float grey = 1.0f - levelStep;
        plan.clearColor[0] = grey;
        plan.clearColor[1] = grey;
        plan.clearColor[2] = grey;
        plan.clearColor[3] = 0.5f;
        plan.pointCount = 1000;
        plan.pointSize = levelStep * 8.0f;
    } else {
        plan.pointSize = std::sin(time) * 3.0f + 10.0f;
        for (float& channel : plan.clearColor) {
            channel = 1.0f;
        }
        plan.pointSmooth = true;
        plan.pointCount = 10;
    }
    // glPointSize answers GL_INVALID_VALUE for a size that is not positive (NaN included) and
    // keeps the old one; skipping the call keeps the same size without leaving an error behind.
    plan.setPointSize = plan.pointSize > 0.0f;
    plan.pictureB = time > static_cast<float>(dropStart);
    return plan;
}

ViewportRect letterboxRect(int drawableWidth, int drawableHeight) {
    ViewportRect rect;
    if (drawableWidth <= 0 || drawableHeight <= 0) {
        return rect;
    }
    // 64-bit products: a drawable side near INT_MAX times 4 must not overflow.
    const long long width = drawableWidth;
    const long long height = drawableHeight;
    if (width * 3 >= height * 4) {
        rect.height = drawableHeight;
        rect.width = static_cast<int>(height * 4 / 3);
    } else {
        rect.width = drawableWidth;
        rect.height = static_cast<int>(width * 3 / 4);
    }
    rect.x = (drawableWidth - rect.width) / 2;
    rect.y = (drawableHeight - rect.height) / 2;
    return rect;
}

} // namespace qm
