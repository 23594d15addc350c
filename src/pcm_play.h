// PCM_PLAY: a small streaming player for interleaved PCM through one looping DirectSound buffer
// of one second, cut into 16 notification periods.
//
// Status values: 0 success, 1 failure (bad handle, player not initialised, a platform call
// failed), 2 time-out (drain only). get_position returns frames, 0 on failure.
#pragma once

struct PCM_PLAY_STATE;

struct PCM_PLAY {
    PCM_PLAY_STATE* priv;
    // Stops playback at once and frees everything the player holds, the handle included.
    void (*release)(PCM_PLAY* h);
    // Opens the default output device and creates the streaming buffer; may be called again.
    int (*init)(PCM_PLAY* h, int rate, int channels, int bits);
    // Appends sound, waiting while the buffer is full; playback starts by itself.
    int (*push)(PCM_PLAY* h, const void* data, int bytes);
    // Lets the queued sound play out and stops. timeout_ms < 0: no limit; 0: stop at once.
    int (*drain)(PCM_PLAY* h, int timeout_ms);
    // Frames played since the last init.
    int (*get_position)(PCM_PLAY* h);
};

// A new player, not yet initialised; null when it cannot be made.
PCM_PLAY* create_pcm_play();
