#include <climits>
#include <cstdlib>
#include <cstring>

#include "pcm_play_state.h"

namespace {

constexpr int notify_count = 16;
constexpr int start_periods = 4;  // playback starts once this much is queued
constexpr DWORD streaming_flags = DSBCAPS_CTRLPOSITIONNOTIFY | DSBCAPS_GLOBALFOCUS |
                                  DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_LOCDEFER;

// One heap block: the public record, then the state it points at.
struct pcm_play_block {
    PCM_PLAY pub;
    PCM_PLAY_STATE state;
};

PCM_PLAY_STATE* valid_state(PCM_PLAY* h) {
    if (h == nullptr || h->priv == nullptr) return nullptr;
    auto* block = reinterpret_cast<pcm_play_block*>(h);
    return h->priv == &block->state ? h->priv : nullptr;
}

bool initialised(const PCM_PLAY_STATE* s) {
    return s->ds != nullptr && s->buf != nullptr && s->period_bytes >= 1 && s->buf_bytes >= 1;
}

// The stream's format as DirectSound wants it, or false when no buffer could carry it: a value
// that does not fit its field, a frame of less than a byte, a period shorter than a frame.
bool describe_format(int rate, int channels, int bits, WAVEFORMATEX* wfx) {
    if (rate <= 0 || channels <= 0 || bits <= 0 || channels > 0xFFFF || bits > 0xFFFF) return false;
    const long long align = static_cast<long long>(channels) * bits / 8;
    const long long avg = static_cast<long long>(rate) * channels * bits / 8;
    if (align < 1 || align > 0xFFFF || avg > INT_MAX) return false;
    const long long sixteenth = avg / notify_count;
    if (sixteenth - sixteenth % align < 1) return false;
    std::memset(wfx, 0, sizeof *wfx);
    wfx->wFormatTag = WAVE_FORMAT_PCM;
    wfx->nChannels = static_cast<WORD>(channels);
    wfx->nSamplesPerSec = static_cast<DWORD>(rate);
    wfx->nAvgBytesPerSec = static_cast<DWORD>(avg);
    wfx->nBlockAlign = static_cast<WORD>(align);
    wfx->wBitsPerSample = static_cast<WORD>(bits);
    wfx->cbSize = 0;
    return true;
}

DWORD buffer_ms(const PCM_PLAY_STATE* s) {
    long long ms = static_cast<long long>(s->buf_bytes) * 1000 / s->wfx.nAvgBytesPerSec;
    return ms < 1 ? 1 : static_cast<DWORD>(ms);
}

void advance_write_pos(PCM_PLAY_STATE* s, DWORD bytes) {
    s->write_pos += static_cast<std::int32_t>(bytes);
    if (s->write_pos >= s->buf_bytes) s->write_pos -= s->buf_bytes;
}

struct locked_region {
    LPVOID p1 = nullptr;
    DWORD n1 = 0;
    LPVOID p2 = nullptr;
    DWORD n2 = 0;
};

// Locks n bytes at write_pos. A lost buffer (its memory taken back by the system) is restored
// once and locked again.
int lock_at_write_pos(PCM_PLAY_STATE* s, DWORD n, locked_region* r) {
    const auto offset = static_cast<DWORD>(s->write_pos);
    HRESULT hr = s->buf->Lock(offset, n, &r->p1, &r->n1, &r->p2, &r->n2, 0);
    if (hr == DSERR_BUFFERLOST) {
        if (s->buf->Restore() != DS_OK) return 1;
        hr = s->buf->Lock(offset, n, &r->p1, &r->n1, &r->p2, &r->n2, 0);
    }
    return hr == DS_OK ? 0 : 1;
}

// Between two notifications the device may go away. It either stops the buffer, or (seen when an
// audio service stalled) leaves it "playing" with a cursor that never moves again and no more
// notifications. The waits are therefore bounded, and after every wake the player looks again.
struct cursor_watch {
    DWORD last;
    DWORD since;     // tick count when the cursor was last seen moving
    DWORD limit_ms;  // this long without movement means the device is gone
};

cursor_watch watch_cursor(const PCM_PLAY_STATE* s, DWORD play) {
    return {play, GetTickCount(), 2 * buffer_ms(s)};
}

enum class playback { going, stopped, failed };

playback still_going(PCM_PLAY_STATE* s, cursor_watch* w, DWORD play) {
    DWORD status = 0;
    if (s->buf->GetStatus(&status) != DS_OK) return playback::failed;
    if ((status & DSBSTATUS_PLAYING) == 0) return playback::stopped;
    const DWORD now = GetTickCount();
    if (play != w->last) {
        w->last = play;
        w->since = now;
        return playback::going;
    }
    return now - w->since >= w->limit_ms ? playback::failed : playback::going;
}

// Sleeps until the next notification (or at most wait_ms) and reads the play cursor.
int sleep_and_read(PCM_PLAY_STATE* s, DWORD wait_ms, DWORD* play) {
    if (WaitForSingleObject(s->notify_event, wait_ms) == WAIT_FAILED) return 1;
    DWORD write = 0;
    return s->buf->GetCurrentPosition(play, &write) == DS_OK ? 0 : 1;
}

// The padding is the ring range from the data end (included) to the padding end (excluded).
bool in_padding(DWORD p, std::int32_t data_end, std::int32_t pad_end) {
    if (pad_end >= data_end)
        return static_cast<DWORD>(data_end) <= p && p < static_cast<DWORD>(pad_end);
    return p < static_cast<DWORD>(pad_end) || p >= static_cast<DWORD>(data_end);
}

void pcm_play_release(PCM_PLAY* h) {
    PCM_PLAY_STATE* s = valid_state(h);
    if (s == nullptr) return;
    pcm_play_teardown(s);
    if (s->notify_event != nullptr) {
        CloseHandle(s->notify_event);
        s->notify_event = nullptr;
    }
    std::free(h);
}

int init_failed(PCM_PLAY_STATE* s) {
    pcm_play_teardown(s);
    return 1;
}

int pcm_play_init(PCM_PLAY* h, int rate, int channels, int bits) {
    PCM_PLAY_STATE* s = valid_state(h);
    if (s == nullptr) return 1;
    pcm_play_teardown(s);
    WAVEFORMATEX wfx;
    if (!describe_format(rate, channels, bits, &wfx)) return 1;

    if (DirectSoundCreate8(nullptr, &s->ds, nullptr) != DS_OK) return init_failed(s);
    // The primary format may only be set at priority level.
    if (s->ds->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY) != DS_OK)
        return init_failed(s);

