// How tests and clockdrift-sim steer the simulated machine behind the stand-in: which time base
// drives it, how the sound card and the PC clocks run, which platform calls fail, when the device
// goes away, and what the card holds and counts afterwards.
//
// Without a call to standin::start the stand-in runs a faithful card on the monotonic clock,
// which is what the shipped Linux build of clockdrift uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace standin {

// Every platform call that a fault can be planted in.
enum class call {
    DirectSoundCreate8,
    SetCooperativeLevel,
    CreateSoundBuffer,
    SetFormat,
    QueryInterface,
    SetNotificationPositions,
    GetStatus,
    GetCurrentPosition,
    Lock,
    Unlock,
    Restore,
    Play,
    Stop,
    CreateEventW,
    WaitForSingleObject,
    count
};

const char* call_name(call c);
// Parses a call's name as call_name spells it; false when there is no such call.
bool call_from_name(const std::string& name, call* out);

// Make the nth call (counted from 1 since start) of `target` fail, once or from then on. Without an
// explicit result the call fails the way that call usually fails on the platform: E_FAIL for the
// DirectSound calls, a null handle for CreateEventW, WAIT_FAILED for WaitForSingleObject.
struct fault {
    call target = call::Lock;
    std::uint32_t nth = 1;
    bool always = false;
    bool has_result = false;
    std::int32_t result = 0;
};

// A PC clock counting milliseconds: value = start + drifted time rounded down to a whole step.
struct ms_clock {
    double start_ms = 0;
    double ppm = 0;      // counts this many millionths fast (negative: slow)
    double step_ms = 1;  // resolution; 0 means exact
};

enum class time_base {
    monotonic,  // real time: waits sleep, a 100 s run takes 100 s
    virtual_,   // time moves only when the code under test waits; waits jump to their wake-up
};

struct scenario {
    time_base clock = time_base::monotonic;
    double card_ppm = 0;          // the card plays this many millionths more frames than nominal
    double granularity_ms = 10;   // the play cursor moves in steps of this much sound; 0 = exact
    ms_clock tick;                // GetTickCount
    ms_clock mm_time;             // timeGetTime
    double qpc_ppm = 0;
    std::int64_t qpc_frequency = 10000000;  // 0 or less: no high-resolution counter
    std::int64_t qpc_start = 0;
    double stop_device_at_s = -1;    // >= 0: the device goes away, the buffer stops playing
    double freeze_device_at_s = -1;  // >= 0: the cursor and notifications stop, status still playing
    bool no_device = false;          // DirectSoundCreate8 finds no device
    bool record_played = false;      // keep every byte the card plays (see played_bytes)
    std::vector<fault> faults;
};

// Puts every default back, forgets all counts and applies the scenario. Time starts at 0 on the
// virtual clock. Objects still alive from before are leaked on purpose: they are counted, not freed.
void start(const scenario& s);

// Adds a fault to the scenario in force; nth counts from start, like the rest.
void plant(const fault& f);

// The next Lock calls on every live streaming buffer answer DSERR_BUFFERLOST until Restore.
void lose_buffers();

// Virtual time only: lets the card play on for this long without anybody waiting.
void advance_time(std::int64_t ns);
// Nanoseconds since start on the stand-in's time base.
std::int64_t now_ns();

struct stats {
    std::uint64_t calls[static_cast<int>(call::count)] = {};
    std::uint64_t waits = 0;          // WaitForSingleObject calls
    std::uint64_t wakes = 0;          // ... that returned because the event was set
    std::uint64_t timeouts = 0;       // ... that ran out of time
    std::uint64_t notifications = 0;  // notification positions the play cursor crossed
    int live_interfaces = 0;          // interfaces created and not yet released
    int live_events = 0;              // events created and not yet closed
};
stats get_stats();
std::uint64_t calls_of(call c);

// The bytes of the streaming buffer created last, whether or not it is still alive.
std::vector<std::uint8_t> streaming_buffer_bytes();

// With record_played: every byte the card has played since start, in order, as it came out.
const std::vector<std::uint8_t>& played_bytes();

}  // namespace standin
