// The shaders against a model of their arithmetic written here: point positions and colour, and
// the composite over the build's pictures, read from the PNG files independently of the loader,
// at times in every section of the timeline and on both sides of each boundary.
#include "render_support.h"

#include <lodepng.h>

#include <algorithm>
#include <cmath>

using namespace qm;

namespace {

using render_test::OwnTarget;
using render_test::SceneTest;
using RenderPoints = SceneTest;
using RenderComposite = SceneTest;
using Rgb = std::array<float, 3>;

float fract(float value) {
    return value - std::floor(value);
}

float hashRand(float x, float y) {
    return 0.5f + 0.5f * fract(std::sin(x * 12.9898f + y * 78.233f) * 43758.5453f);
}

// Hue h (0 and 1 red) mixed towards white by 1-s, scaled by v.
Rgb hueColour(float h, float s, float v) {
    Rgb colour{};
    const float offsets[3] = {1.0f, 2.0f / 3.0f, 1.0f / 3.0f};
    for (int i = 0; i < 3; ++i) {
        const float pure =
            std::clamp(std::fabs(fract(h + offsets[i]) * 6.0f - 3.0f) - 1.0f, 0.0f, 1.0f);
        colour[i] = (1.0f + (pure - 1.0f) * s) * v;
    }
    return colour;
}

float length3(const Rgb& c) {
    return std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
}

// One-pixel points with the point program into a cleared 640x480 target.
std::vector<unsigned char> drawPoints(float level, int count) {
    const OwnTarget target(sceneWidth, sceneHeight);
    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_POINT_SMOOTH);
    glPointSize(1.0f);
    glUseProgram(sceneObjects.pointProgram);
    glUniform1f(glGetUniformLocation(sceneObjects.pointProgram, "cumulativeLevel"), level);
    glBindVertexArray(sceneObjects.pointVertexArray);
    glDrawArrays(GL_POINTS, 0, count);
    return target.pixels();
}

// The lit pixel within one pixel of clip-space (x, y), or nullptr.
const unsigned char* litNear(const std::vector<unsigned char>& pixels, float x, float y) {
    for (int d = 0; d < 9; ++d) {
        const int column = std::clamp(int(std::floor((x + 1) * 320)) + d % 3 - 1, 0, 639);
        const int row = std::clamp(int(std::floor((y + 1) * 240)) + d / 3 - 1, 0, 479);
        if (pixels[(row * 640 + column) * 4 + 3] == 255) {
            return &pixels[(row * 640 + column) * 4];
        }
    }
    return nullptr;
}

// The hash multiplies sin's last bits by 43758, and llvmpipe's sin is not correctly rounded, so
// a point can land anywhere once its sin differs in one bit. A wrong formula misses all points
// (chance puts about 1 in 30000 within a pixel); the driver's rounding misses some. So at least
// an eighth of the even and of the odd vertices (they differ in how i/2 rounds) lie within a
// pixel of the model, and every point found has the model's colour.
TEST_F(RenderPoints, PositionsAndColourFollowTheModel) {
    const int count = 100;
    for (float level : {0.0f, 0.5f, 1.0f, 2.0f, 3.0f}) {
        const std::vector<unsigned char> pixels = drawPoints(level, count);
        const Rgb colour = hueColour(1.0f, 1.0f - hashRand(level, level) * 0.2f, std::sin(level));
        int found[2] = {0, 0};
        for (int index = 0; index < count; ++index) {
            const float a = level + index * 0.6f;
            const float x = (hashRand(std::sin(a), std::cos(a)) - 0.75f) * 4.0f;
            const float y =
                (hashRand(std::sin(level + float(index / 2)), std::cos(level - index * 2.0f)) -
                 0.75f) *
                4.0f;
            if (const unsigned char* pixel = litNear(pixels, x, y)) {
                ++found[index % 2];
                for (int c = 0; c < 3; ++c) {
                    EXPECT_NEAR(std::clamp(colour[c], 0.0f, 1.0f) * 255.0f, pixel[c], 1.5)
                        << "level " << level << ", channel " << c;
                }
            }
        }
        EXPECT_GE(found[0], count / 8) << "even vertices near the model at level " << level;
        EXPECT_GE(found[1], count / 8) << "odd vertices near the model at level " << level;
    }
}

