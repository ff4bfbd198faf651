// The shaders against a model of their arithmetic written here in C++: point positions and
// colour, and the composite's treatments in every section of the timeline.
#include "render_support.h"

#include <algorithm>
#include <cmath>

namespace {

using render_test::OwnTarget;
using render_test::readPixels;
using render_test::SceneTest;

float fract(float value) {
    return value - std::floor(value);
}

float hashRand(float x, float y) {
    return 0.5f + 0.5f * fract(std::sin(x * 12.9898f + y * 78.233f) * 43758.5453f);
}

// Colour of hue h (0 and 1 red) mixed towards white by 1-s, scaled by v.
std::array<float, 3> hueColour(float h, float s, float v) {
    std::array<float, 3> colour{};
    const float offsets[3] = {1.0f, 2.0f / 3.0f, 1.0f / 3.0f};
    for (int i = 0; i < 3; ++i) {
        const float pure =
            std::clamp(std::fabs(fract(h + offsets[i]) * 6.0f - 3.0f) - 1.0f, 0.0f, 1.0f);
        colour[i] = (1.0f + (pure - 1.0f) * s) * v;
    }
    return colour;
}

struct PointModel {
    float x, y; // clip space
};

PointModel pointAt(int index, float level) {
    const float i = static_cast<float>(index);
    const float a = level + i * 0.6f;
    const float bx = level + static_cast<float>(index / 2);
    const float by = level - i * 2.0f;
    return {(hashRand(std::sin(a), std::cos(a)) - 0.75f) * 4.0f,
            (hashRand(std::sin(bx), std::cos(by)) - 0.75f) * 4.0f};
}

using RenderPoints = SceneTest;

// One-pixel points with the point program, into a cleared 640x480 target.
std::vector<unsigned char> drawPoints(float level, int count) {
    OwnTarget target = render_test::makeTarget(sceneWidth, sceneHeight);
    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    glViewport(0, 0, sceneWidth, sceneHeight);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_POINT_SMOOTH);
    glPointSize(1.0f);
    glUseProgram(sceneObjects.pointProgram);
    glUniform1f(glGetUniformLocation(sceneObjects.pointProgram, "cumulativeLevel"), level);
    glBindVertexArray(sceneObjects.pointVertexArray);
    glDrawArrays(GL_POINTS, 0, count);
    std::vector<unsigned char> pixels = readPixels(target.framebuffer, sceneWidth, sceneHeight);
    render_test::deleteTarget(target);
    return pixels;
}

bool litNear(const std::vector<unsigned char>& pixels, PointModel point, const unsigned char** at) {
    const int column = static_cast<int>(std::floor((point.x + 1.0f) * 320.0f));
    const int row = static_cast<int>(std::floor((point.y + 1.0f) * 240.0f));
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const int x = std::clamp(column + dx, 0, sceneWidth - 1);
            const int y = std::clamp(row + dy, 0, sceneHeight - 1);
            const unsigned char* pixel = &pixels[(std::size_t(y) * sceneWidth + x) * 4];
            if (pixel[3] == 255) {
                *at = pixel;
                return true;
            }
        }
    }
    return false;
}

// The hash multiplies sin's last bits by 43758, and llvmpipe's sin is not correctly rounded,
// so a point can land anywhere once its sin differs in one bit. A wrong formula misses all
// points (chance puts about 1 in 30000 within a pixel); the driver's rounding misses some.
// So: at least a quarter of the even and of the odd vertices (they differ in how i/2 rounds)
// lie within a pixel of the model, and every point found has the model's colour.
TEST_F(RenderPoints, PositionsAndColourFollowTheModel) {
    const int count = 100;
    for (float level : {0.0f, 0.5f, 1.0f, 2.0f, 3.0f}) {
        const std::vector<unsigned char> pixels = drawPoints(level, count);
        const float saturation = 1.0f - hashRand(level, level) * 0.2f;
        const std::array<float, 3> colour = hueColour(1.0f, saturation, std::sin(level));
        int found[2] = {0, 0};
        for (int index = 0; index < count; ++index) {
            const unsigned char* pixel = nullptr;
            if (!litNear(pixels, pointAt(index, level), &pixel)) {
                continue;
            }
            ++found[index % 2];
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(std::clamp(colour[c], 0.0f, 1.0f) * 255.0f, pixel[c], 1.5)
                    << "level " << level << ", channel " << c;
            }
        }
        EXPECT_GE(found[0], count / 8) << "even vertices near the model at level " << level;
        EXPECT_GE(found[1], count / 8) << "odd vertices near the model at level " << level;
    }
}

