// The output frames' layout, and the picture placed into one as RGB or as Y'CbCr 4:2:0.
#include "output_frame.h"

#include "render/scene.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qm {

OutputLayout layoutFor(int width, int height) {
    OutputLayout layout;
    layout.width = width;
    layout.height = height;
    layout.factor = std::max(1, std::min(width / sceneWidth, height / sceneHeight));
    layout.left = (width - sceneWidth * layout.factor) / 2;
    layout.top = (height - sceneHeight * layout.factor) / 2;
    return layout;
}

// Row `row` of the picture, counted from its top, in a frame as glReadPixels gives it: GL rows
// run bottom to top.
static const unsigned char* glRowFromTop(const unsigned char* glRgba, int row) {
    return glRgba + std::size_t(sceneHeight - 1 - row) * sceneWidth * 4;
}

void placeFrame(const unsigned char* glRgba, const OutputLayout& layout, unsigned char* rgb) {
    const int factor = layout.factor;
    const std::size_t outStride = std::size_t(layout.width) * 3;
    const std::size_t rowBytes = std::size_t(sceneWidth) * factor * 3;
    for (int row = 0; row < sceneHeight; ++row) {
        const unsigned char* source = glRowFromTop(glRgba, row);
        unsigned char* first = rgb +
                               (std::size_t(layout.top) + std::size_t(row) * factor) * outStride +
                               std::size_t(layout.left) * 3;
        unsigned char* out = first;
        for (int column = 0; column < sceneWidth; ++column, source += 4) {
            for (int copy = 0; copy < factor; ++copy, out += 3) {
                out[0] = source[0];
                out[1] = source[1];
                out[2] = source[2];
            }
        }
        for (int copy = 1; copy < factor; ++copy) {
            std::memcpy(first + copy * outStride, first, rowBytes);
        }
    }
}

void placeFrameYuv420(const unsigned char* glRgba, const OutputLayout& layout,
                      std::vector<unsigned char>& yuv) {
    const int width = layout.width, height = layout.height;
    const std::size_t lumaBytes = std::size_t(width) * height;
    const int chromaWidth = width / 2, chromaHeight = height / 2;
    const std::size_t chromaBytes = std::size_t(chromaWidth) * chromaHeight;
    yuv.resize(lumaBytes + 2 * chromaBytes);

    // Each picture pixel once, top row first: its rounded luma and colour differences, and the
    // two differences unrounded for the samples that mix pixels. BT.601 weights; Cb and Cr
    // scaled so that full blue and full red reach 240.
    constexpr int pixels = sceneWidth * sceneHeight;
    // Luma and both colour differences are sums of one term per channel: tables of them.
    static const std::array<std::array<float, 256>, 9> terms = [] {
        constexpr double kr = 0.299, kb = 0.114, kg = 1.0 - kr - kb;
        constexpr double weights[3] = {kr, kg, kb};
        std::array<std::array<float, 256>, 9> table{};
        for (int channel = 0; channel < 3; ++channel) {
            for (int value = 0; value < 256; ++value) {
                const double own = value / 255.0, luma = weights[channel] * own;
                table[channel][value] = static_cast<float>(luma);
                table[3 + channel][value] =
                    static_cast<float>(((channel == 2 ? own : 0.0) - luma) / (2.0 * (1.0 - kb)));
                table[6 + channel][value] =
                    static_cast<float>(((channel == 0 ? own : 0.0) - luma) / (2.0 * (1.0 - kr)));
            }
        }
        return table;
    }();
    std::vector<unsigned char> lumaOf(pixels), cbOf(pixels), crOf(pixels);
    std::vector<float> blue(pixels + 1), red(pixels + 1); // the last: the bars, black
    for (int row = 0; row < sceneHeight; ++row) {
        const unsigned char* p = glRowFromTop(glRgba, row);
        for (int i = row * sceneWidth; i < (row + 1) * sceneWidth; ++i, p += 4) {
            const float y = terms[0][p[0]] + terms[1][p[1]] + terms[2][p[2]];
            blue[i] = terms[3][p[0]] + terms[4][p[1]] + terms[5][p[2]];
            red[i] = terms[6][p[0]] + terms[7][p[1]] + terms[8][p[2]];
            lumaOf[i] = static_cast<unsigned char>(16.5f + 219.0f * y);
            cbOf[i] = static_cast<unsigned char>(128.5f + 224.0f * blue[i]);
            crOf[i] = static_cast<unsigned char>(128.5f + 224.0f * red[i]);
        }
    }
    // The picture's column under each output column and its row under each output row; -1 in
    // the bars.
    const auto sourceOf = [&](int size, int start, int count) {
        std::vector<int> map(size, -1);
        for (int i = start; i < std::min(size, start + count * layout.factor); ++i) {
            map[i] = (i - start) / layout.factor;
        }
        return map;
    };
    const std::vector<int> columns = sourceOf(width, layout.left, sceneWidth);
    const std::vector<int> rows = sourceOf(height, layout.top, sceneHeight);
    for (int y = 0; y < height; ++y) {
        unsigned char* out = yuv.data() + std::size_t(y) * width;
        if (y > 0 && rows[y] == rows[y - 1]) {
            std::memcpy(out, out - width, width); // an enlarged row is its row above again
            continue;
        }
        std::memset(out, 16, width);
        if (rows[y] >= 0) {
            const unsigned char* in = lumaOf.data() + rows[y] * sceneWidth;
            unsigned char* to = out + layout.left;
            for (int column = 0; column < sceneWidth; ++column) {
                for (int copy = 0; copy < layout.factor; ++copy) {
                    *to++ = in[column];
                }
            }
        }
    }
    unsigned char* cb = yuv.data() + lumaBytes;
    unsigned char* cr = cb + chromaBytes;
    for (int y = 0; y < chromaHeight; ++y) {
        const int top = rows[2 * y], bottom = rows[2 * y + 1];
        for (int x = 0; x < chromaWidth; ++x) {
            const int left = columns[2 * x], right = columns[2 * x + 1];
            const std::size_t at = std::size_t(y) * chromaWidth + x;
            if (top == bottom && left == right && top >= 0 && left >= 0) {
                // All four from one picture pixel, as everywhere at an even enlargement.
                cb[at] = cbOf[top * sceneWidth + left];
                cr[at] = crOf[top * sceneWidth + left];
                continue;
            }
            const auto index = [&](int row, int column) {
                return row < 0 || column < 0 ? pixels : row * sceneWidth + column;
            };
            const int a = index(top, left), b = index(top, right), c = index(bottom, left),
                      d = index(bottom, right);
            cb[at] = static_cast<unsigned char>(
                128.5 + 56.0 * (double(blue[a]) + blue[b] + blue[c] + blue[d]));
            cr[at] = static_cast<unsigned char>(128.5 +
                                                56.0 * (double(red[a]) + red[b] + red[c] + red[d]));
        }
    }
}

} // namespace qm
