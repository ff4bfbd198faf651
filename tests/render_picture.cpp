// Picture loading: padding to power-of-two sides, colour conversion, and every broken file
// stopping with its name and reason.
#include "render_support.h"

#include <fstream>

namespace {

using render_test::GlTest;
using render_test::makeRgba;
using render_test::TempFolder;
using render_test::writePng;

std::array<unsigned char, 4> pattern(unsigned column, unsigned row) {
    return {static_cast<unsigned char>(column * 7 + 1), static_cast<unsigned char>(row * 3 + 2),
            static_cast<unsigned char>(column ^ row), 255};
}

Picture pictureOf(unsigned width, unsigned height) {
    return Picture{width, height, makeRgba(width, height, pattern)};
}

TEST(PicturePadding, PadsToPowerOfTwoWithZeroFill) {
    const Picture padded = padToPowerOfTwo(pictureOf(640, 480));
    ASSERT_EQ(1024u, padded.width);
    ASSERT_EQ(512u, padded.height);
    ASSERT_EQ(1024u * 512u * 4u, padded.pixels.size());
    for (unsigned row = 0; row < 512; ++row) {
        for (unsigned column = 0; column < 1024; ++column) {
            const unsigned char* pixel = &padded.pixels[(std::size_t{row} * 1024 + column) * 4];
            const std::array<unsigned char, 4> expected =
                row < 480 && column < 640 ? pattern(column, row)
                                          : std::array<unsigned char, 4>{0, 0, 0, 0};
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), pixel))
                << "column " << column << ", row " << row;
        }
    }
}

TEST(PicturePadding, PowerOfTwoSidesAndOnePixelStayAsTheyAre) {
    for (const auto& [width, height] : {std::pair{256u, 128u}, std::pair{1u, 1u}}) {
        const Picture picture = pictureOf(width, height);
        const Picture padded = padToPowerOfTwo(picture);
        EXPECT_EQ(width, padded.width);
        EXPECT_EQ(height, padded.height);
        EXPECT_EQ(picture.pixels, padded.pixels);
    }
}

TEST(PictureFile, OtherColourTypesArriveAsEightBitRgba) {
    TempFolder folder;
    // Palette: two entries, the second half transparent.
    writePng(folder.file("palette.png"), 2, 1, {0, 1}, LCT_PALETTE, 8,
             {10, 20, 30, 255, 200, 100, 50, 128});
    writePng(folder.file("grey.png"), 2, 1, {0, 77}, LCT_GREY, 8);
    // 16-bit samples, big-endian: the decoder keeps the high byte.
    writePng(folder.file("deep.png"), 1, 1, {0x12, 0x34, 0xAB, 0xCD, 0xFF, 0x00, 0xFF, 0xFF},
             LCT_RGBA, 16);
    const struct {
        const char* name;
        std::vector<unsigned char> rgba;
    } cases[] = {
        {"palette.png", {10, 20, 30, 255, 200, 100, 50, 128}},
        {"grey.png", {0, 0, 0, 255, 77, 77, 77, 255}},
        {"deep.png", {0x12, 0xAB, 0xFF, 0xFF}},
    };
    for (const auto& each : cases) {
        Picture picture;
        std::string failure;
        ASSERT_TRUE(readPicture(folder.file(each.name), 4096, picture, failure)) << failure;
        EXPECT_EQ(each.rgba, picture.pixels) << each.name;
    }
}

TEST(PictureFile, BrokenFilesNameTheFileAndTheReason) {
    TempFolder folder;
    writePng(folder.file("good.png"), 4, 4, makeRgba(4, 4, pattern));
    std::vector<unsigned char> good;
    ASSERT_EQ(0u, lodepng::load_file(good, folder.file("good.png")));

    std::ofstream(folder.file("empty.png"), std::ios::binary).flush();
    std::ofstream(folder.file("text.png"), std::ios::binary) << "not a picture at all\n";
    lodepng::save_file(std::vector<unsigned char>(good.begin(), good.begin() + good.size() / 2),
                       folder.file("truncated.png"));
    // A valid header claiming 100000x100000 pixels (IHDR width and height, then its CRC).
    std::vector<unsigned char> huge = good;
    for (int offset : {16, 20}) {
        huge[offset] = 0x00, huge[offset + 1] = 0x01, huge[offset + 2] = 0x86,
        huge[offset + 3] = 0xA0;
    }
    const unsigned crc = lodepng_crc32(&huge[12], 17);
    for (int i = 0; i < 4; ++i) {
        huge[29 + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
    }
    lodepng::save_file(huge, folder.file("huge.png"));
    std::filesystem::create_directory(folder.file("folder.png"));

    const struct {
        const char* name;
        const char* reason; // part of the message; empty where LodePNG's own text is enough
    } cases[] = {
        {"missing.png", "No such file or directory"},
        {"folder.png", "folder"},
        {"empty.png", "empty"},
        {"text.png", ""},
        {"truncated.png", ""},
        {"huge.png", "100000x100000"},
    };
    for (const auto& each : cases) {
        Picture picture;
        std::string failure;
        const std::string path = folder.file(each.name);
        EXPECT_FALSE(readPicture(path, 16384, picture, failure)) << each.name;
        const std::string prefix = "cannot load picture \"" + path + "\": ";
        EXPECT_EQ(0u, failure.rfind(prefix, 0)) << failure;
        EXPECT_GT(failure.size(), prefix.size()) << failure;
        EXPECT_NE(std::string::npos, failure.find(each.reason)) << failure;
        EXPECT_EQ(std::string::npos, failure.find('\n')) << failure;
    }
}

TEST(PictureFile, PictureLargerThanTheLargestTextureIsRefused) {
    TempFolder folder;
    writePng(folder.file("wide.png"), 65, 1, makeRgba(65, 1, pattern));
    writePng(folder.file("fits.png"), 64, 64, makeRgba(64, 64, pattern));
    Picture picture;
    std::string failure;
    EXPECT_FALSE(readPicture(folder.file("wide.png"), 64, picture, failure));
    EXPECT_NE(std::string::npos, failure.find("65x1")) << failure;
    EXPECT_TRUE(readPicture(folder.file("fits.png"), 64, picture, failure)) << failure;
}

using PictureTexture = GlTest;

TEST_F(PictureTexture, UploadsThePaddedPictureWithNearestFiltering) {
    TempFolder folder;
    writePng(folder.file("picture.png"), 640, 480, makeRgba(640, 480, pattern));
    std::string failure;
    const GLuint texture = loadImageTexture(folder.file("picture.png"), failure);
    ASSERT_NE(0u, texture) << failure;
    glBindTexture(GL_TEXTURE_2D, texture);
    GLint width = 0;
    GLint height = 0;
    GLint minFilter = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &minFilter);
    EXPECT_EQ(1024, width);
    EXPECT_EQ(512, height);
    EXPECT_EQ(GL_NEAREST, minFilter);
    std::vector<unsigned char> texels(1024 * 512 * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
    EXPECT_TRUE(texels == padToPowerOfTwo(pictureOf(640, 480)).pixels);
    glDeleteTextures(1, &texture);

    EXPECT_EQ(0u, loadImageTexture(folder.file("missing.png"), failure));
    EXPECT_NE(std::string::npos, failure.find("missing.png")) << failure;
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

} // namespace
