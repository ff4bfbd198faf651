// Scene set-up, the frame loop's state over several frames, and the letterbox.
#include "render_support.h"

#include <algorithm>

using namespace qm;

namespace {

using render_test::readPixels;
using RenderScene = render_test::SceneTest;

std::vector<unsigned char> pointImageAlpha() {
    const std::vector<unsigned char> rgba = readPixels(sceneObjects.pointImageFramebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    std::vector<unsigned char> alpha;
    for (std::size_t i = 3; i < rgba.size(); i += 4) {
        alpha.push_back(rgba[i]);
    }
    return alpha;
}

// Set-up leaves the point image transparent black. Frames keep their points in it, add up their
// level steps and keep the point size over a step of 0.
TEST_F(RenderScene, FramesAccumulatePointsAndLevels) {
    const std::vector<unsigned char> start = pointImageAlpha();
    EXPECT_TRUE(std::all_of(start.begin(), start.end(), [](unsigned char a) { return a == 0; }));
    // Some GL implementations draw no points from a vertex array without an enabled attribute;
    // the divisor keeps a thousand points from reading past the quad's six vertices.
    glBindVertexArray(sceneObjects.pointVertexArray);
    GLint enabled = 0, divisor = 0;
    glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &enabled);
    glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_DIVISOR, &divisor);
    EXPECT_TRUE(enabled == GL_TRUE && divisor != 0);
    // Crisp, hard-edged pictures at every drawable size: nearest texels, enlarged or reduced.
    // (Both pictures are set up by one function.)
    glBindTexture(GL_TEXTURE_2D, sceneObjects.imageTextureB);
    GLint reduced = 0, enlarged = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &reduced);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &enlarged);
    EXPECT_TRUE(reduced == GL_NEAREST && enlarged == GL_NEAREST);

    const auto lit = [](const std::vector<unsigned char>& a) {
        return std::count(a.begin(), a.end(), 255);
    };
    renderFrame(5.0f, 2.0f);
    const std::vector<unsigned char> first = pointImageAlpha();
    EXPECT_GT(lit(first), 1000);
    renderFrame(6.0f, 0.0f);
    GLfloat size = 0.0f;
    glGetFloatv(GL_POINT_SIZE, &size);
    EXPECT_EQ(16.0f, size);
    renderFrame(17.41f, 4.0f);
    EXPECT_EQ(6.0f, sceneObjects.cumulativeLevel);
    const std::vector<unsigned char> later = pointImageAlpha();
    for (std::size_t i = 0; i < first.size(); ++i) {
        ASSERT_TRUE(first[i] != 255 || later[i] == 255) << "pixel " << i << " was cleared";
    }
    EXPECT_GT(lit(later), lit(first));
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

TEST_F(RenderScene, LetterboxedDrawableKeepsTheBarsBlackInEverySection) {
    // A white point image and white pictures keep every edge of the 4:3 rectangle above black
    // through scan lines, vignette and flicker.
    uploadPointImage({255, 255, 255, 255});
    uploadPictures({255, 255, 255, 255});
    sceneObjects.cumulativeLevel = 1.0f;
    const render_test::OwnTarget wide(1280, 720);
    for (float time : {2.0f, 4.4f, 10.0f, 15.0f, 17.4f, 18.25f}) {
        for (float step : {0.0f, 1.0f}) {
            renderFrame(time, step, wide.target());
            const std::vector<unsigned char> out = wide.pixels();
            std::array<int, 4> box{1280, -1, 720, -1}; // left, right, bottom, top
            for (int i = 0; i < 1280 * 720; ++i) {
                if (out[i * 4] != 0 || out[i * 4 + 1] != 0 || out[i * 4 + 2] != 0) {
                    box = {std::min(box[0], i % 1280), std::max(box[1], i % 1280),
                           std::min(box[2], i / 1280), std::max(box[3], i / 1280)};
                }
            }
            EXPECT_EQ((std::array<int, 4>{160, 1119, 0, 719}), box) << time << ", " << step;
        }
    }
    // The point pass keeps its own 640x480 viewport: points reach the left edge of the
    // off-screen image, which the letterbox rectangle's viewport would shift away.
    uploadPointImage({0, 0, 0, 0});
    for (int frame = 0; frame < 5; ++frame) {
        renderFrame(10.0f, 1.0f, wide.target());
    }
    const std::vector<unsigned char> alpha = pointImageAlpha();
    int nearLeft = 0;
    for (std::size_t i = 0; i < alpha.size(); ++i) {
        nearLeft += i % 640 < 100 && alpha[i] == 255 ? 1 : 0;
    }
    EXPECT_GT(nearLeft, 100);
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

} // namespace

// GLFW makes an EGL context on Wayland, and Debian's GLEW, built for GLX, then answers "no GLX
// display" after loading the entry points. Made through EGL on this X display, as there, the
// context must open with every entry point the renderer calls.
TEST(GlContext, AnEglContextOpensWithItsEntryPoints) {
    if (std::getenv("DISPLAY") == nullptr) {
        GTEST_SKIP() << "no X display; run under xvfb-run -a -s \"-screen 0 640x480x24\"";
    }
    std::string failure;
    ASSERT_TRUE(startWindowLibrary(ContextKind::hidden, failure)) << failure;
    glfwWindowHint(GLFW_CONTEXT_CREATION_API, GLFW_EGL_CONTEXT_API);
    GLFWwindow* window = openContext(ContextKind::hidden, 64, 64, failure);
    EXPECT_NE(window, nullptr) << failure;
    EXPECT_EQ(glfwGetWindowAttrib(window, GLFW_CONTEXT_CREATION_API), GLFW_EGL_CONTEXT_API);
    closeContext(window);
}
