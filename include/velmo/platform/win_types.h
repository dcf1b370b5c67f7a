// Plain integer types, result codes and handles of the audio platform contract.
//
// The library was written against a 32-bit desktop API; its records and
// calls keep those names and widths so that the library code reads as its
// callers expect.  Window handles are pointer-sized, since on this platform
// they carry a native window identifier or pointer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmo {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using MMRESULT = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using FOURCC = std::uint32_t;

// A native window handle: whatever the window toolkit says identifies the
// window.  The platform layer never looks inside it.
using HWND = void*;

// A fixed heap block.  Fixed blocks never move, so the handle is the address.
using HGLOBAL = void*;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// Builds an HRESULT from its documented 32-bit pattern.
constexpr HRESULT MakeResult(std::uint32_t bits) { return static_cast<HRESULT>(bits); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeResult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeResult(0x80004002u);
constexpr HRESULT E_POINTER = MakeResult(0x80004003u);
constexpr HRESULT E_FAIL = MakeResult(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = MakeResult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeResult(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeResult(0x80040110u);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeResult(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = MakeResult(0x800401F0u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

}  // namespace velmo
