// clockdrift-sim: the clockdrift driver on the simulated card and virtual time, so a 100 s run
// takes a fraction of a second. Its options set the scenario; the driver itself reads nothing.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "standin_control.h"

int clockdrift_main();  // the driver's entry point, renamed for this build

namespace {

const char usage[] =
    "usage: clockdrift-sim [options]\n"
    "Runs clockdrift on a simulated sound card in virtual time.\n"
    "  --card-ppm P          the card plays P ppm more frames per second than nominal\n"
    "  --tick-ppm P          GetTickCount counts P ppm fast (negative: slow)\n"
    "  --time-ppm P          timeGetTime counts P ppm fast\n"
    "  --qpc-ppm P           the performance counter counts P ppm fast\n"
    "  --tick-step MS        resolution of GetTickCount (default 1, e.g. 15.625)\n"
    "  --time-step MS        resolution of timeGetTime (default 1)\n"
    "  --tick-start MS       GetTickCount at the start (to test a wrap of the counter)\n"
    "  --time-start MS       timeGetTime at the start\n"
    "  --qpc-freq HZ         performance-counter frequency (default 10000000; 0: none)\n"
    "  --granularity MS      the play cursor moves in steps of MS (default 10; 0: exact)\n"
    "  --fail CALL:N[:always][:HRESULT]\n"
    "                        the Nth call of CALL fails, once or from then on\n"
    "  --stop-device-at S    the device goes away S seconds in: the buffer stops\n"
    "  --freeze-device-at S  the device stalls S seconds in: cursor frozen, still 'playing'\n"
    "  --no-device           there is no playback device\n"
    "  --stats               print the card's counts on standard error after the run\n"
    "  --help                this text\n"
    "CALL is one of:";

[[noreturn]] void bad_usage(const std::string& what) {
    std::fprintf(stderr, "clockdrift-sim: %s (see --help)\n", what.c_str());
    std::exit(2);
}

double number(const std::string& option, const char* text) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0') bad_usage("bad value for " + option + ": " + text);
    return v;
}

long long integer(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        bad_usage("bad value for " + option + ": " + text);
    return v;
}

// CALL:N[:always][:HRESULT]
standin::fault parse_fault(const std::string& spec) {
    standin::fault f;
    std::string parts[4];
    int count = 0;
    std::size_t from = 0;
    for (;;) {
        std::size_t colon = spec.find(':', from);
        if (count == 4) bad_usage("bad --fail: " + spec);
        parts[count++] = spec.substr(from, colon == std::string::npos ? colon : colon - from);
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    if (count < 2 || !standin::call_from_name(parts[0], &f.target))
        bad_usage("bad --fail: " + spec);
    long long nth = integer("--fail", parts[1]);
    if (nth < 1 || nth > 0xFFFFFFFFLL) bad_usage("bad --fail: " + spec);
    f.nth = static_cast<std::uint32_t>(nth);
    int next = 2;
    if (next < count && parts[next] == "always") {
        f.always = true;
        ++next;
    }
    if (next < count) {
        long long result = integer("--fail", parts[next++]);
        if (result < -0x80000000LL || result > 0xFFFFFFFFLL) bad_usage("bad --fail: " + spec);
        f.has_result = true;
        f.result = static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
    }
    if (next != count) bad_usage("bad --fail: " + spec);
    return f;
}

void print_stats() {
    standin::stats s = standin::get_stats();
    std::fprintf(stderr, "sim-stats: waits=%llu wakes=%llu timeouts=%llu notifications=%llu\n",
                 static_cast<unsigned long long>(s.waits), static_cast<unsigned long long>(s.wakes),
                 static_cast<unsigned long long>(s.timeouts),
                 static_cast<unsigned long long>(s.notifications));
    std::fprintf(stderr, "sim-stats: locks=%llu cursor-reads=%llu status-reads=%llu\n",
                 static_cast<unsigned long long>(standin::calls_of(standin::call::Lock)),
                 static_cast<unsigned long long>(standin::calls_of(standin::call::GetCurrentPosition)),
                 static_cast<unsigned long long>(standin::calls_of(standin::call::GetStatus)));
    std::fprintf(stderr, "sim-stats: live-interfaces=%d live-events=%d virtual-ns=%lld\n",
                 s.live_interfaces, s.live_events, static_cast<long long>(standin::now_ns()));
}

}  // namespace

int main(int argc, char** argv) {
    standin::scenario sc;
    sc.clock = standin::time_base::virtual_;
    bool stats = false;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) bad_usage(opt + " needs a value");
            return argv[++i];
        };
        if (opt == "--help") {
            std::printf("%s", usage);
            for (int c = 0; c < static_cast<int>(standin::call::count); ++c)
                std::printf(" %s", standin::call_name(static_cast<standin::call>(c)));
            std::printf("\n");
            return 0;
        } else if (opt == "--card-ppm") {
            sc.card_ppm = number(opt, value());
        } else if (opt == "--tick-ppm") {
            sc.tick.ppm = number(opt, value());
        } else if (opt == "--time-ppm") {
            sc.mm_time.ppm = number(opt, value());
        } else if (opt == "--qpc-ppm") {
            sc.qpc_ppm = number(opt, value());
        } else if (opt == "--tick-step") {
            sc.tick.step_ms = number(opt, value());
        } else if (opt == "--time-step") {
            sc.mm_time.step_ms = number(opt, value());
        } else if (opt == "--tick-start") {
            sc.tick.start_ms = number(opt, value());
        } else if (opt == "--time-start") {
            sc.mm_time.start_ms = number(opt, value());
        } else if (opt == "--qpc-freq") {
            sc.qpc_frequency = integer(opt, value());
        } else if (opt == "--granularity") {
            sc.granularity_ms = number(opt, value());
        } else if (opt == "--fail") {
            sc.faults.push_back(parse_fault(value()));
        } else if (opt == "--stop-device-at") {
            sc.stop_device_at_s = number(opt, value());
        } else if (opt == "--freeze-device-at") {
            sc.freeze_device_at_s = number(opt, value());
        } else if (opt == "--no-device") {
            sc.no_device = true;
        } else if (opt == "--stats") {
            stats = true;
        } else {
            bad_usage("unknown option " + opt);
        }
    }
    standin::start(sc);
    int status = clockdrift_main();
    std::fflush(stdout);
    if (stats) print_stats();
    return status;
}
