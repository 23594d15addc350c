// A player on the simulated card, with a stream whose every frame is different, so that a byte
// written to the wrong place, twice or not at all shows.
#pragma once

#include <cstdint>
#include <vector>

#include "pcm_play_state.h"
#include "sim_fixture.h"

// Frame k of the stream holds k as a little-endian 32-bit word.
inline std::vector<std::uint8_t> counting_stream(std::size_t bytes) {
    std::vector<std::uint8_t> s(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
        s[i] = static_cast<std::uint8_t>((i / 4) >> (8 * (i % 4)));
    return s;
}

// The two ways a device goes away: the buffer stops, or the cursor freezes while the buffer
// claims to play. An operation caught in either must fail by `fails_by_ns` of virtual time.
struct device_loss {
    const char* how;
    double stop_at_s, freeze_at_s;
    std::int64_t fails_by_ns;

    standin::scenario scenario() const {
        standin::scenario s = virtual_card();
        s.stop_device_at_s = stop_at_s;
        s.freeze_device_at_s = freeze_at_s;
        return s;
    }
};

class player_test : public sim_test {
protected:
    // A player on a card that runs as `s` says, opened in the measurement format.
    void open(standin::scenario s = virtual_card()) {
        use(s);
        h = create_pcm_play();
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(h->init(h, 48000, 2, 16), 0);
    }

    // Releases the player, for tests that open one per case.
    void close() {
        if (h != nullptr) h->release(h);
        h = nullptr;
    }

    void TearDown() override {
        close();
        sim_test::TearDown();
    }

    PCM_PLAY_STATE* state() { return h->priv; }

    bool playing() {
        DWORD status = 0;
        EXPECT_EQ(state()->buf->GetStatus(&status), DS_OK);
        return (status & DSBSTATUS_PLAYING) != 0;
    }

    DWORD cursor() {
        DWORD play = 0;
        DWORD write = 0;
        EXPECT_EQ(state()->buf->GetCurrentPosition(&play, &write), DS_OK);
        return play;
    }

    // Pushes `bytes` of `stream` from `from` on, in pushes of `chunk`; the status of the first
    // push that fails, else 0.
    int push_stream(const std::vector<std::uint8_t>& stream, std::size_t from, std::size_t bytes,
                    int chunk) {
        for (std::size_t done = 0; done < bytes; done += static_cast<std::size_t>(chunk)) {
            int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(chunk), bytes - done));
            int status = h->push(h, stream.data() + from + done, n);
            if (status != 0) return status;
        }
        return 0;
    }

    PCM_PLAY* h = nullptr;
};
