// Counts the heap allocations a benchmark makes where it asks, by replacing
// the global allocation functions for the whole program: include it in
// exactly one file of a benchmark program.  operator new goes through the
// replaced global operators, the C allocator through glibc's __libc_* entry
// points.  An allocation counts while `countingAll` is set (on any thread),
// or on a thread that has set its own `countingHere`.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace velmo::bench {

inline std::atomic<bool> countingAll{false};
inline thread_local bool countingHere = false;
inline std::atomic<long> allocations{0};

inline void CountAllocation() {
  if (countingHere || countingAll.load(std::memory_order_relaxed))
    allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace velmo::bench

extern "C" {
void* malloc(std::size_t n) {
  velmo::bench::CountAllocation();
  return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
  velmo::bench::CountAllocation();
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
  velmo::bench::CountAllocation();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}

void* operator new(std::size_t n) {
  velmo::bench::CountAllocation();
  if (void* p = __libc_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  velmo::bench::CountAllocation();
  return __libc_malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }
