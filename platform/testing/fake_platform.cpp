#include "platform/testing/fake_platform.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/case_insensitive_open.h"
#include "platform/mm_timer.h"
#include "velmo/platform/acm.h"
#include "velmo/platform/heap.h"
#include "velmo/platform/services.h"

namespace velmo::testing {
namespace {

std::int64_t AsArg(const void* p) { return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(p)); }

}  // namespace

std::string Call::Format() const {
  std::ostringstream out;
  out << name << '(';
  for (std::size_t i = 0; i < args.size(); ++i) out << (i ? ", " : "") << args[i];
  out << ')';
  return out.str();
}

// ---------------------------------------------------------------------------
// FakeSoundBuffer

FakeSoundBuffer::FakeSoundBuffer(FakePlatform& platform, std::string name, const DSBUFFERDESC& desc)
    : platform_(platform), name_(std::move(name)), desc_(desc), data_(desc.dwBufferBytes, 0) {
  const auto* format = reinterpret_cast<const std::uint8_t*>(desc.lpwfxFormat);
  const std::size_t formatBytes = sizeof(WAVEFORMATEX) + desc.lpwfxFormat->cbSize;
  format_.assign(format, format + formatBytes);
  desc_.lpwfxFormat = reinterpret_cast<WAVEFORMATEX*>(format_.data());
  frequency_ = desc.lpwfxFormat->nSamplesPerSec;
}

HRESULT FakeSoundBuffer::Enter(const char* method, std::vector<std::int64_t> args) {
  platform_.Record(name_ + "." + method, std::move(args));
  if (refs_ == 0) {
    platform_.NoteUseAfterRelease();
    return DSERR_INVALIDCALL;
  }
  std::int64_t result = 0;
  if (platform_.ShouldFail(name_, method, &result)) return static_cast<HRESULT>(result);
  return DS_OK;
}

HRESULT FakeSoundBuffer::QueryInterface(const GUID& iid, void** object) {
  if (HRESULT hr = Enter("QueryInterface", {}); hr != DS_OK) return hr;
  if (object == nullptr) return E_POINTER;
  if (!(iid == IID_IDirectSoundBuffer) && !(iid == IID_IUnknown)) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ++refs_;
  *object = this;
  return S_OK;
}

ULONG FakeSoundBuffer::AddRef() {
  platform_.Record(name_ + ".AddRef");
  if (refs_ == 0) platform_.NoteUseAfterRelease();
  return ++refs_;
}

ULONG FakeSoundBuffer::Release() {
  platform_.Record(name_ + ".Release");
  if (refs_ == 0) {
    platform_.NoteUseAfterRelease();
    return 0;
  }
  if (--refs_ == 0) playing_ = false;
  return refs_;
}

HRESULT FakeSoundBuffer::GetCaps(DSBCAPS* caps) {
  if (HRESULT hr = Enter("GetCaps", {caps ? caps->dwSize : -1}); hr != DS_OK) return hr;
  if (caps == nullptr || caps->dwSize != sizeof(DSBCAPS)) return DSERR_INVALIDPARAM;
  caps->dwFlags = desc_.dwFlags | (inHardware_ ? DSBCAPS_LOCHARDWARE : DSBCAPS_LOCSOFTWARE);
  caps->dwBufferBytes = desc_.dwBufferBytes;
  caps->dwUnlockTransferRate = 0;
  caps->dwPlayCpuOverhead = 0;
  return DS_OK;
}

HRESULT FakeSoundBuffer::GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) {
  if (HRESULT hr = Enter("GetCurrentPosition", {}); hr != DS_OK) return hr;
  if (playCursor) *playCursor = position_;
  if (writeCursor) *writeCursor = static_cast<DWORD>((position_ + writeLead_) % data_.size());
  return DS_OK;
}

HRESULT FakeSoundBuffer::GetStatus(DWORD* status) {
  if (HRESULT hr = Enter("GetStatus", {}); hr != DS_OK) return hr;
  if (status == nullptr) return DSERR_INVALIDPARAM;
  *status = (playing_ ? DSBSTATUS_PLAYING : 0) | (playing_ && looping_ ? DSBSTATUS_LOOPING : 0) |
            (lost_ ? DSBSTATUS_BUFFERLOST : 0);
  return DS_OK;
}

HRESULT FakeSoundBuffer::GetVolume(LONG* volume) {
  if (HRESULT hr = Enter("GetVolume", {}); hr != DS_OK) return hr;
  if (volume == nullptr) return DSERR_INVALIDPARAM;
  *volume = volume_;
  return DS_OK;
}

