// Scene set-up, the two-pass frame and release. All GL objects are made once in setupScene
// and live until releaseScene.
#include "render/scene.h"

#include "assets.h"
#include "render/gl_errors.h"
#include "render/picture.h"
#include "render/program.h"
#include "render/shaders/composite_shaders.h"
#include "render/shaders/point_shaders.h"

namespace qm {

SceneObjects sceneObjects;

namespace {

// Two triangles covering the clip-space square.
constexpr GLfloat quadVertices[18] = {
    -1.0f, -1.0f, 0.0f, //
    1.0f,  -1.0f, 0.0f, //
    1.0f,  1.0f,  0.0f, //
    1.0f,  1.0f,  0.0f, //
    -1.0f, 1.0f,  0.0f, //
    -1.0f, -1.0f, 0.0f, //
};

// Around a letterboxed picture both clears show as bars, so they must be black whatever the
// late clear colour would be.
constexpr float barColour[4] = {0.0f, 0.0f, 0.0f, 1.0f};

bool loadPictures(const std::string& assetDir, std::string& failure) {
    SceneObjects& scene = sceneObjects;
    scene.imageTextureA = loadImageTexture(assetPath(assetDir, pictureFileA), failure);
    if (scene.imageTextureA == 0) {
        return false;
    }
    scene.imageTextureB = loadImageTexture(assetPath(assetDir, pictureFileB), failure);
    return scene.imageTextureB != 0;
}

// The program of one pass, or 0 with "cannot build the <pass> program: <stage and log>".
GLuint buildPassProgram(const char* pass, const char* vertexText, const char* fragmentText,
                        std::string& failure) {
    std::string reason;
    const GLuint program = buildProgram(vertexText, fragmentText, reason);
    if (program == 0) {
        failure = std::string("cannot build the ") + pass + " program: " + reason;
    }
    return program;
}

// A uniform the frame sets, looked up once. A name misspelt here or in a shader text reads -1,
// and the GL ignores every setting of -1 without a word: the picture would just be wrong.
bool findUniform(GLuint program, const char* pass, const char* name, GLint& location,
                 std::string& failure) {
    location = glGetUniformLocation(program, name);
    if (location < 0) {
        failure = std::string("the ") + pass + " program has no uniform \"" + name + "\"";
        return false;
    }
    return true;
}

bool buildPointPass(std::string& failure) {
    SceneObjects& scene = sceneObjects;
    scene.pointProgram = buildPassProgram("point", pointVertexText, pointFragmentText, failure);
    if (scene.pointProgram == 0) {
        return false;
    }
    // The point shaders declare `time` but use none of it, so the GL may drop it: it is looked
    // up, not required. WebGL2's point state lives in uniforms the desktop texts never have.
    scene.pointTimeUniform = glGetUniformLocation(scene.pointProgram, "time");
    if (!findUniform(scene.pointProgram, "point", "cumulativeLevel", scene.pointLevelUniform,
                     failure)) {
        return false;
    }
    if constexpr (glIsWebGL) {
        if (!findUniform(scene.pointProgram, "point", webPointSizeUniform, scene.pointSizeUniform,
                         failure) ||
            !findUniform(scene.pointProgram, "point", webRoundPointsUniform,
                         scene.pointRoundUniform, failure)) {
            return false;
        }
    }
    glGenVertexArrays(1, &scene.pointVertexArray);
    glBindVertexArray(scene.pointVertexArray);

    glGenBuffers(1, &scene.quadBuffer);
    glBindBuffer(GL_ARRAY_BUFFER, scene.quadBuffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof quadVertices, quadVertices, GL_STATIC_DRAW);
    // The points are placed from gl_VertexID alone, but some GL implementations draw nothing
    // from a vertex array with no enabled attribute. Every point reads the quad's first vertex
    // (a divisor, so a thousand points never fetch past the six vertices the buffer holds).
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glVertexAttribDivisor(0, 1);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return true;
}

bool buildCompositePass(std::string& failure) {
    SceneObjects& scene = sceneObjects;
    scene.compositeProgram =
        buildPassProgram("composite", compositeVertexText, compositeFragmentText, failure);
    if (scene.compositeProgram == 0) {
        return false;
    }
    const GLuint program = scene.compositeProgram;
    if (!findUniform(program, "composite", "cumulativeLevel", scene.compositeLevelUniform,
                     failure) ||
        !findUniform(program, "composite", "time", scene.compositeTimeUniform, failure) ||
        !findUniform(program, "composite", "screentexture", scene.compositePointImageUniform,
                     failure) ||
        !findUniform(program, "composite", "fist", scene.compositePictureUniform, failure)) {
        return false;
    }
    // The quad's vertex array feeds attribute 0.
    if (const GLint position = glGetAttribLocation(program, "position"); position != 0) {
        failure = "the composite program reads \"position\" from attribute " +
                  std::to_string(position) + ", not from 0, where the quad is";
        return false;
    }
    glGenVertexArrays(1, &scene.quadVertexArray);
    glBindVertexArray(scene.quadVertexArray);
    glEnableVertexAttribArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, scene.quadBuffer);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    return true;
}

// The 640x480 image the point pass accumulates into, with its depth buffer; left bound.
bool makeOffScreenTarget(std::string& failure) {
    SceneObjects& scene = sceneObjects;
    glGenFramebuffers(1, &scene.pointImageFramebuffer);

    glGenTextures(1, &scene.pointImageTexture);
    glBindTexture(GL_TEXTURE_2D, scene.pointImageTexture);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, sceneWidth, sceneHeight, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 nullptr);

