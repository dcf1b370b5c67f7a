// The real platform: COM start-up of the software audio device, the thread
// timer, message boxes through the installed sink, the C heap and the file
// system.
#pragma once

#include "platform/periodic_timer.h"
#include "velmo/platform/platform.h"

namespace velmo {

class SystemPlatform final : public Platform {
 public:
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

  PeriodicTimer& Timer() { return timer_; }

 private:
  PeriodicTimer timer_;
};

}  // namespace velmo
