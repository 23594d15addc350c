#include "card_model.h"

#include <cmath>

#include "wide_int.h"

namespace standin::detail {

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

constexpr wide_int ns_ppb = static_cast<wide_int>(1000000000) * 1000000000;

// Frames per ns, scaled by ns_ppb.
wide_int scaled_rate(const cursor_clock& c) {
    return static_cast<wide_int>(c.rate) * (1000000000 + c.drift_ppb);
}

std::int64_t exact_frames(const cursor_clock& c, std::int64_t dt_ns) {
    if (dt_ns <= 0) return 0;
    return static_cast<std::int64_t>(static_cast<wide_int>(dt_ns) * scaled_rate(c) / ns_ppb);
}

}  // namespace

cursor_clock make_cursor_clock(std::int64_t rate, std::int64_t block_align, double card_ppm,
                               double granularity_ms) {
    cursor_clock c;
    c.block_align = block_align > 0 ? block_align : 1;
    c.rate = rate;
    c.drift_ppb = std::llround(card_ppm * 1000.0);
    std::int64_t step = std::llround(granularity_ms * static_cast<double>(rate) / 1000.0);
    c.step_frames = step > 0 ? step : 1;
    return c;
}

std::int64_t cursor_advance(const cursor_clock& c, std::int64_t dt_ns) {
    std::int64_t frames = exact_frames(c, dt_ns);
    return frames / c.step_frames * c.step_frames * c.block_align;
}

std::int64_t time_to_advance(const cursor_clock& c, std::int64_t bytes) {
    if (bytes <= 0) return 0;
    std::int64_t frames = (bytes + c.block_align - 1) / c.block_align;
    std::int64_t stepped = (frames + c.step_frames - 1) / c.step_frames * c.step_frames;
    const wide_int rate = scaled_rate(c);
    return static_cast<std::int64_t>((static_cast<wide_int>(stepped) * ns_ppb + rate - 1) / rate);
}

std::int64_t crossings(std::int64_t offset, std::int64_t ring_bytes, std::int64_t from,
                       std::int64_t to) {
    if (to <= from) return 0;
    return floor_div(to - offset, ring_bytes) - floor_div(from - offset, ring_bytes);
}

std::int64_t next_crossing(std::int64_t offset, std::int64_t ring_bytes, std::int64_t from) {
    return offset + (floor_div(from - offset, ring_bytes) + 1) * ring_bytes;
}

}  // namespace standin::detail