HRESULT FakeSoundBuffer::GetPan(LONG* pan) {
  if (HRESULT hr = Enter("GetPan", {}); hr != DS_OK) return hr;
  if (pan == nullptr) return DSERR_INVALIDPARAM;
  *pan = pan_;
  return DS_OK;
}

HRESULT FakeSoundBuffer::GetFrequency(DWORD* frequency) {
  if (HRESULT hr = Enter("GetFrequency", {}); hr != DS_OK) return hr;
  if (frequency == nullptr) return DSERR_INVALIDPARAM;
  *frequency = frequency_;
  return DS_OK;
}

HRESULT FakeSoundBuffer::Lock(DWORD offset, DWORD bytes, void** region1, DWORD* bytes1, void** region2,
                              DWORD* bytes2, DWORD flags) {
  if (HRESULT hr = Enter("Lock", {offset, bytes, flags}); hr != DS_OK) return hr;
  if (lost_) return DSERR_BUFFERLOST;
  const DWORD size = static_cast<DWORD>(data_.size());
  if (region1 == nullptr || bytes1 == nullptr || offset >= size || bytes > size) return DSERR_INVALIDPARAM;
  const DWORD first = std::min(bytes, size - offset);
  *region1 = data_.data() + offset;
  *bytes1 = first;
  if (region2) *region2 = bytes > first ? data_.data() : nullptr;
  if (bytes2) *bytes2 = bytes - first;
  if (bytes > first && (region2 == nullptr || bytes2 == nullptr)) return DSERR_INVALIDPARAM;
  ++lockCount_;
  return DS_OK;
}

HRESULT FakeSoundBuffer::Unlock(void* region1, DWORD bytes1, void* region2, DWORD bytes2) {
  if (HRESULT hr = Enter("Unlock", {bytes1, bytes2}); hr != DS_OK) return hr;
  (void)region1;
  (void)region2;
  if (lockCount_ == 0) return DSERR_INVALIDPARAM;
  --lockCount_;
  return DS_OK;
}

HRESULT FakeSoundBuffer::Play(DWORD reserved, DWORD priority, DWORD flags) {
  if (HRESULT hr = Enter("Play", {reserved, priority, flags}); hr != DS_OK) return hr;
  if (lost_) return DSERR_BUFFERLOST;
  playing_ = true;
  looping_ = (flags & DSBPLAY_LOOPING) != 0;
  return DS_OK;
}

HRESULT FakeSoundBuffer::SetCurrentPosition(DWORD position) {
  if (HRESULT hr = Enter("SetCurrentPosition", {position}); hr != DS_OK) return hr;
  if (position >= data_.size()) return DSERR_INVALIDPARAM;
  position_ = position;
  return DS_OK;
}

HRESULT FakeSoundBuffer::SetVolume(LONG volume) {
  if (HRESULT hr = Enter("SetVolume", {volume}); hr != DS_OK) return hr;
  if (!(desc_.dwFlags & DSBCAPS_CTRLVOLUME)) return DSERR_CONTROLUNAVAIL;
  if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX) return DSERR_INVALIDPARAM;
  volume_ = volume;
  return DS_OK;
}

HRESULT FakeSoundBuffer::SetPan(LONG pan) {
  if (HRESULT hr = Enter("SetPan", {pan}); hr != DS_OK) return hr;
  if (!(desc_.dwFlags & DSBCAPS_CTRLPAN)) return DSERR_CONTROLUNAVAIL;
  if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT) return DSERR_INVALIDPARAM;
  pan_ = pan;
  return DS_OK;
}

HRESULT FakeSoundBuffer::SetFrequency(DWORD frequency) {
  if (HRESULT hr = Enter("SetFrequency", {frequency}); hr != DS_OK) return hr;
  if (!(desc_.dwFlags & DSBCAPS_CTRLFREQUENCY)) return DSERR_CONTROLUNAVAIL;
  if (frequency == DSBFREQUENCY_ORIGINAL) frequency = desc_.lpwfxFormat->nSamplesPerSec;
  if (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX) return DSERR_INVALIDPARAM;
  frequency_ = frequency;
  return DS_OK;
}

HRESULT FakeSoundBuffer::Stop() {
  if (HRESULT hr = Enter("Stop", {}); hr != DS_OK) return hr;
  playing_ = false;
  return DS_OK;
}

