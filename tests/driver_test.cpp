// clockdrift as a process: clockdrift-sim runs the driver on the simulated card in virtual time,
// and these tests compare its standard output, standard error and exit status with what the
// driver must print in each scenario.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "run_process.h"

namespace {

using args_t = std::vector<std::string>;

process_result sim(const args_t& args) { return run_process(CLOCKDRIFT_SIM, args); }

std::string joined(const args_t& args) {
    std::string s = "clockdrift-sim";
    for (const std::string& a : args) s += " " + a;
    return s;
}

// gtest parameter names: letters, digits and underscores only.
std::string name_part(std::string s) {
    for (char& c : s)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return s;
}

const std::string banner =
    "soundcard / pc clock difference megerment\n"
    "playing 1kHz tone ... wait 100 seconds\n";
const std::string header = "\tDevice\tTick\tTime\tPeformanceCounter\n";
const std::string diff_title = "Diff:\n";
const std::string zero_diff = "\tTick=0, Time=0, PerformanceCounter=0\n";
constexpr int row_count = 20;

// Splits at '\n'. Every piece keeps its '\n', so a last line without one stays visible.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t nl = text.find('\n', from);
        std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(from, end - from));
        from = end;
    }
    return lines;
}

// One table row, every column in milliseconds.
struct row {
    long long device, tick, time, counter;
    long long column(int i) const { return i == 0 ? device : i == 1 ? tick : i == 2 ? time : counter; }
};

// "\t%d.%03d" four times: seconds without leading zeros, exactly three digits of milliseconds.
std::optional<row> parse_row(const std::string& line) {
    static const std::regex form(
        "\t(0|[1-9][0-9]*)\\.([0-9]{3})\t(0|[1-9][0-9]*)\\.([0-9]{3})"
        "\t(0|[1-9][0-9]*)\\.([0-9]{3})\t(0|[1-9][0-9]*)\\.([0-9]{3})\n");
    std::smatch m;
    if (!std::regex_match(line, m, form)) return std::nullopt;
    auto ms = [&](int i) { return std::stoll(m[i]) * 1000 + std::stoll(m[i + 1]); };
    return row{ms(1), ms(3), ms(5), ms(7)};
}

struct diff {
    long long tick, time, counter;
};

std::optional<diff> parse_diff(const std::string& line) {
    static const std::regex form(
        "\tTick=(0|-?[1-9][0-9]*), Time=(0|-?[1-9][0-9]*), PerformanceCounter=(0|-?[1-9][0-9]*)\n");
    std::smatch m;
    if (!std::regex_match(line, m, form)) return std::nullopt;
    return diff{std::stoll(m[1]), std::stoll(m[2]), std::stoll(m[3])};
}

struct complete_run {
    std::vector<row> rows;
    diff result;
};

// The standard output of a run that went to the end, taken apart; a test failure saying what is
// out of place, and nullopt, when it is not laid out as one.
std::optional<complete_run> parse_complete_run(const std::string& out) {
    const std::vector<std::string> lines = lines_of(out);
    if (lines.size() != 2 + 1 + row_count + 2) {
        ADD_FAILURE() << "expected " << 2 + 1 + row_count + 2 << " lines, got " << lines.size()
                      << ":\n" << out;
        return std::nullopt;
    }
    if (lines[0] + lines[1] != banner || lines[2] != header || lines[3 + row_count] != diff_title) {
        ADD_FAILURE() << "banner, header or \"Diff:\" out of place:\n" << out;
        return std::nullopt;
    }
    complete_run run{};
    for (int n = 0; n < row_count; ++n) {
        std::optional<row> r = parse_row(lines[3 + n]);
        if (!r) {
            ADD_FAILURE() << "row " << n + 1 << " is not \\t%d.%03d x4: \"" << lines[3 + n] << '"';
            return std::nullopt;
        }
        run.rows.push_back(*r);
    }
    std::optional<diff> d = parse_diff(lines.back());
    if (!d) {
        ADD_FAILURE() << "bad last line: \"" << lines.back() << '"';
        return std::nullopt;
    }
    run.result = *d;
    return run;
}

