// The player's set-up and streaming writes on the simulated card.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "player_fixture.h"

namespace {

using standin::call;

constexpr int tone_push = 7680;  // 40 ms in the measurement format

TEST_F(player_test, InitOpensTheMeasurementFormatWithoutPlaying) {
    open();
    PCM_PLAY_STATE* s = state();
    EXPECT_EQ(s->buf_bytes, 192000);
    EXPECT_EQ(s->period_bytes, 12000);
    EXPECT_EQ(s->written, 0);
    EXPECT_EQ(s->write_pos, 0);
    EXPECT_EQ(s->wfx.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(s->wfx.nBlockAlign, 4);
    EXPECT_EQ(s->wfx.nAvgBytesPerSec, 192000u);
    EXPECT_FALSE(playing());
    EXPECT_EQ(standin::get_stats().live_interfaces, 2) << "the device and the streaming buffer";
}

TEST_F(player_test, FormatsDecideBufferAndPeriodOrAreRefusedBeforeOpeningADevice) {
    struct {
        int rate, channels, bits;
        int status;
        bool device_opened;
        std::int32_t buf_bytes, period_bytes;
    } const cases[] = {
        {48000, 2, 16, 0, true, 192000, 12000},
        {44100, 2, 16, 0, true, 176400, 11024},  // a sixteenth is 11 025: rounded down to frames
        {22050, 1, 16, 0, true, 44100, 2756},
        {8000, 1, 8, 0, true, 8000, 500},
        {48000, 3, 12, 1, true, 0, 0},           // the device refuses 12-bit samples
        {48000, 1, 4, 1, false, 0, 0},           // a frame of less than a byte
        {0, 2, 16, 1, false, 0, 0},
        {-48000, 2, 16, 1, false, 0, 0},
        {48000, 0, 16, 1, false, 0, 0},
        {48000, 2, 0, 1, false, 0, 0},
        {10, 1, 8, 1, false, 0, 0},              // a period would be 0 bytes
        {2000000000, 2, 16, 1, false, 0, 0},     // bytes per second overflow
    };
    for (const auto& c : cases) {
        use(virtual_card());
        h = create_pcm_play();
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->init(h, c.rate, c.channels, c.bits), c.status)
            << c.rate << "/" << c.channels << "/" << c.bits;
        EXPECT_EQ(standin::calls_of(call::DirectSoundCreate8) > 0, c.device_opened);
        EXPECT_EQ(state()->buf_bytes, c.buf_bytes);
        EXPECT_EQ(state()->period_bytes, c.period_bytes);
        if (c.status != 0) {
            EXPECT_EQ(standin::get_stats().live_interfaces, 0);
            EXPECT_EQ(state()->wfx.nBlockAlign, 0);
        }
        close();
    }
}

TEST_F(player_test, OperationsRefuseAPlayerThatIsNotInitialised) {
    use(virtual_card());
    h = create_pcm_play();
    ASSERT_NE(h, nullptr);
    unsigned char data[16] = {};
    EXPECT_EQ(h->push(h, data, 16), 1);
    EXPECT_EQ(h->drain(h, -1), 1);
    EXPECT_EQ(h->get_position(h), 0);
    standin::plant(fail_call(call::DirectSoundCreate8, 1));
    EXPECT_EQ(h->init(h, 48000, 2, 16), 1);
    EXPECT_EQ(h->push(h, data, 16), 1);
    EXPECT_EQ(h->init(h, 48000, 2, 16), 0) << "a failed init leaves a handle that can try again";
    EXPECT_EQ(h->push(h, data, 16), 0);
}

TEST_F(player_test, AHandleThatDoesNotOwnItsStateIsRefused) {
    use(virtual_card());
    PCM_PLAY* real = create_pcm_play();
    ASSERT_NE(real, nullptr);
    PCM_PLAY forged = *real;  // same operations, but priv points into another block
    unsigned char data[4] = {};
    EXPECT_EQ(forged.init(&forged, 48000, 2, 16), 1);
    EXPECT_EQ(forged.push(&forged, data, 4), 1);
    EXPECT_EQ(forged.drain(&forged, 0), 1);
    EXPECT_EQ(forged.get_position(&forged), 0);
    forged.release(&forged);  // must neither free the stack record nor touch the real one
    PCM_PLAY no_state = *real;
    no_state.priv = nullptr;
    EXPECT_EQ(no_state.init(&no_state, 48000, 2, 16), 1);
    no_state.release(&no_state);
    EXPECT_EQ(standin::calls_of(call::DirectSoundCreate8), 0u);
    real->release(real);
}

TEST_F(player_test, EmptyAndNegativePushesWriteNothing) {
    open();
    unsigned char data[4] = {};
    EXPECT_EQ(h->push(h, data, 0), 0);
    EXPECT_EQ(h->push(h, data, -5), 0);
    EXPECT_EQ(standin::calls_of(call::Lock), 0u);
    EXPECT_EQ(state()->written, 0);
}

TEST_F(player_test, ALongPushIsWrittenInBlocksOfOnePeriod) {
    open();
    const std::vector<std::uint8_t> stream = counting_stream(3 * 12000 + 1);
    EXPECT_EQ(h->push(h, stream.data(), static_cast<int>(stream.size())), 0);
    EXPECT_EQ(standin::calls_of(call::Lock), 4u) << "three periods and one byte";
    EXPECT_EQ(state()->written, 36001);
    EXPECT_EQ(state()->write_pos, 36001);
    std::vector<std::uint8_t> ring = standin::streaming_buffer_bytes();
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), ring.begin()));
    EXPECT_EQ(ring[36001], 0xA5);
}