HRESULT FakeSoundBuffer::Restore() {
  if (HRESULT hr = Enter("Restore", {}); hr != DS_OK) return hr;
  if (lost_) {
    // Restored memory holds nothing useful: the owner must write it again.
    std::fill(data_.begin(), data_.end(), 0xDD);
    lost_ = false;
  }
  return DS_OK;
}

void FakeSoundBuffer::Advance(DWORD bytes) {
  const DWORD size = static_cast<DWORD>(data_.size());
  while (bytes > 0 && playing_ && !lost_) {
    const DWORD step = std::min(bytes, size - position_);
    if (recordConsumption_)
      consumed_.insert(consumed_.end(), data_.begin() + position_, data_.begin() + position_ + step);
    position_ += step;
    bytes -= step;
    if (position_ == size) {
      position_ = 0;
      if (!looping_) playing_ = false;
    }
  }
}

void FakeSoundBuffer::Lose() {
  lost_ = true;
  playing_ = false;
}

// ---------------------------------------------------------------------------
// FakeDirectSound

HRESULT FakeDirectSound::QueryInterface(const GUID& iid, void** object) {
  platform_.Record("dsound.QueryInterface");
  if (object == nullptr) return E_POINTER;
  if (!(iid == IID_IDirectSound) && !(iid == IID_IUnknown)) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  *object = this;
  return S_OK;
}

ULONG FakeDirectSound::AddRef() {
  platform_.Record("dsound.AddRef");
  if (refs_ == 0) platform_.NoteUseAfterRelease();
  return ++refs_;
}

ULONG FakeDirectSound::Release() {
  platform_.Record("dsound.Release");
  if (refs_ == 0) {
    platform_.NoteUseAfterRelease();
    return 0;
  }
  return --refs_;
}

HRESULT FakeDirectSound::Initialize(const GUID* device) {
  platform_.Record("dsound.Initialize", {AsArg(device)});
  if (refs_ == 0) platform_.NoteUseAfterRelease();
  std::int64_t result = 0;
  if (platform_.ShouldFail("dsound", "Initialize", &result)) return static_cast<HRESULT>(result);
  if (initialized_) return DSERR_ALREADYINITIALIZED;
  initialized_ = true;
  return DS_OK;
}

HRESULT FakeDirectSound::SetCooperativeLevel(HWND window, DWORD level) {
  platform_.Record("dsound.SetCooperativeLevel", {AsArg(window), level});
  if (refs_ == 0) platform_.NoteUseAfterRelease();
  std::int64_t result = 0;
  if (platform_.ShouldFail("dsound", "SetCooperativeLevel", &result)) return static_cast<HRESULT>(result);
  if (!initialized_) return DSERR_UNINITIALIZED;
  window_ = window;
  level_ = level;
  return DS_OK;
}

HRESULT FakeDirectSound::CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, IUnknown* outer) {
  platform_.Record("dsound.CreateSoundBuffer",
                   {desc ? desc->dwSize : -1, desc ? desc->dwFlags : -1, desc ? desc->dwBufferBytes : -1,
                    desc ? desc->dwReserved : -1, AsArg(outer)});
  if (refs_ == 0) platform_.NoteUseAfterRelease();
  if (buffer == nullptr) return DSERR_INVALIDPARAM;
  *buffer = nullptr;
  std::int64_t result = 0;
  if (platform_.ShouldFail("dsound", "CreateSoundBuffer", &result)) return static_cast<HRESULT>(result);
  if (!initialized_) return DSERR_UNINITIALIZED;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (desc == nullptr || desc->dwSize != sizeof(DSBUFFERDESC) || desc->lpwfxFormat == nullptr) return DSERR_INVALIDPARAM;
  if (desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX) return DSERR_INVALIDPARAM;
  const WORD tag = desc->lpwfxFormat->wFormatTag;
  if (tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT && tag != WAVE_FORMAT_EXTENSIBLE) return DSERR_BADFORMAT;
  *buffer = platform_.NewBuffer(*desc);
  return DS_OK;
}

HRESULT FakeDirectSound::DuplicateSoundBuffer(IDirectSoundBuffer* original, IDirectSoundBuffer** duplicate) {
  platform_.Record("dsound.DuplicateSoundBuffer", {AsArg(original)});
  if (refs_ == 0) platform_.NoteUseAfterRelease();
  if (duplicate == nullptr) return DSERR_INVALIDPARAM;
  *duplicate = nullptr;
  std::int64_t result = 0;
  if (platform_.ShouldFail("dsound", "DuplicateSoundBuffer", &result)) return static_cast<HRESULT>(result);
  if (!initialized_) return DSERR_UNINITIALIZED;
  if (original == nullptr) return DSERR_INVALIDPARAM;
  return DSERR_UNSUPPORTED;
}