// The default scenario, run once and shared: the reference the other scenarios are held against.
const process_result& nominal() {
    static const process_result r = sim({});
    return r;
}

std::vector<std::string> nominal_rows() {
    std::vector<std::string> lines = lines_of(nominal().out);
    if (lines.size() < 3 + row_count) return {};
    return {lines.begin() + 3, lines.begin() + 3 + row_count};
}

// ---------------------------------------------------------------------------------------------
// 1. A nominal run: every clock agrees with the card.

class NominalRun : public ::testing::TestWithParam<args_t> {};

TEST_P(NominalRun, PrintsTwentyAgreeingRowsAndNoDifference) {
    const process_result r = sim(GetParam());
    ASSERT_TRUE(r.exited) << r.how_it_ended();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    std::optional<complete_run> run = parse_complete_run(r.out);
    ASSERT_TRUE(run);
    for (int n = 1; n <= row_count; ++n) {
        const row& x = run->rows[n - 1];
        // Row n follows the push that completed 5n s of sound; at most the one-second buffer
        // (and one notification period of slack) is still waiting.
        EXPECT_GE(x.device, 5000LL * n - 1000 - 62) << "row " << n;
        EXPECT_LE(x.device, 5000LL * n - 1000 + 100) << "row " << n;
        EXPECT_EQ(x.tick, x.device) << "row " << n;
        EXPECT_EQ(x.time, x.device) << "row " << n;
        EXPECT_EQ(x.counter, x.device) << "row " << n;
    }
    EXPECT_EQ(r.out.substr(r.out.size() - zero_diff.size()), zero_diff);
}

INSTANTIATE_TEST_SUITE_P(Cursor, NominalRun,
                         ::testing::Values(args_t{}, args_t{"--granularity", "0"}),
                         [](const auto& info) {
                             return info.param.empty() ? std::string("steps_of_10ms")
                                                       : std::string("exact");
                         });

// ---------------------------------------------------------------------------------------------
// 2. Drift: a fast card ends the 100 s of sound early, so the PC clocks count less than
// 100 000 ms; a fast PC clock counts more.

struct drift_case {
    std::string name;
    args_t args;
    double card_ppm = 0;
    double ppm[3] = {0, 0, 0};     // tick count, multimedia time, performance counter
    double step_ms[3] = {1, 1, 1};  // their resolution
};

std::vector<drift_case> drift_cases() {
    std::vector<drift_case> cases;
    for (int p : {50, -50, 200, -200, 1000, -1000}) {
        const std::string v = std::to_string(p);
        const std::string sign = p < 0 ? "minus_" + std::to_string(-p) : "plus_" + v;
        drift_case card{"card_" + sign, {"--card-ppm", v}};
        card.card_ppm = p;
        cases.push_back(card);
        const char* options[3] = {"--tick-ppm", "--time-ppm", "--qpc-ppm"};
        const char* names[3] = {"tick_", "time_", "counter_"};
        for (int c = 0; c < 3; ++c) {
            drift_case clock{names[c] + sign, {options[c], v}};
            clock.ppm[c] = p;
            cases.push_back(clock);
        }
        drift_case coarse{"coarse_tick_" + sign, {"--tick-ppm", v, "--tick-step", "15.625"}};
        coarse.ppm[0] = p;
        coarse.step_ms[0] = 16;
        cases.push_back(coarse);
    }
    return cases;
}

void PrintTo(const drift_case& c, std::ostream* os) { *os << joined(c.args); }

class Drift : public ::testing::TestWithParam<drift_case> {};

