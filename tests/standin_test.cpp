// The contract that the simulated platform keeps, the same one the player relies on from the real
// DirectSound: cursor, notifications, status, locks, waits and clocks, and the test seams.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim_fixture.h"
#include "standin_dsound.h"

namespace {

using standin::call;

constexpr DWORD ring = 192000;

WAVEFORMATEX measurement_format() {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 48000;
    f.nAvgBytesPerSec = 192000;
    f.nBlockAlign = 4;
    f.wBitsPerSample = 16;
    return f;
}

// A device and one streaming buffer of one second, opened the way the player opens them.
class card_test : public sim_test {
protected:
    void open(const standin::scenario& s) {
        use(s);
        ASSERT_EQ(DirectSoundCreate8(nullptr, &ds, nullptr), DS_OK);
        ASSERT_EQ(ds->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), DS_OK);
        DSBUFFERDESC desc{};
        desc.dwSize = sizeof desc;
        desc.dwFlags = DSBCAPS_CTRLPOSITIONNOTIFY | DSBCAPS_GETCURRENTPOSITION2;
        desc.dwBufferBytes = ring;
        desc.lpwfxFormat = &format;
        ASSERT_EQ(ds->CreateSoundBuffer(&desc, &buf, nullptr), DS_OK);
        ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(ev, nullptr);
    }

    void notify_at(std::vector<DWORD> offsets) {
        IDirectSoundNotify* notify = nullptr;
        ASSERT_EQ(buf->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify)),
                  DS_OK);
        std::vector<DSBPOSITIONNOTIFY> entries;
        for (DWORD o : offsets) entries.push_back({o, ev});
        ASSERT_EQ(notify->SetNotificationPositions(static_cast<DWORD>(entries.size()), entries.data()),
                  DS_OK);
        notify->Release();
    }

    DWORD cursor() {
        DWORD play = 0;
        DWORD write = 0;
        EXPECT_EQ(buf->GetCurrentPosition(&play, &write), DS_OK);
        return play;
    }

    bool playing() {
        DWORD status = 0;
        EXPECT_EQ(buf->GetStatus(&status), DS_OK);
        return (status & DSBSTATUS_PLAYING) != 0;
    }

    void TearDown() override {
        if (ev != nullptr) CloseHandle(ev);
        if (buf != nullptr) buf->Release();
        if (ds != nullptr) ds->Release();
        sim_test::TearDown();
    }

    WAVEFORMATEX format = measurement_format();
    IDirectSound8* ds = nullptr;
    IDirectSoundBuffer* buf = nullptr;
    HANDLE ev = nullptr;
};

TEST_F(card_test, CursorMovesInStepsWrapsAndStandsStillWhileStopped) {
    open(virtual_card());  // 10 ms steps by default
    EXPECT_EQ(cursor(), 0u);
    ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    standin::advance_time(9 * ms_ns);
    EXPECT_EQ(cursor(), 0u);
    standin::advance_time(1 * ms_ns);
    EXPECT_EQ(cursor(), 1920u);
    standin::advance_time(1000 * ms_ns);
    EXPECT_EQ(cursor(), 1920u) << "a whole lap later";
    ASSERT_EQ(buf->Stop(), DS_OK);
    EXPECT_FALSE(playing());
    standin::advance_time(500 * ms_ns);
    EXPECT_EQ(cursor(), 1920u);
    ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    standin::advance_time(20 * ms_ns);
    EXPECT_EQ(cursor(), 1920u + 3840u) << "resumes where it stood";
}

TEST_F(card_test, WaitsWakeWhenTheCursorReachesANotificationOnEveryLap) {
    struct {
        double granularity_ms;
        DWORD offset;
        std::int64_t first_wake_ns;
    } const cases[] = {
        {0, 12000, 62500 * 1000},
        {10, 96000, 500 * ms_ns},
        {10, 12000, 70 * ms_ns},  // the cursor steps over 12 000, from 11 520 to 13 440
        {0, 0, 1000 * ms_ns},     // offset 0 is reached when the cursor wraps
    };
    for (const auto& c : cases) {
        standin::scenario s = virtual_card();
        s.granularity_ms = c.granularity_ms;
        open(s);
        notify_at({c.offset});
        ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
        for (int lap = 0; lap < 3; ++lap) {
            ASSERT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
            EXPECT_EQ(standin::now_ns(), c.first_wake_ns + lap * 1000 * ms_ns)
                << "granularity " << c.granularity_ms << " offset " << c.offset << " lap " << lap;
        }
        TearDown();
        ev = nullptr, buf = nullptr, ds = nullptr;
    }
}

