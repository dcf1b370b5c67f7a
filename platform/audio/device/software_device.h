// The software audio device: the IDirectSound object that mixes its buffers
// in software and hands the mix to an output.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/audio/audio_output.h"
#include "platform/audio/mixing/mixer.h"
#include "velmo/platform/dsound.h"

namespace velmo {

// What keeps the device's time while its output is away: an output, not yet
// opened, that mixes at the given rate and period into nothing.
using ClockKeeperFactory = std::function<std::unique_ptr<AudioOutput>(std::uint32_t rate, std::uint32_t periodFrames)>;

class SoftwareDevice final : public IDirectSound, private OutputEvents {
 public:
  // With no output given, Initialize opens the one the settings name
  // (output_settings.h) and publishes its state (GetAudioOutputState).
  // With no clock keeper given, a null output keeps time in real time.
  explicit SoftwareDevice(std::unique_ptr<AudioOutput> output = nullptr, ClockKeeperFactory keeper = nullptr);

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
  // Set before the output opens, so that its events find the mixer; the
  // release store publishes the mixer's construction to the output's
  // threads, which load it with acquire.
  std::atomic<Mixer*> eventsMixer_{nullptr};
  bool initialized_ = false;
  DWORD cooperativeLevel_ = 0;

  // The clock keeper runs from a loss to the next restoration.  The
  // output's events and the destructor take keeperMutex_, never mutex_, so
  // callers are not held up while a keeper starts or stops.
  ClockKeeperFactory makeKeeper_;
  std::mutex keeperMutex_;
  std::unique_ptr<AudioOutput> keeper_;
};

// Creates a device object that is not yet initialised, with one reference.
// Initialize opens the output that the settings name.
IDirectSound* CreateAudioDevice();

// Whether the audio output subsystem that the settings select can be
// brought up at all.  It says nothing about whether a device will open.
bool AudioOutputSubsystemPresent();

// A device that plays through `output` instead of the one the environment
// names: for tests and tools that drive a manual output themselves.  The
// device owns the output; the caller may keep a plain pointer to it for as
// long as the device lives.  `keeper` makes what keeps time while the
// output is away (a real-time null output unless given).
IDirectSound* CreateAudioDeviceWithOutput(std::unique_ptr<AudioOutput> output, ClockKeeperFactory keeper = nullptr);

}  // namespace velmo
