// Letting the queued sound play out, and the play position, on the simulated card.
#include <gtest/gtest.h>

#include "player_fixture.h"

namespace {

using standin::call;

constexpr int period = 12000;  // bytes, 62.5 ms in the measurement format

class drain_test : public player_test {
protected:
    // An exact cursor (no steps) unless a test asks for steps.
    void open_exact(standin::scenario s = virtual_card()) {
        s.granularity_ms = 0;
        open(s);
    }

    void push_periods(int n) {
        stream = counting_stream(static_cast<std::size_t>(n) * period);
        ASSERT_EQ(push_stream(stream, 0, stream.size(), period), 0);
    }

    // Moves virtual time on until the exact cursor has moved `bytes` since playback started at 0.
    static void play_until_cursor_moved(std::int64_t bytes) {
        const std::int64_t t = bytes * 1000000 / 192;  // 192 bytes per ms
        standin::advance_time(t - standin::now_ns());
    }

    std::vector<std::uint8_t> stream;
};

TEST_F(drain_test, TimeOutZeroStopsAtOnceAndWritesNoSilence) {
    open_exact();
    push_periods(5);
    standin::advance_time(100 * ms_ns);
    const std::uint64_t locks = standin::calls_of(call::Lock);
    EXPECT_EQ(h->drain(h, 0), 0);
    EXPECT_FALSE(playing());
    EXPECT_EQ(state()->write_pos, 5 * period);
    EXPECT_EQ(standin::calls_of(call::Lock), locks);
    EXPECT_EQ(standin::now_ns(), 100 * ms_ns);
}

TEST_F(drain_test, APlayerThatNeverStartedLeavesItsDataUnplayed) {
    standin::scenario s = virtual_card();
    s.record_played = true;
    open(s);
    push_periods(3);
    EXPECT_EQ(h->drain(h, -1), 0);
    EXPECT_FALSE(playing());
    EXPECT_EQ(state()->write_pos, 3 * period) << "no silence written";
    EXPECT_TRUE(standin::played_bytes().empty());
    EXPECT_EQ(h->get_position(h), 0);
}

TEST_F(drain_test, AShortTimeOutReturnsWhilePlayingAndASecondDrainFinishes) {
    standin::scenario s = virtual_card();
    s.record_played = true;
    open_exact(s);
    push_periods(10);  // 625 ms of sound
    EXPECT_EQ(h->drain(h, 100), 2);
    EXPECT_TRUE(playing());
    // Elapsed time comes from the 1 ms tick count, read after a wake at 62.5 ms.
    EXPECT_GE(standin::now_ns(), 100 * ms_ns);
    EXPECT_LT(standin::now_ns(), 101 * ms_ns);
    EXPECT_EQ(state()->write_pos, 12 * period) << "the padding is written";
    EXPECT_EQ(state()->written, 10 * period);

    EXPECT_EQ(h->drain(h, -1), 0);
    EXPECT_FALSE(playing());
    EXPECT_EQ(state()->write_pos, 12 * period) << "no second padding";
    EXPECT_EQ(standin::now_ns(), 625 * ms_ns) << "stopped as the last data byte played";
    const std::vector<std::uint8_t>& played = standin::played_bytes();
    ASSERT_EQ(played.size(), stream.size());
    EXPECT_TRUE(std::equal(played.begin(), played.end(), stream.begin()));
    EXPECT_EQ(h->get_position(h), 10 * period / 4);
    EXPECT_EQ(h->drain(h, -1), 0) << "a stopped buffer drains at once";
}

// The measurement run: 19 200 000 bytes, so the data ends at offset 0, itself a notification
// position. The drain stops the buffer on that notification, as the last data byte has played.
TEST_F(drain_test, TheMeasurementRunStopsOnTheNotificationAfterTheLastByte) {
    for (double granularity : {0.0, 10.0, 31.25}) {
        SCOPED_TRACE(::testing::Message() << "granularity " << granularity);
        standin::scenario s = virtual_card();
        s.granularity_ms = granularity;
        s.record_played = true;
        open(s);
        const std::vector<std::uint8_t> tone = counting_stream(7680);
        for (int i = 0; i < 2500; ++i) ASSERT_EQ(h->push(h, tone.data(), 7680), 0);
        ASSERT_EQ(state()->written % state()->buf_bytes, 0);
        EXPECT_EQ(h->drain(h, -1), 0);
        // Playback started at 0 with the seventh push; the data lasts exactly 100 s.
        EXPECT_EQ(standin::now_ns(), 100000 * ms_ns) << "time from the last data byte to the stop";
        EXPECT_EQ(standin::played_bytes().size(), 19200000u);
        EXPECT_EQ(h->get_position(h), 4800000);
        close();
    }
}

// The cursor is inside the padding from the data end (included) to the padding end (excluded),
// also when the padding wraps past the end of the buffer. drain(h, 1) tells: 0 when it finds the
// cursor inside, 2 when a millisecond passes without it getting there.
TEST_F(drain_test, PaddingRangeBoundaries) {
    struct {
        int periods;          // data pushed; the data end is periods * 12 000
        std::int64_t cursor;  // bytes the cursor has moved since playback started
        int expected;
    } const cases[] = {
        {5, 60000, 0},             // at the data end
        {5, 83996, 0},             // last frame of the padding
        {5, 84000, 2},             // at the padding end
        {15, 180000, 0},           // the padding wraps: 180 000 .. 192 000 and 0 .. 12 000
        {15, 192000, 0},           // offset 0, inside the wrapped padding
        {15, 192000 + 11996, 0},
        {15, 192000 + 12000, 2},   // at the wrapped padding end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.periods << " periods, cursor at " << c.cursor);
        open_exact();
        push_periods(c.periods);
        ASSERT_EQ(h->drain(h, 1), 2) << "writes the padding, then runs out of time";
        ASSERT_LE(standin::now_ns(), c.cursor * 1000000 / 192);
        play_until_cursor_moved(c.cursor);
        EXPECT_EQ(h->drain(h, 1), c.expected);
        EXPECT_EQ(playing(), c.expected == 2);
        close();
    }
}

TEST_F(drain_test, PositionFollowsTheCursorAndStaysWithinWhatWasWritten) {
    open_exact();
    push_periods(3);
    EXPECT_EQ(h->get_position(h), 0) << "before playback starts";
    push_periods(7);  // 10 periods in all, 625 ms
    play_until_cursor_moved(96000);
    EXPECT_EQ(h->get_position(h), 96000 / 4);
    EXPECT_EQ(h->drain(h, 1), 2);
    play_until_cursor_moved(10 * period + 4000);  // in the padding, still playing
    EXPECT_EQ(h->get_position(h), 10 * period / 4) << "silence is not counted as sound";
}

TEST_F(drain_test, PositionIsRightWhileDataPlaysBeforeAPaddingThatWraps) {
    open_exact();
    push_periods(15);  // data end 180 000: the padding wraps
    EXPECT_EQ(h->drain(h, 1), 2);
    const DWORD p = cursor();
    ASSERT_LT(p, 180000u);
    EXPECT_EQ(h->get_position(h), static_cast<int>(p / 4));
}

TEST_F(drain_test, StepsOfTheCursorShowInThePosition) {
    open();  // 10 ms steps
    push_periods(10);
    standin::advance_time(255 * ms_ns);
    EXPECT_EQ(h->get_position(h), 250 * 48);
}

// A drain with no limit must still end when the device goes away under it.
TEST_F(drain_test, ADeviceLostDuringTheDrainFailsItWithoutHanging) {
    const device_loss cases[] = {
        {"stopped", 0.3, -1, 1400 * ms_ns},
        {"frozen", -1, 0.3, 3400 * ms_ns},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        open(c.scenario());
        push_periods(10);
        EXPECT_EQ(h->drain(h, -1), 1);
        EXPECT_LE(standin::now_ns(), c.fails_by_ns);
        close();
    }
}

// Every platform call of a drain, failing in turn: the drain reports it and leaves the buffer
// playing.
TEST_F(drain_test, AFailingCallAtEachStepLeavesTheBufferPlaying) {
    struct {
        call c;
        int nth_from_now;
        const char* step;
    } const cases[] = {
        {call::GetStatus, 1, "is it playing"},
        {call::GetStatus, 2, "room for the padding"},
        {call::GetCurrentPosition, 1, "room for the padding"},
        {call::Lock, 1, "padding"},
        {call::Unlock, 1, "padding"},
        {call::GetCurrentPosition, 2, "first look at the cursor"},
        {call::WaitForSingleObject, 1, "wait"},
        {call::GetCurrentPosition, 3, "cursor after a wake"},
        {call::GetStatus, 3, "status after a wake"},
        {call::Stop, 1, "stop"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.step << ": " << standin::call_name(c.c));
        open_exact();
        push_periods(10);
        standin::plant(fail_call(c.c, static_cast<std::uint32_t>(standin::calls_of(c.c)) + c.nth_from_now));
        EXPECT_EQ(h->drain(h, -1), 1);
        EXPECT_TRUE(playing());
        close();
    }
}

TEST_F(drain_test, EightBitSilenceIsTheMidpoint) {
    use(virtual_card());
    h = create_pcm_play();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(h->init(h, 8000, 1, 8), 0);  // 500-byte periods
    const std::vector<std::uint8_t> data(2000, 0x10);
    ASSERT_EQ(h->push(h, data.data(), 2000), 0);
    ASSERT_TRUE(playing());
    EXPECT_EQ(h->drain(h, 1), 2);
    const std::vector<std::uint8_t> ring = standin::streaming_buffer_bytes();
    EXPECT_EQ(ring[1999], 0x10);
    EXPECT_EQ(ring[2000], 0x80);
    EXPECT_EQ(ring[2999], 0x80);
    EXPECT_EQ(ring[3000], 0xA5);
}

}  // namespace
