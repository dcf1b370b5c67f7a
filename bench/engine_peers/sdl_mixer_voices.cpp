// SDL_mixer playing N looping channels of one chunk, or of a chunk each (see
// engine_run.h).
// SDL_mixer converts a chunk to the device's format and rate once, when it
// is loaded (Mix_LoadWAV_RW, through SDL's SDL_AudioCVT), and then only adds
// samples while it plays: its figure is the cost of mixing alone.
// bench/engine_cpu.sh runs it on SDL's disk driver writing to /dev/null.
#include <SDL.h>
#include <SDL_mixer.h>

#include <cstring>

#include "engine_run.h"

namespace {

// The source as an in-memory WAVE file, for Mix_LoadWAV_RW to convert.
std::vector<std::uint8_t> WaveFile(const std::vector<std::int16_t>& pcm, int rate) {
  const auto dataBytes = static_cast<std::uint32_t>(pcm.size() * 2);
  std::vector<std::uint8_t> file(44 + dataBytes);
  auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(&file[at], &v, 4); };
  auto put16 = [&](std::size_t at, std::uint16_t v) { std::memcpy(&file[at], &v, 2); };
  std::memcpy(&file[0], "RIFF", 4);
  put32(4, 36 + dataBytes);
  std::memcpy(&file[8], "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 1);  // PCM
  put16(22, 1);  // mono
  put32(24, static_cast<std::uint32_t>(rate));
  put32(28, static_cast<std::uint32_t>(rate) * 2);
  put16(32, 2);
  put16(34, 16);
  std::memcpy(&file[36], "data", 4);
  put32(40, dataBytes);
  std::memcpy(&file[44], pcm.data(), dataBytes);
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  engine_run::Settings s;
  if (!engine_run::ParseSettings(argc, argv, &s)) return 2;
  if (SDL_Init(SDL_INIT_AUDIO) != 0) {
    std::fprintf(stderr, "sdl_mixer_voices: %s\n", SDL_GetError());
    return 1;
  }
  // Float stereo at 48000 Hz in 512-frame periods, as our output runs.
  if (Mix_OpenAudioDevice(engine_run::kOutputRate, AUDIO_F32SYS, 2, 512, nullptr, 0) != 0) {
    std::fprintf(stderr, "sdl_mixer_voices: %s\n", Mix_GetError());
    SDL_Quit();
    return 1;
  }
  const int allocated = Mix_AllocateChannels(s.voices);
  // One chunk for every voice, or one of its own for each.
  std::vector<Mix_Chunk*> chunks;
  for (int v = 0; v < (s.distinct ? s.voices : 1); ++v) {
    const std::vector<std::uint8_t> file = WaveFile(engine_run::MakeSource(s.sourceRate, v), s.sourceRate);
    Mix_Chunk* chunk = Mix_LoadWAV_RW(SDL_RWFromConstMem(file.data(), static_cast<int>(file.size())), 1);
    if (chunk == nullptr) {
      std::fprintf(stderr, "sdl_mixer_voices: %s\n", Mix_GetError());
      for (Mix_Chunk* c : chunks) Mix_FreeChunk(c);
      Mix_CloseAudio();
      SDL_Quit();
      return 1;
    }
    Mix_VolumeChunk(chunk, MIX_MAX_VOLUME);
    chunks.push_back(chunk);
  }
  const int level = static_cast<int>(MIX_MAX_VOLUME * engine_run::VoiceLevel(s.voices));
  int started = 0;
  for (int v = 0; v < s.voices && v < allocated; ++v) {
    Mix_Volume(v, level > 0 ? level : 1);
    if (Mix_PlayChannel(v, chunks[s.distinct ? v : 0], -1) < 0) {
      std::fprintf(stderr, "sdl_mixer_voices: channel %d of %d refused: %s\n", v + 1, s.voices, Mix_GetError());
      break;
    }
    ++started;
  }
  if (started < s.voices) std::fprintf(stderr, "sdl_mixer_voices: %d of %d channels started\n", started, s.voices);
  const engine_run::Window window = engine_run::Play(s.seconds);
  const int playing = s.voices > 0 ? Mix_Playing(-1) : 0;
  engine_run::Report("sdl_mixer", "SDL_AudioCVT_at_load", s, playing, window);
  Mix_HaltChannel(-1);
  for (Mix_Chunk* chunk : chunks) Mix_FreeChunk(chunk);
  Mix_CloseAudio();
  SDL_Quit();
  return 0;
}