// Nearest texel under repeat wrap of a picture padded with transparent black to power-of-two
// sides, rows top to bottom as in the file.
struct Texels {
    unsigned width = 0, height = 0, paddedWidth = 1, paddedHeight = 1;
    std::vector<unsigned char> rgba;

    explicit Texels(const std::string& name) {
        EXPECT_EQ(0u, lodepng::decode(rgba, width, height, testing_support::builtAsset(name)));
        paddedWidth = 1u << unsigned(std::ceil(std::log2(width)));
        paddedHeight = 1u << unsigned(std::ceil(std::log2(height)));
    }
    Texels(unsigned w, unsigned h, std::vector<unsigned char> pixels)
        : width(w), height(h), paddedWidth(w), paddedHeight(h), rgba(std::move(pixels)) {}
    Rgb at(float u, float v) const {
        const auto wrap = [](float x, unsigned side) {
            return unsigned(((long(std::floor(x * side)) % long(side)) + side) % side);
        };
        const unsigned column = wrap(u, paddedWidth), row = wrap(v, paddedHeight);
        if (column >= width || row >= height) {
            return {0, 0, 0};
        }
        const unsigned char* texel = &rgba[(std::size_t(row) * width + column) * 4];
        return {texel[0] / 255.0f, texel[1] / 255.0f, texel[2] / 255.0f};
    }
    // Within a thousandth of a texel of an edge between different texels the GPU may round
    // either way.
    bool ambiguous(float u, float v) const {
        const float du = 1e-3f / paddedWidth, dv = 1e-3f / paddedHeight;
        const Rgb centre = at(u, v);
        return at(u - du, v - dv) != centre || at(u + du, v - dv) != centre ||
               at(u - du, v + dv) != centre || at(u + du, v + dv) != centre;
    }
};

// The composite at a pixel without the two frame-wide hash terms (rand(time, time) and
// rand(time, L)), which the driver's sin may round differently; ambiguous where the GPU may
// fairly differ.
struct ModelPixel {
    Rgb colour;
    bool ambiguous;
};

ModelPixel compositeModel(int column, int row, float time, float level, const Texels& points,
                          const Texels& picture) {
    const float nx = (column + 0.5f) / 320.0f - 1.0f, ny = (row + 0.5f) / 240.0f - 1.0f;
    const float s = nx / 2.0f + 0.5f, t = ny / 2.0f + 0.5f;
    const float u = s * 0.65f, v = 1.0f - t;
    const bool late = time > 4.4f, treated = time > 17.4f;
    const bool smear = time > 13.0f && time < 17.4f;
    const float phase = fract(time * 27.5f);

    const Rgb scr = points.at(s, smear ? s : t);
    const float pu = std::clamp(u, 0.0f, 1.0f);
    const float pv = std::clamp(treated ? v + phase * 0.1f : v, 0.0f, 1.0f);
    Rgb img = picture.at(pu, pv);
    bool ambiguous = late && picture.ambiguous(pu, pv);
    if (treated) {
        const float brightened = img[0] + 0.6f * phase;
        img = hueColour(level + phase, brightened, brightened);
    }
    ambiguous = ambiguous || (late && std::fabs(length3(img) - length3(scr)) < 2e-3f);
    Rgb c = late && length3(img) > length3(scr) ? img : scr;
    for (float& channel : c) {
        channel -= std::sin(v * 2000.0f) * 0.1f;
        if (late) {
            channel -= (nx * nx + ny * ny) * 0.4f + points.at(t, t)[0] * 0.1f + 0.05f;
        }
    }
    return {c, ambiguous};
}