TEST_F(player_test, PlaybackStartsOnTheWriteThatReachesFourPeriodsAndNothingWaitsBefore) {
    open();
    const std::vector<std::uint8_t> tone = counting_stream(tone_push);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(h->push(h, tone.data(), tone_push), 0);
    EXPECT_FALSE(playing()) << "46 080 bytes queued, under four periods";
    ASSERT_EQ(h->push(h, tone.data(), tone_push), 0);
    EXPECT_TRUE(playing()) << "53 760 bytes: four periods reached";
    EXPECT_EQ(standin::get_stats().waits, 0u);
    EXPECT_EQ(standin::now_ns(), 0);
}

// A play cursor equal to write_pos + n is not yet room: the new data must end before it.
TEST_F(player_test, RoomMeansStrictlyBeforeTheCursor) {
    standin::scenario s = virtual_card();
    s.granularity_ms = 0;
    open(s);
    const std::vector<std::uint8_t> block = counting_stream(12000);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(h->push(h, block.data(), 12000), 0);
    EXPECT_EQ(standin::now_ns(), 62500 * 1000) << "the sixteenth period waits for the first to play";
    ASSERT_EQ(h->push(h, block.data(), 12000), 0);
    EXPECT_EQ(standin::now_ns(), 125 * ms_ns)
        << "with the cursor at 12 000, a period at 0 would end on it: wait for the next";
}

