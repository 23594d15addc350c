// The simulated sound card behind the DirectSound interfaces. A streaming buffer's play cursor is
// a function of time (card_model.h); whenever the stand-in is asked anything, the buffers first
// play up to "now", setting the events of every notification position the cursor crossed.
#include <algorithm>
#include <cstring>
#include <vector>

#include "card_model.h"
#include "standin_dsound.h"
#include "world.h"

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                           {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID IID_IDirectSoundNotify = {0xB0210783, 0x89CD, 0x11D0,
                                     {0xAF, 0x08, 0x00, 0xA0, 0xC9, 0x25, 0xCD, 0x16}};

namespace standin::detail {

namespace {

constexpr std::uint8_t unwritten_fill = 0xA5;  // what a buffer holds before anybody writes it

std::int64_t seconds_to_ns(double s) { return static_cast<std::int64_t>(s * 1e9); }

bool usable_format(const WAVEFORMATEX* f) {
    if (f == nullptr || f->wFormatTag != WAVE_FORMAT_PCM) return false;
    if (f->nChannels < 1 || f->nSamplesPerSec < 100 || f->nSamplesPerSec > 384000) return false;
    if (f->wBitsPerSample != 8 && f->wBitsPerSample != 16 && f->wBitsPerSample != 24 &&
        f->wBitsPerSample != 32)
        return false;
    if (f->nBlockAlign != f->nChannels * f->wBitsPerSample / 8) return false;
    return f->nAvgBytesPerSec == f->nSamplesPerSec * f->nBlockAlign;
}

struct interface_count {
    interface_count() { ++the_world().counts.live_interfaces; }
    ~interface_count() { --the_world().counts.live_interfaces; }
    interface_count(const interface_count&) = delete;
    interface_count& operator=(const interface_count&) = delete;
};

}  // namespace

class sound_buffer final : public IDirectSoundBuffer {
public:
    // A buffer keeps its device alive, so it can ask for the cooperative level at any time.
    sound_buffer(IDirectSound8* device, const DWORD* device_level, DWORD flags,
                 const WAVEFORMATEX* format, DWORD bytes)
        : device_(device), device_level_(device_level), flags_(flags) {
        device_->AddRef();
        if (is_primary()) return;
        mem_.assign(bytes, unwritten_fill);
        clock_ = make_cursor_clock(format->nSamplesPerSec, format->nBlockAlign,
                                   the_world().sc.card_ppm, the_world().sc.granularity_ms);
        the_world().streaming.push_back(this);
        the_world().newest_streaming = this;
    }

    bool is_primary() const { return (flags_ & DSBCAPS_PRIMARYBUFFER) != 0; }
    DWORD flags() const { return flags_; }
    const std::vector<std::uint8_t>& bytes() const { return mem_; }
    void lose() {
        if (!is_primary()) lost_ = true;
    }

    // The card plays this buffer up to t_ns: moves the cursor and sets the events of the
    // notification positions it crossed. A frozen device moves nothing from its freeze on.
    void play_until(std::int64_t t_ns) {
        if (!playing_) return;
        const scenario& sc = the_world().sc;
        std::int64_t t = t_ns;
        if (sc.freeze_device_at_s >= 0) t = std::min(t, seconds_to_ns(sc.freeze_device_at_s));
        std::int64_t advanced = cursor_advance(clock_, t - anchor_t_);
        if (advanced <= seen_) return;
        const auto ring = static_cast<std::int64_t>(mem_.size());
        if (the_world().sc.record_played) {
            for (std::int64_t i = anchor_pos_ + seen_; i < anchor_pos_ + advanced; ++i)
                the_world().played.push_back(mem_[static_cast<std::size_t>(i % ring)]);
        }
        for (const DSBPOSITIONNOTIFY& n : notes_) {
            if (n.dwOffset == DSBPN_OFFSETSTOP) continue;
            std::int64_t k = crossings(n.dwOffset, ring, anchor_pos_ + seen_, anchor_pos_ + advanced);
            if (k == 0) continue;
            the_world().counts.notifications += static_cast<std::uint64_t>(k);
            if (is_live_event(n.hEventNotify)) signal(static_cast<event_object*>(n.hEventNotify));
        }
        seen_ = advanced;
    }

    // The playing card halts where its cursor stands.
    void halt() {
        if (!playing_) return;
        anchor_pos_ = cursor();
        seen_ = 0;
        playing_ = false;
        for (const DSBPOSITIONNOTIFY& n : notes_)
            if (n.dwOffset == DSBPN_OFFSETSTOP && is_live_event(n.hEventNotify))
                signal(static_cast<event_object*>(n.hEventNotify));
    }

    std::int64_t next_signal(const event_object* ev) const {
        if (!playing_) return -1;
        const scenario& sc = the_world().sc;
        const std::int64_t freeze = sc.freeze_device_at_s >= 0 ? seconds_to_ns(sc.freeze_device_at_s) : -1;
        const std::int64_t stop = sc.stop_device_at_s >= 0 ? seconds_to_ns(sc.stop_device_at_s) : -1;
        const auto ring = static_cast<std::int64_t>(mem_.size());
        std::int64_t best = -1;
        for (const DSBPOSITIONNOTIFY& n : notes_) {
            if (n.hEventNotify != ev || n.dwOffset == DSBPN_OFFSETSTOP) continue;
            std::int64_t at = next_crossing(n.dwOffset, ring, anchor_pos_ + seen_);
            std::int64_t t = anchor_t_ + time_to_advance(clock_, at - anchor_pos_);
            if ((freeze >= 0 && t > freeze) || (stop >= 0 && t > stop)) continue;
            if (best < 0 || t < best) best = t;
        }
        return best;
    }

    HRESULT QueryInterface(REFIID iid, void** object) override;

    ULONG AddRef() override { return ++refs_; }

    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT GetCurrentPosition(DWORD* play_cursor, DWORD* write_cursor) override {
        if (auto failure = planted_fault(call::GetCurrentPosition)) return *failure;
        if (is_primary()) return DSERR_INVALIDCALL;
        play_cards_until(now());
        DWORD play = cursor();
        if (play_cursor != nullptr) *play_cursor = play;
        if (write_cursor != nullptr) {
            // Like a real mixer, the write cursor runs one cursor step ahead while playing.
            std::int64_t lead = playing_ ? clock_.step_frames * clock_.block_align : 0;
            *write_cursor = static_cast<DWORD>((play + lead) % static_cast<std::int64_t>(mem_.size()));
        }
        return DS_OK;
    }

    HRESULT GetStatus(DWORD* status) override {
        if (auto failure = planted_fault(call::GetStatus)) return *failure;
        if (status == nullptr) return DSERR_INVALIDPARAM;
        play_cards_until(now());
        *status = (playing_ ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0) |
                  (lost_ ? DSBSTATUS_BUFFERLOST : 0);
        return DS_OK;
    }

    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* region1, DWORD* bytes1, LPVOID* region2,
                 DWORD* bytes2, DWORD flags) override {
        if (region1 != nullptr) *region1 = nullptr;
        if (bytes1 != nullptr) *bytes1 = 0;
        if (region2 != nullptr) *region2 = nullptr;
        if (bytes2 != nullptr) *bytes2 = 0;
        if (auto failure = planted_fault(call::Lock)) return *failure;
        if (is_primary()) return DSERR_INVALIDCALL;
        if (lost_) return DSERR_BUFFERLOST;
        play_cards_until(now());  // what the cursor passed was played before it is overwritten
        const auto ring = static_cast<DWORD>(mem_.size());
        if (region1 == nullptr || bytes1 == nullptr || flags != 0 || offset >= ring || bytes == 0 ||
            bytes > ring)
            return DSERR_INVALIDPARAM;
        DWORD first = std::min(bytes, ring - offset);
        if (first < bytes && (region2 == nullptr || bytes2 == nullptr)) return DSERR_INVALIDPARAM;
        *region1 = mem_.data() + offset;
        *bytes1 = first;
        if (first < bytes) {
            *region2 = mem_.data();
            *bytes2 = bytes - first;
        }
        return DS_OK;
    }

    HRESULT Play(DWORD reserved, DWORD, DWORD flags) override {
        if (auto failure = planted_fault(call::Play)) return *failure;
        if (is_primary()) return DSERR_INVALIDCALL;
        if (reserved != 0) return DSERR_INVALIDPARAM;
        // This card plays looping buffers only; the player never asks for anything else.
        if ((flags & DSBPLAY_LOOPING) == 0) return DSERR_INVALIDCALL;
        play_cards_until(now());
        if (the_world().device_gone) return DSERR_NODRIVER;
        if (lost_) return DSERR_BUFFERLOST;
        if (!playing_) {
            playing_ = true;
            anchor_t_ = now();
            seen_ = 0;
        }
        return DS_OK;
    }

    HRESULT SetFormat(LPCWAVEFORMATEX format) override {
        if (auto failure = planted_fault(call::SetFormat)) return *failure;
        if (!is_primary()) return DSERR_INVALIDCALL;
        if (*device_level_ < DSSCL_PRIORITY) return DSERR_PRIOLEVELNEEDED;
        if (!usable_format(format)) return DSERR_BADFORMAT;
        return DS_OK;
    }

    HRESULT Stop() override {
        if (auto failure = planted_fault(call::Stop)) return *failure;
        play_cards_until(now());
        halt();
        return DS_OK;
    }

    HRESULT Unlock(LPVOID region1, DWORD bytes1, LPVOID region2, DWORD bytes2) override {
        if (auto failure = planted_fault(call::Unlock)) return *failure;
        if (is_primary()) return DSERR_INVALIDCALL;
        auto* begin = mem_.data();
        auto* end = begin + mem_.size();
        auto* first = static_cast<std::uint8_t*>(region1);
        if (first < begin || first >= end || bytes1 > static_cast<std::size_t>(end - first))
            return DSERR_INVALIDPARAM;
        if (region2 != nullptr && (region2 != begin || bytes2 > mem_.size()))
            return DSERR_INVALIDPARAM;
        if (region2 == nullptr && bytes2 != 0) return DSERR_INVALIDPARAM;
        return DS_OK;
    }

    HRESULT Restore() override {
        if (auto failure = planted_fault(call::Restore)) return *failure;
        if (the_world().device_gone) return DSERR_NODRIVER;
        lost_ = false;
        return DS_OK;
    }

    HRESULT set_notification_positions(DWORD count, LPCDSBPOSITIONNOTIFY positions) {
        if (playing_) return DSERR_INVALIDCALL;
        if (count > 0 && positions == nullptr) return DSERR_INVALIDPARAM;
        for (DWORD i = 0; i < count; ++i) {
            const DSBPOSITIONNOTIFY& n = positions[i];
            if (n.hEventNotify == nullptr) return DSERR_INVALIDPARAM;
            if (n.dwOffset != DSBPN_OFFSETSTOP && n.dwOffset >= mem_.size()) return DSERR_INVALIDPARAM;
        }
        notes_.assign(positions, positions + count);
        return DS_OK;
    }

private:
    ~sound_buffer() {
        world& w = the_world();
        if (w.newest_streaming == this) {
            w.last_streaming_bytes = mem_;
            w.newest_streaming = nullptr;
        }
        auto it = std::find(w.streaming.begin(), w.streaming.end(), this);
        if (it != w.streaming.end()) w.streaming.erase(it);
        device_->Release();
    }

    DWORD cursor() const {
        return static_cast<DWORD>((anchor_pos_ + seen_) % static_cast<std::int64_t>(mem_.size()));
    }

    interface_count counted_;
    ULONG refs_ = 1;
    IDirectSound8* device_;
    const DWORD* device_level_;
    DWORD flags_;
    std::vector<std::uint8_t> mem_;
    std::vector<DSBPOSITIONNOTIFY> notes_;
    cursor_clock clock_;
    bool playing_ = false;
    bool lost_ = false;
    std::int64_t anchor_pos_ = 0;  // cursor offset when playback last started (or stood still)
    std::int64_t anchor_t_ = 0;    // time playback last started
    std::int64_t seen_ = 0;        // bytes played since then that the card has accounted for
};

namespace {

class notify_interface final : public IDirectSoundNotify {
public:
    explicit notify_interface(sound_buffer* owner) : owner_(owner) { owner_->AddRef(); }

    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (auto failure = planted_fault(call::QueryInterface)) return *failure;
        if (object == nullptr) return DSERR_INVALIDPARAM;
        if (iid == IID_IDirectSoundNotify || iid == IID_IUnknown) {
            AddRef();
            *object = this;
            return DS_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG AddRef() override { return ++refs_; }

    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            owner_->Release();
            delete this;
        }
        return left;
    }

    HRESULT SetNotificationPositions(DWORD count, LPCDSBPOSITIONNOTIFY positions) override {
        if (auto failure = planted_fault(call::SetNotificationPositions)) return *failure;
        return owner_->set_notification_positions(count, positions);
    }

private:
    ~notify_interface() = default;

    interface_count counted_;
    ULONG refs_ = 1;
    sound_buffer* owner_;
};

}  // namespace