// Draws the composite pass alone at `time` into the hidden window and compares it with the
// model. After 4.4 s the frame-wide hash terms add one constant to every channel of every pixel:
// solved from the unclamped pixels, it must lie in the range the two hashes allow.
void expectModel(float time, float level, const Texels& points, const Texels& picture) {
    sceneObjects.cumulativeLevel = level;
    drawCompositePass(time, planFrame(time, 0.0f), FrameTarget{});
    const std::vector<unsigned char> out = render_test::readPixels(0);
    std::vector<ModelPixel> model;
    std::vector<float> offsets;
    for (int i = 0; i < 640 * 480; ++i) {
        model.push_back(compositeModel(i % 640, i / 640, time, level, points, picture));
        for (int c = 0; c < 3 && time > 4.4f && !model[i].ambiguous; ++c) {
            if (out[i * 4 + c] > 8 && out[i * 4 + c] < 247) {
                offsets.push_back(out[i * 4 + c] / 255.0f - model[i].colour[c]);
            }
        }
    }
    std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
    const float frameTerm = offsets.empty() ? 0.0f : offsets[offsets.size() / 2];
    // -0.2 * rand + 0.2 * rand with rand in [0.5, 1).
    EXPECT_LE(std::fabs(frameTerm), 0.1f + 2.0f / 255.0f) << "time " << time;
    int compared = 0, mismatched = 0;
    for (int i = 0; i < 640 * 480; ++i) {
        compared += model[i].ambiguous ? 0 : 1;
        for (int c = 0; c < 3 && !model[i].ambiguous; ++c) {
            const float expected = std::clamp(model[i].colour[c] + frameTerm, 0.0f, 1.0f) * 255;
            if (std::fabs(expected - out[i * 4 + c]) > 2.0f && ++mismatched <= 5) {
                ADD_FAILURE() << "time " << time << ", level " << level << ", pixel (" << i % 640
                              << ", " << i / 640 << ") channel " << c << ": expected " << expected
                              << ", got " << int(out[i * 4 + c]);
            }
        }
    }
    EXPECT_GT(compared, 640 * 480 * 4 / 5) << "time " << time;
}

TEST_F(RenderComposite, EverySectionAndBoundaryFollowsTheModel) {
    // Bottom-up: red grows to the right, green upwards, so the smear's (s, s) lookup and the
    // diagonal's (t, t) each read something else than the plain (s, t).
    std::vector<unsigned char> gradient(640 * 480 * 4, 255);
    for (int i = 0; i < 640 * 480; ++i) {
        gradient[i * 4] = static_cast<unsigned char>(i % 640 * 255 / 639);
        gradient[i * 4 + 1] = static_cast<unsigned char>(i / 640 * 255 / 479);
        gradient[i * 4 + 2] = 90;
    }
    uploadPointImage({}, gradient);
    const Texels points(640, 480, gradient), pictureA(pictureFileA), pictureB(pictureFileB);
    for (float time : {0.5f, 2.0f, 4.4f, std::nextafter(4.4f, 99.0f), 10.0f, 13.0f,
                       std::nextafter(13.0f, 99.0f), 15.0f, 17.4f}) {
        expectModel(time, 2.5f, points, pictureA);
    }
    for (float time : {std::nextafter(17.4f, 99.0f), 18.25f, 30.125f}) {
        for (float level : {3.0f, 3.5f, 40.0f}) {
            expectModel(time, level, points, pictureB);
        }
    }
}

TEST_F(RenderComposite, PictureWinsOnlyWhereStrictlyLonger) {
    // Points green, picture red, of equal length: the tie keeps the points.
    uploadPointImage({0, 150, 0, 255});
    for (unsigned char red : {150, 151}) {
        uploadPictures({red, 0, 0, 255});
        drawCompositePass(10.0f, planFrame(10.0f, 0.0f), FrameTarget{});
        const std::vector<unsigned char> out = render_test::readPixels(0);
        const unsigned char* centre = &out[(240 * 640 + 320) * 4];
        const int winner = red == 150 ? 1 : 0; // green: the points, red: the picture
        EXPECT_GT(centre[winner], centre[1 - winner] + 60) << "picture red " << int(red);
    }
}

} // namespace
