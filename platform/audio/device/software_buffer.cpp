#include "platform/audio/device/software_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "platform/audio/mixing/interpolator.h"

namespace velmo {
namespace {

// Hundredths of a decibel to a linear gain; the bottom of the range is
// silence, as the range's name says.
float DecibelGain(LONG hundredths) {
  if (hundredths <= DSBVOLUME_MIN) return 0.0f;
  return static_cast<float>(std::pow(10.0, hundredths / 2000.0));
}

}  // namespace

HRESULT SoftwareBuffer::Create(std::shared_ptr<Mixer> mixer, const DSBUFFERDESC& desc, const BufferFormat& format,
                               IDirectSoundBuffer** out) {
  std::unique_ptr<Voice> voice =
      Voice::Create(format, desc.dwBufferBytes, mixer->sampleRate(), mixer->periodFrames());
  if (!voice) return DSERR_OUTOFMEMORY;
  auto* buffer = new (std::nothrow) SoftwareBuffer(mixer, std::move(voice), desc.dwFlags);
  if (buffer == nullptr) return DSERR_OUTOFMEMORY;
  return buffer->Attach(out);
}

HRESULT SoftwareBuffer::Duplicate(SoftwareBuffer& original, IDirectSoundBuffer** out) {
  std::lock_guard<std::mutex> guard(original.mutex_);
  std::unique_ptr<Voice> voice = Voice::CreateSharing(*original.voice_, original.mixer_->periodFrames());
  if (!voice) return DSERR_OUTOFMEMORY;
  auto* buffer = new (std::nothrow) SoftwareBuffer(original.mixer_, std::move(voice), original.flags_);
  if (buffer == nullptr) return DSERR_OUTOFMEMORY;
  // It starts stopped at offset 0, with the original's volume, pan and
  // frequency; from here on each buffer's are its own.
  buffer->volume_ = original.volume_;
  buffer->pan_ = original.pan_;
  buffer->frequency_ = original.frequency_;
  buffer->PublishGains();
  buffer->controls_.step.store(InterpolatorStep(buffer->frequency_, buffer->voice_->outputRate()),
                               std::memory_order_relaxed);
  return buffer->Attach(out);
}

// Publishes the voice to the mixer (Attach is sequentially consistent), after
// every field of it is set; on failure the buffer goes away again.
HRESULT SoftwareBuffer::Attach(IDirectSoundBuffer** out) {
  slot_ = mixer_->Attach(voice_.get(), static_cast<IDirectSoundBuffer*>(this));
  if (slot_ < 0) {
    Release();
    return DSERR_ALLOCATED;
  }
  *out = this;
  return DS_OK;
}

SoftwareBuffer::SoftwareBuffer(std::shared_ptr<Mixer> mixer, std::unique_ptr<Voice> voice, DWORD flags)
    : mixer_(std::move(mixer)),
      voice_(std::move(voice)),
      controls_(voice_->controls),
      flags_(flags),
      frequency_(voice_->format().sampleRate) {}

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

// Playing, as the callers see it: started and not stopped, and not a
// one-shot play the mixer has finished.
bool SoftwareBuffer::playing() const {
  const Transport transport = Transport::Unpack(controls_.transport.load(std::memory_order_acquire));
  return transport.playing && controls_.endedStart.load(std::memory_order_acquire) != transport.start;
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
  std::lock_guard<std::mutex> guard(mutex_);
  // The cursor first, then the seek: a cursor that already reflects a seek
  // is never paired with the seek before it.  A seek the mixer has not
  // applied yet is where the buffer will play from, so that is the cursor.
  const Positioned cursor = Positioned::Unpack(controls_.cursor.load(std::memory_order_acquire));
  const Positioned seek = Positioned::Unpack(controls_.seek.load(std::memory_order_acquire));
  const bool seekPending = cursor.request != seek.request;
  const DWORD play = seekPending ? seek.offset : cursor.offset;
  DWORD write = play;
  if (playing()) {
    // Everything a pass in flight may read may already be on its way out,
    // and the write cursor stands past all of it: one pass's worth past the
    // play cursor, the interpolator's look-ahead included, at the largest
    // step such a pass may hold (a pass that began before a change of
    // frequency reads at the old rate).  With a seek not yet applied, a pass
    // in flight may still read from the old cursor instead, so the span
    // from the play cursor reaches round to the end of that read too.
    std::uint64_t step = controls_.step.load(std::memory_order_relaxed);
    if (mixer_->passes() == heldStepPass_) step = std::max(step, heldStep_);
    const std::uint64_t length = voice_->length();
    const std::uint64_t read = VoiceRenderer::ReadAhead(step, mixer_->periodFrames()) * voice_->format().blockAlign;
    std::uint64_t lead = read;
    if (seekPending) lead = std::max(lead, (cursor.offset + length - play) % length + read);
    // A ring no longer than that span is read whole by a pass: none of it is
    // free while it plays.  The write cursor then stands one byte behind the
    // play cursor, the one place that cannot read as a short lead (at the
    // play cursor it would read as none); that byte is no more free than
    // the rest, so a playing buffer whose write cursor is one byte behind
    // its play cursor has no free space.
    lead = std::min(lead, length - 1);
    write = static_cast<DWORD>((play + lead) % length);
  }
  if (playCursor != nullptr) *playCursor = play;
  if (writeCursor != nullptr) *writeCursor = write;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetStatus(DWORD* status) {
  if (status == nullptr) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  DWORD bits = 0;
  if (playing()) {
    bits = DSBSTATUS_PLAYING;
    if (Transport::Unpack(controls_.transport.load(std::memory_order_acquire)).looping) bits |= DSBSTATUS_LOOPING;
  }
  *status = bits;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetVolume(LONG* volume) {
  if (volume == nullptr) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLVOLUME)) return DSERR_CONTROLUNAVAIL;
  std::lock_guard<std::mutex> guard(mutex_);
  *volume = volume_;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetPan(LONG* pan) {
  if (pan == nullptr) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLPAN)) return DSERR_CONTROLUNAVAIL;
  std::lock_guard<std::mutex> guard(mutex_);
  *pan = pan_;
  return DS_OK;
}