    DSBUFFERDESC desc;
    std::memset(&desc, 0, sizeof desc);
    desc.dwSize = sizeof desc;
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    if (s->ds->CreateSoundBuffer(&desc, &s->buf, nullptr) != DS_OK) return init_failed(s);
    s->wfx = wfx;
    if (s->buf->SetFormat(&s->wfx) != DS_OK) return init_failed(s);
    s->buf->Release();
    s->buf = nullptr;

    desc.dwFlags = streaming_flags;
    desc.dwBufferBytes = s->wfx.nAvgBytesPerSec;  // one second of sound
    desc.lpwfxFormat = &s->wfx;
    if (s->ds->CreateSoundBuffer(&desc, &s->buf, nullptr) != DS_OK) return init_failed(s);
    IDirectSoundNotify* notify = nullptr;
    if (s->buf->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify)) != DS_OK)
        return init_failed(s);

    s->buf_bytes = static_cast<std::int32_t>(desc.dwBufferBytes);
    DWORD period = static_cast<DWORD>(s->buf_bytes) / notify_count;
    period -= period % s->wfx.nBlockAlign;
    s->period_bytes = static_cast<std::int32_t>(period);

    DSBPOSITIONNOTIFY positions[notify_count];
    for (int i = 0; i < notify_count; ++i) {
        positions[i].dwOffset = static_cast<DWORD>(i) * period;
        positions[i].hEventNotify = s->notify_event;
    }
    HRESULT hr = notify->SetNotificationPositions(notify_count, positions);
    notify->Release();
    if (hr != DS_OK) return init_failed(s);
    return 0;
}

