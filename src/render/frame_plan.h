// The per-frame decisions of the renderer, as plain values: what the point pass draws, which
// clear colour and picture the frame uses, and where the composite lands in the drawable.
#pragma once

namespace qm {

struct FramePlan {
    int pointCount = 0;
    // False where the frame asks for a size the GL rejects (0 when the level step is 0 after
    // 4.4 s): the size of an earlier frame then stays in effect.
    bool setPointSize = false;
    float pointSize = 0.0f;
    bool pointSmooth = false;
    float clearColor[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    bool pictureB = false;
};

// The point-pass switch is time >= grooveStart (4.4 itself is late); the picture switch is
// time > dropStart. Both compare in single precision.
FramePlan planFrame(float time, float levelStep);

struct ViewportRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The largest 4:3 rectangle centred in a drawable of the given size; the drawable itself when
// it is 4:3. A drawable with no area gives an empty rectangle.
ViewportRect letterboxRect(int drawableWidth, int drawableHeight);

} // namespace qm