HRESULT SoftwareBuffer::GetFrequency(DWORD* frequency) {
  if (frequency == nullptr) return DSERR_INVALIDPARAM;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLFREQUENCY)) return DSERR_CONTROLUNAVAIL;
  std::lock_guard<std::mutex> guard(mutex_);
  *frequency = frequency_;
  return DS_OK;
}

// The regions are the ring itself, as on a sound card: what the caller
// writes is in the buffer at once, and Unlock only checks the pointers and
// orders the writes before the mixer's next reads.  Writing where the mixer
// is about to read (between the play and the write cursor) is the caller's
// fault and sounds garbled, as it would on hardware.
HRESULT SoftwareBuffer::Lock(DWORD offset, DWORD bytes, void** region1, DWORD* bytes1, void** region2,
                             DWORD* bytes2, DWORD flags) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  const DWORD length = voice_->length();
  if (region1 == nullptr || bytes1 == nullptr || flags != 0) return DSERR_INVALIDPARAM;
  if (offset >= length || bytes == 0 || bytes > length) return DSERR_INVALIDPARAM;
  const DWORD first = std::min(bytes, length - offset);
  const DWORD second = bytes - first;
  if (second > 0 && (region2 == nullptr || bytes2 == nullptr)) return DSERR_INVALIDPARAM;

  std::lock_guard<std::mutex> guard(mutex_);
  const auto free = std::find_if(locks_.begin(), locks_.end(), [](const LockedRange& r) { return !r.held; });
  if (free == locks_.end()) return DSERR_INVALIDCALL;  // too many locks outstanding
  *free = {offset, first, second, true};
  *region1 = voice_->ring() + offset;
  *bytes1 = first;
  if (region2 != nullptr) *region2 = second > 0 ? voice_->ring() : nullptr;
  if (bytes2 != nullptr) *bytes2 = second;
  return DS_OK;
}

HRESULT SoftwareBuffer::Unlock(void* region1, DWORD bytes1, void* region2, DWORD bytes2) {
  if (region1 == nullptr) return DSERR_INVALIDPARAM;
  std::lock_guard<std::mutex> guard(mutex_);
  // The lock this unlock closes: the one handed out at that address with
  // room for the counts given.
  const auto* ring = voice_->ring();
  const auto match = std::find_if(locks_.begin(), locks_.end(), [&](const LockedRange& r) {
    if (!r.held || region1 != ring + r.offset || bytes1 > r.first) return false;
    if (region2 == nullptr) return true;
    return r.second > 0 && region2 == ring && bytes2 <= r.second;
  });
  if (match == locks_.end()) return DSERR_INVALIDPARAM;  // not a region this buffer handed out
  match->held = false;
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  voice_->memory().writes.fetch_add(1, std::memory_order_release);
  return DS_OK;
}

HRESULT SoftwareBuffer::Play(DWORD, DWORD, DWORD flags) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  std::lock_guard<std::mutex> guard(mutex_);
  // Already playing: only the looping mode changes, unless a one-shot
  // becomes looping.  That one is a new start, like a Play on a stopped
  // buffer or on a one-shot the mixer has finished: the mixer may be in the
  // pass that ends the one-shot, having taken it as a one-shot before this
  // store, and it has not yet said so (endedStart).  A changed looping flag
  // would come too late for that pass, and the next one would find the play
  // ended; a new start number is never missed, and the mixer carries on
  // seamlessly from where it is if the voice is still playing (see
  // VoiceRenderer::ApplyControls).  A looping voice made one-shot needs no
  // such care: the mixer ends a play only once it has seen it as a one-shot.
  const bool looping = (flags & DSBPLAY_LOOPING) != 0;
  if (playing() && (transport_.looping || !looping)) {
    transport_.looping = looping;
  } else {
    transport_ = {true, looping, (transport_.start + 1) & Transport::kStartMask};
  }
  controls_.transport.store(transport_.Pack(), std::memory_order_release);
  return DS_OK;
}

