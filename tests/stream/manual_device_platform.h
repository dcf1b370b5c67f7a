// A platform for whole-stream tests: the real file system, heap and COM
// bookkeeping, the real software device on a manual output, and a timer
// that only fires when the test says so.  Nothing here waits for real time.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/mm_timer.h"
#include "platform/testing/manual_output.h"
#include "platform/testing/forwarding_platform.h"

namespace velmo::testing {

class ManualDevicePlatform final : public ForwardingPlatform {
 public:
  explicit ManualDevicePlatform(std::uint32_t outputRate) : outputRate_(outputRate) {}

  // The output of the device that CoCreateInstance made, or null.
  ManualOutput* Output() const { return output_; }
  int DebugLines() const { return debugLines_; }
  int MessageBoxes() const { return messageBoxes_; }
  int OpenPeriods() const { return openPeriods_; }
  long GlobalAllocs() const { return globalAllocs_.load(std::memory_order_relaxed); }

  // Runs the timer procedure once, as the timer thread would.  False when no
  // event is alive.
  bool FireTimer() {
    if (procedure_ == nullptr) return false;
    procedure_(eventId_, 0, user_, 0, 0);
    return true;
  }

  HRESULT CoCreateInstance(const GUID& clsid, IUnknown*, DWORD, const GUID& iid, void** object) override {
    *object = nullptr;
    if (!(clsid == CLSID_DirectSound) || !(iid == IID_IDirectSound)) return REGDB_E_CLASSNOTREG;
    *object = CreateManualAudioDevice(&output_, outputRate_);
    return *object != nullptr ? S_OK : E_OUTOFMEMORY;
  }

  MMRESULT timeBeginPeriod(UINT) override {
    ++openPeriods_;
    return TIMERR_NOERROR;
  }
  MMRESULT timeEndPeriod(UINT) override {
    --openPeriods_;
    return TIMERR_NOERROR;
  }
  MMRESULT timeSetEvent(UINT, UINT, LPTIMECALLBACK procedure, DWORD_PTR user, UINT) override {
    procedure_ = procedure;
    user_ = user;
    return ++eventId_;
  }
  MMRESULT timeKillEvent(UINT id) override {
    if (id != eventId_ || procedure_ == nullptr) return TIMERR_NOCANDO;
    procedure_ = nullptr;
    return TIMERR_NOERROR;
  }

  int MessageBoxA(HWND, const char*, const char*, UINT) override {
    ++messageBoxes_;
    return 1;
  }
  void OutputDebugStringA(const char*) override { ++debugLines_; }
  void Sleep(DWORD) override {}
  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override {
    globalAllocs_.fetch_add(1, std::memory_order_relaxed);
    return ForwardingPlatform::GlobalAlloc(flags, bytes);
  }

 private:
  const std::uint32_t outputRate_;
  ManualOutput* output_ = nullptr;
  LPTIMECALLBACK procedure_ = nullptr;
  DWORD_PTR user_ = 0;
  UINT eventId_ = 0;
  int openPeriods_ = 0;
  int debugLines_ = 0;
  int messageBoxes_ = 0;
  std::atomic<long> globalAllocs_{0};
};

}  // namespace velmo::testing
