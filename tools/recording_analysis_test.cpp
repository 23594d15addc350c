// The recording analysis against made-up recordings: a clean one, one cut at the ends the way
// Wine's output cuts it, and one for each way a real playback goes wrong (lost, repeated or stale
// sound, dropouts, single bad samples, channel faults, a recorder that missed the start or the
// end).
#include "recording_analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "main.h"

namespace {

constexpr int rate = 48000;
constexpr std::int64_t lead = rate / 4;
constexpr std::int64_t tone = 3 * rate;  // 75 blocks
constexpr std::int64_t trail = rate / 5;
constexpr std::int64_t mid = lead + tone / 2;
constexpr std::int64_t allowance = rate / 10;  // 100 ms, as the Wine check allows

using samples = std::vector<std::int16_t>;

const samples& block() {
    static const samples b = [] {
        static unsigned char bytes[tone_bytes];
        make_tone(bytes);
        samples s(2 * tone_frames);
        for (std::size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        return s;
    }();
    return b;
}

// Silence, the tone from block frame `phase` on for `frames` frames, silence.
samples recording(std::int64_t before, std::int64_t frames, std::int64_t after, int phase = 0) {
    samples r(static_cast<std::size_t>(2 * (before + frames + after)), 0);
    for (std::int64_t k = 0; k < frames; ++k)
        for (int c = 0; c < 2; ++c)
            r[2 * (before + k) + c] = block()[2 * ((phase + k) % tone_frames) + c];
    return r;
}

samples clean() { return recording(lead, tone, trail); }

std::ptrdiff_t at(std::int64_t frame) { return static_cast<std::ptrdiff_t>(2 * frame); }

// Frames [from, to) played once more right after they first played.
samples with_repeat(samples r, std::int64_t from, std::int64_t to) {
    samples again(r.begin() + at(from), r.begin() + at(to));
    r.insert(r.begin() + at(to), again.begin(), again.end());
    return r;
}

recording_report analyse(const samples& r, std::int64_t allowed_shortfall = 0) {
    return analyse_recording(r.data(), static_cast<std::int64_t>(r.size() / 2), block().data(),
                             tone_frames, tone, allowed_shortfall);
}

TEST(RecordingAnalysis, CleanRecordingPassesWithItsExactFigures) {
    const recording_report r = analyse(clean());
    EXPECT_TRUE(r.passed());
    EXPECT_EQ(r.frames, lead + tone + trail);
    EXPECT_EQ(r.leading_silence, lead);
    EXPECT_EQ(r.tone_frames, tone);
    EXPECT_EQ(r.trailing_silence, trail);
    EXPECT_EQ(r.start_phase, 0);
    EXPECT_EQ(r.peak, 8192);
    EXPECT_EQ(r.mismatches, 0);
    EXPECT_EQ(r.first_mismatch, -1);
    EXPECT_EQ(r.channel_differences, 0);
}

TEST(RecordingAnalysis, EndsCutWithinTheAllowancePassOnlyWithIt) {
    // 304 frames lost as the stream starts, 45 ms as it is torn down.
    const samples cut = recording(lead, tone - 304 - 2160, trail, 304);
    const recording_report r = analyse(cut, allowance);
    EXPECT_TRUE(r.passed());
    EXPECT_EQ(r.start_phase, 304);
    EXPECT_EQ(r.leading_silence, lead);
    EXPECT_EQ(r.tone_frames, tone - 2464);
    EXPECT_EQ(r.mismatches, 0);
    EXPECT_FALSE(analyse(cut).passed()) << "nothing may be missing without an allowance";
}

struct fault {
    const char* name;
    std::int64_t allowed_shortfall;
    std::function<samples()> make;
    std::function<bool(const recording_report&)> figures;  // what the report must also say
};

std::ostream& operator<<(std::ostream& out, const fault& f) { return out << f.name; }

std::string glitches(const recording_report& r) {
    std::string text;
    for (const recording_glitch& g : r.glitches)
        text += "; glitch at " + std::to_string(g.start) + ", " + std::to_string(g.frames) +
                " frames, " + std::to_string(g.silent) + " silent, offset " +
                std::to_string(g.offset);
    return text;
}

class RecordingFault : public ::testing::TestWithParam<fault> {};

TEST_P(RecordingFault, FailsAndTheFiguresShowWhy) {
    const recording_report r = analyse(GetParam().make(), GetParam().allowed_shortfall);
    EXPECT_FALSE(r.passed());
    EXPECT_TRUE(GetParam().figures(r))
        << "tone " << r.tone_frames << ", lead " << r.leading_silence << ", trail "
        << r.trailing_silence << ", phase " << r.start_phase << ", peak " << r.peak
        << ", left != right " << r.channel_differences << ", mismatches " << r.mismatches
        << " from " << r.first_mismatch << glitches(r);
}

const fault faults[] = {
    {"10 ms lost in the middle", 0,
     [] {
         samples r = clean();
         r.erase(r.begin() + at(mid), r.begin() + at(mid + 480));
         return r;
     },
     [](const recording_report& r) {
         return r.mismatches > 0 && r.first_mismatch >= mid && r.glitches.size() == 1 &&
                r.glitches[0].offset == 480;
     }},
    // 3000 frames back is 840 frames on, in a block of 1920.
    {"one period of 62.5 ms played twice", 0, [] { return with_repeat(clean(), mid - 3000, mid); },
     [](const recording_report& r) {
         return r.mismatches > 0 && r.first_mismatch >= mid && r.glitches.size() == 1 &&
                r.glitches[0].offset == 840;
     }},
    // A looping buffer of one second that plays stale data again: 25 whole blocks, no seam.
    {"the whole buffer played again", 0, [] { return with_repeat(clean(), mid - rate, mid); },
     [](const recording_report& r) { return r.mismatches == 0 && r.tone_frames == tone + rate; }},
    {"the whole buffer played again, with the ends allowed short", allowance,
     [] { return with_repeat(recording(lead, tone - 2000, trail, 1000), mid - rate, mid); },
     [](const recording_report& r) { return r.mismatches == 0 && r.tone_frames > tone; }},
    {"a dropout of silence in the middle", 0,
     [] {
         samples r = clean();
         std::fill(r.begin() + at(mid), r.begin() + at(mid + 100), 0);
         return r;
     },
     [](const recording_report& r) {
         return r.mismatches > 0 && r.tone_frames == tone && r.glitches.size() == 1 &&
                r.glitches[0].silent == r.glitches[0].frames && r.glitches[0].offset == 0;
     }},
    {"one sample one step off in the left channel", 0,
     [] {
         samples r = clean();
         r[at(mid + 7)] += 1;
         return r;
     },
     [](const recording_report& r) {
         return r.mismatches == 1 && r.first_mismatch == mid + 7 && r.channel_differences == 1 &&
                r.glitches.size() == 1 && r.glitches[0].start == mid + 7 &&
                r.glitches[0].frames == 1;
     }},
    {"the right channel silent", 0,
     [] {
         samples r = clean();
         for (std::size_t i = 1; i < r.size(); i += 2) r[i] = 0;
         return r;
     },
     [](const recording_report& r) { return r.channel_differences > 0 && r.mismatches > 0; }},
    {"the tone at half the level", 0,
     [] {
         samples r = clean();
         for (auto& s : r) s = static_cast<std::int16_t>(s / 2);
         return r;
     },
     [](const recording_report& r) { return r.peak == 4096 && r.mismatches > 0; }},
    {"the tone starting 100 frames into the block", 0,
     [] { return recording(lead, tone, trail, 100); },
     [](const recording_report& r) {
         return r.start_phase == 100 && r.tone_frames == tone && r.mismatches == 0;
     }},
    // Lost at the start are at least the 1000 frames before its phase: the full length is too long.
    {"the tone starting 1000 frames into the block yet running its full length", allowance,
     [] { return recording(lead, tone, trail, 1000); },
     [](const recording_report& r) {
         return r.start_phase == 1000 && r.tone_frames == tone && r.mismatches == 0;
     }},
    {"the last block cut short", 0, [] { return recording(lead, tone - 100, trail); },
     [](const recording_report& r) { return r.tone_frames == tone - 100 && r.mismatches == 0; }},
    {"150 ms missing at the end with 100 ms allowed", allowance,
     [] { return recording(lead, tone - rate * 3 / 20, trail); },
     [](const recording_report& r) { return r.mismatches == 0 && r.start_phase == 0; }},
    {"the recorder started after the tone", 0,
     [] {
         samples r = clean();
         r.erase(r.begin(), r.begin() + at(lead));
         return r;
     },
     [](const recording_report& r) { return r.leading_silence == 0 && r.tone_frames == tone; }},
    {"the recorder stopped before the silence after the tone", 0,
     [] { return recording(lead, tone, 0); },
     [](const recording_report& r) { return r.trailing_silence == 0 && r.tone_frames == tone; }},
    {"a click in the silence before the tone", 0,
     [] {
         samples r = clean();
         r[at(lead / 2)] = 300;
         r[at(lead / 2) + 1] = 300;
         return r;
     },
     [](const recording_report& r) { return r.mismatches > 0; }},
    {"nothing but silence", 0, [] { return samples(at(lead + tone + trail), 0); },
     [](const recording_report& r) { return r.start_phase == -1 && r.tone_frames == 0; }},
};

INSTANTIATE_TEST_SUITE_P(Playback, RecordingFault, ::testing::ValuesIn(faults),
                         [](const ::testing::TestParamInfo<fault>& info) {
                             // "the whole buffer played again" -> TheWholeBufferPlayedAgain
                             std::string name;
                             bool word_start = true;
                             for (const char* c = info.param.name; *c != '\0'; ++c) {
                                 const auto u = static_cast<unsigned char>(*c);
                                 if (std::isalnum(u) == 0) {
                                     word_start = true;
                                     continue;
                                 }
                                 name += word_start ? static_cast<char>(std::toupper(u)) : *c;
                                 word_start = false;
                             }
                             return name;
                         });

}  // namespace
