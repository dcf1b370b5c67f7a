// The peer in bench/output_depth.sh's continuity runs: SDL_mixer playing a
// piece of music on a loop, as a game plays its background music with
// Mix_PlayChannel(-1, chunk, -1), for a given time.
//
//   sdl_mixer_loop MUSIC.wav CHUNK_FRAMES SECONDS
//
// SDL_mixer opens the device at 48000 Hz, 16-bit stereo, in chunks of
// CHUNK_FRAMES frames, through whichever driver SDL picks (SDL_AUDIODRIVER
// chooses one).  The music is loaded, and converted, before it starts.
#include <SDL.h>
#include <SDL_mixer.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: sdl_mixer_loop MUSIC.wav CHUNK_FRAMES SECONDS\n");
    return 2;
  }
  const int chunkFrames = std::atoi(argv[2]);
  const int seconds = std::atoi(argv[3]);
  if (chunkFrames < 64 || chunkFrames > 8192 || seconds < 1 || seconds > 3600) {
    std::fprintf(stderr, "sdl_mixer_loop: CHUNK_FRAMES must be 64 to 8192, SECONDS 1 to 3600\n");
    return 2;
  }
  if (SDL_Init(SDL_INIT_AUDIO) != 0) {
    std::fprintf(stderr, "sdl_mixer_loop: %s\n", SDL_GetError());
    return 1;
  }
  if (Mix_OpenAudio(48000, AUDIO_S16SYS, 2, chunkFrames) != 0) {
    std::fprintf(stderr, "sdl_mixer_loop: %s\n", Mix_GetError());
    SDL_Quit();
    return 1;
  }
  Mix_Chunk* music = Mix_LoadWAV(argv[1]);
  if (music == nullptr) {
    std::fprintf(stderr, "sdl_mixer_loop: %s\n", Mix_GetError());
    Mix_CloseAudio();
    SDL_Quit();
    return 1;
  }
  int status = 0;
  if (Mix_PlayChannel(-1, music, -1) < 0) {
    std::fprintf(stderr, "sdl_mixer_loop: %s\n", Mix_GetError());
    status = 1;
  } else {
    SDL_Delay(static_cast<Uint32>(seconds) * 1000);
  }
  Mix_HaltChannel(-1);
  Mix_FreeChunk(music);
  Mix_CloseAudio();
  SDL_Quit();
  return status;
}
