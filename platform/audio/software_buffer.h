// A secondary buffer of the software device: a ring of sample bytes that the
// mixer plays, with the buffer interface's controls on top.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio/mixer.h"
#include "platform/audio/voice.h"
#include "platform/dsound.h"

namespace velmo {

class SoftwareBuffer final : public IDirectSoundBuffer {
 public:
  // Creates a buffer from an already validated description.  Returns the
  // status and, on success, a buffer with one reference.
  static HRESULT Create(std::shared_ptr<Mixer> mixer, const DSBUFFERDESC& desc, const BufferFormat& format,
                        IDirectSoundBuffer** out);

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
  // A locked range.  Callers write into a private copy, not into the ring
  // itself: the mixer may be reading the ring at that moment, and a copy
  // that Unlock commits under the voice's lock keeps those two apart without
  // ever making the mixer wait.
  struct PendingLock {
    std::unique_ptr<std::uint8_t[]> copy;
    DWORD offset;
    DWORD first;   // bytes from `offset` up to the end of the ring at most
    DWORD second;  // bytes from the ring's start, when the range wraps
  };

  SoftwareBuffer(std::shared_ptr<Mixer> mixer, std::unique_ptr<Voice> voice, DWORD flags);
  ~SoftwareBuffer();

  bool lost() const { return voice_->generation != mixer_->generation(); }
  void ApplyGains();
  void Commit(DWORD offset, const std::uint8_t* bytes, DWORD count);

  std::atomic<ULONG> references_{1};
  std::shared_ptr<Mixer> mixer_;
  std::unique_ptr<Voice> voice_;
  int slot_ = -1;
  const DWORD flags_;
  // Volume and pan as set, guarded by the voice's lock like the gains they
  // produce.
  LONG volume_ = 0;
  LONG pan_ = 0;
  std::mutex locksMutex_;  // guards pendingLocks_; callers only
  std::vector<PendingLock> pendingLocks_;
};

}  // namespace velmo
