// The player's private state and internal operations, for pcm_play.cpp and its tests.
#pragma once

#include <cstdint>

#include "pcm_play.h"
#include "platform.h"

struct PCM_PLAY_STATE {
    IDirectSound8* ds;
    IDirectSoundBuffer* buf;  // during init it briefly holds the primary buffer
    HANDLE notify_event;      // auto-reset, set at every notification position
    WAVEFORMATEX wfx;
    std::int32_t written;       // data bytes accepted since init; silence is not counted
    std::int32_t buf_bytes;
    std::int32_t period_bytes;  // distance between neighbouring notification positions
    std::int32_t write_pos;     // where the next byte goes; 0 <= write_pos < buf_bytes
};

// Stops and releases the buffer and the device and zeroes the counters; the event stays.
void pcm_play_teardown(PCM_PLAY_STATE* s);
// Waits until n bytes fit at write_pos without reaching the play cursor.
int pcm_play_wait_space(PCM_PLAY_STATE* s, std::uint32_t n);
// Writes n bytes (at most one period) at write_pos, and starts playback once enough is queued.
int pcm_play_write_block(PCM_PLAY_STATE* s, const unsigned char* data, std::int32_t n);
// Appends two periods of silence after the data without counting them as data.
int pcm_play_write_silence(PCM_PLAY_STATE* s);
