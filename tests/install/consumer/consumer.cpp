// A program of a game that has platform/ and sound/ folders of its own, with
// headers of the same names as the library's, on its include path.  The
// library's headers come first and must not pick up the game's; then the
// game's own, and the program uses both.
//   consumer FILE.wav [CAPTURE.wav]: reads FILE.wav whole, then plays it as
//   an effect and as music for half a second; exit status 0 when all of
//   that worked.  With CAPTURE.wav it chooses in code the capture output
//   into that file at 22050 Hz, and prints the output's state as the
//   library gives it back: "output NAME at RATE Hz, connected".
#include <velmo/platform/audio_output_state.h>
#include <velmo/platform/audio_settings.h>
#include <velmo/platform/heap.h>
#include <velmo/sound/static_sound.h>
#include <velmo/sound/vs_sound.h>
#include <velmo/sound/wave_reader.h>

#if defined(GAME_PLATFORM_DSOUND_H) || defined(GAME_PLATFORM_PLATFORM_H) || defined(GAME_SOUND_VS_SOUND_H)
#error "the library's headers included one of the game's own headers"
#endif

#include "platform/dsound.h"
#include "platform/platform.h"
#include "sound/vs_sound.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  if (argc == 3) {
    velmo::AudioSettings settings;
    settings.output = velmo::AudioOutputChoice::kCapture;
    settings.capturePath = argv[2];
    settings.rate = 22050;
    const std::string refused = velmo::SetAudioSettings(settings);
    if (!refused.empty()) {
      std::printf("settings refused: %s\n", refused.c_str());
      return 1;
    }
  }
  const game::SoundCard card;
  const game::VSSound versus;
  std::printf("%s, %d channels, %d players\n", game::PlatformName(), card.channels, versus.versus);

  velmo::DWORD size = 0;
  velmo::WAVEFORMATEX* format = nullptr;
  velmo::BYTE* samples = nullptr;
  if (velmo::ReadWholeWave(argv[1], &size, &format, &samples) != 0 || size == 0) return 1;
  std::printf("read %u bytes at %u Hz\n", static_cast<unsigned>(size), static_cast<unsigned>(format->nSamplesPerSec));
  velmo::GlobalFree(format);
  velmo::GlobalFree(samples);

  velmo::VSSound sound{};
  if (sound.InitDSound(nullptr) != 1) return 1;
  const velmo::AudioOutputState state = velmo::GetAudioOutputState();
  std::printf("output %s at %u Hz, %s\n", state.output.c_str(), static_cast<unsigned>(state.rate),
              state.connected ? "connected" : "not connected");
  velmo::StaticSound* effect = sound.LoadStatic(argv[1]);
  const bool played = effect != nullptr && sound.PlayStatic(effect) == 0 && effect->Playing == 1;
  const bool streamed = sound.OpenStream(argv[1]) == 1;
  if (streamed) sound.PlayStream();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  sound.CloseDSound();
  std::printf("effect %s, music %s\n", played ? "played" : "failed", streamed ? "played" : "failed");
  return played && streamed ? 0 : 1;
}
