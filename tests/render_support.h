// Shared pieces of the renderer's tests: a temporary folder, PNG writing, a hidden 640x480 GL
// context with the scene set up, off-screen targets and pixel read-back.
#pragma once

#include "assets.h"
#include "render/gl_context.h"
#include "render/picture.h"
#include "render/scene.h"

#include <gtest/gtest.h>
#include <lodepng.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace render_test {

class TempFolder {
  public:
    TempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quartz-render-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string path() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

// Writes `raw` (pixels in `type`/`depth`, 16-bit samples big-endian) as a PNG of exactly that
// colour type, so the decoder has to convert it. A palette picture takes `palette` (RGBA).
inline void writePng(const std::string& path, unsigned width, unsigned height,
                     const std::vector<unsigned char>& raw, LodePNGColorType type = LCT_RGBA,
                     unsigned depth = 8, const std::vector<unsigned char>& palette = {}) {
    lodepng::State state;
    state.encoder.auto_convert = 0;
    for (LodePNGColorMode* mode : {&state.info_raw, &state.info_png.color}) {
        mode->colortype = type;
        mode->bitdepth = depth;
        for (std::size_t i = 0; i + 3 < palette.size(); i += 4) {
            lodepng_palette_add(mode, palette[i], palette[i + 1], palette[i + 2], palette[i + 3]);
        }
    }
    std::vector<unsigned char> png;
    ASSERT_EQ(0u, lodepng::encode(png, raw, width, height, state));
    ASSERT_EQ(0u, lodepng::save_file(png, path));
}

// Top-to-bottom RGBA from a function of (column, row).
template <typename Colour>
std::vector<unsigned char> makeRgba(unsigned width, unsigned height, Colour colour) {
    std::vector<unsigned char> pixels;
    pixels.reserve(std::size_t{width} * height * 4);
    for (unsigned row = 0; row < height; ++row) {
        for (unsigned column = 0; column < width; ++column) {
            const std::array<unsigned char, 4> rgba = colour(column, row);
            pixels.insert(pixels.end(), rgba.begin(), rgba.end());
        }
    }
    return pixels;
}

// RGBA of a framebuffer region, rows bottom to top as the GL gives them.
inline std::vector<unsigned char> readPixels(GLuint framebuffer, int width, int height) {
    std::vector<unsigned char> pixels(std::size_t(width) * height * 4);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

// A caller-owned colour target, like the capture tool's.
struct OwnTarget {
    GLuint framebuffer = 0;
    GLuint colour = 0;
    FrameTarget target() const { return FrameTarget{framebuffer, width, height}; }
    int width = 0;
    int height = 0;
};

inline OwnTarget makeTarget(int width, int height) {
    OwnTarget own;
    own.width = width;
    own.height = height;
    glGenRenderbuffers(1, &own.colour);
    glBindRenderbuffer(GL_RENDERBUFFER, own.colour);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glGenFramebuffers(1, &own.framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, own.framebuffer);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, own.colour);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return own;
}

inline void deleteTarget(OwnTarget& own) {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &own.framebuffer);
    glDeleteRenderbuffers(1, &own.colour);
    own = OwnTarget{};
}

// A hidden 640x480 window with a current context. Without an X display the GL cases skip
// (run them under xvfb-run); with one, a context that cannot be made is a failure.
class GlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "no X display; run under xvfb-run -a -s \"-screen 0 640x480x24\"";
        }
        // On a loaded machine Xvfb accepts connections slowly and XOpenDisplay fails now and
        // then with EAGAIN (about one in ten in a tight loop here); a display that stays
        // unreachable still fails the case.
        std::string failure;
        for (int attempt = 0; attempt < 5; ++attempt) {
            window = openContext(ContextKind::hidden, sceneWidth, sceneHeight, failure);
            if (window != nullptr || failure.find("Failed to open display") == std::string::npos) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        ASSERT_NE(nullptr, window) << failure;
    }
    void TearDown() override {
        if (window != nullptr) {
            closeContext(window);
        }
    }
    GLFWwindow* window = nullptr;
};

// GlTest plus the scene, set up from two 640x480 pictures written to a temporary folder:
// A is mid grey, B a top-to-bottom red ramp.
class SceneTest : public GlTest {
  protected:
    void SetUp() override {
        GlTest::SetUp();
        if (window == nullptr) {
            return;
        }
        writePng(assets.file(pictureFileA), sceneWidth, sceneHeight,
                 makeRgba(sceneWidth, sceneHeight, [](unsigned, unsigned) {
                     return std::array<unsigned char, 4>{128, 128, 128, 255};
                 }));
        writePng(
            assets.file(pictureFileB), sceneWidth, sceneHeight,
            makeRgba(sceneWidth, sceneHeight, [](unsigned, unsigned row) {
                return std::array<unsigned char, 4>{static_cast<unsigned char>(row / 2), 0, 0, 255};
            }));
        std::string failure;
        ASSERT_TRUE(setupScene(failure, assets.path())) << failure;
    }
    void TearDown() override {
        if (window != nullptr) {
            releaseScene();
        }
        GlTest::TearDown();
    }

    // Replaces the off-screen point image (rows bottom to top, 640x480 RGBA).
    static void uploadPointImage(const std::vector<unsigned char>& pixels) {
        glBindTexture(GL_TEXTURE_2D, sceneObjects.screenTexture);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, sceneWidth, sceneHeight, GL_RGBA, GL_UNSIGNED_BYTE,
                        pixels.data());
    }
    // Replaces a picture texture with `picture` padded as the loader pads it.
    static void uploadPicture(GLuint texture, const Picture& picture) {
        const Picture padded = padToPowerOfTwo(picture);
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexImage2D(GL_TEXTURE_2D, 0, 4, padded.width, padded.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     padded.pixels.data());
    }

    TempFolder assets;
};

} // namespace render_test
