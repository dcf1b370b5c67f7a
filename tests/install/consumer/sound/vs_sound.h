// A game's own sound/vs_sound.h: nothing to do with the library's.
#pragma once
#define GAME_SOUND_VS_SOUND_H 1

namespace game {
struct VSSound {
  int versus = 2;
};
}  // namespace game
