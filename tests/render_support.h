// The renderer's fixture: a hidden 640x480 GL context, the scene set up from the pictures the
// build made, caller-owned targets and pixel read-back.
#pragma once

#include "render/gl_context.h"
#include "render/scene.h"
#include "test_support.h"

#include <array>

namespace qm {

namespace render_test {

// RGBA of a framebuffer, rows bottom to top as the GL gives them.
inline std::vector<unsigned char> readPixels(GLuint framebuffer, int width = 640,
                                             int height = 480) {
    std::vector<unsigned char> pixels(std::size_t(width) * height * 4);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glReadBuffer(framebuffer == 0 ? GL_BACK : GL_COLOR_ATTACHMENT0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

// A caller-owned colour target, like the capture tool's.
struct OwnTarget {
    GLuint framebuffer = 0, colour = 0;
    int width, height;
    OwnTarget(int w, int h) : width(w), height(h) {
        glGenRenderbuffers(1, &colour);
        glBindRenderbuffer(GL_RENDERBUFFER, colour);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
        glGenFramebuffers(1, &framebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }
    ~OwnTarget() {
        glDeleteFramebuffers(1, &framebuffer);
        glDeleteRenderbuffers(1, &colour);
    }
    FrameTarget target() const { return FrameTarget{framebuffer, width, height}; }
    std::vector<unsigned char> pixels() const { return readPixels(framebuffer, width, height); }
};

// A hidden 640x480 GL context with the scene set up from the build's pictures. Without an X
// display the GL cases skip (run them under xvfb-run); with one, a context that cannot be made is
// a failure.
class SceneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "no X display; run under xvfb-run -a -s \"-screen 0 640x480x24\"";
        }
        std::string failure;
        // A loaded or resetting Xvfb now and then refuses a connection; one that stays
        // unreachable still fails the case.
        testing_support::waitUntil(5.0 * testing_support::slowdown, [&] {
            window = openContext(ContextKind::hidden, sceneWidth, sceneHeight, failure);
            return window != nullptr || failure.find("Failed to open display") == std::string::npos;
        });
        ASSERT_NE(nullptr, window) << failure;
        ASSERT_TRUE(setupScene(failure, QM_BINARY_DIR)) << failure;
    }
    void TearDown() override {
        if (window != nullptr) {
            releaseScene();
            closeContext(window);
        }
    }
    GLFWwindow* window = nullptr;
    // Replaces the off-screen point image with one colour, or with `rgba` (rows bottom to top).
    static void uploadPointImage(std::array<unsigned char, 4> colour,
                                 std::vector<unsigned char> rgba = {}) {
        if (rgba.empty()) {
            for (int i = 0; i < 640 * 480; ++i) {
                rgba.insert(rgba.end(), colour.begin(), colour.end());
            }
        }
        glBindTexture(GL_TEXTURE_2D, sceneObjects.pointImageTexture);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 640, 480, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    }
    // Both picture textures become one 1x1 colour.
    static void uploadPictures(std::array<unsigned char, 4> rgba) {
        for (GLuint texture : {sceneObjects.imageTextureA, sceneObjects.imageTextureB}) {
            glBindTexture(GL_TEXTURE_2D, texture);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                         rgba.data());
        }
    }
};

} // namespace render_test

} // namespace qm
