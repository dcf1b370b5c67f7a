// A secondary buffer of the software device: a ring of sample bytes that the
// mixer plays, with the buffer interface's controls on top.  This is the
// callers' side: it checks every call, keeps what callers set and publishes
// it to the voice's controls; it never waits for the mixer, except in Stop
// and Release, which must know the mixer has let go of the memory.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/audio/mixing/mixer.h"
#include "platform/audio/mixing/voice.h"
#include "velmo/platform/dsound.h"

namespace velmo {

class SoftwareBuffer final : public IDirectSoundBuffer {
 public:
  // Creates a buffer from an already validated description.  Returns the
  // status and, on success, a buffer with one reference.
  static HRESULT Create(std::shared_ptr<Mixer> mixer, const DSBUFFERDESC& desc, const BufferFormat& format,
                        IDirectSoundBuffer** out);
  // Creates a buffer that plays `original`'s memory (see
  // IDirectSound::DuplicateSoundBuffer); `original` must be alive.
  static HRESULT Duplicate(SoftwareBuffer& original, IDirectSoundBuffer** out);

  HRESULT QueryInterface(const GUID& iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetCaps(DSBCAPS* caps) override;
  HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) override;
  HRESULT GetStatus(DWORD* status) override;
  HRESULT GetVolume(LONG* volume) override;
  HRESULT GetPan(LONG* pan) override;
  HRESULT GetFrequency(DWORD* frequency) override;
  HRESULT Lock(DWORD offset, DWORD bytes, void** region1, DWORD* bytes1, void** region2, DWORD* bytes2,
               DWORD flags) override;
  HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) override;
  HRESULT SetCurrentPosition(DWORD position) override;
  HRESULT SetVolume(LONG volume) override;
  HRESULT SetPan(LONG pan) override;
  HRESULT SetFrequency(DWORD frequency) override;
  HRESULT Stop() override;
  HRESULT Unlock(void* region1, DWORD bytes1, void* region2, DWORD bytes2) override;
  HRESULT Restore() override;

 private:
  // A range handed out by Lock and not yet unlocked.
  struct LockedRange {
    DWORD offset = 0;
    DWORD first = 0;   // bytes from `offset` up to the end of the ring at most
    DWORD second = 0;  // bytes from the ring's start, when the range wraps
    bool held = false;
  };
  // Locks a caller may hold at once on one buffer.  The table is fixed so
  // that locking never allocates; a refill holds one lock at a time.
  static constexpr std::size_t kMaxLocks = 16;

  SoftwareBuffer(std::shared_ptr<Mixer> mixer, std::unique_ptr<Voice> voice, DWORD flags);
  ~SoftwareBuffer();
  HRESULT Attach(IDirectSoundBuffer** out);

  bool playing() const;
  void PublishGains();

  std::atomic<ULONG> references_{1};
  std::shared_ptr<Mixer> mixer_;
  std::unique_ptr<Voice> voice_;
  VoiceControls& controls_;
  int slot_ = -1;
  const DWORD flags_;

  // Callers serialise on this among themselves; the mixer never takes it.
  // It guards everything below, the callers' own copies of what they have
  // published to the mixer.
  std::mutex mutex_;
  LONG volume_ = 0;
  LONG pan_ = 0;
  DWORD frequency_ = 0;
  Transport transport_;
  std::uint32_t seekRequest_ = 0;
  // The largest step a pass still running may have taken before the latest
  // change of frequency, and that pass's count (see SetFrequency).
  std::uint64_t heldStep_ = 0;
  std::uint64_t heldStepPass_ = 0;
  std::array<LockedRange, kMaxLocks> locks_{};
};

}  // namespace velmo
