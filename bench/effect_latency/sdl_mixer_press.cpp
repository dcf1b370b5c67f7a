// The peer in bench/output_depth.sh's press-latency runs: SDL_mixer playing
// an effect each time a line starting "press" arrives on standard input,
// as a game built on it would, until a line "close" or the end of input.
//
//   sdl_mixer_press EFFECT.wav CHUNK_FRAMES
//
// SDL_mixer opens the device at 48000 Hz, 16-bit stereo, in chunks of
// CHUNK_FRAMES frames (a game's usual choice is 512 or 1024), through
// whichever driver SDL picks (SDL_AUDIODRIVER chooses one).  The effect is
// loaded, and converted to the device's format, before the first press.
#include <SDL.h>
#include <SDL_mixer.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: sdl_mixer_press EFFECT.wav CHUNK_FRAMES\n");
    return 2;
  }
  const int chunkFrames = std::atoi(argv[2]);
  if (chunkFrames < 64 || chunkFrames > 8192) {
    std::fprintf(stderr, "sdl_mixer_press: CHUNK_FRAMES must be 64 to 8192\n");
    return 2;
  }
  if (SDL_Init(SDL_INIT_AUDIO) != 0) {
    std::fprintf(stderr, "sdl_mixer_press: %s\n", SDL_GetError());
    return 1;
  }
  if (Mix_OpenAudio(48000, AUDIO_S16SYS, 2, chunkFrames) != 0) {
    std::fprintf(stderr, "sdl_mixer_press: %s\n", Mix_GetError());
    SDL_Quit();
    return 1;
  }
  Mix_Chunk* effect = Mix_LoadWAV(argv[1]);
  if (effect == nullptr) {
    std::fprintf(stderr, "sdl_mixer_press: %s\n", Mix_GetError());
    Mix_CloseAudio();
    SDL_Quit();
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "close") break;
    if (line.rfind("press", 0) == 0 && Mix_PlayChannel(-1, effect, 0) < 0)
      std::fprintf(stderr, "sdl_mixer_press: %s\n", Mix_GetError());
  }
  // Let the last effect play out before the device closes.
  while (Mix_Playing(-1) != 0) SDL_Delay(10);
  Mix_FreeChunk(effect);
  Mix_CloseAudio();
  SDL_Quit();
  return 0;
}
