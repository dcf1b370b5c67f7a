// libFuzzer target for the WAVE reader.  The input is the whole file: it is
// written to a memory file and opened by name through the reader, which then
// opens it, finds the data, reads it in pieces of varying size with rewinds,
// closes it, and reads it whole.  The sample bytes are checked against the
// input, and every heap block and file the reader takes must be given back.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "velmo/platform/heap.h"
#include "velmo/platform/platform.h"
#include "velmo/sound/wave_reader.h"

namespace velmo {
namespace {

// Fails the run loudly: libFuzzer reports the input that got here.
[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "wave_reader_fuzz: %s\n", what);
  __builtin_trap();
}

// Forwards to the real platform and keeps count of live blocks and files.
class CheckingPlatform final : public Platform {
 public:
  std::size_t LiveBlocks() const { return blocks_.size(); }
  std::size_t OpenFiles() const { return files_.size(); }

  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override {
    HGLOBAL block = real_.GlobalAlloc(flags, bytes);
    if (block != nullptr) blocks_.insert(block);
    return block;
  }
  HGLOBAL GlobalFree(HGLOBAL block) override {
    if (block != nullptr && blocks_.erase(block) == 0) Fault("free of a block that is not live");
    return real_.GlobalFree(block);
  }
  int OpenFileForReading(const char* name) override {
    const int fd = real_.OpenFileForReading(name);
    if (fd >= 0) files_.insert(fd);
    return fd;
  }
  void CloseFile(int fd) override {
    if (files_.erase(fd) == 0) Fault("close of a file that is not open");
    real_.CloseFile(fd);
  }
  MMRESULT acmMetrics(void*, UINT, void*) override { return 1; }
  HRESULT CoInitialize(void*) override { return E_FAIL; }
  HRESULT CoCreateInstance(const GUID&, IUnknown*, DWORD, const GUID&, void**) override { return E_FAIL; }
  void CoUninitialize() override {}
  MMRESULT timeBeginPeriod(UINT) override { return 1; }
  MMRESULT timeEndPeriod(UINT) override { return 1; }
  MMRESULT timeSetEvent(UINT, UINT, LPTIMECALLBACK, DWORD_PTR, UINT) override { return 0; }
  MMRESULT timeKillEvent(UINT) override { return 1; }
  int MessageBoxA(HWND, const char*, const char*, UINT) override { Fault("the reader showed a message"); }
  void OutputDebugStringA(const char*) override { Fault("the reader wrote a debugger line"); }
  void Sleep(DWORD) override {}

 private:
  Platform& real_ = SystemPlatformInstance();
  std::set<HGLOBAL> blocks_;
  std::set<int> files_;
};

// A small generator for piece sizes and rewinds, seeded from the input so
// that a run can be replayed.
struct Steps {
  std::uint64_t state;
  std::uint32_t Next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  }
};

