#include "platform/system_platform.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/audio/device/software_device.h"
#include "platform/case_insensitive_open.h"
#include "platform/com.h"
#include "velmo/platform/acm.h"
#include "velmo/platform/heap.h"
#include "velmo/platform/services.h"

namespace velmo {
namespace {

// COM is initialised per thread; each CoInitialize is matched by one
// CoUninitialize.
thread_local int comInitCount = 0;

std::atomic<MessageBoxSink*> messageBoxSink{nullptr};
std::atomic<Platform*> installedPlatform{nullptr};

// The largest format record the device takes: the extensible format, 18
// bytes and 22 extra.
constexpr DWORD kMaxFormatSize = sizeof(WAVEFORMATEX) + 22;

}  // namespace

MMRESULT SystemPlatform::acmMetrics(void* /*object*/, UINT metric, void* value) {
  if (value == nullptr) return 11;  // MMSYSERR_INVALPARAM
  if (metric != ACM_METRIC_MAX_SIZE_FORMAT) return 8;  // MMSYSERR_NOTSUPPORTED
  if (!AudioOutputSubsystemPresent()) return MMSYSERR_NODRIVER;
  std::memcpy(value, &kMaxFormatSize, sizeof kMaxFormatSize);
  return MMSYSERR_NOERROR;
}

HRESULT SystemPlatform::CoInitialize(void* /*reserved*/) { return comInitCount++ == 0 ? S_OK : S_FALSE; }

void SystemPlatform::CoUninitialize() {
  if (comInitCount > 0) --comInitCount;
}

HRESULT SystemPlatform::CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD /*context*/, const GUID& iid,
                                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (comInitCount == 0) return CO_E_NOTINITIALIZED;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (!(clsid == CLSID_DirectSound)) return REGDB_E_CLASSNOTREG;
  if (!(iid == IID_IDirectSound) && !(iid == IID_IUnknown)) return E_NOINTERFACE;
  IDirectSound* device = CreateAudioDevice();
  if (device == nullptr) return E_OUTOFMEMORY;
  *object = device;
  return S_OK;
}

MMRESULT SystemPlatform::timeBeginPeriod(UINT period) { return timer_.BeginPeriod(period); }
MMRESULT SystemPlatform::timeEndPeriod(UINT period) { return timer_.EndPeriod(period); }
MMRESULT SystemPlatform::timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK procedure, DWORD_PTR user,
                                      UINT flags) {
  return timer_.SetEvent(delay, resolution, procedure, user, flags);
}
MMRESULT SystemPlatform::timeKillEvent(UINT timerId) { return timer_.KillEvent(timerId); }

int SystemPlatform::MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) {
  if (MessageBoxSink* sink = messageBoxSink.load()) return sink->Show(owner, text, caption, style);
  std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
  return IDOK;
}

void SystemPlatform::OutputDebugStringA(const char* line) {
  if (line == nullptr) return;
  const std::size_t n = std::strlen(line);
  std::fprintf(stderr, (n > 0 && line[n - 1] == '\n') ? "%s" : "%s\n", line);
}

void SystemPlatform::Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

HGLOBAL SystemPlatform::GlobalAlloc(UINT flags, SIZE_T bytes) {
  // Only fixed blocks exist here.  A block of 0 bytes is still a distinct,
  // freeable block, as a fixed heap block is.
  if ((flags & ~GPTR) != 0) return nullptr;
  const SIZE_T size = bytes == 0 ? 1 : bytes;
  return (flags & GMEM_ZEROINIT) ? std::calloc(1, size) : std::malloc(size);
}

HGLOBAL SystemPlatform::GlobalFree(HGLOBAL block) {
  std::free(block);
  return nullptr;
}

int SystemPlatform::OpenFileForReading(const char* name) {
  if (name == nullptr) return -1;
  return OpenForReadingIgnoringCase(name);
}

void SystemPlatform::CloseFile(int fd) {
  if (fd >= 0) ::close(fd);
}

Platform& SystemPlatformInstance() {
  // Never destroyed: timer events and devices may be torn down by static
  // destructors elsewhere, and must still find their platform.
  static SystemPlatform* instance = new SystemPlatform;
  return *instance;
}

Platform& CurrentPlatform() {
  Platform* platform = installedPlatform.load(std::memory_order_acquire);
  return platform ? *platform : SystemPlatformInstance();
}

Platform* InstallPlatform(Platform* platform) {
  Platform* previous = installedPlatform.exchange(platform, std::memory_order_acq_rel);
  return previous ? previous : &SystemPlatformInstance();
}

MessageBoxSink* SetMessageBoxSink(MessageBoxSink* sink) { return messageBoxSink.exchange(sink); }

}  // namespace velmo