// ---------------------------------------------------------------------------
// FakePlatform

FakePlatform::FakePlatform() = default;

FakePlatform::~FakePlatform() {
  for (void* block : liveBlocks_) std::free(block);
  for (int fd : openFiles_) ::close(fd);
}

void FakePlatform::Record(std::string name, std::vector<std::int64_t> args) {
  std::lock_guard lock(mutex_);
  calls_.push_back({std::move(name), std::move(args)});
}

std::vector<Call> FakePlatform::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakePlatform::CallNames() const { return CallNamesContaining(""); }

std::vector<std::string> FakePlatform::CallNamesContaining(const std::string& part) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const Call& call : calls_)
    if (call.name.find(part) != std::string::npos) names.push_back(call.name);
  return names;
}

void FakePlatform::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void FakePlatform::Fail(const std::string& name, std::int64_t result, int times, int skip) {
  std::lock_guard lock(mutex_);
  failures_[name] = {result, times, skip};
}

void FakePlatform::ClearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

bool FakePlatform::ShouldFail(const std::string& object, const std::string& method, std::int64_t* result) {
  std::lock_guard lock(mutex_);
  std::vector<std::string> keys{method};
  if (!object.empty()) keys.insert(keys.begin(), object + "." + method);
  for (const std::string& key : keys) {
    auto it = failures_.find(key);
    if (it == failures_.end()) continue;
    FailureRule& rule = it->second;
    if (rule.skip > 0) {
      --rule.skip;
      return false;
    }
    if (rule.times == 0) continue;
    if (rule.times > 0) --rule.times;
    *result = rule.result;
    return true;
  }
  return false;
}

MMRESULT FakePlatform::acmMetrics(void* object, UINT metric, void* value) {
  Record("acmMetrics", {AsArg(object), metric});
  std::int64_t result = 0;
  if (ShouldFail("", "acmMetrics", &result)) return static_cast<MMRESULT>(result);
  if (value == nullptr) return 11;
  const DWORD size = 40;
  std::memcpy(value, &size, sizeof size);
  return MMSYSERR_NOERROR;
}

HRESULT FakePlatform::CoInitialize(void* reserved) {
  Record("CoInitialize", {AsArg(reserved)});
  std::int64_t result = 0;
  if (ShouldFail("", "CoInitialize", &result)) return static_cast<HRESULT>(result);
  return comInitCount_++ == 0 ? S_OK : S_FALSE;
}

void FakePlatform::CoUninitialize() {
  Record("CoUninitialize");
  if (comInitCount_ > 0) --comInitCount_;
}

HRESULT FakePlatform::CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid,
                                       void** object) {
  Record("CoCreateInstance", {clsid == CLSID_DirectSound, AsArg(outer), context, iid == IID_IDirectSound});
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  std::int64_t result = 0;
  if (ShouldFail("", "CoCreateInstance", &result)) return static_cast<HRESULT>(result);
  if (comInitCount_ == 0) return CO_E_NOTINITIALIZED;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (!(clsid == CLSID_DirectSound)) return REGDB_E_CLASSNOTREG;
  if (!(iid == IID_IDirectSound)) return E_NOINTERFACE;
  std::lock_guard lock(mutex_);
  devices_.push_back(std::make_unique<FakeDirectSound>(*this));
  *object = static_cast<IDirectSound*>(devices_.back().get());
  return S_OK;
}

FakeSoundBuffer* FakePlatform::NewBuffer(const DSBUFFERDESC& desc) {
  std::lock_guard lock(mutex_);
  buffers_.push_back(
      std::make_unique<FakeSoundBuffer>(*this, "buffer" + std::to_string(buffers_.size() + 1), desc));
  buffers_.back()->SetInHardware(hardwareBuffers_);
  return buffers_.back().get();
}

std::vector<FakeSoundBuffer*> FakePlatform::Buffers() const {
  std::lock_guard lock(mutex_);
  std::vector<FakeSoundBuffer*> all;
  for (const auto& buffer : buffers_) all.push_back(buffer.get());
  return all;
}