// Whatever the card's pace and cursor steps, the sound that comes out is exactly the stream
// pushed, with no byte overwritten before it played, and the writer sleeps about once per
// notification.
TEST_F(player_test, TheCardPlaysExactlyThePushedStream) {
    struct {
        double granularity_ms;
        double card_ppm;
        int chunk;
    } const cases[] = {
        {10, 0, tone_push}, {0, 0, tone_push},  {31.25, 0, tone_push},
        {10, 500, 12000},   {10, -500, 30001}, {0, 0, 4},
    };
    const std::size_t bytes = 6 * 192000 + 4;
    const std::vector<std::uint8_t> stream = counting_stream(bytes);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "granularity " << c.granularity_ms << " ppm "
                                          << c.card_ppm << " chunk " << c.chunk);
        standin::scenario s = virtual_card();
        s.granularity_ms = c.granularity_ms;
        s.card_ppm = c.card_ppm;
        s.record_played = true;
        open(s);
        ASSERT_EQ(push_stream(stream, 0, bytes, c.chunk), 0);
        const std::vector<std::uint8_t>& played = standin::played_bytes();
        ASSERT_GT(played.size(), 4u * 192000);
        ASSERT_LT(played.size(), bytes);
        EXPECT_TRUE(std::equal(played.begin(), played.end(), stream.begin()))
            << "the card played something other than the stream";
        // The ring holds, at every offset, the last byte pushed there.
        std::vector<std::uint8_t> ring = standin::streaming_buffer_bytes();
        for (std::size_t back = 1; back <= ring.size(); ++back) {
            std::size_t i = bytes - back;
            ASSERT_EQ(ring[i % ring.size()], stream[i]) << "stream byte " << i;
        }
        standin::stats st = standin::get_stats();
        EXPECT_EQ(st.timeouts, 0u);
        EXPECT_LE(st.waits, st.notifications + 1);
        close();
    }
}

TEST_F(player_test, ASecondInitStartsFromScratch) {
    open();
    const std::vector<std::uint8_t> stream = counting_stream(5 * 12000);
    ASSERT_EQ(h->push(h, stream.data(), static_cast<int>(stream.size())), 0);
    ASSERT_TRUE(playing());
    ASSERT_EQ(h->init(h, 48000, 2, 16), 0);
    EXPECT_EQ(state()->written, 0);
    EXPECT_EQ(state()->write_pos, 0);
    EXPECT_FALSE(playing());
    EXPECT_EQ(standin::get_stats().live_interfaces, 2) << "the first device and buffer are gone";
    EXPECT_EQ(standin::calls_of(call::Stop), 1u) << "the first buffer was stopped before release";
}

// Every platform call that init examines, failing in turn: init reports it, tears down, and the
// handle can be initialised again.
TEST_F(player_test, InitFailsCleanlyAtEveryStep) {
    struct {
        call c;
        std::uint32_t nth;
    } const steps[] = {
        {call::DirectSoundCreate8, 1}, {call::SetCooperativeLevel, 1},
        {call::CreateSoundBuffer, 1},  {call::SetFormat, 1},
        {call::CreateSoundBuffer, 2},  {call::QueryInterface, 1},
        {call::SetNotificationPositions, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(standin::call_name(step.c));
        standin::scenario s = virtual_card();
        s.faults.push_back(fail_call(step.c, step.nth));
        use(s);
        h = create_pcm_play();
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->init(h, 48000, 2, 16), 1);
        EXPECT_EQ(state()->ds, nullptr);
        EXPECT_EQ(state()->buf, nullptr);
        EXPECT_EQ(state()->buf_bytes, 0);
        EXPECT_EQ(standin::get_stats().live_interfaces, 0) << "nothing held after a failed init";
        EXPECT_EQ(h->init(h, 48000, 2, 16), 0);
        close();
    }
}

TEST_F(player_test, CreateFailsWhenTheEventCannotBeMade) {
    standin::scenario s = virtual_card();
    s.faults.push_back(fail_call(call::CreateEventW, 1));
    use(s);
    EXPECT_EQ(create_pcm_play(), nullptr);
}

