// The simulated card's play cursor as a pure function of time, and the notification positions it
// crosses. No state: the buffers in dsound.cpp feed these with "now" from either time base.
#pragma once

#include <cstdint>
#include <vector>

namespace standin::detail {

// Exact integer arithmetic throughout: a cursor that lands a nanosecond late, or a frame short,
// would move the notifications and the waits that follow them.
struct cursor_clock {
    std::int64_t block_align = 4;
    std::int64_t rate = 48000;        // frames per second, nominal
    std::int64_t drift_ppb = 0;       // the card plays this many billionths more
    std::int64_t step_frames = 1;     // the cursor moves in steps of this many frames
};

cursor_clock make_cursor_clock(std::int64_t rate, std::int64_t block_align, double card_ppm,
                               double granularity_ms);

// Bytes the play cursor has moved dt_ns after Play (0 for dt_ns <= 0).
std::int64_t cursor_advance(const cursor_clock& c, std::int64_t dt_ns);

// The shortest time after Play at which cursor_advance reaches at least `bytes`.
std::int64_t time_to_advance(const cursor_clock& c, std::int64_t bytes);

// Positions on the unwrapped byte line: offset o of a ring of ring_bytes stands at o + k * ring_bytes.
// How often `offset` lies in (from, to].
std::int64_t crossings(std::int64_t offset, std::int64_t ring_bytes, std::int64_t from,
                       std::int64_t to);
// The first position after `from` at which `offset` lies.
std::int64_t next_crossing(std::int64_t offset, std::int64_t ring_bytes, std::int64_t from);

}  // namespace standin::detail