MMRESULT FakePlatform::timeBeginPeriod(UINT period) {
  Record("timeBeginPeriod", {period});
  std::int64_t result = 0;
  if (ShouldFail("", "timeBeginPeriod", &result)) return static_cast<MMRESULT>(result);
  ++openPeriods_;
  return TIMERR_NOERROR;
}

MMRESULT FakePlatform::timeEndPeriod(UINT period) {
  Record("timeEndPeriod", {period});
  std::int64_t result = 0;
  if (ShouldFail("", "timeEndPeriod", &result)) return static_cast<MMRESULT>(result);
  if (openPeriods_ == 0) return TIMERR_NOCANDO;
  --openPeriods_;
  return TIMERR_NOERROR;
}

MMRESULT FakePlatform::timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK procedure, DWORD_PTR user,
                                    UINT flags) {
  Record("timeSetEvent", {delay, resolution, static_cast<std::int64_t>(user), flags});
  std::int64_t result = 0;
  if (ShouldFail("", "timeSetEvent", &result)) return static_cast<MMRESULT>(result);
  if (procedure == nullptr) return 0;
  std::lock_guard lock(mutex_);
  timerId_ = nextTimerId_++;
  timerProc_ = procedure;
  timerUser_ = user;
  return timerId_;
}

MMRESULT FakePlatform::timeKillEvent(UINT timerId) {
  Record("timeKillEvent", {timerId});
  std::int64_t result = 0;
  if (ShouldFail("", "timeKillEvent", &result)) return static_cast<MMRESULT>(result);
  std::lock_guard lock(mutex_);
  if (timerProc_ == nullptr || timerId != timerId_) return TIMERR_NOCANDO;
  timerProc_ = nullptr;
  return TIMERR_NOERROR;
}

bool FakePlatform::TimerAlive() const {
  std::lock_guard lock(mutex_);
  return timerProc_ != nullptr;
}

bool FakePlatform::FireTimer() {
  LPTIMECALLBACK procedure;
  UINT id;
  DWORD_PTR user;
  {
    std::lock_guard lock(mutex_);
    procedure = timerProc_;
    id = timerId_;
    user = timerUser_;
  }
  if (procedure == nullptr) return false;
  procedure(id, 0, user, 0, 0);
  return true;
}

int FakePlatform::MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) {
  Record("MessageBoxA", {AsArg(owner), style});
  std::lock_guard lock(mutex_);
  messageBoxes_.push_back({owner, text ? text : "", caption ? caption : "", style});
  return IDOK;
}

void FakePlatform::OutputDebugStringA(const char* line) {
  Record("OutputDebugStringA");
  std::lock_guard lock(mutex_);
  debugLines_.push_back(line ? line : "");
}

void FakePlatform::Sleep(DWORD milliseconds) {
  Record("Sleep", {milliseconds});
  if (onSleep) onSleep(milliseconds);
}

HGLOBAL FakePlatform::GlobalAlloc(UINT flags, SIZE_T bytes) {
  std::int64_t result = 0;
  if (ShouldFail("", "GlobalAlloc", &result)) return nullptr;
  if ((flags & ~GPTR) != 0) return nullptr;
  void* block = (flags & GMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (block == nullptr) return nullptr;
  std::lock_guard lock(mutex_);
  liveBlocks_.insert(block);
  ++allocations_;
  return block;
}

HGLOBAL FakePlatform::GlobalFree(HGLOBAL block) {
  if (block == nullptr) return nullptr;
  std::lock_guard lock(mutex_);
  if (liveBlocks_.erase(block) == 0) {
    // Not one of ours, or freed twice: refuse, as the heap would.
    return block;
  }
  std::free(block);
  return nullptr;
}

int FakePlatform::OpenFileForReading(const char* name) {
  std::int64_t result = 0;
  {
    std::lock_guard lock(mutex_);
    openedNames_.push_back(name ? name : "");
  }
  if (ShouldFail("", "OpenFile", &result)) return -1;
  if (name == nullptr) return -1;
  // The real file system, with the real platform's rule for names whose
  // case differs from the file's.
  const int fd = OpenForReadingIgnoringCase(name);
  if (fd >= 0) {
    std::lock_guard lock(mutex_);
    openFiles_.insert(fd);
  }
  return fd;
}

void FakePlatform::CloseFile(int fd) {
  std::lock_guard lock(mutex_);
  if (openFiles_.erase(fd) != 0) ::close(fd);
}

}  // namespace velmo::testing