// Every platform call that a write examines, failing in turn. A block stays counted once its
// Unlock succeeded, even when the push reports the failure of a later step.
TEST_F(player_test, PushReportsEveryFailingCallAndKeepsWhatWasQueued) {
    struct {
        const char* when;
        int pushes_before;  // 0 idle, 6 about to start, 26 (of 40 ms) the buffer full and playing
        call c;
        int nth_from_now;
        bool block_counted;
        double freeze_at_s = -1;
    } const cases[] = {
        {"idle", 0, call::GetStatus, 1, false},
        {"idle", 0, call::Lock, 1, false},
        {"idle", 0, call::Unlock, 1, false},
        {"idle", 0, call::GetStatus, 2, true},
        {"starting", 6, call::Play, 1, true},
        {"full", 26, call::GetStatus, 1, false},
        {"full", 26, call::GetCurrentPosition, 1, false},
        {"full", 26, call::WaitForSingleObject, 1, false},
        {"full", 26, call::GetCurrentPosition, 2, false},  // the read after a wake
        {"full", 26, call::GetStatus, 2, true},            // the status after the write
        // A wake without room (here: a wait that ran out while the device stalled) makes the
        // player look at the status before it sleeps again.
        {"stalled", 26, call::GetStatus, 2, false, 0.05},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.when << ": " << standin::call_name(c.c) << " #"
                                          << c.nth_from_now);
        standin::scenario s = virtual_card();
        s.freeze_device_at_s = c.freeze_at_s;
        open(s);
        const std::vector<std::uint8_t> block = counting_stream(tone_push);
        for (int i = 0; i < c.pushes_before; ++i) ASSERT_EQ(h->push(h, block.data(), tone_push), 0);
        const std::int32_t before = state()->written;
        standin::plant(fail_call(c.c, static_cast<std::uint32_t>(standin::calls_of(c.c)) + c.nth_from_now));
        EXPECT_EQ(h->push(h, block.data(), tone_push), 1);
        EXPECT_EQ(state()->written, before + (c.block_counted ? tone_push : 0));
        close();
    }
}

TEST_F(player_test, ALostBufferIsRestoredOnceAndLockedAgain) {
    open();
    const std::vector<std::uint8_t> tone = counting_stream(tone_push);
    standin::lose_buffers();
    EXPECT_EQ(h->push(h, tone.data(), tone_push), 0);
    EXPECT_EQ(standin::calls_of(call::Restore), 1u);
    EXPECT_EQ(standin::calls_of(call::Lock), 2u);
    EXPECT_EQ(state()->written, tone_push);

    // Still lost after the restore: no second round.
    standin::plant(fail_call_with(call::Lock, 3, DSERR_BUFFERLOST, true));
    EXPECT_EQ(h->push(h, tone.data(), tone_push), 1);
    EXPECT_EQ(standin::calls_of(call::Restore), 2u);
    EXPECT_EQ(standin::calls_of(call::Lock), 4u);
    EXPECT_EQ(state()->written, tone_push);

    standin::lose_buffers();
    standin::plant(fail_call(call::Restore, 3));
    EXPECT_EQ(h->push(h, tone.data(), tone_push), 1);
}

// The device going away must end the push with a failure, not hang it: when the buffer stops,
// the restart fails; when the cursor freezes while the buffer claims to play, the writer gives up
// after two buffer lengths without movement.
TEST_F(player_test, PushFailsWhenTheDeviceGoesAway) {
    const device_loss cases[] = {
        {"stopped", 3.0, -1, 4100 * ms_ns},
        {"frozen", -1, 3.0, 5100 * ms_ns},
    };
    const std::vector<std::uint8_t> stream = counting_stream(10 * 192000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        open(c.scenario());
        EXPECT_EQ(push_stream(stream, 0, stream.size(), tone_push), 1);
        EXPECT_GE(standin::now_ns(), 3000 * ms_ns);
        EXPECT_LE(standin::now_ns(), c.fails_by_ns);
        close();
    }
}

TEST_F(player_test, WrittenNeverPassesTheLargestSigned32BitCount) {
    open();
    const std::vector<std::uint8_t> stream = counting_stream(3 * 100);
    state()->written = INT_MAX - 250;  // as if hours of sound had gone before
    EXPECT_EQ(h->push(h, stream.data(), 200), 0);
    EXPECT_EQ(state()->written, INT_MAX - 50);
    const std::int32_t pos = state()->write_pos;
    EXPECT_EQ(h->push(h, stream.data(), 51), 1);
    EXPECT_EQ(state()->written, INT_MAX - 50) << "the block that would pass the limit is not written";
    EXPECT_EQ(state()->write_pos, pos);
    EXPECT_EQ(h->push(h, stream.data(), 50), 0);
    EXPECT_EQ(state()->written, INT_MAX);
}

}  // namespace
