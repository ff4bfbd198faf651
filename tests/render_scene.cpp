// Scene set-up, the frame loop's state over several frames, the letterbox, release, the shader
// programs' build, and set-up failures.
#include "render_support.h"

#include "render/program.h"
#include "render/shaders/composite_shaders.h"
#include "render/shaders/point_shaders.h"

#include <algorithm>

namespace {

using render_test::GlTest;
using render_test::OwnTarget;
using render_test::readPixels;
using RenderScene = render_test::SceneTest;

std::vector<unsigned char> pointImageAlpha() {
    const std::vector<unsigned char> rgba = readPixels(sceneObjects.screenFramebuffer, 640, 480);
    std::vector<unsigned char> alpha;
    for (std::size_t i = 3; i < rgba.size(); i += 4) {
        alpha.push_back(rgba[i]);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return alpha;
}

GLint boundFramebuffer() {
    GLint bound = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    return bound;
}

TEST_F(RenderScene, StartsFromATransparentBlackTargetWithTheWindowBound) {
    EXPECT_EQ(0, boundFramebuffer());
    // Some GL implementations draw no points from a vertex array without an enabled attribute;
    // the divisor keeps a thousand points from reading past the quad's six vertices.
    glBindVertexArray(sceneObjects.pointVertexArray);
    GLint enabled = 0, divisor = 0;
    glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &enabled);
    glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_DIVISOR, &divisor);
    glBindVertexArray(0);
    EXPECT_EQ(GL_TRUE, enabled);
    EXPECT_NE(0, divisor);
    const std::vector<unsigned char> rgba = readPixels(sceneObjects.screenFramebuffer, 640, 480);
    EXPECT_TRUE(std::all_of(rgba.begin(), rgba.end(), [](unsigned char v) { return v == 0; }));
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

// Points stay in the off-screen image, the level steps add up, a step of 0 keeps the point
// size, and picture B is bound only after 17.4 s.
TEST_F(RenderScene, FramesAccumulatePointsAndLevels) {
    const auto lit = [](const std::vector<unsigned char>& a) {
        return std::count(a.begin(), a.end(), 255);
    };
    const auto boundPicture = [] {
        glActiveTexture(GL_TEXTURE2);
        GLint texture = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
        return GLuint(texture);
    };
    renderFrame(5.0f, 2.0f);
    const std::vector<unsigned char> first = pointImageAlpha();
    EXPECT_GT(lit(first), 1000);
    renderFrame(6.0f, 0.0f);
    GLfloat size = 0.0f;
    glGetFloatv(GL_POINT_SIZE, &size);
    EXPECT_EQ(16.0f, size);
    renderFrame(17.4f, 1.0f);
    EXPECT_EQ(sceneObjects.imageTextureA, boundPicture());
    renderFrame(17.41f, 3.0f);
    EXPECT_EQ(sceneObjects.imageTextureB, boundPicture());
    EXPECT_EQ(6.0f, sceneObjects.cumulativeLevel);
    const std::vector<unsigned char> later = pointImageAlpha();
    for (std::size_t i = 0; i < first.size(); ++i) {
        ASSERT_TRUE(first[i] != 255 || later[i] == 255) << "pixel " << i << " was cleared";
    }
    EXPECT_GT(lit(later), lit(first));
    // Nothing leaks into the window's binding: the next frame's first clear must hit it.
    EXPECT_EQ(0, boundFramebuffer());
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

TEST_F(RenderScene, LetterboxedDrawableKeepsTheBarsBlackInEverySection) {
    // A white point image and white pictures keep every edge of the 4:3 rectangle above black
    // through scan lines, vignette and flicker.
    uploadPointImage(std::vector<unsigned char>(640 * 480 * 4, 255));
    uploadPictures({255, 255, 255, 255});
    sceneObjects.cumulativeLevel = 1.0f;
    {
        const OwnTarget wide(1280, 720);
        for (float time : {2.0f, 4.4f, 10.0f, 15.0f, 17.4f, 18.25f}) {
            for (float step : {0.0f, 1.0f}) {
                renderFrame(time, step, wide.target());
                const std::vector<unsigned char> out = wide.pixels();
                int left = 1280, right = -1, bottom = 720, top = -1;
                for (int i = 0; i < 1280 * 720; ++i) {
                    if (out[i * 4] != 0 || out[i * 4 + 1] != 0 || out[i * 4 + 2] != 0) {
                        left = std::min(left, i % 1280), right = std::max(right, i % 1280);
                        bottom = std::min(bottom, i / 1280), top = std::max(top, i / 1280);
                    }
                }
                EXPECT_EQ((std::array<int, 4>{160, 1119, 0, 719}),
                          (std::array<int, 4>{left, right, bottom, top}))
                    << "time " << time << ", step " << step;
            }
        }
        // The point pass keeps its own 640x480 viewport: points reach the left edge of the
        // off-screen image, which the letterbox rectangle's viewport would shift away.
        uploadPointImage(std::vector<unsigned char>(640 * 480 * 4, 0));
        for (int frame = 0; frame < 5; ++frame) {
            renderFrame(10.0f, 1.0f, wide.target());
        }
        const std::vector<unsigned char> alpha = pointImageAlpha();
        int nearLeft = 0;
        for (std::size_t i = 0; i < alpha.size(); ++i) {
            nearLeft += i % 640 < 100 && alpha[i] == 255 ? 1 : 0;
        }
        EXPECT_GT(nearLeft, 100);
    }
    // Back at 640x480 (a capture target) the composite covers the whole drawable again.
    const OwnTarget exact(640, 480);
    uploadPointImage(std::vector<unsigned char>(640 * 480 * 4, 255));
    renderFrame(2.0f, 0.0f, exact.target());
    const std::vector<unsigned char> out = exact.pixels();
    for (std::size_t corner : {0, 639, 479 * 640, 479 * 640 + 639}) {
        EXPECT_GT(out[corner * 4], 100) << corner;
    }
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

TEST_F(RenderScene, ReleaseDeletesEveryObjectAndZeroesTheNames) {
    renderFrame(5.0f, 1.0f);
    const SceneObjects made = sceneObjects;
    releaseScene();
    EXPECT_NE(0u, made.depthRenderbuffer);
    for (GLuint texture : {made.imageTextureA, made.imageTextureB, made.screenTexture}) {
        EXPECT_FALSE(glIsTexture(texture)) << texture;
    }
    EXPECT_FALSE(glIsProgram(made.pointProgram) || glIsProgram(made.postProgram));
    EXPECT_FALSE(glIsVertexArray(made.pointVertexArray) || glIsVertexArray(made.quadVertexArray));
    EXPECT_FALSE(glIsBuffer(made.quadBuffer));
    EXPECT_FALSE(glIsFramebuffer(made.screenFramebuffer));
    EXPECT_FALSE(glIsRenderbuffer(made.depthRenderbuffer));
    for (GLuint name = 1; name < 64; ++name) {
        EXPECT_FALSE(glIsShader(name)) << name;
    }
    EXPECT_EQ(0u, sceneObjects.imageTextureA);
    EXPECT_EQ(0u, sceneObjects.depthRenderbuffer);
    EXPECT_EQ(0.0f, sceneObjects.cumulativeLevel);
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

using RenderSetup = GlTest;

TEST_F(RenderSetup, MissingSecondPictureFailsAndLeavesNothingBehind) {
    const testing_support::TempDir assets;
    std::filesystem::copy_file(testing_support::builtAsset("zupfist2.png"),
                               assets.file("zupfist2.png"));
    std::string failure;
    EXPECT_FALSE(setupScene(failure, assets.path.string()));
    EXPECT_EQ("cannot load picture \"" + assets.file("tovrel.png") +
                  "\": No such file or directory",
              failure);
    EXPECT_EQ(0u, sceneObjects.imageTextureA);
    for (GLuint name = 1; name < 64; ++name) {
        EXPECT_FALSE(glIsTexture(name)) << name;
    }
}

TEST_F(RenderSetup, ProgramsLinkWithTheirInterfaceAndFailuresNameTheStage) {
    std::string failure;
    const GLuint point = buildProgram(pointVertexText, pointFragmentText, failure);
    const GLuint post = buildProgram(compositeVertexText, compositeFragmentText, failure);
    ASSERT_TRUE(point != 0 && post != 0) << failure;
    EXPECT_NE(-1, glGetUniformLocation(point, "cumulativeLevel"));
    for (const char* name : {"time", "cumulativeLevel", "screentexture", "fist"}) {
        EXPECT_NE(-1, glGetUniformLocation(post, name)) << name;
    }
    // The quad's vertex array feeds attribute 0 without binding the name before linking.
    EXPECT_EQ(0, glGetAttribLocation(post, "position"));
    GLint attached = -1;
    glGetProgramiv(post, GL_ATTACHED_SHADERS, &attached);
    EXPECT_EQ(0, attached);
    glDeleteProgram(post);
    glDeleteProgram(point);

    const std::string badLine = "#version 150\nvoid main() { undeclaredThing = 1.0; }\n";
    const std::string unlinked = "#version 150\nvoid helper();\nvoid main() { helper(); }\n";
    const struct {
        const char *vertex, *fragment, *stage;
    } cases[] = {
        {badLine.c_str(), pointFragmentText, "vertex shader"},
        {pointVertexText, badLine.c_str(), "fragment shader"},
        {pointVertexText, unlinked.c_str(), "link"},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(0u, buildProgram(each.vertex, each.fragment, failure));
        EXPECT_EQ(0u, failure.rfind(each.stage, 0)) << failure;
        // The driver's own words follow the stage.
        EXPECT_GT(failure.size(), std::string(each.stage).size() + 20) << failure;
    }
    // Neither the good builds' shaders nor any failed build's objects are left.
    for (GLuint name = 1; name < 64; ++name) {
        EXPECT_FALSE(glIsShader(name) || glIsProgram(name)) << name;
    }
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

TEST(RenderContext, UnreachableDisplayIsReportedWithGlfwsReason) {
    const char* display = std::getenv("DISPLAY");
    const std::string saved = display != nullptr ? display : "";
    setenv("DISPLAY", ":4321", 1);
    std::string failure;
    GLFWwindow* window = openHiddenContext(640, 480, failure);
    display != nullptr ? setenv("DISPLAY", saved.c_str(), 1) : unsetenv("DISPLAY");
    EXPECT_EQ(nullptr, window);
    EXPECT_EQ(0u, failure.rfind("cannot start GLFW: ", 0)) << failure;
    EXPECT_NE(std::string::npos, failure.find(":4321")) << failure;
}

} // namespace
