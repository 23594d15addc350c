// recording_check FILE [SECONDS [SHORT_MS]]
//
// Checks a raw recording (s16le, 2 channels, 48 000 frames/s) of what clockdrift played: the tone
// block from make_tone(), back to back for SECONDS seconds (100 unless given), with nothing but
// silence around it. Up to SHORT_MS milliseconds (0 unless given) may be missing at the ends of the
// tone together, for outputs that lose a little when a stream starts or is torn down; nothing may
// be missing, repeated or changed in between. Prints the figures and exits 0 when the recording
// passes, 1 when it does not, 2 on bad arguments or when the file cannot be read.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "main.h"
#include "recording_analysis.h"

namespace {

constexpr int rate = 48000;

void print_time(const char* label, std::int64_t frames) {
    std::printf("%-18s %.6f s (%lld frames)\n", label, static_cast<double>(frames) / rate,
                static_cast<long long>(frames));
}

bool number(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && *value >= low && *value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s RECORDING.raw [TONE_SECONDS [SHORT_MS]]\n", argv[0]);
        return 2;
    }
    long seconds = 100;
    long short_ms = 0;
    if (argc >= 3 && !number(argv[2], 1, 3600, &seconds)) {
        std::fprintf(stderr, "recording_check: bad tone length '%s'\n", argv[2]);
        return 2;
    }
    if (argc == 4 && !number(argv[3], 0, 1000 * seconds, &short_ms)) {
        std::fprintf(stderr, "recording_check: bad shortfall '%s'\n", argv[3]);
        return 2;
    }

    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "recording_check: %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    std::vector<unsigned char> bytes;
    unsigned char chunk[1 << 16];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    const bool read_error = std::ferror(f) != 0;
    std::fclose(f);
    if (read_error) {
        std::fprintf(stderr, "recording_check: %s: read error\n", argv[1]);
        return 2;
    }
    if (bytes.size() % 4 != 0)
        std::printf("note: %zu stray bytes after the last whole frame ignored\n", bytes.size() % 4);

    // Little-endian on disk, whatever this machine is.
    const std::int64_t frames = static_cast<std::int64_t>(bytes.size() / 4);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(2 * frames));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));

    static unsigned char tone[tone_bytes];
    make_tone(tone);
    std::vector<std::int16_t> block(2 * tone_frames);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::int16_t>(tone[2 * i] | (tone[2 * i + 1] << 8));

    const recording_report r = analyse_recording(samples.data(), frames, block.data(), tone_frames,
                                                 seconds * rate, short_ms * rate / 1000);
    print_time("recording:", r.frames);
    print_time("leading silence:", r.leading_silence);
    print_time("tone:", r.tone_frames);
    print_time("trailing silence:", r.trailing_silence);
    print_time("tone short by:", seconds * rate - r.tone_frames);
    std::printf("%-18s %d\n", "start phase:", r.start_phase);
    std::printf("%-18s %d (%.2f dBFS)\n", "peak:", r.peak,
                r.peak > 0 ? 20.0 * std::log10(r.peak / 32768.0) : -999.0);
    std::printf("%-18s %lld\n", "left != right:", static_cast<long long>(r.channel_differences));
    std::printf("%-18s %lld\n", "mismatches:", static_cast<long long>(r.mismatches));
    for (const recording_glitch& g : r.glitches)
        std::printf("glitch at %.6f s: %lld frames, %lld of them silent, content %d frames off\n",
                    static_cast<double>(g.start) / rate, static_cast<long long>(g.frames),
                    static_cast<long long>(g.silent), g.offset);
    if (r.glitches.size() == recording_report::max_glitches) std::printf("(and maybe more)\n");
    for (const auto& p : r.problems) std::printf("problem: %s\n", p.c_str());
    std::printf("%s\n", r.passed() ? "recording OK" : "recording FAILED");
    return r.passed() ? 0 : 1;
}