HRESULT sound_buffer::QueryInterface(REFIID iid, void** object) {
    if (auto failure = planted_fault(call::QueryInterface)) return *failure;
    if (object == nullptr) return DSERR_INVALIDPARAM;
    *object = nullptr;
    if (iid == IID_IUnknown) {
        AddRef();
        *object = static_cast<IDirectSoundBuffer*>(this);
        return DS_OK;
    }
    if (iid == IID_IDirectSoundNotify && (flags_ & DSBCAPS_CTRLPOSITIONNOTIFY) != 0) {
        *object = static_cast<IDirectSoundNotify*>(new notify_interface(this));
        return DS_OK;
    }
    return E_NOINTERFACE;
}

namespace {

class sound_device final : public IDirectSound8 {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (auto failure = planted_fault(call::QueryInterface)) return *failure;
        if (object == nullptr) return DSERR_INVALIDPARAM;
        if (iid == IID_IUnknown) {
            AddRef();
            *object = static_cast<IDirectSound8*>(this);
            return DS_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG AddRef() override { return ++refs_; }

    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER* buffer,
                              LPUNKNOWN outer) override {
        if (buffer != nullptr) *buffer = nullptr;
        if (auto failure = planted_fault(call::CreateSoundBuffer)) return *failure;
        if (outer != nullptr) return DSERR_NOAGGREGATION;
        if (desc == nullptr || buffer == nullptr || desc->dwSize != sizeof(DSBUFFERDESC))
            return DSERR_INVALIDPARAM;
        if (level_ == 0) return DSERR_INVALIDCALL;
        if ((desc->dwFlags & DSBCAPS_PRIMARYBUFFER) != 0) {
            if (desc->dwBufferBytes != 0 || desc->lpwfxFormat != nullptr ||
                (desc->dwFlags & DSBCAPS_CTRLPOSITIONNOTIFY) != 0)
                return DSERR_INVALIDPARAM;
        } else {
            if (!usable_format(desc->lpwfxFormat)) return DSERR_BADFORMAT;
            if (desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX)
                return DSERR_INVALIDPARAM;
        }
        *buffer = new sound_buffer(this, &level_, desc->dwFlags, desc->lpwfxFormat,
                                   desc->dwBufferBytes);
        return DS_OK;
    }

