// silence_stream: the least a program streaming through DirectSound the way clockdrift does can
// cost. It pushes 100 s of silence through the same player in the same 40 ms blocks and drains,
// with no clock readings and no output, so that beside clockdrift it shows what the platform
// itself (Wine, for instance) costs.
#include "pcm_play.h"

int main() {
    static const unsigned char block[7680] = {};
    PCM_PLAY* player = create_pcm_play();
    if (player == nullptr) return 1;
    int status = player->init(player, 48000, 2, 16);
    for (int i = 0; status == 0 && i < 2500; ++i)
        status = player->push(player, block, sizeof block);
    if (status == 0) status = player->drain(player, -1);
    player->release(player);
    return status == 0 ? 0 : 1;
}