TEST_P(Drift, EachClockReportsItsOwnDrift) {
    const drift_case& c = GetParam();
    const process_result r = sim(c.args);
    ASSERT_TRUE(r.exited) << r.how_it_ended();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    std::optional<complete_run> run = parse_complete_run(r.out);
    ASSERT_TRUE(run) << joined(c.args);
    const char* clock_names[3] = {"Tick", "Time", "PerformanceCounter"};
    const long long reported[3] = {run->result.tick, run->result.time, run->result.counter};
    const double card = 1 + c.card_ppm * 1e-6;
    for (int k = 0; k < 3; ++k) {
        const double rate = (1 + c.ppm[k] * 1e-6) / card;  // PC-clock ms per ms of sound
        // 100 000 ms of sound take 100 000 / card ms; the counter's value is truncated toward zero.
        const double expected = 100000 * rate - 100000;
        EXPECT_NEAR(static_cast<double>(reported[k]), expected, c.step_ms[k])
            << clock_names[k] << " in " << joined(c.args);
        // The rows show the same drift in the right column. Within a cursor step of 10 ms the
        // cursor may lag the moment the clocks are read.
        for (int n = 0; n < row_count; ++n) {
            const row& x = run->rows[n];
            EXPECT_NEAR(static_cast<double>(x.column(k + 1)), x.device * rate, c.step_ms[k] + 10)
                << clock_names[k] << " column of row " << n + 1 << " in " << joined(c.args);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ppm, Drift, ::testing::ValuesIn(drift_cases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// 3. The 32-bit tick count and multimedia time wrap during the run: the output must not change.

class MillisecondClockWrap : public ::testing::TestWithParam<long long> {};

TEST_P(MillisecondClockWrap, ChangesNothing) {
    const std::string start = std::to_string(4294967295LL - GetParam());
    const process_result r = sim({"--tick-start", start, "--time-start", start});
    ASSERT_TRUE(r.exited) << r.how_it_ended();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, nominal().out) << "both clocks start at " << start;
}

// Milliseconds before the wrap: at once, mid-run, after the last row while the sound drains.
INSTANTIATE_TEST_SUITE_P(MsBeforeWrap, MillisecondClockWrap, ::testing::Values(0, 50000, 99500),
                         [](const auto& info) { return std::to_string(info.param); });

// ---------------------------------------------------------------------------------------------
// 4. Performance-counter frequencies.

class CounterFrequency : public ::testing::TestWithParam<const char*> {};

TEST_P(CounterFrequency, GivesTheNominalOutput) {
    const process_result r = sim({"--qpc-freq", GetParam()});
    ASSERT_TRUE(r.exited) << r.how_it_ended();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, nominal().out) << "at " << GetParam() << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Hz, CounterFrequency,
                         ::testing::Values("10000000", "3000000000", "5000000000"),
                         [](const auto& info) { return std::string(info.param); });

TEST(CounterFrequencyZero, CounterMeasuresNothing) {
    const process_result r = sim({"--qpc-freq", "0"});
    ASSERT_TRUE(r.exited) << r.how_it_ended();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    // The nominal output with 0.000 in the counter column and the whole 100 s missing at the end.
    std::string expected = banner + header;
    for (const std::string& line : nominal_rows())
        expected += line.substr(0, line.rfind('\t')) + "\t0.000\n";
    expected += diff_title + "\tTick=0, Time=0, PerformanceCounter=-100000\n";
    EXPECT_EQ(r.out, expected);
}

// ---------------------------------------------------------------------------------------------
// 5 and 6. Failures: a planted platform failure or a lost device ends the run with one message,
// status 1, and standard output as far as it got (the nominal output cut short, no "Diff:").

struct outcome_case {
    std::string name;
    args_t args;
    const char* failed_on;  // the operation named in the message; nullptr: the run completes
    bool header;
    int rows;
};

void PrintTo(const outcome_case& c, std::ostream* os) { *os << joined(c.args); }

std::string cut_short(const outcome_case& c) {
    std::string out = banner;
    if (c.header) out += header;
    const std::vector<std::string> rows = nominal_rows();
    for (int n = 0; n < c.rows && n < static_cast<int>(rows.size()); ++n) out += rows[n];
    return out;
}

class Outcome : public ::testing::TestWithParam<outcome_case> {};

TEST_P(Outcome, MessageStatusAndOutputSoFar) {
    const outcome_case& c = GetParam();
    ASSERT_EQ(nominal().exit_status, 0) << "the reference run failed";
    const process_result r = sim(c.args);
    ASSERT_TRUE(r.exited) << r.how_it_ended() << " in " << joined(c.args);
    if (c.failed_on == nullptr) {
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, nominal().out);
    } else {
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, std::string("error - failed on ") + c.failed_on + "\n");
        EXPECT_EQ(r.out, cut_short(c));
    }

    // The same run once more with the card's counts: everything the driver had open is released
    // on the way out, whichever way it ends.
    args_t with_stats = c.args;
    with_stats.push_back("--stats");
    const process_result s = sim(with_stats);
    ASSERT_TRUE(s.exited) << s.how_it_ended();
    EXPECT_EQ(s.exit_status, r.exit_status);
    EXPECT_EQ(s.out, r.out);
    EXPECT_EQ(s.err.compare(0, r.err.size(), r.err), 0) << s.err;
    EXPECT_NE(s.err.find("sim-stats: live-interfaces=0 live-events=0 "), std::string::npos)
        << s.err;
}

