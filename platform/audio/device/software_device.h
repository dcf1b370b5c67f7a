// The software audio device: the IDirectSound object that mixes its buffers
// in software and hands the mix to an output.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/audio/audio_output.h"
#include "platform/audio/mixing/mixer.h"
#include "velmo/platform/dsound.h"

namespace velmo {

class SoftwareDevice final : public IDirectSound, private OutputEvents {
 public:
  // With no output given, Initialize opens the one VELMO_AUDIO_OUTPUT names.
  explicit SoftwareDevice(std::unique_ptr<AudioOutput> output = nullptr);

  HRESULT QueryInterface(const GUID& iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, IUnknown* outer) override;
  HRESULT SetCooperativeLevel(HWND window, DWORD level) override;
  HRESULT Initialize(const GUID* device) override;
  HRESULT DuplicateSoundBuffer(IDirectSoundBuffer* original, IDirectSoundBuffer** duplicate) override;

 private:
  ~SoftwareDevice();
  void OnOutputLost() override;
  void OnOutputRestored() override;

  std::atomic<ULONG> references_{1};
  std::mutex mutex_;  // guards the fields below against concurrent callers
  std::unique_ptr<AudioOutput> output_;
  std::shared_ptr<Mixer> mixer_;
  // Set once the output runs; the output's events read mixer_ only then.
  std::atomic<Mixer*> eventsMixer_{nullptr};
  bool initialized_ = false;
  DWORD cooperativeLevel_ = 0;
};

// Creates a device object that is not yet initialised, with one reference.
// Initialize opens the output that VELMO_AUDIO_OUTPUT names.
IDirectSound* CreateAudioDevice();

// Whether the audio output subsystem that VELMO_AUDIO_OUTPUT selects can be
// brought up at all.  It says nothing about whether a device will open.
bool AudioOutputSubsystemPresent();

// A device that plays through `output` instead of the one the environment
// names: for tests and tools that drive a manual output themselves.  The
// device owns the output; the caller may keep a plain pointer to it for as
// long as the device lives.
IDirectSound* CreateAudioDeviceWithOutput(std::unique_ptr<AudioOutput> output);

}  // namespace velmo
