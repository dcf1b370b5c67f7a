// The WAVE reader against plain read() + memcpy of the same bytes.
//
// A 64 MiB PCM file is written once into the temporary directory and read
// once so that it stands in the page cache.  Each reader benchmark has a
// baseline beside it that moves the same bytes with read() into a staging
// buffer of the I/O buffer's size and memcpy out of it; the ratio of their
// bytes-per-second figures is what matters.  The rates are by CPU time:
// reads from the page cache are the process's own work (the kernel's copy
// and the page faults count as its system time), and CPU time keeps other
// processes on a shared machine out of the figures.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/riff_builder.h"
#include "velmo/platform/heap.h"
#include "velmo/platform/mmio.h"
#include "velmo/sound/wave_reader.h"

namespace velmo {
namespace {

constexpr DWORD kDataBytes = 64u << 20;
constexpr DWORD kPiece = 8820;  // 50 ms of 44.1 kHz 16-bit stereo
constexpr DWORD kHeaderBytes = 44;

// The benchmark file, written on first use and removed at exit.
class BenchFile {
 public:
  static const std::string& Path() {
    static BenchFile file;
    return file.path_;
  }

 private:
  BenchFile() {
    path_ = (std::filesystem::temp_directory_path() / ("velmo-wave-bench-" + std::to_string(::getpid()) + ".wav")).string();
    const riff::Bytes header = riff::PcmWaveHeader(kDataBytes, 2, 44100, 16);
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 3);
    for (DWORD written = 0; written < kDataBytes; written += static_cast<DWORD>(block.size()))
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    out.close();
    // One full read puts the file in the page cache.
    const int fd = ::open(path_.c_str(), O_RDONLY);
    while (::read(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }
  ~BenchFile() { std::remove(path_.c_str()); }

  std::string path_;
};

void BM_ReadWholeWave(benchmark::State& state) {
  const std::string& path = BenchFile::Path();
  for (auto _ : state) {
    DWORD size = 0;
    WAVEFORMATEX* format = nullptr;
    BYTE* samples = nullptr;
    if (ReadWholeWave(path.c_str(), &size, &format, &samples) != 0 || size != kDataBytes) {
      state.SkipWithError("ReadWholeWave failed");
      break;
    }
    benchmark::DoNotOptimize(samples[size - 1]);
    GlobalFree(samples);
    GlobalFree(format);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kDataBytes);
}

// The same work done by hand: open, read() through a staging buffer into a
// freshly allocated block of the data's size, close.
void BM_ReadWholeWithReadAndMemcpy(benchmark::State& state) {
  const std::string& path = BenchFile::Path();
  std::vector<char> staging(MMIO_DEFAULTBUFFER);
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    auto* samples = static_cast<char*>(std::malloc(kDataBytes));
    ::lseek(fd, kHeaderBytes, SEEK_SET);
    DWORD done = 0;
    while (done < kDataBytes) {
      const ssize_t got = ::read(fd, staging.data(), std::min<std::size_t>(staging.size(), kDataBytes - done));
      if (got <= 0) break;
      std::memcpy(samples + done, staging.data(), static_cast<std::size_t>(got));
      done += static_cast<DWORD>(got);
    }
    benchmark::DoNotOptimize(samples[kDataBytes - 1]);
    std::free(samples);
    ::close(fd);
    if (done != kDataBytes) {
      state.SkipWithError("short read");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kDataBytes);
}

// The stream's pattern: 8820-byte pieces, rewinding when the data runs out.
// One iteration reads the whole data chunk once.
void BM_WaveReaderReadPieces(benchmark::State& state) {
  const std::string& path = BenchFile::Path();
  HMMIO file = nullptr;
  WAVEFORMATEX* format = nullptr;
  MMCKINFO riff{};
  MMCKINFO data{};
  if (WaveReaderOpen(path.c_str(), &file, &format, &riff) != 0 || WaveReaderFindData(file, &data, &riff) != 0) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<BYTE> piece(kPiece);
  for (auto _ : state) {
    std::uint64_t total = 0;
    for (;;) {
      DWORD delivered = 0;
      WaveReaderRead(file, kPiece, piece.data(), &data, &delivered);
      total += delivered;
      benchmark::DoNotOptimize(piece.data());
      if (delivered < kPiece) {
        WaveReaderFindData(file, &data, &riff);
        break;
      }
    }
    if (total != kDataBytes) {
      state.SkipWithError("wrong byte count");
      break;
    }
  }
  WaveReaderClose(&file, &format);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kDataBytes);
}

void BM_PiecesWithReadAndMemcpy(benchmark::State& state) {
  const std::string& path = BenchFile::Path();
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<char> staging(MMIO_DEFAULTBUFFER);
  std::vector<char> piece(kPiece);
  ::lseek(fd, kHeaderBytes, SEEK_SET);
  for (auto _ : state) {
    std::uint64_t total = 0;
    std::size_t next = 0;
    std::size_t end = 0;
    DWORD left = kDataBytes;
    for (;;) {
      const DWORD want = std::min(kPiece, left);
      DWORD done = 0;
      while (done < want) {
        if (next == end) {
          const ssize_t got = ::read(fd, staging.data(), staging.size());
          if (got <= 0) break;
          next = 0;
          end = static_cast<std::size_t>(got);
        }
        const std::size_t span = std::min<std::size_t>(want - done, end - next);
        std::memcpy(piece.data() + done, staging.data() + next, span);
        next += span;
        done += static_cast<DWORD>(span);
      }
      left -= done;
      total += done;
      benchmark::DoNotOptimize(piece.data());
      if (done < kPiece) {
        ::lseek(fd, kHeaderBytes, SEEK_SET);
        break;
      }
    }
    if (total != kDataBytes) {
      state.SkipWithError("wrong byte count");
      break;
    }
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kDataBytes);
}

BENCHMARK(BM_ReadWholeWave)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ReadWholeWithReadAndMemcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_WaveReaderReadPieces)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PiecesWithReadAndMemcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
}  // namespace velmo

BENCHMARK_MAIN();
