// Events, waits and the PC clocks. Only the simulated card ever sets an event, so a wait knows the
// exact moment it will end: the card's next notification for that event, or the time-out.
#include <cmath>

#include "wide_int.h"

#include "standin_win32.h"
#include "world.h"

using namespace standin;
using namespace standin::detail;

namespace {

// Nanoseconds since start as seen by a clock that runs ppm fast, in integers so that a clock
// without drift reads exactly the card's time.
std::int64_t drifted_ns(double ppm) {
    const wide_int ppb = std::llround(ppm * 1000.0);
    const wide_int t = now();
    return static_cast<std::int64_t>(t + t * ppb / 1000000000);
}

// Milliseconds as a clock that drifts and ticks in steps reads them, modulo 2^32.
DWORD read_ms_clock(const ms_clock& c) {
    std::int64_t t = drifted_ns(c.ppm);
    const std::int64_t step = std::llround(c.step_ms * 1e6);
    if (step > 0) t = t / step * step;
    const std::int64_t ms = (std::llround(c.start_ms * 1e6) + t) / 1000000;
    return static_cast<DWORD>(static_cast<std::uint64_t>(ms));
}

const int desktop_window_marker = 0;

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR) {
    if (planted_fault(call::CreateEventW)) return nullptr;
    auto* ev = new event_object;
    ev->manual_reset = manual_reset != FALSE;
    ev->signaled = initial_state != FALSE;
    world& w = the_world();
    w.events.insert(ev);
    ++w.counts.live_events;
    return ev;
}

BOOL CloseHandle(HANDLE handle) {
    world& w = the_world();
    auto* ev = static_cast<event_object*>(handle);
    if (w.events.erase(ev) == 0) return FALSE;
    delete ev;
    --w.counts.live_events;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (auto failure = planted_fault(call::WaitForSingleObject))
        return static_cast<DWORD>(*failure);
    if (!is_live_event(handle)) return WAIT_FAILED;
    world& w = the_world();
    ++w.counts.waits;
    auto* ev = static_cast<event_object*>(handle);
    const bool bounded = milliseconds != INFINITE;
    const std::int64_t deadline = now() + static_cast<std::int64_t>(milliseconds) * 1000000;
    for (;;) {
        play_cards_until(now());
        if (ev->signaled) {
            if (!ev->manual_reset) ev->signaled = false;
            ++w.counts.wakes;
            return WAIT_OBJECT_0;
        }
        if (bounded && now() >= deadline) {
            ++w.counts.timeouts;
            return WAIT_TIMEOUT;
        }
        std::int64_t wake = next_signal_time(ev);
        if (bounded && (wake < 0 || wake > deadline)) wake = deadline;
        if (wake < 0)
            fatal("WaitForSingleObject(INFINITE) on an event that nothing will ever set: "
                  "no playing buffer will cross a notification position for it");
        if (w.sc.clock == time_base::virtual_ && wake <= now())
            fatal("the card model promised a notification it does not deliver");
        sleep_until(wake);
    }
}

DWORD GetTickCount() { return read_ms_clock(the_world().sc.tick); }

DWORD timeGetTime() { return read_ms_clock(the_world().sc.mm_time); }

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    const scenario& sc = the_world().sc;
    frequency->QuadPart = sc.qpc_frequency;
    return sc.qpc_frequency > 0 ? TRUE : FALSE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    const scenario& sc = the_world().sc;
    if (sc.qpc_frequency <= 0) {
        count->QuadPart = 0;
        return FALSE;
    }
    const wide_int counts = static_cast<wide_int>(drifted_ns(sc.qpc_ppm)) * sc.qpc_frequency / 1000000000;
    count->QuadPart = sc.qpc_start + static_cast<LONGLONG>(counts);
    return TRUE;
}

HWND GetDesktopWindow() {
    return reinterpret_cast<HWND>(const_cast<int*>(&desktop_window_marker));
}