TEST_F(RenderPoints, VertexZeroLiesOnTheDiagonalAndTheCloudRepeatsForTheSameLevel) {
    for (float level : {0.0f, 1.0f, 7.0f, 123.0f}) {
        const std::vector<unsigned char> pixels = drawPoints(level, 1);
        int lit = 0;
        for (int y = 0; y < sceneHeight; ++y) {
            for (int x = 0; x < sceneWidth; ++x) {
                if (pixels[(std::size_t(y) * sceneWidth + x) * 4 + 3] == 255) {
                    ++lit;
                    // x = y in clip space: column/640 and row/480 agree within a pixel.
                    EXPECT_NEAR((x + 0.5) / 640.0, (y + 0.5) / 480.0, 1.0 / 480.0)
                        << "level " << level;
                }
            }
        }
        EXPECT_EQ(1, lit) << "level " << level;
    }
    EXPECT_EQ(drawPoints(5.0f, 1000), drawPoints(5.0f, 1000));
    EXPECT_NE(drawPoints(5.0f, 1000), drawPoints(6.0f, 1000));
}

// --- Composite -------------------------------------------------------------------------

// Nearest texel of an RGBA texture under repeat wrap; rows as uploaded.
struct Texels {
    int width = 0;
    int height = 0;
    const std::vector<unsigned char>* rgba = nullptr;

    std::array<float, 3> at(float u, float v) const {
        const int column = ((static_cast<int>(std::floor(u * width)) % width) + width) % width;
        const int row = ((static_cast<int>(std::floor(v * height)) % height) + height) % height;
        const unsigned char* texel = &(*rgba)[(std::size_t(row) * width + column) * 4];
        return {texel[0] / 255.0f, texel[1] / 255.0f, texel[2] / 255.0f};
    }
    // Within a thousandth of a texel of an edge between different texels the GPU may round
    // either way.
    bool ambiguous(float u, float v) const {
        const float du = 1e-3f / width;
        const float dv = 1e-3f / height;
        const std::array<float, 3> centre = at(u, v);
        return at(u - du, v - dv) != centre || at(u + du, v - dv) != centre ||
               at(u - du, v + dv) != centre || at(u + du, v + dv) != centre;
    }
};

float length3(const std::array<float, 3>& c) {
    return std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
}

// The composite's colour at a pixel of a 640x480 drawable without the two frame-wide hash
// terms (rand(time, time) and rand(time, L)), which the driver's sin may round differently.
struct ModelPixel {
    std::array<float, 3> colour;
    bool late;
    bool ambiguous;
};

ModelPixel compositeModel(int column, int row, float time, float level, const Texels& points,
                          const Texels& picture) {
    const float nx = (column + 0.5f) / 320.0f - 1.0f;
    const float ny = (row + 0.5f) / 240.0f - 1.0f;
    const float s = nx / 2.0f + 0.5f;
    const float t = ny / 2.0f + 0.5f;
    const float u = s * 0.65f;
    const float v = 1.0f - t;
    const bool smear = time > 13.0f && time < 17.4f;
    const bool treated = time > 17.4f;
    const bool late = time > 4.4f;
    const float phase = fract(time * 27.5f);

    const std::array<float, 3> scr = points.at(s, smear ? s : t);
    const float pu = std::clamp(u, 0.0f, 1.0f);
    const float pv = std::clamp(treated ? v + phase * 0.1f : v, 0.0f, 1.0f);
    std::array<float, 3> img = picture.at(pu, pv);
    bool ambiguous = late && picture.ambiguous(pu, pv);
    if (treated) {
        const float brightened = img[0] + 0.6f * phase;
        img = hueColour(level + phase, brightened, brightened);
    }
    std::array<float, 3> c = scr;
    if (late) {
        ambiguous = ambiguous || std::fabs(length3(img) - length3(scr)) < 2e-3f;
        if (length3(img) > length3(scr)) {
            c = img;
        }
    }
    const float vignette = nx * nx + ny * ny;
    const float diagonalRed = points.at(t, t)[0];
    for (float& channel : c) {
        channel -= std::sin(v * 2000.0f) * 0.1f;
        if (late) {
            channel -= vignette * 0.4f + diagonalRed * 0.1f + 0.05f;
        }
    }
    return {c, late, ambiguous};
}

