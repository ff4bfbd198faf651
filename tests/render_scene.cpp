// Scene set-up, the frame loop's state over several frames, the letterbox and release.
#include "render_support.h"

#include <algorithm>
#include <cstdlib>

namespace {

using render_test::GlTest;
using render_test::readPixels;
using render_test::SceneTest;
using render_test::TempFolder;

using RenderScene = SceneTest;

std::vector<unsigned char> pointImageAlpha() {
    std::vector<unsigned char> rgba = readPixels(sceneObjects.screenFramebuffer, 640, 480);
    std::vector<unsigned char> alpha;
    for (std::size_t i = 3; i < rgba.size(); i += 4) {
        alpha.push_back(rgba[i]);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return alpha;
}

TEST_F(RenderScene, StartsFromATransparentBlackTargetWithTheWindowBound) {
    GLint bound = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(0, bound);
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

TEST_F(RenderScene, PointsFromEarlierFramesStayInTheOffScreenImage) {
    renderFrame(5.0f, 1.0f);
    const std::vector<unsigned char> first = pointImageAlpha();
    const auto lit = [](const std::vector<unsigned char>& alpha) {
        return std::count(alpha.begin(), alpha.end(), 255);
    };
    EXPECT_GT(lit(first), 1000);
    for (float step : {2.0f, 1.0f, 3.0f}) {
        renderFrame(6.0f, step);
    }
    EXPECT_EQ(7.0f, sceneObjects.cumulativeLevel);
    const std::vector<unsigned char> later = pointImageAlpha();
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (first[i] == 255) {
            ASSERT_EQ(255, later[i]) << "pixel " << i << " was cleared";
        }
    }
    EXPECT_GT(lit(later), lit(first));
    // Nothing leaks into the window's binding: the next frame's first clear must hit it.
    GLint bound = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(0, bound);
}

TEST_F(RenderScene, LevelStepZeroKeepsThePointSizeAndLeavesNoError) {
    renderFrame(5.0f, 2.0f);
    renderFrame(5.1f, 0.0f);
    GLfloat size = 0.0f;
    glGetFloatv(GL_POINT_SIZE, &size);
    EXPECT_EQ(16.0f, size);
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

TEST_F(RenderScene, PictureBIsBoundOnlyAfterSeventeenPointFour) {
    const auto boundPicture = [] {
        glActiveTexture(GL_TEXTURE2);
        GLint texture = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
        return static_cast<GLuint>(texture);
    };
    renderFrame(17.4f, 1.0f);
    EXPECT_EQ(sceneObjects.imageTextureA, boundPicture());
    renderFrame(17.41f, 1.0f);
    EXPECT_EQ(sceneObjects.imageTextureB, boundPicture());
}

TEST_F(RenderScene, LetterboxedDrawableKeepsTheBarsBlackInEverySection) {
    render_test::OwnTarget wide = render_test::makeTarget(1280, 720);
    // A white point image and white pictures keep every edge of the 4:3 rectangle above
    // black through scan lines, vignette and flicker.
    uploadPointImage(std::vector<unsigned char>(640 * 480 * 4, 255));
    const Picture white{1, 1, {255, 255, 255, 255}};
    uploadPicture(sceneObjects.imageTextureA, white);
    uploadPicture(sceneObjects.imageTextureB, white);
    sceneObjects.cumulativeLevel = 1.0f;
    const float steps[] = {0.0f, 1.0f};
    for (float time : {2.0f, 4.4f, 10.0f, 15.0f, 17.4f, 18.25f}) {
        for (float step : steps) {
            renderFrame(time, step, wide.target());
            const std::vector<unsigned char> out = readPixels(wide.framebuffer, 1280, 720);
            int left = 1280, right = -1, bottom = 720, top = -1;
            for (int y = 0; y < 720; ++y) {
                for (int x = 0; x < 1280; ++x) {
                    const unsigned char* pixel = &out[(std::size_t(y) * 1280 + x) * 4];
                    if (pixel[0] != 0 || pixel[1] != 0 || pixel[2] != 0) {
                        left = std::min(left, x), right = std::max(right, x);
                        bottom = std::min(bottom, y), top = std::max(top, y);
                    }
                }
            }
            EXPECT_EQ(160, left) << "time " << time << ", step " << step;
            EXPECT_EQ(1119, right) << "time " << time << ", step " << step;
            EXPECT_EQ(0, bottom) << "time " << time << ", step " << step;
            EXPECT_EQ(719, top) << "time " << time << ", step " << step;
        }
    }
    // The point pass keeps its own 640x480 viewport: points reach the left and bottom edges
    // of the off-screen image, which the letterbox rectangle's viewport would shift away.
    uploadPointImage(std::vector<unsigned char>(640 * 480 * 4, 0));
    for (int frame = 0; frame < 5; ++frame) {
        renderFrame(10.0f, 1.0f, wide.target());
    }
    const std::vector<unsigned char> alpha = pointImageAlpha();
    int nearLeft = 0;
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 100; ++x) {
            nearLeft += alpha[std::size_t(y) * 640 + x] == 255 ? 1 : 0;
        }
    }
    EXPECT_GT(nearLeft, 100);
    render_test::deleteTarget(wide);

    // Back at 640x480 (a capture target) the composite covers the whole drawable again.
    render_test::OwnTarget exact = render_test::makeTarget(640, 480);
    uploadPointImage(std::vector<unsigned char>(640 * 480 * 4, 255));
    renderFrame(2.0f, 0.0f, exact.target());
    const std::vector<unsigned char> out = readPixels(exact.framebuffer, 640, 480);
    for (const auto& [x, y] : {std::pair{0, 0}, std::pair{639, 479}, std::pair{639, 0}}) {
        EXPECT_GT(out[(std::size_t(y) * 640 + x) * 4], 100) << x << ", " << y;
    }
    render_test::deleteTarget(exact);
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

TEST_F(RenderScene, ReleaseDeletesEveryObjectAndZeroesTheNames) {
    renderFrame(5.0f, 1.0f);
    const SceneObjects made = sceneObjects;
    releaseScene();
    EXPECT_NE(0u, made.imageTextureA);
    EXPECT_NE(0u, made.depthRenderbuffer);
    for (GLuint texture : {made.imageTextureA, made.imageTextureB, made.screenTexture}) {
        EXPECT_FALSE(glIsTexture(texture)) << texture;
    }
    EXPECT_FALSE(glIsProgram(made.pointProgram));
    EXPECT_FALSE(glIsProgram(made.postProgram));
    EXPECT_FALSE(glIsVertexArray(made.pointVertexArray));
    EXPECT_FALSE(glIsVertexArray(made.quadVertexArray));
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

using RenderSceneSetup = GlTest;

TEST_F(RenderSceneSetup, MissingSecondPictureFailsAndLeavesNothingBehind) {
    TempFolder assets;
    render_test::writePng(assets.file(pictureFileA), 2, 2, std::vector<unsigned char>(16, 200));
    std::string failure;
    EXPECT_FALSE(setupScene(failure, assets.path()));
    EXPECT_EQ("cannot load picture \"" + assets.file(pictureFileB) +
                  "\": No such file or directory",
              failure);
    EXPECT_EQ(0u, sceneObjects.imageTextureA);
    for (GLuint name = 1; name < 64; ++name) {
        EXPECT_FALSE(glIsTexture(name)) << name;
    }
}

TEST(RenderContext, UnreachableDisplayIsReportedWithGlfwsReason) {
    const char* display = std::getenv("DISPLAY");
    const std::string saved = display != nullptr ? display : "";
    setenv("DISPLAY", ":4321", 1);
    std::string failure;
    GLFWwindow* window = openContext(ContextKind::hidden, 640, 480, failure);
    if (display != nullptr) {
        setenv("DISPLAY", saved.c_str(), 1);
    } else {
        unsetenv("DISPLAY");
    }
    EXPECT_EQ(nullptr, window);
    EXPECT_EQ(0u, failure.rfind("cannot start GLFW: ", 0)) << failure;
    EXPECT_NE(std::string::npos, failure.find(":4321")) << failure;
}

} // namespace
