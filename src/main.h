// What the measurement driver shares with its tests.
#pragma once

constexpr int tone_frames = 1920;           // 40 ms at 48 000 frames per second
constexpr int tone_bytes = tone_frames * 4;  // 2 channels of 16 bits

// 40 ms of a 1 kHz sine at a quarter of full scale, the same sample in both channels,
// as little-endian 16-bit frames.
void make_tone(unsigned char* out);
