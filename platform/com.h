// COM start-up and object creation by class and interface identifier.
#pragma once

#include "velmo/platform/platform.h"

namespace velmo {

constexpr DWORD CLSCTX_INPROC_SERVER = 1;

inline HRESULT CoInitialize(void* reserved) { return CurrentPlatform().CoInitialize(reserved); }
inline HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid, void** object) {
  return CurrentPlatform().CoCreateInstance(clsid, outer, context, iid, object);
}
inline void CoUninitialize() { CurrentPlatform().CoUninitialize(); }

}  // namespace velmo
