#include "platform/audio/software_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace velmo {
namespace {

// Unlock commits large ranges in slices, taking the voice's lock once per
// slice, so that the mixer never finds a voice busy for long.
constexpr DWORD kCommitSlice = 4096;

// Hundredths of a decibel to a linear gain; the bottom of the range is
// silence, as the range's name says.
float DecibelGain(LONG hundredths) {
  if (hundredths <= DSBVOLUME_MIN) return 0.0f;
  return static_cast<float>(std::pow(10.0, hundredths / 2000.0));
}

}  // namespace

HRESULT SoftwareBuffer::Create(std::shared_ptr<Mixer> mixer, const DSBUFFERDESC& desc, const BufferFormat& format,
                               IDirectSoundBuffer** out) {
  std::unique_ptr<Voice> voice = Voice::Create(format, desc.dwBufferBytes, mixer->sampleRate());
  if (!voice) return DSERR_OUTOFMEMORY;
  voice->generation = mixer->generation();
  auto* buffer = new (std::nothrow) SoftwareBuffer(mixer, std::move(voice), desc.dwFlags);
  if (buffer == nullptr) return DSERR_OUTOFMEMORY;
  buffer->slot_ = mixer->Attach(buffer->voice_.get());
  if (buffer->slot_ < 0) {
    buffer->Release();
    return DSERR_ALLOCATED;
  }
  *out = buffer;
  return DS_OK;
}

SoftwareBuffer::SoftwareBuffer(std::shared_ptr<Mixer> mixer, std::unique_ptr<Voice> voice, DWORD flags)
    : mixer_(std::move(mixer)), voice_(std::move(voice)), flags_(flags) {}

SoftwareBuffer::~SoftwareBuffer() { mixer_->Detach(slot_); }

HRESULT SoftwareBuffer::QueryInterface(const GUID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDirectSoundBuffer) {
    AddRef();
    *object = static_cast<IDirectSoundBuffer*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG SoftwareBuffer::AddRef() { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG SoftwareBuffer::Release() {
  const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT SoftwareBuffer::GetCaps(DSBCAPS* caps) {
  if (caps == nullptr || caps->dwSize != sizeof(DSBCAPS)) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  // Every buffer is mixed in software.
  caps->dwFlags = (flags_ & ~DSBCAPS_LOCHARDWARE) | DSBCAPS_LOCSOFTWARE;
  caps->dwBufferBytes = voice_->length();
  caps->dwUnlockTransferRate = 0;
  caps->dwPlayCpuOverhead = 0;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  const DWORD play = voice_->position;
  DWORD write = play;
  if (voice_->playing && !lost()) {
    // The mixer takes about one output period at a time, so data written
    // less than a period's worth of bytes past the play cursor may already
    // be on its way out.  The write cursor stands that far ahead.
    const std::uint64_t frames =
        (static_cast<std::uint64_t>(mixer_->periodFrames()) * voice_->frequency + mixer_->sampleRate() - 1) /
        mixer_->sampleRate();
    const std::uint64_t lead = std::min<std::uint64_t>(frames * voice_->format().blockAlign, voice_->length() - 1);
    write = static_cast<DWORD>((play + lead) % voice_->length());
  }
  if (playCursor != nullptr) *playCursor = play;
  if (writeCursor != nullptr) *writeCursor = write;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetStatus(DWORD* status) {
  if (status == nullptr) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  DWORD bits = 0;
  if (lost()) {
    bits = DSBSTATUS_BUFFERLOST;
  } else if (voice_->playing) {
    bits = DSBSTATUS_PLAYING;
    if (voice_->looping) bits |= DSBSTATUS_LOOPING;
  }
  *status = bits;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetVolume(LONG* volume) {
  if (volume == nullptr) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLVOLUME)) return DSERR_CONTROLUNAVAIL;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  *volume = volume_;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetPan(LONG* pan) {
  if (pan == nullptr) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLPAN)) return DSERR_CONTROLUNAVAIL;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  *pan = pan_;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetFrequency(DWORD* frequency) {
  if (frequency == nullptr) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLFREQUENCY)) return DSERR_CONTROLUNAVAIL;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  *frequency = voice_->frequency;
  return DS_OK;
}

HRESULT SoftwareBuffer::Lock(DWORD offset, DWORD bytes, void** region1, DWORD* bytes1, void** region2,
                             DWORD* bytes2, DWORD flags) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  const DWORD length = voice_->length();
  if (region1 == nullptr || bytes1 == nullptr || flags != 0) return DSERR_INVALIDPARAM;
  if (offset >= length || bytes == 0 || bytes > length) return DSERR_INVALIDPARAM;
  const DWORD first = std::min(bytes, length - offset);
  const DWORD second = bytes - first;
  if (second > 0 && (region2 == nullptr || bytes2 == nullptr)) return DSERR_INVALIDPARAM;

  PendingLock pending{std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[bytes]), offset, first, second};
  if (!pending.copy) return DSERR_OUTOFMEMORY;
  {
    // The copy starts out as the ring's present contents, so a caller that
    // writes only part of the range leaves the rest as it was.
    std::lock_guard<VoiceLock> guard(voice_->lock);
    if (lost()) return DSERR_BUFFERLOST;
    std::memcpy(pending.copy.get(), voice_->data() + offset, first);
    std::memcpy(pending.copy.get() + first, voice_->data(), second);
  }
  *region1 = pending.copy.get();
  *bytes1 = first;
  if (region2 != nullptr) *region2 = second > 0 ? pending.copy.get() + first : nullptr;
  if (bytes2 != nullptr) *bytes2 = second;
  std::lock_guard<std::mutex> guard(locksMutex_);
  pendingLocks_.push_back(std::move(pending));
  return DS_OK;
}

