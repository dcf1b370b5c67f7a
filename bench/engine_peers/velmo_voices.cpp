// Our library playing N looping mono buffers through its installed device
// API (see engine_run.h): the same calls a game makes, built against the
// installed headers and library.  One sound for all voices is one buffer
// written once and duplicated for the other voices, which then share its
// memory; distinct sounds are a buffer of its own for each.  bench/engine_cpu.sh runs it with
// VELMO_AUDIO_OUTPUT=null, the output that mixes in real time and discards
// the result.  The resampler is the mixer's own (bench/resampler_quality
// prints its figures).
#include <velmo/platform/dsound.h>
#include <velmo/platform/platform.h>

#include <cstring>

#include "engine_run.h"

using namespace velmo;

int main(int argc, char** argv) {
  engine_run::Settings s;
  if (!engine_run::ParseSettings(argc, argv, &s)) return 2;
  Platform& platform = CurrentPlatform();
  if (FAILED(platform.CoInitialize(nullptr))) return 1;
  IDirectSound* device = nullptr;
  constexpr DWORD kInProcess = 1;
  if (FAILED(platform.CoCreateInstance(CLSID_DirectSound, nullptr, kInProcess, IID_IDirectSound,
                                       reinterpret_cast<void**>(&device))) ||
      device == nullptr || FAILED(device->Initialize(nullptr)) ||
      FAILED(device->SetCooperativeLevel(nullptr, DSSCL_PRIORITY))) {
    std::fprintf(stderr, "velmo_voices: the device did not open\n");
    return 1;
  }
  const std::size_t frames = static_cast<std::size_t>(s.sourceRate);
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = static_cast<DWORD>(s.sourceRate);
  format.wBitsPerSample = 16;
  format.nBlockAlign = 2;
  format.nAvgBytesPerSec = format.nSamplesPerSec * 2;
  const DWORD bytes = static_cast<DWORD>(frames * 2);
  DSBUFFERDESC desc{sizeof(DSBUFFERDESC), DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY, bytes, 0,
                    &format};
  // The level in hundredths of a decibel, as the API takes it.
  const LONG volume = static_cast<LONG>(2000.0 * std::log10(engine_run::VoiceLevel(s.voices)));
  std::vector<IDirectSoundBuffer*> buffers;
  for (int v = 0; v < s.voices; ++v) {
    IDirectSoundBuffer* buffer = nullptr;
    const bool duplicate = !s.distinct && v > 0;
    const HRESULT made = duplicate ? device->DuplicateSoundBuffer(buffers[0], &buffer)
                                   : device->CreateSoundBuffer(&desc, &buffer, nullptr);
    if (FAILED(made) || buffer == nullptr) {
      std::fprintf(stderr, "velmo_voices: buffer %d of %d refused\n", v + 1, s.voices);
      break;
    }
    void *p1 = nullptr, *p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    if (!duplicate && SUCCEEDED(buffer->Lock(0, bytes, &p1, &n1, &p2, &n2, 0))) {
      const std::vector<std::int16_t> pcm = engine_run::MakeSource(s.sourceRate, v);
      std::memcpy(p1, pcm.data(), n1);
      buffer->Unlock(p1, n1, p2, n2);
    }
    buffer->SetVolume(volume);
    buffer->SetCurrentPosition(static_cast<DWORD>((v % 97) * frames / 97) * 2);
    buffers.push_back(buffer);
  }
  for (IDirectSoundBuffer* buffer : buffers) buffer->Play(0, 0, DSBPLAY_LOOPING);
  const engine_run::Window window = engine_run::Play(s.seconds);
  int playing = 0;
  for (IDirectSoundBuffer* buffer : buffers) {
    DWORD status = 0;
    buffer->GetStatus(&status);
    playing += (status & DSBSTATUS_PLAYING) != 0;
  }
  engine_run::Report("velmo", "velmo_mixer", s, playing, window);
  for (IDirectSoundBuffer* buffer : buffers) buffer->Release();
  device->Release();
  platform.CoUninitialize();
  return 0;
}