// As on a sound card, a stopped buffer is no longer read: once Stop returns
// the caller may write anywhere in it (a rewind refills it whole), as long
// as no other buffer sharing its memory is playing.  A pass
// that began before the stop may still be reading, so Stop waits for it;
// every later pass sees the voice stopped.  The store and the mixer's load
// of the play state are sequentially consistent, like the pass counter, so
// that no pass can both start unseen by this wait and miss the stop.
HRESULT SoftwareBuffer::Stop() {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  std::lock_guard<std::mutex> guard(mutex_);
  transport_.playing = false;
  controls_.transport.store(transport_.Pack(), std::memory_order_seq_cst);
  mixer_->WaitForPassInProgress();
  return DS_OK;
}

HRESULT SoftwareBuffer::SetCurrentPosition(DWORD position) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (position >= voice_->length()) return DSERR_INVALIDPARAM;
  // Play starts on a frame: an offset inside one would decode the samples
  // shifted by a byte or more, which sounds as noise at full scale.
  position -= position % voice_->format().blockAlign;
  std::lock_guard<std::mutex> guard(mutex_);
  controls_.seek.store(Positioned{++seekRequest_, position}.Pack(), std::memory_order_release);
  return DS_OK;
}

void SoftwareBuffer::PublishGains() {
  const float volume = DecibelGain(volume_);
  // A positive pan turns the left channel down by that many hundredths of
  // a decibel and leaves the right at full level; a negative one the reverse.
  const float left = pan_ > 0 ? DecibelGain(-pan_) : 1.0f;
  const float right = pan_ < 0 ? DecibelGain(pan_) : 1.0f;
  controls_.gains.store(StereoGains{volume * left, volume * right}.Pack(), std::memory_order_release);
}

HRESULT SoftwareBuffer::SetVolume(LONG volume) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLVOLUME)) return DSERR_CONTROLUNAVAIL;
  if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX) return DSERR_INVALIDPARAM;
  std::lock_guard<std::mutex> guard(mutex_);
  volume_ = volume;
  PublishGains();
  return DS_OK;
}

HRESULT SoftwareBuffer::SetPan(LONG pan) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLPAN)) return DSERR_CONTROLUNAVAIL;
  if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT) return DSERR_INVALIDPARAM;
  std::lock_guard<std::mutex> guard(mutex_);
  pan_ = pan;
  PublishGains();
  return DS_OK;
}

HRESULT SoftwareBuffer::SetFrequency(DWORD frequency) {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  if (!(flags_ & DSBCAPS_CTRLFREQUENCY)) return DSERR_CONTROLUNAVAIL;
  if (frequency == DSBFREQUENCY_ORIGINAL) frequency = voice_->format().sampleRate;
  if (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX) return DSERR_INVALIDPARAM;
  std::lock_guard<std::mutex> guard(mutex_);
  frequency_ = frequency;
  // The mixer takes the new step at its next pass and carries on from the
  // phase it has, so a change while playing glides without a jump.  A pass
  // already running may have taken the old step and go on reading at it, so
  // the write cursor keeps that step's span until the pass is over: the
  // store and the read of the pass counter are sequentially consistent, as
  // are the mixer's bump of the counter and its load of the step, so either
  // the count read here is even or past (every later pass sees the new
  // step) or it is the odd count of the pass that may hold an older one.
  const std::uint64_t before = controls_.step.load(std::memory_order_relaxed);
  controls_.step.store(InterpolatorStep(frequency, voice_->outputRate()), std::memory_order_seq_cst);
  const std::uint64_t pass = mixer_->passes();
  if (pass % 2 == 1) {
    // Several changes within one pass: it may hold any step set before it.
    heldStep_ = pass == heldStepPass_ ? std::max(heldStep_, before) : before;
    heldStepPass_ = pass;
  }
  return DS_OK;
}

// A buffer's samples live in the device's own memory, which nothing takes
// away: when the sound device goes, the device keeps time without it and
// every buffer keeps its samples and its state (see OutputEvents).  So no
// buffer is ever lost here, and there is nothing to restore.
HRESULT SoftwareBuffer::Restore() {
  if (!mixer_->alive()) return DSERR_UNINITIALIZED;
  return DS_OK;
}

}  // namespace velmo
