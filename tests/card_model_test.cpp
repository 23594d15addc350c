// The card's play cursor as a function of time, and the notification positions it crosses.
#include <gtest/gtest.h>

#include "card_model.h"

namespace {

using namespace standin::detail;

constexpr std::int64_t second = 1000000000;

TEST(card_model, CursorAdvancesAtTheByteRateInWholeSteps) {
    cursor_clock exact = make_cursor_clock(48000, 4, 0, 0);
    cursor_clock stepped = make_cursor_clock(48000, 4, 0, 10);
    EXPECT_EQ(exact.step_frames, 1);
    EXPECT_EQ(stepped.step_frames, 480);
    struct {
        std::int64_t dt;
        std::int64_t exact_bytes;
        std::int64_t stepped_bytes;
    } const cases[] = {
        {0, 0, 0},
        {-5, 0, 0},
        {second, 192000, 192000},
        {second / 48000, 0, 0},          // 20833.33 ns: not yet one whole frame
        {second / 48000 + 1, 4, 0},      // one frame; the stepped cursor still stands
        {10 * second / 1000 - 1, 1916, 0},
        {10 * second / 1000, 1920, 1920},
        {100 * second, 19200000, 19200000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cursor_advance(exact, c.dt), c.exact_bytes) << "dt " << c.dt;
        EXPECT_EQ(cursor_advance(stepped, c.dt), c.stepped_bytes) << "dt " << c.dt;
    }
}

TEST(card_model, DriftChangesTheRate) {
    cursor_clock fast = make_cursor_clock(48000, 4, 100, 0);   // 48 004.8 frames per second
    cursor_clock slow = make_cursor_clock(48000, 4, -100, 0);
    EXPECT_EQ(cursor_advance(fast, 100 * second), 4 * 4800480);
    EXPECT_EQ(cursor_advance(slow, 100 * second), 4 * 4799520);
}

TEST(card_model, TimeToAdvanceIsTheFirstInstantTheCursorGetsThere) {
    for (double granularity : {0.0, 10.0, 31.25}) {
        for (double ppm : {0.0, 250.0, -1000.0}) {
            cursor_clock c = make_cursor_clock(48000, 4, ppm, granularity);
            for (std::int64_t bytes : {4, 12000, 12004, 192000, 19200000}) {
                std::int64_t t = time_to_advance(c, bytes);
                EXPECT_GE(cursor_advance(c, t), bytes);
                EXPECT_LT(cursor_advance(c, t - 1), bytes)
                    << "granularity " << granularity << " ppm " << ppm << " bytes " << bytes;
            }
        }
    }
}

TEST(card_model, CrossingsCountEveryLapAndBothSidesOfAWrap) {
    const std::int64_t ring = 192000;
    struct {
        std::int64_t offset, from, to, count;
    } const cases[] = {
        {12000, 0, 11996, 0},
        {12000, 0, 12000, 1},           // arriving on the offset crosses it
        {12000, 12000, 13000, 0},       // leaving it does not again
        {0, 0, ring - 4, 0},            // the start position itself is not crossed
        {0, ring - 1920, ring, 1},      // wrapping onto 0
        {0, ring - 1920, ring + 1920, 1},
        {180000, 170000, ring + 10000, 1},
        {12000, 0, 3 * ring, 3},        // one per lap
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crossings(c.offset, ring, c.from, c.to), c.count)
            << "offset " << c.offset << " (" << c.from << ", " << c.to << "]";
    }
    EXPECT_EQ(next_crossing(12000, ring, 0), 12000);
    EXPECT_EQ(next_crossing(12000, ring, 12000), 12000 + ring);
    EXPECT_EQ(next_crossing(0, ring, ring - 4), ring);
}

}  // namespace
