// A test double of the whole platform.
//
// FakePlatform records every call the library makes (COM, the presence
// check, the timer, the device and each buffer, message boxes, debugger
// output and sleeps) in one ordered log, and can make any of them fail on
// demand.  Its device creates FakeSoundBuffers: plain memory rings whose play
// cursor moves only when the test advances it.  Its timer never fires by
// itself: the test fires it.  Its sleeps return at once.  Nothing in it waits
// for real time.
//
// Heap blocks and file opens are not logged (they would drown the device
// calls) but are counted, tracked and can be failed like any other call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "velmo/platform/dsound.h"
#include "velmo/platform/platform.h"

namespace velmo::testing {

class FakePlatform;

// One recorded call: "CoInitialize", "dsound.SetCooperativeLevel",
// "buffer2.Lock", ... with its integer arguments (pointers as integers).
struct Call {
  std::string name;
  std::vector<std::int64_t> args;
  std::string Format() const;  // e.g. "buffer1.Lock(0, 16, 0)"
};

struct MessageBoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT style;
};

class FakeSoundBuffer final : public IDirectSoundBuffer {
 public:
  FakeSoundBuffer(FakePlatform& platform, std::string name, const DSBUFFERDESC& desc);

  // IUnknown
  HRESULT QueryInterface(const GUID& iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  // IDirectSoundBuffer
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

  // --- Test controls ---
  // Moves the play cursor on by `bytes` as a playing device would: a looping
  // buffer wraps, a one-shot buffer stops at its end (cursor back to 0).
  // Does nothing while the buffer is stopped or lost.  With consumption
  // recording on, every byte passed over is appended to Consumed().
  void Advance(DWORD bytes);
  void RecordConsumption(bool on) { recordConsumption_ = on; }
  const std::vector<std::uint8_t>& Consumed() const { return consumed_; }
  // The device loses the buffer's memory: it stops, reports BUFFERLOST, and
  // Lock and Play fail until Restore.  Restore leaves garbage (0xDD) in it.
  void Lose();
  // Reports the buffer as held in hardware in GetCaps.
  void SetInHardware(bool on) { inHardware_ = on; }
  void SetWriteLead(DWORD bytes) { writeLead_ = bytes; }

  const std::string& Name() const { return name_; }
  const std::vector<std::uint8_t>& Data() const { return data_; }
  std::vector<std::uint8_t>& MutableData() { return data_; }
  const DSBUFFERDESC& Desc() const { return desc_; }
  const std::vector<std::uint8_t>& FormatBytes() const { return format_; }
  DWORD Position() const { return position_; }
  bool Playing() const { return playing_; }
  bool Looping() const { return looping_; }
  bool Lost() const { return lost_; }
  bool Locked() const { return lockCount_ > 0; }
  bool Released() const { return refs_ == 0; }
  LONG Volume() const { return volume_; }
  LONG Pan() const { return pan_; }
  DWORD Frequency() const { return frequency_; }

 private:
  HRESULT Enter(const char* method, std::vector<std::int64_t> args);

  FakePlatform& platform_;
  std::string name_;
  DSBUFFERDESC desc_;
  std::vector<std::uint8_t> format_;
  std::vector<std::uint8_t> data_;
  ULONG refs_ = 1;
  DWORD position_ = 0;
  bool playing_ = false;
  bool looping_ = false;
  bool lost_ = false;
  bool inHardware_ = false;
  int lockCount_ = 0;
  DWORD writeLead_ = 0;
  LONG volume_ = 0;
  LONG pan_ = 0;
  DWORD frequency_ = 0;
  bool recordConsumption_ = false;
  std::vector<std::uint8_t> consumed_;
};

class FakeDirectSound final : public IDirectSound {
 public:
  explicit FakeDirectSound(FakePlatform& platform) : platform_(platform) {}

  HRESULT QueryInterface(const GUID& iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, IUnknown* outer) override;
  HRESULT SetCooperativeLevel(HWND window, DWORD level) override;
  HRESULT Initialize(const GUID* device) override;
  // Logged and failable like every call; the fake's buffers hold no memory
  // they could share, so it answers DSERR_UNSUPPORTED once the arguments
  // pass the device's checks.
  HRESULT DuplicateSoundBuffer(IDirectSoundBuffer* original, IDirectSoundBuffer** duplicate) override;

  bool Released() const { return refs_ == 0; }
  ULONG References() const { return refs_; }
  HWND CooperativeWindow() const { return window_; }
  DWORD CooperativeLevel() const { return level_; }

