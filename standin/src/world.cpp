#include "world.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace standin::detail {

namespace {

std::int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

world make_world(const scenario& s) {
    world w;
    w.sc = s;
    if (s.clock == time_base::monotonic) w.origin_ns = monotonic_ns();
    return w;
}

std::int32_t usual_failure(call c) {
    switch (c) {
    case call::CreateEventW: return 0;
    case call::WaitForSingleObject: return static_cast<std::int32_t>(WAIT_FAILED);
    default: return E_FAIL;
    }
}

const char* const call_names[] = {
    "DirectSoundCreate8", "SetCooperativeLevel", "CreateSoundBuffer", "SetFormat",
    "QueryInterface",     "SetNotificationPositions", "GetStatus", "GetCurrentPosition",
    "Lock",               "Unlock",             "Restore",           "Play",
    "Stop",               "CreateEventW",       "WaitForSingleObject",
};
static_assert(sizeof call_names / sizeof call_names[0] == static_cast<int>(call::count),
              "every call has a name");

}  // namespace

world& the_world() {
    static world w = make_world(scenario{});
    return w;
}

std::int64_t now() {
    world& w = the_world();
    if (w.sc.clock == time_base::virtual_) return w.virtual_ns;
    return monotonic_ns() - w.origin_ns;
}

void sleep_until(std::int64_t t_ns) {
    world& w = the_world();
    if (w.sc.clock == time_base::virtual_) {
        if (t_ns > w.virtual_ns) w.virtual_ns = t_ns;
        return;
    }
    std::int64_t abs_ns = w.origin_ns + t_ns;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(abs_ns / 1000000000);
    ts.tv_nsec = static_cast<long>(abs_ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

std::optional<std::int32_t> planted_fault(call c) {
    world& w = the_world();
    std::uint64_t n = ++w.counts.calls[static_cast<int>(c)];
    for (const fault& f : w.sc.faults) {
        if (f.target != c) continue;
        if (n == f.nth || (f.always && n > f.nth))
            return f.has_result ? f.result : usual_failure(c);
    }
    return std::nullopt;
}

void signal(event_object* ev) { ev->signaled = true; }

bool is_live_event(HANDLE h) {
    world& w = the_world();
    return w.events.count(static_cast<event_object*>(h)) != 0;
}

void fatal(const char* message) {
    std::fprintf(stderr, "standin: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

const char* call_name(call c) { return call_names[static_cast<int>(c)]; }

bool call_from_name(const std::string& name, call* out) {
    for (int i = 0; i < static_cast<int>(call::count); ++i) {
        if (name == call_names[i]) {
            *out = static_cast<call>(i);
            return true;
        }
    }
    return false;
}

void start(const scenario& s) { the_world() = make_world(s); }

void plant(const fault& f) { the_world().sc.faults.push_back(f); }

const std::vector<std::uint8_t>& played_bytes() { return the_world().played; }

void advance_time(std::int64_t ns) {
    world& w = the_world();
    if (w.sc.clock != time_base::virtual_) fatal("advance_time needs the virtual time base");
    sleep_until(w.virtual_ns + ns);
    play_cards_until(now());
}

std::int64_t now_ns() { return now(); }

stats get_stats() { return the_world().counts; }

std::uint64_t calls_of(call c) { return the_world().counts.calls[static_cast<int>(c)]; }

}  // namespace standin
