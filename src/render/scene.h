// The renderer: every GL object of the presentation, made once, and the two-pass frame.
#pragma once

#include "render/gl.h"

#include "render/frame_plan.h"

#include <string>

namespace qm {

// Size of the off-screen point image and of the picture the viewer sees.
constexpr int sceneWidth = 640;
constexpr int sceneHeight = 480;

struct SceneObjects {
    GLuint imageTextureA = 0;
    GLuint imageTextureB = 0;
    GLuint pointProgram = 0;
    GLuint pointVertexArray = 0;
    GLuint quadBuffer = 0;
    GLuint compositeProgram = 0;
    GLuint quadVertexArray = 0;
    GLuint pointImageFramebuffer = 0;
    GLuint pointImageTexture = 0;
    GLuint depthRenderbuffer = 0;
    // Uniform locations, looked up once the programs link; -1 (which the GL ignores) until then.
    GLint pointLevelUniform = -1;
    GLint pointTimeUniform = -1;
    GLint pointSizeUniform = -1;  // WebGL2 only
    GLint pointRoundUniform = -1; // WebGL2 only
    GLint compositeLevelUniform = -1;
    GLint compositeTimeUniform = -1;
    GLint compositePointImageUniform = -1;
    GLint compositePictureUniform = -1;
    float cumulativeLevel = 0.0f;
};

extern SceneObjects sceneObjects;

// Where the composite pass draws: the window (framebuffer 0) for the live run, or a
// framebuffer the caller owns (capture). Width and height are that target's drawable size; at
// any size but 640x480 the picture goes into the largest centred 4:3 rectangle, black around it.
struct FrameTarget {
    GLuint framebuffer = 0;
    int width = sceneWidth;
    int height = sceneHeight;
};

// Loads the pictures from `assetDir` (empty: the working directory), builds both programs and
// makes the off-screen target. Needs a current GL 3.3 compatibility context with GLEW loaded
// (or, in the browser, a WebGL2 one).
// False on failure, with `failure` naming the file or step and the reason (one line, except for
// a shader's info log), and every object made so far deleted again.
bool setupScene(std::string& failure, const std::string& assetDir = "");

// Draws one frame at music time `time` with the frame's level step, adding the step to
// cumulativeLevel. Leaves target.framebuffer bound. Allocates nothing.
void renderFrame(float time, float levelStep, const FrameTarget& target = FrameTarget{});

// Deletes every GL object of sceneObjects in reverse order of creation and resets the names, the
// uniform locations and the level sum. Call with the scene's context current, before the window
// goes.
void releaseScene();

// The two passes of renderFrame, in its order, for the benchmark (to time each alone) and for
// tests that draw the composite over an off-screen image they uploaded. drawPointPass sets the
// frame's point and clear state, clears the target and adds the points to the off-screen image;
// drawCompositePass binds the target and draws the full-screen quad into it. Neither touches
// cumulativeLevel.
void drawPointPass(float time, const FramePlan& plan, const FrameTarget& target);
void drawCompositePass(float time, const FramePlan& plan, const FrameTarget& target);

} // namespace qm