const char* const create = "create_pcm_play()";
const char* const init = "PCM_PLAY::init()";
const char* const push = "PCM_PLAY::push()";
const char* const drain = "PCM_PLAY::drain()";

// Each push of 40 ms locks the buffer once; the drain's silence is Lock 2501. Row n follows
// push 125n. Stop is first called by the drain.
INSTANTIATE_TEST_SUITE_P(
    PlantedFailure, Outcome,
    ::testing::Values(
        outcome_case{"no_event", {"--fail", "CreateEventW:1"}, create, false, 0},
        outcome_case{"no_device", {"--no-device"}, init, false, 0},
        outcome_case{"no_direct_sound", {"--fail", "DirectSoundCreate8:1"}, init, false, 0},
        outcome_case{"no_streaming_buffer", {"--fail", "CreateSoundBuffer:2"}, init, false, 0},
        outcome_case{"no_notifications", {"--fail", "SetNotificationPositions:1"}, init, false, 0},
        outcome_case{"lock_10", {"--fail", "Lock:10"}, push, true, 0},
        outcome_case{"lock_125_before_first_row", {"--fail", "Lock:125"}, push, true, 0},
        outcome_case{"lock_126_after_first_row", {"--fail", "Lock:126"}, push, true, 1},
        outcome_case{"lock_200", {"--fail", "Lock:200"}, push, true, 1},
        outcome_case{"lock_2500_last_push", {"--fail", "Lock:2500"}, push, true, 19},
        outcome_case{"lock_2501_drain_silence", {"--fail", "Lock:2501"}, drain, true, 20},
        outcome_case{"play", {"--fail", "Play:1"}, push, true, 0},
        outcome_case{"wait", {"--fail", "WaitForSingleObject:1"}, push, true, 0},
        outcome_case{"stop_in_drain", {"--fail", "Stop:1"}, drain, true, 20},
        // DSERR_BUFFERLOST: restored and locked again, the run completes.
        outcome_case{"buffer_lost_once", {"--fail", "Lock:5:0x88780096"}, nullptr, true, 20},
        // ... but not when the buffer stays lost or cannot be restored.
        outcome_case{"buffer_lost_always", {"--fail", "Lock:5:always:0x88780096"}, push, true, 0},
        outcome_case{"restore_fails",
                     {"--fail", "Lock:5:0x88780096", "--fail", "Restore:1"}, push, true, 0}),
    [](const auto& info) { return info.param.name; });