struct CompositeCheck {
    int compared = 0;
    int mismatched = 0;
    float frameTerm = 0.0f;
};

// Compares a 640x480 read-back with the model. After 4.4 s the frame-wide hash terms are one
// constant added to every channel of every pixel: solved from the unclamped pixels, it must be
// the same everywhere and lie in the range the two hashes allow.
CompositeCheck compareWithModel(const std::vector<unsigned char>& out, float time, float level,
                                const Texels& points, const Texels& picture) {
    std::vector<ModelPixel> model;
    model.reserve(sceneWidth * sceneHeight);
    std::vector<float> offsets;
    for (int row = 0; row < sceneHeight; ++row) {
        for (int column = 0; column < sceneWidth; ++column) {
            model.push_back(compositeModel(column, row, time, level, points, picture));
            const ModelPixel& m = model.back();
            const unsigned char* pixel = &out[(std::size_t(row) * sceneWidth + column) * 4];
            for (int c = 0; c < 3 && m.late && !m.ambiguous; ++c) {
                if (pixel[c] > 8 && pixel[c] < 247) {
                    offsets.push_back(pixel[c] / 255.0f - m.colour[c]);
                }
            }
        }
    }
    CompositeCheck check;
    if (!offsets.empty()) {
        std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
        check.frameTerm = offsets[offsets.size() / 2];
    }
    for (std::size_t i = 0; i < model.size(); ++i) {
        if (model[i].ambiguous) {
            continue;
        }
        ++check.compared;
        for (int c = 0; c < 3; ++c) {
            const float expected = std::clamp(model[i].colour[c] + check.frameTerm, 0.0f, 1.0f);
            if (std::fabs(expected * 255.0f - out[i * 4 + c]) > 2.0f) {
                if (++check.mismatched <= 5) {
                    ADD_FAILURE() << "time " << time << ", pixel (" << i % sceneWidth << ", "
                                  << i / sceneWidth << ") channel " << c << ": expected "
                                  << expected * 255.0f << ", got " << int(out[i * 4 + c]);
                }
            }
        }
    }
    return check;
}

class RenderComposite : public SceneTest {
  protected:
    // Point image and picture the test controls; rows of both as uploaded.
    void useImages(std::vector<unsigned char> pointRgba, Picture picture) {
        pointImage = std::move(pointRgba);
        uploadPointImage(pointImage);
        padded = padToPowerOfTwo(picture);
        uploadPicture(sceneObjects.imageTextureA, picture);
        uploadPicture(sceneObjects.imageTextureB, picture);
    }
    // The composite pass alone, into the hidden window, read back.
    std::vector<unsigned char> composite(float time, float level) {
        sceneObjects.cumulativeLevel = level;
        drawCompositePass(time, planFrame(time, 0.0f), FrameTarget{});
        glReadBuffer(GL_BACK);
        return render_test::readPixels(0, sceneWidth, sceneHeight);
    }
    void expectModel(float time, float level) {
        const std::vector<unsigned char> out = composite(time, level);
        const Texels points{sceneWidth, sceneHeight, &pointImage};
        const Texels picture{static_cast<int>(padded.width), static_cast<int>(padded.height),
                             &padded.pixels};
        const CompositeCheck check = compareWithModel(out, time, level, points, picture);
        EXPECT_EQ(0, check.mismatched) << "time " << time << ", level " << level;
        EXPECT_GT(check.compared, sceneWidth * sceneHeight * 9 / 10) << "time " << time;
        // -0.2*rand + 0.2*rand with rand in [0.5, 1): between -0.1 and +0.1.
        EXPECT_GE(check.frameTerm, -0.1f - 2.0f / 255.0f) << "time " << time;
        EXPECT_LE(check.frameTerm, 0.1f + 2.0f / 255.0f) << "time " << time;
    }

