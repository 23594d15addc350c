// The simulated machine's shared state: the scenario in force, the time base, the call counts and
// the planted faults, the live events, and the hooks into the sound card that waits rely on.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "standin_control.h"
#include "standin_win32.h"

namespace standin::detail {

struct event_object {
    bool manual_reset = false;
    bool signaled = false;
};

class sound_buffer;

struct world {
    scenario sc;
    std::int64_t origin_ns = 0;   // monotonic: the CLOCK_MONOTONIC reading at start
    std::int64_t virtual_ns = 0;  // virtual: the time itself
    stats counts;
    std::set<event_object*> events;
    bool device_gone = false;
    std::vector<sound_buffer*> streaming;  // live streaming buffers, oldest first
    sound_buffer* newest_streaming = nullptr;
    std::vector<std::uint8_t> last_streaming_bytes;  // what the newest held when it was released
    std::vector<std::uint8_t> played;                // with sc.record_played
};

world& the_world();

std::int64_t now();
void sleep_until(std::int64_t t_ns);

// Counts a call of `c`; answers the planted result when this call is to fail.
std::optional<std::int32_t> planted_fault(call c);

// The sound card's side (dsound.cpp): let every buffer play up to t_ns, crossing notification
// positions and meeting the device's loss on the way; and the earliest time at which a playing
// buffer will set `ev`, or -1 when none ever will.
void play_cards_until(std::int64_t t_ns);
std::int64_t next_signal_time(const event_object* ev);

void signal(event_object* ev);
bool is_live_event(HANDLE h);

[[noreturn]] void fatal(const char* message);

}  // namespace standin::detail