    HRESULT SetCooperativeLevel(HWND window, DWORD level) override {
        if (auto failure = planted_fault(call::SetCooperativeLevel)) return *failure;
        if (window == nullptr || level < DSSCL_NORMAL || level > 4) return DSERR_INVALIDPARAM;
        level_ = level;
        return DS_OK;
    }

private:
    ~sound_device() = default;

    interface_count counted_;
    ULONG refs_ = 1;
    DWORD level_ = 0;
};

}  // namespace

void play_cards_until(std::int64_t t_ns) {
    world& w = the_world();
    const std::int64_t stop = w.sc.stop_device_at_s >= 0 ? seconds_to_ns(w.sc.stop_device_at_s) : -1;
    if (stop >= 0 && t_ns >= stop) {
        for (sound_buffer* b : w.streaming) {
            b->play_until(stop);
            b->halt();
        }
        w.device_gone = true;
        return;
    }
    for (sound_buffer* b : w.streaming) b->play_until(t_ns);
}

std::int64_t next_signal_time(const event_object* ev) {
    std::int64_t best = -1;
    for (const sound_buffer* b : the_world().streaming) {
        std::int64_t t = b->next_signal(ev);
        if (t >= 0 && (best < 0 || t < best)) best = t;
    }
    return best;
}

}  // namespace standin::detail

using namespace standin;
using namespace standin::detail;

HRESULT DirectSoundCreate8(LPCGUID device, LPDIRECTSOUND8* sound, LPUNKNOWN outer) {
    if (sound != nullptr) *sound = nullptr;
    if (auto failure = planted_fault(call::DirectSoundCreate8)) return *failure;
    if (sound == nullptr) return DSERR_INVALIDPARAM;
    if (outer != nullptr) return DSERR_NOAGGREGATION;
    // Only the default playback device exists, and only while the scenario grants one.
    if (device != nullptr || the_world().sc.no_device) return DSERR_NODRIVER;
    *sound = new sound_device;
    return DS_OK;
}

namespace standin {

void lose_buffers() {
    for (sound_buffer* b : the_world().streaming) b->lose();
}

std::vector<std::uint8_t> streaming_buffer_bytes() {
    if (the_world().newest_streaming != nullptr) return the_world().newest_streaming->bytes();
    return the_world().last_streaming_bytes;
}

}  // namespace standin
