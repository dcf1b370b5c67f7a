// A game's own platform/dsound.h: nothing to do with the library's.
#pragma once
#define GAME_PLATFORM_DSOUND_H 1

namespace game {
struct SoundCard {
  int channels = 6;
};
}  // namespace game

