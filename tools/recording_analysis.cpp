#include "recording_analysis.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool silent(const std::int16_t* frame) { return frame[0] == 0 && frame[1] == 0; }

bool same(const std::int16_t* a, const std::int16_t* b) { return a[0] == b[0] && a[1] == b[1]; }

// The block phase that fits the recording best from frame `at` on, judged over one whole block
// (or what is left of the recording), among those that match frame `at` itself; -1 when none
// does. Ties go to the lowest phase.
int find_phase(const std::int16_t* samples, std::int64_t frames, std::int64_t at,
               const std::int16_t* block, int block_frames) {
    const std::int64_t window = std::min<std::int64_t>(block_frames, frames - at);
    int best = -1;
    std::int64_t best_misses = window + 1;
    for (int p = 0; p < block_frames; ++p) {
        if (!same(samples + 2 * at, block + 2 * p)) continue;
        std::int64_t misses = 0;
        for (std::int64_t k = 0; k < window && misses < best_misses; ++k)
            if (!same(samples + 2 * (at + k), block + 2 * ((p + k) % block_frames))) ++misses;
        if (misses < best_misses) {
            best = p;
            best_misses = misses;
            if (misses == 0) break;
        }
    }
    return best;
}

std::string seconds(std::int64_t frames) {
    char text[48];
    std::snprintf(text, sizeof text, "%.6f s", static_cast<double>(frames) / 48000.0);
    return text;
}

}  // namespace

recording_report analyse_recording(const std::int16_t* samples, std::int64_t frames,
                                   const std::int16_t* block, int block_frames,
                                   std::int64_t expected_tone_frames,
                                   std::int64_t allowed_shortfall) {
    recording_report r;
    r.frames = frames;
    int block_peak = 0;
    for (int k = 0; k < 2 * block_frames; ++k)
        block_peak = std::max(block_peak, std::abs(block[k]));
    for (std::int64_t i = 0; i < frames; ++i) {
        const std::int16_t* f = samples + 2 * i;
        if (f[0] != f[1]) ++r.channel_differences;
        r.peak = std::max({r.peak, std::abs(f[0]), std::abs(f[1])});
    }

    std::int64_t first = 0;
    while (first < frames && silent(samples + 2 * first)) ++first;
    if (first == frames) {
        r.leading_silence = frames;
        r.problems.push_back("no tone in the recording");
        return r;
    }
    std::int64_t last = frames - 1;
    while (silent(samples + 2 * last)) --last;

    // The tone starts at the first non-zero frame, with the block phase that fits there (0, as a
    // mismatch, when none does), and moves back over the silent frames the block starts with if
    // it begins right after them. Zero crossings inside the block are not taken: a silent frame
    // there cannot tell tone from silence. The tone ends with its last non-zero frame.
    int phase = std::max(0, find_phase(samples, frames, first, block, block_frames));
    std::int64_t start = first;
    auto silent_run = [&](std::int64_t from, int count, int block_from) {
        for (int k = 0; k < count; ++k)
            if (!silent(samples + 2 * (from + k)) || !silent(block + 2 * (block_from + k)))
                return false;
        return true;
    };
    if (phase <= start && silent_run(start - phase, phase, 0)) {
        start -= phase;
        phase = 0;
    }
    auto phase_at = [&](std::int64_t i) {
        return static_cast<int>((phase + (i - start)) % block_frames);
    };
    const std::int64_t end = last + 1;

    r.start_phase = phase;
    r.leading_silence = start;
    r.tone_frames = end - start;
    r.trailing_silence = frames - end;
    // The block is 40 cycles of 48 frames, equal but for the odd sample rounded the other way:
    // sound shifted by whole cycles matches nearly everywhere. A glitch therefore lasts until a
    // whole block matches again.
    recording_glitch g;
    std::int64_t last_miss = -1;
    auto close_glitch = [&] {
        if (r.glitches.size() == recording_report::max_glitches) return;
        g.frames = last_miss + 1 - g.start;
        for (std::int64_t k = g.start; k <= last_miss; ++k)
            if (silent(samples + 2 * k)) ++g.silent;
        const int fit = find_phase(samples, g.start + g.frames, g.start, block, block_frames);
        const int shift = (fit - phase_at(g.start) + block_frames) % block_frames;
        if (fit >= 0 && g.silent < g.frames)
            g.offset = shift > block_frames / 2 ? shift - block_frames : shift;
        r.glitches.push_back(g);
    };
    for (std::int64_t i = start; i < end; ++i) {
        if (same(samples + 2 * i, block + 2 * phase_at(i))) {
            if (last_miss >= 0 && i - last_miss == block_frames) {
                close_glitch();
                last_miss = -1;
            }
            continue;
        }
        if (r.mismatches++ == 0) r.first_mismatch = i;
        if (last_miss < 0) g = recording_glitch{i, 0, 0, 0};
        last_miss = i;
    }
    if (last_miss >= 0) close_glitch();

    if (r.mismatches > 0)
        r.problems.push_back(std::to_string(r.mismatches) +
                             " tone frames differ from the block, the first at " +
                             seconds(r.first_mismatch));
    if (r.channel_differences > 0)
        r.problems.push_back(std::to_string(r.channel_differences) + " frames with left != right");
    if (r.start_phase > allowed_shortfall)
        r.problems.push_back("the tone starts at block frame " + std::to_string(r.start_phase) +
                             ", more than " + std::to_string(allowed_shortfall) +
                             " frames into the block");
    // Whatever was lost at the start, it was at least start_phase frames.
    if (r.tone_frames > expected_tone_frames - r.start_phase ||
        r.tone_frames < expected_tone_frames - allowed_shortfall)
        r.problems.push_back("the tone lasts " + seconds(r.tone_frames) + " (" +
                             std::to_string(r.tone_frames) + " frames), expected " +
                             seconds(expected_tone_frames) + " (" +
                             std::to_string(expected_tone_frames) + " frames)" +
                             (allowed_shortfall > 0
                                  ? " less at most " + std::to_string(allowed_shortfall) + " frames"
                                  : std::string()));
    if (r.peak != block_peak)
        r.problems.push_back("peak level " + std::to_string(r.peak) + ", the block's is " +
                             std::to_string(block_peak));
    if (r.leading_silence == 0)
        r.problems.push_back("no silence before the tone: the recording may have missed its start");
    if (r.trailing_silence == 0)
        r.problems.push_back("no silence after the tone: the recording may have missed its end");
    return r;
}