int pcm_play_push(PCM_PLAY* h, const void* data, int bytes) {
    PCM_PLAY_STATE* s = valid_state(h);
    if (s == nullptr || !initialised(s)) return 1;
    const auto* p = static_cast<const unsigned char*>(data);
    while (bytes > s->period_bytes) {
        if (pcm_play_write_block(s, p, s->period_bytes) != 0) return 1;
        p += s->period_bytes;
        bytes -= s->period_bytes;
    }
    return bytes > 0 ? pcm_play_write_block(s, p, bytes) : 0;
}

int pcm_play_drain(PCM_PLAY* h, int timeout_ms) {
    PCM_PLAY_STATE* s = valid_state(h);
    if (s == nullptr || !initialised(s)) return 1;
    DWORD status = 0;
    if (s->buf->GetStatus(&status) != DS_OK) return 1;
    if ((status & DSBSTATUS_PLAYING) == 0) return 0;
    const DWORD start = GetTickCount();

    if (timeout_ms != 0) {
        const std::int32_t data_end = s->written % s->buf_bytes;
        // write_pos ahead of the data end means an earlier drain padded already.
        if (s->write_pos == data_end && pcm_play_write_silence(s) != 0) return 1;
        const std::int32_t pad_end = s->write_pos;

        DWORD play = 0;
        DWORD write = 0;
        if (s->buf->GetCurrentPosition(&play, &write) != DS_OK) return 1;
        cursor_watch watch = watch_cursor(s, play);
        for (bool woke = false; !in_padding(play, data_end, pad_end); woke = true) {
            // Stopped short of the padding: the rest of the data never played.
            if (woke && still_going(s, &watch, play) != playback::going) return 1;
            DWORD wait_ms = buffer_ms(s);
            if (timeout_ms > 0) {
                const DWORD elapsed = GetTickCount() - start;
                if (elapsed >= static_cast<DWORD>(timeout_ms)) return 2;
                const DWORD left = static_cast<DWORD>(timeout_ms) - elapsed;
                if (left < wait_ms) wait_ms = left;
            }
            if (sleep_and_read(s, wait_ms, &play) != 0) return 1;
        }
    }
    return s->buf->Stop() == DS_OK ? 0 : 1;
}

int pcm_play_get_position(PCM_PLAY* h) {
    PCM_PLAY_STATE* s = valid_state(h);
    if (s == nullptr || !initialised(s)) return 0;
    DWORD play = 0;
    DWORD write = 0;
    if (s->buf->GetCurrentPosition(&play, &write) != DS_OK) return 0;
    const std::int32_t data_end = s->written % s->buf_bytes;
    const bool padded = s->write_pos != data_end;
    // Everything between the cursor and the data end is still waiting to be played; once the
    // cursor is in the padding, nothing is.
    long long waiting = 0;
    if (!padded || !in_padding(play, data_end, s->write_pos)) {
        waiting = (static_cast<long long>(data_end) - play) % s->buf_bytes;
        if (waiting < 0) waiting += s->buf_bytes;
    }
    long long played = static_cast<long long>(s->written) - waiting;
    if (played < 0) played = 0;
    return static_cast<int>(played / s->wfx.nBlockAlign);
}

}  // namespace

PCM_PLAY* create_pcm_play() {
    auto* block = static_cast<pcm_play_block*>(std::calloc(1, sizeof(pcm_play_block)));
    if (block == nullptr) return nullptr;
    block->state.notify_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (block->state.notify_event == nullptr) {
        std::free(block);
        return nullptr;
    }
    block->pub.priv = &block->state;
    block->pub.release = pcm_play_release;
    block->pub.init = pcm_play_init;
    block->pub.push = pcm_play_push;
    block->pub.drain = pcm_play_drain;
    block->pub.get_position = pcm_play_get_position;
    return &block->pub;
}