// The rows printed at 4.07 .. 29.07 s all come before a loss at 30 s; no row can show more.
// A loss at 99.5 s is after the last push, in the drain.
INSTANTIATE_TEST_SUITE_P(
    LostDevice, Outcome,
    ::testing::Values(
        outcome_case{"stopped_at_0_5", {"--stop-device-at", "0.5"}, push, true, 0},
        outcome_case{"frozen_at_0_5", {"--freeze-device-at", "0.5"}, push, true, 0},
        outcome_case{"stopped_at_30", {"--stop-device-at", "30"}, push, true, 6},
        outcome_case{"frozen_at_30", {"--freeze-device-at", "30"}, push, true, 6},
        outcome_case{"stopped_at_99_5", {"--stop-device-at", "99.5"}, drain, true, 20},
        outcome_case{"frozen_at_99_5", {"--freeze-device-at", "99.5"}, drain, true, 20},
        // After the sound has played out the loss changes nothing.
        outcome_case{"stopped_at_100_5", {"--stop-device-at", "100.5"}, nullptr, true, 20},
        outcome_case{"frozen_at_100_5", {"--freeze-device-at", "100.5"}, nullptr, true, 20}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// 7. --stats: the player sleeps until notifications instead of polling.

TEST(Stats, NominalRunWakesOnNotificationsOnly) {
    const process_result r = sim({"--stats"});
    ASSERT_TRUE(r.exited) << r.how_it_ended();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, nominal().out) << "the counts go to standard error only";
    const std::vector<std::string> lines = lines_of(r.err);
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("sim-stats:", 0), 0u) << line;

    std::smatch m;
    static const std::regex counts(
        "sim-stats: waits=([0-9]+) wakes=([0-9]+) timeouts=([0-9]+) notifications=([0-9]+)\n");
    ASSERT_TRUE(std::regex_match(lines[0], m, counts)) << lines[0];
    const long long waits = std::stoll(m[1]);
    const long long wakes = std::stoll(m[2]);
    const long long timeouts = std::stoll(m[3]);
    const long long notifications = std::stoll(m[4]);
    EXPECT_GT(notifications, 0);
    EXPECT_EQ(waits, wakes);
    EXPECT_EQ(timeouts, 0);
    EXPECT_LE(waits * 100, notifications * 105) << waits << " waits for " << notifications
                                                << " notifications";
    EXPECT_NE(r.err.find("sim-stats: live-interfaces=0 live-events=0 "), std::string::npos)
        << r.err;
}

// ---------------------------------------------------------------------------------------------
// 8. Options.

class BadOption : public ::testing::TestWithParam<args_t> {};

TEST_P(BadOption, RefusedWithStatusTwoBeforeAnythingRuns) {
    const process_result r = sim(GetParam());
    ASSERT_TRUE(r.exited) << r.how_it_ended();
    EXPECT_EQ(r.exit_status, 2) << joined(GetParam());
    EXPECT_EQ(r.out, "") << "the driver must not start";
    EXPECT_EQ(r.err.rfind("clockdrift-sim: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Args, BadOption,
    ::testing::Values(args_t{"--bogus"}, args_t{"-h"}, args_t{"--stats", "--card"},
                      args_t{"--card-ppm"}, args_t{"--card-ppm", "fast"},
                      args_t{"--qpc-freq", "1.5"}, args_t{"--fail", "Lock"},
                      args_t{"--fail", "Nothing:1"}, args_t{"--fail", "Lock:0"},
                      args_t{"--fail", "Lock:1:sometimes"}),
    [](const auto& info) {
        std::string name;
        for (const std::string& a : info.param) name += (name.empty() ? "" : "_") + a;
        return name_part(name);
    });

TEST(Help, ListsEveryOptionOnStandardOutput) {
    const process_result r = sim({"--help"});
    ASSERT_TRUE(r.exited) << r.how_it_ended();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("usage: clockdrift-sim", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find(banner), std::string::npos) << "the driver must not run";
    for (const char* option :
         {"--card-ppm", "--tick-ppm", "--time-ppm", "--qpc-ppm", "--tick-step", "--time-step",
          "--tick-start", "--time-start", "--qpc-freq", "--granularity", "--fail",
          "--stop-device-at", "--freeze-device-at", "--no-device", "--stats", "--help"})
        EXPECT_NE(r.out.find(std::string("\n  ") + option + " "), std::string::npos)
            << option << " is not listed";
}

}  // namespace