void Run(const std::uint8_t* bytes, std::size_t size, const std::string& path, CheckingPlatform& platform) {
  std::uint64_t seed = 1469598103934665603ULL;
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 64); ++i) seed = (seed ^ bytes[i]) * 1099511628211ULL;
  Steps steps{seed};

  // Open, find data, read in pieces with rewinds, close.
  HMMIO file = reinterpret_cast<HMMIO>(1);
  WAVEFORMATEX* format = reinterpret_cast<WAVEFORMATEX*>(1);
  MMCKINFO riff{};
  DWORD result = WaveReaderOpen(path.c_str(), &file, &format, &riff);
  if (result != 0) {
    if (file != nullptr || format != nullptr) Fault("failed open left an output set");
    if (platform.LiveBlocks() != 0 || platform.OpenFiles() != 0) Fault("failed open left something behind");
  } else {
    if (file == nullptr || format == nullptr) Fault("open succeeded without outputs");
    if (format->wFormatTag == WAVE_FORMAT_PCM && format->cbSize != 0) Fault("PCM block with extra bytes");
    MMCKINFO data{};
    if (WaveReaderFindData(file, &data, &riff) == 0) {
      const DWORD full = data.cksize;
      const std::uint64_t offset = data.dwDataOffset;
      static std::vector<BYTE> piece(1 << 17);
      DWORD position = 0;  // bytes read since the last rewind
      bool reliable = true;  // false after a failed read, until a rewind
      for (int op = 0; op < 24; ++op) {
        const std::uint32_t roll = steps.Next();
        if (roll % 8 == 0) {
          if (WaveReaderFindData(file, &data, &riff) != 0) Fault("rewind failed after a successful search");
          if (data.cksize != full) Fault("rewind did not restore the full size");
          position = 0;
          reliable = true;
          continue;
        }
        const DWORD wanted = (roll >> 3) % (roll % 3 == 0 ? 17u : static_cast<DWORD>(piece.size()));
        const DWORD before = data.cksize;
        DWORD delivered = 12345;
        const DWORD r = WaveReaderRead(file, wanted, piece.data(), &data, &delivered);
        const DWORD n = std::min(wanted, before);
        if (data.cksize != before - n) Fault("read did not lower the count by the clamped request");
        if (r != 0) {
          if (delivered != 0) Fault("failed read delivered bytes");
          reliable = false;
          continue;
        }
        if (delivered != n) Fault("read delivered other than the clamped request");
        // The delivered bytes are the file's bytes at the data offset.
        if (reliable) {
          const std::uint64_t at = offset + position;
          if (at + delivered > size) Fault("read delivered bytes beyond the file");
          if (delivered > 0 && std::memcmp(piece.data(), bytes + at, delivered) != 0) Fault("read bytes differ from the file");
        }
        position += delivered;
      }
    } else if (platform.OpenFiles() != 1) {
      Fault("failed search closed the file");
    }
    WaveReaderClose(&file, &format);
    WaveReaderClose(&file, &format);
    if (file != nullptr || format != nullptr) Fault("close left an output set");
  }
  if (platform.LiveBlocks() != 0 || platform.OpenFiles() != 0) Fault("open/close left something behind");

  // The whole file at once.
  DWORD wholeSize = 77;
  BYTE* samples = reinterpret_cast<BYTE*>(1);
  result = ReadWholeWave(path.c_str(), &wholeSize, &format, &samples);
  if (result != 0) {
    if (wholeSize != 0 || format != nullptr || samples != nullptr) Fault("failed whole read left an output set");
    if (platform.LiveBlocks() != 0 || platform.OpenFiles() != 0) Fault("failed whole read left something behind");
    return;
  }
  if (format == nullptr || (wholeSize > 0 && samples == nullptr)) Fault("whole read succeeded without outputs");
  if (platform.OpenFiles() != 0) Fault("whole read left the file open");
  if (wholeSize > size) Fault("more samples than file bytes");
  // The samples are a run of the input's bytes ending at or before its end;
  // find where by opening again.
  HMMIO again = nullptr;
  WAVEFORMATEX* again_format = nullptr;
  MMCKINFO again_riff{};
  MMCKINFO again_data{};
  if (WaveReaderOpen(path.c_str(), &again, &again_format, &again_riff) != 0 ||
      WaveReaderFindData(again, &again_data, &again_riff) != 0)
    Fault("file read whole does not open again");
  if (again_data.cksize != wholeSize) Fault("whole size is not the data chunk's size");
  if (again_data.dwDataOffset + static_cast<std::uint64_t>(wholeSize) > size) Fault("samples beyond the file");
  if (wholeSize > 0 && std::memcmp(samples, bytes + again_data.dwDataOffset, wholeSize) != 0)
    Fault("whole samples differ from the file");
  if (std::memcmp(again_format, format, sizeof(WAVEFORMATEX) + format->cbSize) != 0) Fault("format differs between reads");
  WaveReaderClose(&again, &again_format);
  GlobalFree(format);
  if (samples != nullptr) GlobalFree(samples);
  if (platform.LiveBlocks() != 0 || platform.OpenFiles() != 0) Fault("whole read left something behind");
}

}  // namespace
}  // namespace velmo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static velmo::CheckingPlatform platform;
  static velmo::ScopedPlatform installed{platform};
  static const int fd = ::memfd_create("wave-fuzz", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0) velmo::Fault("memfd_create failed");
  if (::ftruncate(fd, 0) != 0) velmo::Fault("ftruncate failed");
  std::size_t written = 0;
  while (written < size) {
    const ssize_t got = ::pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (got <= 0) velmo::Fault("pwrite failed");
    written += static_cast<std::size_t>(got);
  }
  velmo::Run(data, size, path, platform);
  return 0;
}