void pcm_play_teardown(PCM_PLAY_STATE* s) {
    if (s->buf != nullptr) {
        s->buf->Stop();
        s->buf->Release();
        s->buf = nullptr;
    }
    if (s->ds != nullptr) {
        s->ds->Release();
        s->ds = nullptr;
    }
    s->written = 0;
    s->period_bytes = 0;
    s->write_pos = 0;
    s->buf_bytes = 0;
    std::memset(&s->wfx, 0, sizeof s->wfx);
}

int pcm_play_wait_space(PCM_PLAY_STATE* s, std::uint32_t n) {
    DWORD status = 0;
    if (s->buf->GetStatus(&status) != DS_OK) return 1;
    if ((status & DSBSTATUS_PLAYING) == 0) return 0;  // a buffer that does not play is never waited for
    DWORD play = 0;
    DWORD write = 0;
    if (s->buf->GetCurrentPosition(&play, &write) != DS_OK) return 1;
    cursor_watch watch = watch_cursor(s, play);
    const auto pos = static_cast<DWORD>(s->write_pos);
    for (bool woke = false;; woke = true) {
        // Strictly ahead: a cursor equal to write_pos means a full buffer.
        DWORD p = play < pos ? play + static_cast<DWORD>(s->buf_bytes) : play;
        if (p > pos + n) return 0;
        if (woke) {
            playback state = still_going(s, &watch, play);
            if (state == playback::stopped) return 0;
            if (state == playback::failed) return 1;
        }
        if (sleep_and_read(s, buffer_ms(s), &play) != 0) return 1;
    }
}

int pcm_play_write_block(PCM_PLAY_STATE* s, const unsigned char* data, std::int32_t n) {
    if (n > INT32_MAX - s->written) return 1;  // written must stay a signed 32-bit count
    if (pcm_play_wait_space(s, static_cast<std::uint32_t>(n)) != 0) return 1;
    locked_region r;
    const auto bytes = static_cast<DWORD>(n);
    if (lock_at_write_pos(s, bytes, &r) != 0) return 1;
    DWORD first = bytes;
    DWORD second = 0;
    if (r.n1 < bytes) {
        first = r.n1;
        second = bytes - first;
        std::memcpy(r.p1, data, first);
        std::memcpy(r.p2, data + first, second);
    } else {
        std::memcpy(r.p1, data, bytes);
    }
    if (s->buf->Unlock(r.p1, first, r.p2, second) != DS_OK) return 1;
    s->written += n;
    advance_write_pos(s, bytes);

    DWORD status = 0;
    if (s->buf->GetStatus(&status) != DS_OK) return 1;
    if ((status & DSBSTATUS_PLAYING) == 0 && s->write_pos >= start_periods * s->period_bytes)
        return s->buf->Play(0, 0, DSBPLAY_LOOPING) == DS_OK ? 0 : 1;
    return 0;
}

int pcm_play_write_silence(PCM_PLAY_STATE* s) {
    const auto n = static_cast<DWORD>(2 * s->period_bytes);
    if (pcm_play_wait_space(s, n) != 0) return 1;
    locked_region r;
    if (lock_at_write_pos(s, n, &r) != 0) return 1;
    const int fill = s->wfx.wBitsPerSample == 8 ? 0x80 : 0x00;  // 8-bit PCM is unsigned
    if (r.n1 > 0) std::memset(r.p1, fill, r.n1);
    if (r.n2 > 0 && r.p2 != nullptr) std::memset(r.p2, fill, r.n2);
    if (s->buf->Unlock(r.p1, r.n1, r.p2, r.n2) != DS_OK) return 1;
    advance_write_pos(s, r.n1 + r.n2);
    return 0;
}