TEST_F(card_test, CrossingsSetTheAutoResetEventOnceUntilItIsConsumed) {
    open(virtual_card());
    notify_at({0, 48000, 96000, 144000});
    ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    standin::advance_time(1500 * ms_ns);
    EXPECT_EQ(standin::get_stats().notifications, 6u);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST_F(card_test, AWaitWithATimeOutJumpsToItWhenNothingComesFirst) {
    open(virtual_card());
    notify_at({96000});
    EXPECT_EQ(WaitForSingleObject(ev, 250), WAIT_TIMEOUT);
    EXPECT_EQ(standin::now_ns(), 250 * ms_ns);
    ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    EXPECT_EQ(WaitForSingleObject(ev, 100), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(ev, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(standin::now_ns(), 750 * ms_ns);
}

TEST_F(card_test, AWaitThatNothingCanEverWakeEndsTheTestInsteadOfHanging) {
    open(virtual_card());
    notify_at({96000});
    EXPECT_DEATH(WaitForSingleObject(ev, INFINITE), "nothing will ever set");
}

TEST_F(card_test, LockHandsOutTwoRegionsAcrossTheEnd) {
    open(virtual_card());
    LPVOID p1 = nullptr;
    LPVOID p2 = nullptr;
    DWORD n1 = 0;
    DWORD n2 = 0;
    ASSERT_EQ(buf->Lock(ring - 1000, 3000, &p1, &n1, &p2, &n2, 0), DS_OK);
    EXPECT_EQ(n1, 1000u);
    EXPECT_EQ(n2, 2000u);
    std::memset(p1, 1, n1);
    std::memset(p2, 2, n2);
    ASSERT_EQ(buf->Unlock(p1, n1, p2, n2), DS_OK);
    std::vector<std::uint8_t> bytes = standin::streaming_buffer_bytes();
    EXPECT_EQ(bytes[ring - 1000], 1);
    EXPECT_EQ(bytes[ring - 1], 1);
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[1999], 2);
    EXPECT_EQ(bytes[2000], 0xA5) << "untouched memory keeps its fill";

    EXPECT_EQ(buf->Lock(ring, 4, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(buf->Lock(0, ring + 4, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    ASSERT_EQ(buf->Lock(0, 100, &p1, &n1, &p2, &n2, 0), DS_OK);
    EXPECT_EQ(p2, nullptr);
    EXPECT_EQ(buf->Unlock(static_cast<char*>(p1) + ring, n1, nullptr, 0), DSERR_INVALIDPARAM);
}

TEST_F(card_test, ThePlayedLogHoldsWhatTheCursorPassedAcrossLaps) {
    standin::scenario s = virtual_card();
    s.record_played = true;
    open(s);
    LPVOID p1 = nullptr;
    LPVOID p2 = nullptr;
    DWORD n1 = 0;
    DWORD n2 = 0;
    ASSERT_EQ(buf->Lock(0, ring, &p1, &n1, &p2, &n2, 0), DS_OK);
    for (DWORD i = 0; i < n1; ++i) static_cast<std::uint8_t*>(p1)[i] = static_cast<std::uint8_t>(i / 4);
    ASSERT_EQ(buf->Unlock(p1, n1, p2, n2), DS_OK);
    ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    standin::advance_time(1500 * ms_ns);
    const std::vector<std::uint8_t>& played = standin::played_bytes();
    ASSERT_EQ(played.size(), 288000u);
    for (std::size_t i = 0; i < played.size(); ++i)
        ASSERT_EQ(played[i], static_cast<std::uint8_t>((i % ring) / 4)) << "byte " << i;
}

TEST_F(card_test, TheDeviceGoesAwayInTwoWays) {
    {
        standin::scenario s = virtual_card();
        s.stop_device_at_s = 0.3;
        open(s);
        notify_at({0, 96000});
        ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
        EXPECT_EQ(WaitForSingleObject(ev, 1000), WAIT_TIMEOUT) << "no notification after the loss";
        EXPECT_FALSE(playing());
        EXPECT_EQ(cursor(), 57600u) << "stopped where it was at 0.3 s";
        EXPECT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DSERR_NODRIVER);
        TearDown();
        ev = nullptr, buf = nullptr, ds = nullptr;
    }
    {
        standin::scenario s = virtual_card();
        s.freeze_device_at_s = 0.3;
        open(s);
        notify_at({0, 96000});
        ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
        EXPECT_EQ(WaitForSingleObject(ev, 1000), WAIT_TIMEOUT);
        EXPECT_TRUE(playing()) << "a stalled device still claims to play";
        EXPECT_EQ(cursor(), 57600u);
        standin::advance_time(5000 * ms_ns);
        EXPECT_EQ(cursor(), 57600u);
    }
}

TEST_F(card_test, ALostBufferRefusesLocksUntilRestored) {
    open(virtual_card());
    standin::lose_buffers();
    LPVOID p1 = nullptr;
    LPVOID p2 = nullptr;
    DWORD n1 = 0;
    DWORD n2 = 0;
    DWORD status = 0;
    ASSERT_EQ(buf->GetStatus(&status), DS_OK);
    EXPECT_NE(status & DSBSTATUS_BUFFERLOST, 0u);
    EXPECT_EQ(buf->Lock(0, 100, &p1, &n1, &p2, &n2, 0), DSERR_BUFFERLOST);
    EXPECT_EQ(buf->Lock(0, 100, &p1, &n1, &p2, &n2, 0), DSERR_BUFFERLOST);
    ASSERT_EQ(buf->Restore(), DS_OK);
    EXPECT_EQ(buf->Lock(0, 100, &p1, &n1, &p2, &n2, 0), DS_OK);
}

TEST_F(card_test, RefusesWhatTheRealPlatformRefuses) {
    open(virtual_card());
    DSBUFFERDESC primary{};
    primary.dwSize = sizeof primary;
    primary.dwFlags = DSBCAPS_PRIMARYBUFFER;
    IDirectSoundBuffer* p = nullptr;

    DSBUFFERDESC short_desc = primary;
    short_desc.dwSize = 36;  // not this build's DSBUFFERDESC
    EXPECT_EQ(ds->CreateSoundBuffer(&short_desc, &p, nullptr), DSERR_INVALIDPARAM);

    ASSERT_EQ(ds->SetCooperativeLevel(GetDesktopWindow(), DSSCL_NORMAL), DS_OK);
    ASSERT_EQ(ds->CreateSoundBuffer(&primary, &p, nullptr), DS_OK);
    EXPECT_EQ(p->SetFormat(&format), DSERR_PRIOLEVELNEEDED);
    ASSERT_EQ(ds->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), DS_OK);
    EXPECT_EQ(p->SetFormat(&format), DS_OK);
    WAVEFORMATEX odd = format;
    odd.nBlockAlign = 3;
    EXPECT_EQ(p->SetFormat(&odd), DSERR_BADFORMAT);
    void* notify = nullptr;
    EXPECT_EQ(p->QueryInterface(IID_IDirectSoundNotify, &notify), E_NOINTERFACE);
    p->Release();

    EXPECT_EQ(buf->SetFormat(&format), DSERR_INVALIDCALL) << "only the primary buffer takes a format";
    notify_at({0});
    ASSERT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    IDirectSoundNotify* n = nullptr;
    ASSERT_EQ(buf->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&n)), DS_OK);
    DSBPOSITIONNOTIFY entry = {0, ev};
    EXPECT_EQ(n->SetNotificationPositions(1, &entry), DSERR_INVALIDCALL) << "not while playing";
    n->Release();
}

TEST_F(card_test, PlantedFaultsHitTheNthCallOnceOrFromThenOn) {
    open(virtual_card());
    const std::uint64_t before = standin::calls_of(call::GetStatus);
    standin::plant(fail_call(call::GetStatus, static_cast<std::uint32_t>(before) + 2));
    standin::plant(fail_call_with(call::Play, 2, DSERR_BUFFERLOST, true));
    DWORD status = 0;
    EXPECT_EQ(buf->GetStatus(&status), DS_OK);
    EXPECT_EQ(buf->GetStatus(&status), E_FAIL);
    EXPECT_EQ(buf->GetStatus(&status), DS_OK) << "a one-off fault strikes once";
    EXPECT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    EXPECT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DSERR_BUFFERLOST);
    EXPECT_EQ(buf->Play(0, 0, DSBPLAY_LOOPING), DSERR_BUFFERLOST) << "a lasting fault stays";

    standin::plant(fail_call(call::CreateEventW, 2));
    standin::plant(fail_call(call::WaitForSingleObject, 1));
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_FAILED);
}

