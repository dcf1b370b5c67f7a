// A platform for the reader's tests: everything goes to the real platform,
// but heap blocks and file opens are counted and can be made to fail.
#pragma once

#include <set>

#include "platform/testing/forwarding_platform.h"

namespace velmo::testing {

class CountingPlatform final : public ForwardingPlatform {
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
    HGLOBAL block = ForwardingPlatform::GlobalAlloc(flags, bytes);
    if (block != nullptr) blocks_.insert(block);
    return block;
  }
  HGLOBAL GlobalFree(HGLOBAL block) override {
    if (block != nullptr && blocks_.erase(block) == 0) ++badFrees_;
    return ForwardingPlatform::GlobalFree(block);
  }
  int OpenFileForReading(const char* name) override {
    ++opens_;
    if (openFailures_ != 0) {
      if (openFailures_ > 0) --openFailures_;
      return -1;
    }
    const int fd = ForwardingPlatform::OpenFileForReading(name);
    if (fd >= 0) files_.insert(fd);
    return fd;
  }
  void CloseFile(int fd) override {
    files_.erase(fd);
    ForwardingPlatform::CloseFile(fd);
  }

 private:
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
