// A platform that passes every call on to another one (by default the real
// platform).  Test and benchmark platforms derive from it and override only
// the calls they count, script or fail.
#pragma once

#include "velmo/platform/platform.h"

namespace velmo::testing {

class ForwardingPlatform : public Platform {
 public:
  explicit ForwardingPlatform(Platform& target = SystemPlatformInstance()) : target_(target) {}

  MMRESULT acmMetrics(void* object, UINT metric, void* value) override {
    return target_.acmMetrics(object, metric, value);
  }
  HRESULT CoInitialize(void* reserved) override { return target_.CoInitialize(reserved); }
  HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid,
                           void** object) override {
    return target_.CoCreateInstance(clsid, outer, context, iid, object);
  }
  void CoUninitialize() override { target_.CoUninitialize(); }
  MMRESULT timeBeginPeriod(UINT period) override { return target_.timeBeginPeriod(period); }
  MMRESULT timeEndPeriod(UINT period) override { return target_.timeEndPeriod(period); }
  MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK procedure, DWORD_PTR user,
                        UINT flags) override {
    return target_.timeSetEvent(delay, resolution, procedure, user, flags);
  }
  MMRESULT timeKillEvent(UINT timerId) override { return target_.timeKillEvent(timerId); }
  int MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) override {
    return target_.MessageBoxA(owner, text, caption, style);
  }
  void OutputDebugStringA(const char* line) override { target_.OutputDebugStringA(line); }
  void Sleep(DWORD milliseconds) override { target_.Sleep(milliseconds); }
  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override { return target_.GlobalAlloc(flags, bytes); }
  HGLOBAL GlobalFree(HGLOBAL block) override { return target_.GlobalFree(block); }
  int OpenFileForReading(const char* name) override { return target_.OpenFileForReading(name); }
  void CloseFile(int fd) override { target_.CloseFile(fd); }

 protected:
  Platform& target() { return target_; }

 private:
  Platform& target_;
};

}  // namespace velmo::testing
