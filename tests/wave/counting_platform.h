// A platform for the reader's tests: everything goes to the real platform,
// but heap blocks and file opens are counted and can be made to fail.
#pragma once

#include <set>

#include "velmo/platform/platform.h"

namespace velmo::testing {

class CountingPlatform final : public Platform {
 public:
  // The next `skip` allocations succeed, then `times` fail (-1: all).
  void FailAllocations(int skip, int times = 1) {
    allocSkip_ = skip;
    allocFailures_ = times;
  }
  void FailOpens(int times = 1) { openFailures_ = times; }

  std::size_t LiveBlocks() const { return blocks_.size(); }
  std::size_t OpenFiles() const { return files_.size(); }
  int Allocations() const { return allocations_; }
  int Opens() const { return opens_; }
  SIZE_T LastAllocationBytes() const { return lastBytes_; }
  // Frees of an address that is not a live block.
  int BadFrees() const { return badFrees_; }

  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override {
    ++allocations_;
    lastBytes_ = bytes;
    if (allocSkip_ > 0) {
      --allocSkip_;
    } else if (allocFailures_ != 0) {
      if (allocFailures_ > 0) --allocFailures_;
      return nullptr;
    }
    HGLOBAL block = real_.GlobalAlloc(flags, bytes);
    if (block != nullptr) blocks_.insert(block);
    return block;
  }
  HGLOBAL GlobalFree(HGLOBAL block) override {
    if (block != nullptr && blocks_.erase(block) == 0) ++badFrees_;
    return real_.GlobalFree(block);
  }
  int OpenFileForReading(const char* name) override {
    ++opens_;
    if (openFailures_ != 0) {
      if (openFailures_ > 0) --openFailures_;
      return -1;
    }
    const int fd = real_.OpenFileForReading(name);
    if (fd >= 0) files_.insert(fd);
    return fd;
  }
  void CloseFile(int fd) override {
    files_.erase(fd);
    real_.CloseFile(fd);
  }

  // The rest is not used by the reader and goes straight through.
  MMRESULT acmMetrics(void* object, UINT metric, void* value) override { return real_.acmMetrics(object, metric, value); }
  HRESULT CoInitialize(void* reserved) override { return real_.CoInitialize(reserved); }
  HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid, void** object) override {
    return real_.CoCreateInstance(clsid, outer, context, iid, object);
  }
  void CoUninitialize() override { real_.CoUninitialize(); }
  MMRESULT timeBeginPeriod(UINT period) override { return real_.timeBeginPeriod(period); }
  MMRESULT timeEndPeriod(UINT period) override { return real_.timeEndPeriod(period); }
  MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK procedure, DWORD_PTR user, UINT flags) override {
    return real_.timeSetEvent(delay, resolution, procedure, user, flags);
  }
  MMRESULT timeKillEvent(UINT timerId) override { return real_.timeKillEvent(timerId); }
  int MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) override {
    return real_.MessageBoxA(owner, text, caption, style);
  }
  void OutputDebugStringA(const char* line) override { real_.OutputDebugStringA(line); }
  void Sleep(DWORD milliseconds) override { real_.Sleep(milliseconds); }

 private:
  Platform& real_ = SystemPlatformInstance();
  std::set<HGLOBAL> blocks_;
  std::set<int> files_;
  int allocations_ = 0;
  int opens_ = 0;
  int allocSkip_ = 0;
  int allocFailures_ = 0;
  int openFailures_ = 0;
  int badFrees_ = 0;
  SIZE_T lastBytes_ = 0;
};

}  // namespace velmo::testing