 private:
  FakePlatform& platform_;
  ULONG refs_ = 1;
  bool initialized_ = false;
  HWND window_ = nullptr;
  DWORD level_ = 0;
};

class FakePlatform final : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // --- Platform ---
  MMRESULT acmMetrics(void* object, UINT metric, void* value) override;
  HRESULT CoInitialize(void* reserved) override;
  HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid,
                           void** object) override;
  void CoUninitialize() override;
  MMRESULT timeBeginPeriod(UINT period) override;
  MMRESULT timeEndPeriod(UINT period) override;
  MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK procedure, DWORD_PTR user,
                        UINT flags) override;
  MMRESULT timeKillEvent(UINT timerId) override;
  int MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) override;
  void OutputDebugStringA(const char* line) override;
  void Sleep(DWORD milliseconds) override;
  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override;
  HGLOBAL GlobalFree(HGLOBAL block) override;
  int OpenFileForReading(const char* name) override;
  void CloseFile(int fd) override;

  // --- Failure injection ---
  // Makes the call named `name` return `result` instead of doing its work.
  // `name` is either a bare method ("Lock", "CoInitialize", "GlobalAlloc",
  // "OpenFile", "CreateSoundBuffer") for every object, or an object's call
  // ("buffer2.Lock").  The first `skip` matching calls go through; then
  // `times` calls fail (-1: all of them).  A failed call is still logged.
  void Fail(const std::string& name, std::int64_t result, int times = -1, int skip = 0);
  void ClearFailures();
  // When the named call is due to fail, returns true and stores its result.
  bool ShouldFail(const std::string& object, const std::string& method, std::int64_t* result);

  // --- The log ---
  void Record(std::string name, std::vector<std::int64_t> args = {});
  std::vector<Call> Calls() const;
  std::vector<std::string> CallNames() const;
  // Names of the calls whose name contains `part` (e.g. "buffer1." or "time").
  std::vector<std::string> CallNamesContaining(const std::string& part) const;
  void ClearCalls();

  // --- Message boxes and debugger output ---
  const std::vector<MessageBoxRecord>& MessageBoxes() const { return messageBoxes_; }
  const std::vector<std::string>& DebugLines() const { return debugLines_; }

  // --- The timer ---
  // Runs the registered procedure once, on the calling thread, as the
  // platform's timer thread would.  Returns false when no event is alive.
  bool FireTimer();
  bool TimerAlive() const;
  UINT TimerEventId() const { return timerId_; }
  int OpenPeriods() const { return openPeriods_; }
  // Called from Sleep, so a test can change state while the library waits.
  std::function<void(DWORD)> onSleep;

  // --- The device ---
  FakeDirectSound* Device() const { return devices_.empty() ? nullptr : devices_.back().get(); }
  int DevicesCreated() const { return static_cast<int>(devices_.size()); }
  // Every buffer created, in order; released ones stay here for inspection.
  std::vector<FakeSoundBuffer*> Buffers() const;
  FakeSoundBuffer* Buffer(int index) const { return buffers_.at(index).get(); }
  FakeSoundBuffer* LastBuffer() const { return buffers_.empty() ? nullptr : buffers_.back().get(); }
  // Buffers created from now on report being held in hardware.
  void CreateHardwareBuffers(bool on) { hardwareBuffers_ = on; }
  // Calls made on a device or buffer after its last Release.
  int UseAfterRelease() const { return useAfterRelease_; }
  void NoteUseAfterRelease() { ++useAfterRelease_; }
  FakeSoundBuffer* NewBuffer(const DSBUFFERDESC& desc);
  int ComInitCount() const { return comInitCount_; }

  // --- Heap and files ---
  std::size_t LiveBlocks() const { return liveBlocks_.size(); }
  int Allocations() const { return allocations_; }
  int OpenFiles() const { return static_cast<int>(openFiles_.size()); }
  const std::vector<std::string>& OpenedFileNames() const { return openedNames_; }

 private:
  struct FailureRule {
    std::int64_t result;
    int times;
    int skip;
  };

  mutable std::recursive_mutex mutex_;
  std::vector<Call> calls_;
  std::map<std::string, FailureRule> failures_;
  std::vector<MessageBoxRecord> messageBoxes_;
  std::vector<std::string> debugLines_;
  std::vector<std::unique_ptr<FakeDirectSound>> devices_;
  std::vector<std::unique_ptr<FakeSoundBuffer>> buffers_;
  bool hardwareBuffers_ = false;
  int useAfterRelease_ = 0;
  int comInitCount_ = 0;
  int openPeriods_ = 0;
  UINT timerId_ = 0;
  UINT nextTimerId_ = 1;
  LPTIMECALLBACK timerProc_ = nullptr;
  DWORD_PTR timerUser_ = 0;
  std::set<void*> liveBlocks_;
  int allocations_ = 0;
  std::set<int> openFiles_;
  std::vector<std::string> openedNames_;
};

}  // namespace velmo::testing
