// Analysis of what clockdrift.exe really sent to the sound server: a raw recording of the output
// (interleaved little-endian 16-bit stereo at 48 000 frames/s) is checked against the tone block
// the program plays over and over, frame by frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A stretch of the tone that differs from the block: it begins with a mismatch and ends with the
// last mismatch before a whole block matches again.
struct recording_glitch {
    std::int64_t start = 0;   // frame index in the recording
    std::int64_t frames = 0;  // up to and with the last mismatch
    std::int64_t silent = 0;  // all-zero frames among them
    // Where the stretch's content best fits the block, against where it should be, in frames
    // (-959 to 960): negative means sound from earlier in the stream (a repeat), positive sound
    // from later (a loss). 0 when the content fits nowhere better, or is silence.
    int offset = 0;
};

struct recording_report {
    std::int64_t frames = 0;               // the whole recording
    std::int64_t leading_silence = 0;      // all-zero frames before the tone
    std::int64_t tone_frames = 0;          // from the first to the last frame of the tone
    std::int64_t trailing_silence = 0;     // all-zero frames after the tone
    int start_phase = -1;                  // block frame the tone starts with; -1: no tone at all
    int peak = 0;                          // largest magnitude of any sample in the recording
    std::int64_t channel_differences = 0;  // frames whose left and right samples differ
    std::int64_t mismatches = 0;           // tone frames that differ from the block at their phase
    std::int64_t first_mismatch = -1;      // frame index of the first of them, -1 when none
    std::vector<recording_glitch> glitches;  // where they are; the first max_glitches of them
    std::vector<std::string> problems;       // why the recording fails; empty when it passes

    bool passed() const { return problems.empty(); }
    static constexpr std::size_t max_glitches = 20;
};

// samples: the recording, 2 * frames values. block: the tone block, 2 * block_frames values,
// expected to be played back to back starting with its frame 0, expected_tone_frames in all.
// allowed_shortfall: how many frames of that may be missing at the two ends together; never more
// may be there. Frames lost at the start show as the block frame the tone starts with.
//
// The tone is taken to start at the first non-zero frame (moved back over the zero frames the
// block itself starts with) and to end with the last non-zero frame. In between, every frame must
// equal the block at its phase, so a gap, a repeat, a lost piece or a single wrong sample all show
// as mismatches; a stale replay of whole blocks shows in the length.
recording_report analyse_recording(const std::int16_t* samples, std::int64_t frames,
                                   const std::int16_t* block, int block_frames,
                                   std::int64_t expected_tone_frames,
                                   std::int64_t allowed_shortfall = 0);