    glBindFramebuffer(GL_FRAMEBUFFER, scene.pointImageFramebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                           scene.pointImageTexture, 0);

    glGenRenderbuffers(1, &scene.depthRenderbuffer);
    glBindRenderbuffer(GL_RENDERBUFFER, scene.depthRenderbuffer);
    glRenderbufferStorage(GL_RENDERBUFFER, depthBufferFormat, sceneWidth, sceneHeight);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER,
                              scene.depthRenderbuffer);

    const GLenum drawBuffer = GL_COLOR_ATTACHMENT0;
    glDrawBuffers(1, &drawBuffer);

    const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        failure = "the off-screen 640x480 target is incomplete: " + framebufferStatusText(status);
        return false;
    }
    // A texture made without data holds whatever the GL gives it; every run and every capture
    // must start from the same image.
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    return true;
}

// Binds the target and clears it with the frame's colour, or black where bars frame the picture.
// Each pass calls it for itself, so neither depends on what the other left bound or set.
void clearTarget(const FramePlan& plan, const FrameTarget& target) {
    const bool letterboxed = target.width != sceneWidth || target.height != sceneHeight;
    const float* clear = letterboxed ? barColour : plan.clearColor;
    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    glClearColor(clear[0], clear[1], clear[2], clear[3]);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

} // namespace

bool setupScene(std::string& failure, const std::string& assetDir) {
    const bool made = loadPictures(assetDir, failure) && buildPointPass(failure) &&
                      buildCompositePass(failure) && makeOffScreenTarget(failure);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    if (!made) {
        releaseScene();
        return false;
    }
    setUpFixedFunctionState();
    return true;
}

void releaseScene() {
    SceneObjects& scene = sceneObjects;
    // A program still in use is only flagged for deletion and lives on.
    glUseProgram(0);
    glDeleteRenderbuffers(1, &scene.depthRenderbuffer);
    glDeleteTextures(1, &scene.pointImageTexture);
    glDeleteFramebuffers(1, &scene.pointImageFramebuffer);
    glDeleteVertexArrays(1, &scene.quadVertexArray);
    glDeleteProgram(scene.compositeProgram);
    glDeleteBuffers(1, &scene.quadBuffer);
    glDeleteVertexArrays(1, &scene.pointVertexArray);
    glDeleteProgram(scene.pointProgram);
    glDeleteTextures(1, &scene.imageTextureB);
    glDeleteTextures(1, &scene.imageTextureA);
    scene = SceneObjects{};
}

void drawPointPass(float time, const FramePlan& plan, const FrameTarget& target) {
    const SceneObjects& scene = sceneObjects;
    clearTarget(plan, target);

    glUseProgram(scene.pointProgram);
    glUniform1f(scene.pointLevelUniform, scene.cumulativeLevel);
    glUniform1f(scene.pointTimeUniform, time);
    setPointState(plan.pointSmooth, plan.setPointSize, plan.pointSize, scene.pointSizeUniform,
                  scene.pointRoundUniform);
    glBindVertexArray(scene.pointVertexArray);
    glBindFramebuffer(GL_FRAMEBUFFER, scene.pointImageFramebuffer);
    glViewport(0, 0, sceneWidth, sceneHeight);
    glDrawArrays(GL_POINTS, 0, plan.pointCount);
}

void drawCompositePass(float time, const FramePlan& plan, const FrameTarget& target) {
    const SceneObjects& scene = sceneObjects;
    // At 640x480 the rectangle is the whole target. The clear ignores the viewport, so around a
    // smaller rectangle it paints the bars.
    const ViewportRect rect = letterboxRect(target.width, target.height);
    glViewport(rect.x, rect.y, rect.width, rect.height);
    glBindVertexArray(scene.quadVertexArray);
    glUseProgram(scene.compositeProgram);
    glUniform1f(scene.compositeLevelUniform, scene.cumulativeLevel);
    glUniform1f(scene.compositeTimeUniform, time);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, scene.pointImageTexture);
    glUniform1i(scene.compositePointImageUniform, 0);
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, plan.pictureB ? scene.imageTextureB : scene.imageTextureA);
    glUniform1i(scene.compositePictureUniform, 2);
    clearTarget(plan, target);
    glDrawArrays(GL_TRIANGLES, 0, 6);
}

void renderFrame(float time, float levelStep, const FrameTarget& target) {
    sceneObjects.cumulativeLevel += levelStep;
    const FramePlan plan = planFrame(time, levelStep);
    drawPointPass(time, plan, target);
    drawCompositePass(time, plan, target);
}

} // namespace qm