TEST_F(sim_test, PcClocksDriftTickInStepsAndWrap) {
    standin::scenario s = virtual_card();
    s.tick.step_ms = 15.625;
    s.tick.start_ms = 4294967295.0 - 50;  // wraps 51 ms in
    s.mm_time.ppm = 1000;
    s.qpc_frequency = 3000000000;
    s.qpc_ppm = -20;
    use(s);
    EXPECT_EQ(GetTickCount(), 4294967245u);
    EXPECT_EQ(timeGetTime(), 0u);
    standin::advance_time(100 * ms_ns);
    EXPECT_EQ(GetTickCount(), 42u) << "6 whole steps of 15.625 ms = 93 ms, past the wrap";
    EXPECT_EQ(timeGetTime(), 100u);
    standin::advance_time(99900 * ms_ns);
    EXPECT_EQ(timeGetTime(), 100100u);
    LARGE_INTEGER f{};
    LARGE_INTEGER q{};
    EXPECT_TRUE(QueryPerformanceFrequency(&f));
    EXPECT_EQ(f.QuadPart, 3000000000);
    EXPECT_TRUE(QueryPerformanceCounter(&q));
    EXPECT_EQ(q.QuadPart, 300000000000 - 6000000);

    s.qpc_frequency = 0;
    use(s);
    EXPECT_FALSE(QueryPerformanceFrequency(&f));
    EXPECT_FALSE(QueryPerformanceCounter(&q));
    EXPECT_EQ(q.QuadPart, 0);
}

TEST_F(sim_test, CallNamesRoundTrip) {
    for (int i = 0; i < static_cast<int>(call::count); ++i) {
        call c = call::count;
        ASSERT_TRUE(standin::call_from_name(standin::call_name(static_cast<call>(i)), &c));
        EXPECT_EQ(static_cast<int>(c), i);
    }
    call c = call::count;
    EXPECT_FALSE(standin::call_from_name("Lock2", &c));
}

}  // namespace