void SoftwareBuffer::Commit(DWORD offset, const std::uint8_t* bytes, DWORD count) {
  while (count > 0) {
    const DWORD slice = std::min(count, kCommitSlice);
    {
      std::lock_guard<VoiceLock> guard(voice_->lock);
      std::memcpy(voice_->data() + offset, bytes, slice);
    }
    offset += slice;
    bytes += slice;
    count -= slice;
  }
}

HRESULT SoftwareBuffer::Unlock(void* region1, DWORD bytes1, void* region2, DWORD bytes2) {
  if (region1 == nullptr) return DSERR_INVALIDPARAM;
  PendingLock pending;
  {
    std::lock_guard<std::mutex> guard(locksMutex_);
    auto it = std::find_if(pendingLocks_.begin(), pendingLocks_.end(),
                           [&](const PendingLock& p) { return p.copy.get() == region1; });
    if (it == pendingLocks_.end()) return DSERR_INVALIDPARAM;  // not a region this buffer handed out
    if (bytes1 > it->first) return DSERR_INVALIDPARAM;
    if (region2 != nullptr && (region2 != it->copy.get() + it->first || bytes2 > it->second))
      return DSERR_INVALIDPARAM;
    pending = std::move(*it);
    pendingLocks_.erase(it);
  }
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  // Only the bytes the caller says it wrote are committed; a shorter count
  // leaves the rest of the ring untouched.
  Commit(pending.offset, pending.copy.get(), bytes1);
  if (region2 != nullptr) Commit(0, pending.copy.get() + pending.first, bytes2);
  return DS_OK;
}

HRESULT SoftwareBuffer::Play(DWORD, DWORD, DWORD flags) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  if (lost()) return DSERR_BUFFERLOST;
  voice_->Start((flags & DSBPLAY_LOOPING) != 0);
  return DS_OK;
}

HRESULT SoftwareBuffer::SetCurrentPosition(DWORD position) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (position >= voice_->length()) return DSERR_INVALIDPARAM;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  voice_->Seek(position);
  return DS_OK;
}

void SoftwareBuffer::ApplyGains() {
  const float volume = DecibelGain(volume_);
  // A positive pan turns the left channel down by that many hundredths of
  // a decibel and leaves the right at full level; a negative one the reverse.
  const float left = pan_ > 0 ? DecibelGain(-pan_) : 1.0f;
  const float right = pan_ < 0 ? DecibelGain(pan_) : 1.0f;
  voice_->gainLeft = volume * left;
  voice_->gainRight = volume * right;
}

HRESULT SoftwareBuffer::SetVolume(LONG volume) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLVOLUME)) return DSERR_CONTROLUNAVAIL;
  if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX) return DSERR_INVALIDPARAM;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  volume_ = volume;
  ApplyGains();
  return DS_OK;
}

HRESULT SoftwareBuffer::SetPan(LONG pan) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLPAN)) return DSERR_CONTROLUNAVAIL;
  if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT) return DSERR_INVALIDPARAM;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  pan_ = pan;
  ApplyGains();
  return DS_OK;
}

HRESULT SoftwareBuffer::SetFrequency(DWORD frequency) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLFREQUENCY)) return DSERR_CONTROLUNAVAIL;
  if (frequency == DSBFREQUENCY_ORIGINAL) frequency = voice_->format().sampleRate;
  if (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX) return DSERR_INVALIDPARAM;
  // Changing the resampler's ratio may allocate its filter tables; that is
  // done here, on the caller's thread, under the voice's lock, so the mixer
  // only ever runs a resampler that is already set up.
  std::lock_guard<VoiceLock> guard(voice_->lock);
  return voice_->SetFrequency(frequency) ? DS_OK : DSERR_OUTOFMEMORY;
}

HRESULT SoftwareBuffer::Stop() {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  voice_->playing = false;
  return DS_OK;
}

HRESULT SoftwareBuffer::Restore() {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  // Read the generation before checking availability: a loss that lands in
  // between either makes the check fail or leaves this voice one generation
  // behind, lost again, never restored onto a device that is gone.
  const std::uint64_t generation = mixer_->generation();
  if (!mixer_->available()) return DSERR_BUFFERLOST;
  std::lock_guard<VoiceLock> guard(voice_->lock);
  if (voice_->generation == generation) return DS_OK;
  // The memory of a lost buffer is gone: it comes back silent, stopped and
  // rewound, and the caller writes it again.
  voice_->generation = generation;
  voice_->playing = false;
  voice_->Seek(0);
  std::memset(voice_->data(), voice_->format().silenceByte, voice_->length());
  return DS_OK;
}

}  // namespace velmo