    std::vector<unsigned char> pointImage;
    Picture padded;
};

std::vector<unsigned char> gradientPoints() {
    return render_test::makeRgba(sceneWidth, sceneHeight, [](unsigned column, unsigned row) {
        return std::array<unsigned char, 4>{static_cast<unsigned char>(column * 255 / 639),
                                            static_cast<unsigned char>((479 - row) * 255 / 479), 90,
                                            255};
    });
}

std::vector<unsigned char> flatPoints(unsigned char grey) {
    return render_test::makeRgba(sceneWidth, sceneHeight, [grey](unsigned, unsigned) {
        return std::array<unsigned char, 4>{grey, grey, grey, 255};
    });
}

// 640x480 checkerboard of 40-pixel squares, bright and dark, as the loader would see it.
Picture checkerPicture() {
    return Picture{640, 480, render_test::makeRgba(640, 480, [](unsigned column, unsigned row) {
                       const unsigned char grey = (column / 40 + row / 40) % 2 ? 230 : 15;
                       return std::array<unsigned char, 4>{grey, grey, grey, 255};
                   })};
}

TEST_F(RenderComposite, EverySectionOfTheTimelineFollowsTheModel) {
    useImages(gradientPoints(), checkerPicture());
    // Early (4.4 itself included), picture over points, smear, 17.4 exactly.
    for (float time : {0.5f, 2.0f, 4.4f, 6.0f, 10.0f, 13.5f, 17.0f, 17.4f}) {
        expectModel(time, 0.0f);
    }
    // Picture B treated: a top-to-bottom red ramp shows the jitter and the hue cycling.
    useImages(
        flatPoints(0),
        Picture{
            640, 480, render_test::makeRgba(640, 480, [](unsigned, unsigned row) {
                return std::array<unsigned char, 4>{static_cast<unsigned char>(row / 2), 0, 0, 255};
            })});
    for (float time : {17.5f, 18.25f, 30.125f}) {
        for (float level : {3.0f, 3.5f, 40.0f}) {
            expectModel(time, level);
        }
    }
}

TEST_F(RenderComposite, ZeroFillOfASixFortyByFourEightyPictureLeavesTheBandsToThePoints) {
    useImages(flatPoints(0),
              Picture{640, 480, render_test::makeRgba(640, 480, [](unsigned, unsigned) {
                          return std::array<unsigned char, 4>{255, 255, 255, 255};
                      })});
    const std::vector<unsigned char> out = composite(10.0f, 0.0f);
    // Along the middle row and column the vignette leaves the white picture well above this.
    const auto dark = [&out](int column, int row) {
        return out[(std::size_t(row) * sceneWidth + column) * 4 + 1] < 50;
    };
    int darkColumns = 0;
    for (int column = 0; column < sceneWidth; ++column) {
        darkColumns += dark(column, 240) ? 1 : 0;
    }
    int darkRows = 0;
    for (int row = 0; row < sceneHeight; ++row) {
        darkRows += dark(320, row) ? 1 : 0;
    }
    EXPECT_EQ(25, darkColumns);
    EXPECT_TRUE(dark(615, 240) && !dark(614, 240));
    EXPECT_EQ(30, darkRows);
    EXPECT_TRUE(dark(320, 29) && !dark(320, 30));
}

TEST_F(RenderComposite, PictureWinsOnlyWhereStrictlyLonger) {
    // Picture red, point image green, equal lengths: the tie keeps the point image.
    useImages(render_test::makeRgba(sceneWidth, sceneHeight,
                                    [](unsigned, unsigned) {
                                        return std::array<unsigned char, 4>{0, 150, 0, 255};
                                    }),
              Picture{1, 1, {150, 0, 0, 255}});
    const std::size_t centre = (240 * sceneWidth + 320) * 4;
    const std::vector<unsigned char> tie = composite(10.0f, 0.0f);
    EXPECT_GT(tie[centre + 1], tie[centre] + 60);
    // One step brighter and the picture takes over.
    useImages(pointImage, Picture{1, 1, {151, 0, 0, 255}});
    const std::vector<unsigned char> longer = composite(10.0f, 0.0f);
    EXPECT_GT(longer[centre], longer[centre + 1] + 60);
}

} // namespace
