// Fixed heap blocks.  A fixed block never moves, so its handle is its
// address: locking returns the handle itself and finding the handle of an
// address returns the address.
#pragma once

#include "velmo/platform/platform.h"

namespace velmo {

constexpr UINT GMEM_FIXED = 0x0;
constexpr UINT GMEM_ZEROINIT = 0x40;
constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// Returns the block, or null when the heap gives none.
inline HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) { return CurrentPlatform().GlobalAlloc(flags, bytes); }
// Returns null on success, the block itself on failure.
inline HGLOBAL GlobalFree(HGLOBAL block) { return CurrentPlatform().GlobalFree(block); }
inline void* GlobalLock(HGLOBAL block) { return block; }
inline BOOL GlobalUnlock(HGLOBAL /*block*/) { return FALSE; }  // fixed blocks hold no lock count
inline HGLOBAL GlobalHandle(const void* address) { return const_cast<void*>(address); }

}  // namespace velmo
