#include <gtest/gtest.h>

#include <cstdint>

#include "main.h"

namespace {

struct frame {
    std::int16_t left;
    std::int16_t right;
};

frame frame_at(const unsigned char* tone, int k) {
    const unsigned char* b = tone + 4 * k;
    return {static_cast<std::int16_t>(b[0] | b[1] << 8), static_cast<std::int16_t>(b[2] | b[3] << 8)};
}

class tone_test : public ::testing::Test {
protected:
    void SetUp() override { make_tone(tone); }
    unsigned char tone[tone_bytes] = {};
};

TEST_F(tone_test, HoldsTheExpectedSamples) {
    struct {
        int k;
        int value;
    } const cases[] = {
        {0, 0},        {12, 8192},   {24, 0},      {36, -8192},
        // Truncation is toward zero: 8192 sin 7.5 deg = 1069.27.
        {1, 1069},     {25, -1069},
        // A whole-number product can land one nearer zero, depending on the sine's last bit.
        {4, 4095},     {28, -4095},  {44, -4096},
    };
    for (const auto& c : cases) EXPECT_EQ(frame_at(tone, c.k).left, c.value) << "frame " << c.k;
}

TEST_F(tone_test, BothChannelsCarryTheSameSampleAndThePeakIsAQuarterOfFullScale) {
    int peak = 0;
    for (int k = 0; k < tone_frames; ++k) {
        frame f = frame_at(tone, k);
        ASSERT_EQ(f.left, f.right) << "frame " << k;
        peak = std::max(peak, std::abs(static_cast<int>(f.left)));
    }
    EXPECT_EQ(peak, 8192);
}

TEST_F(tone_test, RepeatedBlocksJoinWithoutASeam) {
    // 40 whole cycles of 48 frames: the frame after the block's last is frame 0 again, so the
    // last frame must sit one step of phase before zero, like frame 47 of the first cycle.
    EXPECT_EQ(frame_at(tone, tone_frames - 1).left, frame_at(tone, 47).left);
    EXPECT_LT(frame_at(tone, tone_frames - 1).left, 0);
}

}  // namespace
