// The timeline's frame-level decisions at their boundaries, and the letterbox rectangle.
#include "render/frame_plan.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(FramePlan, EarlyFramesDrawTenSmoothPointsOnWhite) {
    const FramePlan plan = planFrame(2.0f, 5.0f);
    EXPECT_EQ(10, plan.pointCount);
    EXPECT_TRUE(plan.pointSmooth);
    EXPECT_TRUE(plan.setPointSize);
    EXPECT_FLOAT_EQ(std::sin(2.0f) * 3.0f + 10.0f, plan.pointSize);
    for (float channel : plan.clearColor) {
        EXPECT_EQ(1.0f, channel);
    }
    EXPECT_FALSE(plan.pictureB);
}

TEST(FramePlan, LateParametersStartAtExactlyFourPointFour) {
    const FramePlan before = planFrame(std::nextafter(4.4f, 0.0f), 3.0f);
    const FramePlan at = planFrame(4.4f, 3.0f);
    EXPECT_EQ(10, before.pointCount);
    EXPECT_EQ(1000, at.pointCount);
    EXPECT_FALSE(at.pointSmooth);
    EXPECT_TRUE(at.setPointSize);
    EXPECT_EQ(24.0f, at.pointSize);
    EXPECT_EQ(0.5f, at.clearColor[3]);
}

TEST(FramePlan, PictureBOnlyAfterSeventeenPointFour) {
    EXPECT_FALSE(planFrame(17.4f, 1.0f).pictureB);
    EXPECT_TRUE(planFrame(std::nextafter(17.4f, 100.0f), 1.0f).pictureB);
}

TEST(FramePlan, LevelStepZeroLateKeepsThePreviousPointSize) {
    EXPECT_FALSE(planFrame(10.0f, 0.0f).setPointSize);
    EXPECT_FALSE(planFrame(20.0f, 0.0f).setPointSize);
    EXPECT_TRUE(planFrame(20.0f, 1.0f).setPointSize);
}

TEST(FramePlan, LateClearColourIsWhiteAtStepZeroAndBlackFromStepOne) {
    for (float step : {0.0f, 1.0f, 8.0f}) {
        const FramePlan plan = planFrame(10.0f, step);
        for (int channel = 0; channel < 3; ++channel) {
            if (step == 0.0f) {
                EXPECT_EQ(1.0f, plan.clearColor[channel]);
            } else {
                EXPECT_LE(plan.clearColor[channel], 0.0f) << "step " << step;
            }
        }
    }
}

TEST(FrameLetterbox, LargestCentredFourByThreeRectangle) {
    const struct {
        int width, height;
        ViewportRect rect;
    } cases[] = {
        {640, 480, {0, 0, 640, 480}},     {1280, 720, {160, 0, 960, 720}},
        {1280, 1024, {0, 32, 1280, 960}}, {1281, 720, {160, 0, 960, 720}},
        {0, 480, {0, 0, 0, 0}},           {3, 1, {1, 0, 1, 1}},
    };
    for (const auto& each : cases) {
        const ViewportRect rect = letterboxRect(each.width, each.height);
        EXPECT_EQ(each.rect.x, rect.x) << each.width << "x" << each.height;
        EXPECT_EQ(each.rect.y, rect.y) << each.width << "x" << each.height;
        EXPECT_EQ(each.rect.width, rect.width) << each.width << "x" << each.height;
        EXPECT_EQ(each.rect.height, rect.height) << each.width << "x" << each.height;
    }
}

} // namespace
