// A game's own platform/platform.h: nothing to do with the library's.
#pragma once
#define GAME_PLATFORM_PLATFORM_H 1

namespace game {
inline const char* PlatformName() { return "game platform"; }
}  // namespace game

