// The platform's system services behind one replaceable table.
//
// The library calls the free functions of the contract (CoInitialize,
// timeSetEvent, MessageBoxA, GlobalAlloc, ...).  Each of them forwards to the
// Platform that is installed at the time.  The default is the real one
// (SystemPlatform): COM start-up and the software audio device, the thread
// timer, the message-box sink, the C heap and the file system.  Tests install
// a double that records every call and fails any of them on demand.
#pragma once

#include "velmo/platform/dsound.h"
#include "velmo/platform/win_types.h"

namespace velmo {

// The procedure of a periodic timer event.  It runs on the timer's own
// thread and receives the event's identifier, a message word, the user value
// and two reserved words.
using LPTIMECALLBACK = void (*)(UINT timerId, UINT message, DWORD_PTR user, DWORD_PTR reserved1,
                                DWORD_PTR reserved2);

class Platform {
 public:
  virtual ~Platform() = default;

  // Presence check of the audio subsystem (stands in for the compression
  // manager's metric query).  0 when the subsystem is there.
  virtual MMRESULT acmMetrics(void* object, UINT metric, void* value) = 0;

  virtual HRESULT CoInitialize(void* reserved) = 0;
  virtual HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid,
                                   void** object) = 0;
  virtual void CoUninitialize() = 0;

  virtual MMRESULT timeBeginPeriod(UINT period) = 0;
  virtual MMRESULT timeEndPeriod(UINT period) = 0;
  virtual MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK procedure, DWORD_PTR user,
                                UINT flags) = 0;
  virtual MMRESULT timeKillEvent(UINT timerId) = 0;

  virtual int MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) = 0;
  virtual void OutputDebugStringA(const char* line) = 0;
  virtual void Sleep(DWORD milliseconds) = 0;

  // Fixed heap blocks: the returned handle is the block's address.
  virtual HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) = 0;
  virtual HGLOBAL GlobalFree(HGLOBAL block) = 0;

  // Opening and closing files for reading, for the multimedia file I/O.
  // OpenFileForReading returns a file descriptor, or -1.
  virtual int OpenFileForReading(const char* name) = 0;
  virtual void CloseFile(int fd) = 0;
};

// The platform in use.  Never null.
Platform& CurrentPlatform();

// Installs `platform` (null restores the real one) and returns the one it
// replaces.  Not thread-safe: install before the library runs.
Platform* InstallPlatform(Platform* platform);

// The real platform's single instance.
Platform& SystemPlatformInstance();

// Installs a platform for the lifetime of a scope, then puts back the old one.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& platform) : previous_(InstallPlatform(&platform)) {}
  ~ScopedPlatform() { InstallPlatform(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

}  // namespace velmo
