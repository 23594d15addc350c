// clockdrift: plays a 1 kHz tone for 100 s and compares the sound card's play position with the
// PC's tick count, multimedia timer and performance counter.
#include "main.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cmath>

#include "pcm_play.h"
#include "platform.h"

namespace {

constexpr int sample_rate = 48000;
constexpr int channels = 2;
constexpr int bits = 16;
constexpr int pushes = 2500;           // 100 s of sound
constexpr int pushes_per_row = 125;    // a row every 5 s of sound
constexpr std::int64_t sound_ms = 100000;
constexpr std::int64_t sound_s = 100;

struct clock_set {
    std::int64_t q;  // performance counter
    std::uint32_t t;  // tick count
    std::uint32_t m;  // multimedia time
};

// The three clocks back to back, so that they describe nearly the same moment.
clock_set read_clocks() {
    LARGE_INTEGER q;
    q.QuadPart = 0;
    QueryPerformanceCounter(&q);
    clock_set c;
    c.q = q.QuadPart;
    c.t = GetTickCount();
    c.m = timeGetTime();
    return c;
}

// Counter ticks as milliseconds. Without a usable frequency the counter measures no time.
std::int64_t counter_ms(std::int64_t ticks, std::int64_t freq) {
    return freq > 0 ? ticks * 1000 / freq : 0;
}

void print_row(int frames, const clock_set& start, const clock_set& now, std::int64_t freq) {
    const std::int32_t device = frames / 48;
    const std::uint32_t tick = now.t - start.t;
    const std::uint32_t time = now.m - start.m;
    const std::int64_t counter = counter_ms(now.q - start.q, freq);
    std::printf("\t%d.%03d\t%d.%03d\t%d.%03d\t%d.%03d\n", device / 1000, device % 1000,
                static_cast<int>(tick / 1000), static_cast<int>(tick % 1000),
                static_cast<int>(time / 1000), static_cast<int>(time % 1000),
                static_cast<int>(static_cast<std::int32_t>(counter / 1000)),
                static_cast<int>(static_cast<std::int32_t>(counter % 1000)));
    std::fflush(stdout);
}

void print_diff(const clock_set& start, const clock_set& end, std::int64_t freq) {
    const auto tick = static_cast<std::int32_t>(end.t - start.t - static_cast<std::uint32_t>(sound_ms));
    const auto time = static_cast<std::int32_t>(end.m - start.m - static_cast<std::uint32_t>(sound_ms));
    const std::int64_t counter =
        freq > 0 ? (end.q - start.q - sound_s * freq) * 1000 / freq : -sound_ms;
    std::printf("Diff:\n");
    std::printf("\tTick=%d, Time=%d, PerformanceCounter=%" PRId64 "\n", static_cast<int>(tick),
                static_cast<int>(time), counter);
}

int fail(const char* operation, PCM_PLAY* player) {
    std::fprintf(stderr, "error - failed on %s\n", operation);
    if (player != nullptr) player->release(player);
    return 1;
}

}  // namespace

void make_tone(unsigned char* out) {
    for (int k = 0; k < tone_frames; ++k) {
        const double phase = static_cast<double>(2000 * k) * 3.141592653589793 / 48000.0;
        const auto value = static_cast<std::int32_t>(std::sin(phase) * 8192.0);
        const auto sample = static_cast<std::uint16_t>(value);
        const std::uint32_t frame = sample | (static_cast<std::uint32_t>(sample) << 16);
        for (int b = 0; b < 4; ++b) out[4 * k + b] = static_cast<unsigned char>(frame >> (8 * b));
    }
}

int main() {
    static unsigned char tone[tone_bytes];
    make_tone(tone);
    std::printf("soundcard / pc clock difference megerment\n");
    std::printf("playing 1kHz tone ... wait 100 seconds\n");

    LARGE_INTEGER f;
    f.QuadPart = 0;
    QueryPerformanceFrequency(&f);
    const std::int64_t freq = f.QuadPart;

    PCM_PLAY* player = create_pcm_play();
    if (player == nullptr) return fail("create_pcm_play()", nullptr);
    if (player->init(player, sample_rate, channels, bits) != 0)
        return fail("PCM_PLAY::init()", player);

    const clock_set start = read_clocks();
    std::printf("\tDevice\tTick\tTime\tPeformanceCounter\n");

    for (int i = 0; i < pushes; ++i) {
        if (player->push(player, tone, tone_bytes) != 0) return fail("PCM_PLAY::push()", player);
        if (i % pushes_per_row == pushes_per_row - 1) {
            const int frames = player->get_position(player);
            print_row(frames, start, read_clocks(), freq);
        }
    }

    // The end readings count only if every byte really played out.
    if (player->drain(player, -1) != 0) return fail("PCM_PLAY::drain()", player);
    const clock_set end = read_clocks();
    print_diff(start, end, freq);
    player->release(player);
    return 0;
}
