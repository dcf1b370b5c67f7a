#include "platform/audio/device/software_device.h"

#include <new>

#include "platform/audio/device/buffer_format.h"
#include "platform/audio/device/software_buffer.h"
#include "platform/audio/mixing/interpolator.h"
#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/output_status.h"

namespace velmo {

// Cooperative levels run from normal (1) to write-primary (4).  A software
// device shares the output with everyone, so every level is granted and none
// changes how it mixes.
constexpr DWORD kHighestCooperativeLevel = 4;

namespace {

// The clock keeper is an output of its own, but it never loses anything.
class NoEvents final : public OutputEvents {
 public:
  void OnOutputLost() override {}
  void OnOutputRestored() override {}
};
NoEvents noEvents;

}  // namespace

SoftwareDevice::SoftwareDevice(std::unique_ptr<AudioOutput> output, ClockKeeperFactory keeper)
    : output_(std::move(output)), makeKeeper_(std::move(keeper)) {
  if (!makeKeeper_) makeKeeper_ = [](std::uint32_t rate, std::uint32_t period) { return CreateNullOutput(rate, period); };
}

SoftwareDevice::~SoftwareDevice() {
  // The output first: once it is closed no event can start a keeper again.
  if (output_) output_->Close();
  WithdrawOutputStatus(this);
  {
    std::lock_guard<std::mutex> guard(keeperMutex_);
    if (keeper_) keeper_->Close();
    keeper_.reset();
  }
  // Buffers may outlive the device; they keep the mixer but fail every call.
  if (mixer_) mixer_->Shutdown();
}

HRESULT SoftwareDevice::QueryInterface(const GUID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDirectSound) {
    AddRef();
    *object = static_cast<IDirectSound*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG SoftwareDevice::AddRef() { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG SoftwareDevice::Release() {
  const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT SoftwareDevice::Initialize(const GUID* device) {
  static constexpr GUID kDefaultDevice{};
  std::lock_guard<std::mutex> guard(mutex_);
  if (initialized_) return DSERR_ALREADYINITIALIZED;
  // Only the default output exists; any other identifier names no device.
  if (device != nullptr && !(*device == kDefaultDevice)) return DSERR_NODRIVER;

  std::unique_ptr<AudioOutput> output = std::move(output_);
  // The state programs read is that of an output chosen by the settings;
  // an output handed in (a test's) has no name to give.
  AudioOutputState state;
  if (!output) {
    const OutputSettings settings = ReadOutputSettings();
    output = CreateSelectedOutput(settings, &state.output);
    if (!output) return DSERR_NODRIVER;
    if (state.output == "pipewire" || state.output == "pulseaudio" || state.output == "sdl") state.device = settings.device;
  }
  // The interpolator's tables are built here, on the caller's thread, never
  // by the mixer.
  PrepareInterpolator();
  auto mixer = std::make_shared<Mixer>(output->SampleRate(), output->PeriodFrames());
  eventsMixer_.store(mixer.get(), std::memory_order_release);
  if (!output->Open(*mixer, *this)) {
    eventsMixer_.store(nullptr, std::memory_order_release);
    output_ = std::move(output);  // an injected output may be tried again
    return DSERR_NODRIVER;
  }
  if (!state.output.empty()) {
    state.onDefaultDevice = state.device.empty();
    state.connected = true;
    state.latencyMs = output->RunningLatencyMs();
    state.rate = output->SampleRate();
    PublishOutputStatus(this, state);
  }
  output_ = std::move(output);
  mixer_ = std::move(mixer);
  initialized_ = true;
  return DS_OK;
}

HRESULT SoftwareDevice::SetCooperativeLevel(HWND, DWORD level) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!initialized_) return DSERR_UNINITIALIZED;
  if (level < DSSCL_NORMAL || level > kHighestCooperativeLevel) return DSERR_INVALIDPARAM;
  cooperativeLevel_ = level;
  return DS_OK;
}

HRESULT SoftwareDevice::CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, IUnknown* outer) {
  if (buffer == nullptr) return DSERR_INVALIDPARAM;
  *buffer = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (desc == nullptr || desc->dwSize != sizeof(DSBUFFERDESC)) return DSERR_INVALIDPARAM;
  std::shared_ptr<Mixer> mixer;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!initialized_) return DSERR_UNINITIALIZED;
    mixer = mixer_;
  }
  // Only secondary buffers exist here: the mix itself is not a buffer a
  // caller can lock, and no buffer lives in hardware.
  if (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) return DSERR_INVALIDPARAM;
  if (desc->dwFlags & DSBCAPS_LOCHARDWARE) return DSERR_INVALIDCALL;
  if (desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX) return DSERR_INVALIDPARAM;
  BufferFormat format;
  const HRESULT parsed = ParseBufferFormat(desc->lpwfxFormat, &format);
  if (FAILED(parsed)) return parsed;
  return SoftwareBuffer::Create(std::move(mixer), *desc, format, buffer);
}

HRESULT SoftwareDevice::DuplicateSoundBuffer(IDirectSoundBuffer* original, IDirectSoundBuffer** duplicate) {
  if (duplicate == nullptr) return DSERR_INVALIDPARAM;
  *duplicate = nullptr;
  std::shared_ptr<Mixer> mixer;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!initialized_) return DSERR_UNINITIALIZED;
    mixer = mixer_;
  }
  // Only this device's secondary buffers can be duplicated.  There is no
  // primary buffer here (CreateSoundBuffer refuses one with the same code),
  // and a pointer that is not one of this device's live buffers, one of
  // another device's or one already released, is refused by its address
  // alone, before anything reads through it.
  if (!mixer->Attached(original)) return DSERR_INVALIDPARAM;
  return SoftwareBuffer::Duplicate(*static_cast<SoftwareBuffer*>(original), duplicate);
}

// The sound device went away.  Its buffers' samples are in our memory, so
// nothing is lost: the device goes on mixing at real time into nothing, and
// callers see no difference.  Music carries on from where time has taken
// it once the sound returns, a one-shot started meanwhile plays out unheard
// instead of late, and the stream's refills keep pace with cursors that
// move as they always do.  Holding the cursors still instead would play
// every effect pressed during the outage at once when the sound came back.
void SoftwareDevice::OnOutputLost() {
  Mixer* mixer = eventsMixer_.load(std::memory_order_acquire);
  if (mixer == nullptr) return;
  NoteOutputConnected(this, false);
  std::lock_guard<std::mutex> guard(keeperMutex_);
  if (keeper_) return;
  keeper_ = makeKeeper_(mixer->sampleRate(), mixer->periodFrames());
  // A keeper that cannot start leaves time standing still until the output
  // returns, which loses nothing either.
  if (keeper_ && !keeper_->Open(*mixer, noEvents)) keeper_.reset();
}

// The output renders again from its next call; the keeper's last pass is
// over once Close returns.
void SoftwareDevice::OnOutputRestored() {
  NoteOutputConnected(this, true);
  std::lock_guard<std::mutex> guard(keeperMutex_);
  if (keeper_) keeper_->Close();
  keeper_.reset();
}

IDirectSound* CreateAudioDeviceWithOutput(std::unique_ptr<AudioOutput> output, ClockKeeperFactory keeper) {
  return new (std::nothrow) SoftwareDevice(std::move(output), std::move(keeper));
}

IDirectSound* CreateAudioDevice() { return CreateAudioDeviceWithOutput(nullptr); }

bool AudioOutputSubsystemPresent() { return SelectedOutputPresent(ReadOutputSettings()); }

}  // namespace velmo
