#include "velmo/sound/wave_reader.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "velmo/platform/heap.h"

namespace velmo {

// The format block is the file's little-endian bytes used as a WAVEFORMATEX
// in place, which needs a little-endian host.
static_assert(std::endian::native == std::endian::little, "the reader maps file bytes onto records directly");

namespace {

constexpr DWORD kFormatFieldBytes = 16;  // wFormatTag .. wBitsPerSample

WORD LittleWord(const BYTE* bytes) { return static_cast<WORD>(bytes[0] | (bytes[1] << 8)); }

// Steps 2 to 13 of the open: everything that can fail.  The caller's
// *format holds the block as soon as it is allocated, so that the clean-up
// finds it whatever step failed.
DWORD OpenSteps(const char* fileName, HMMIO* handle, WAVEFORMATEX** format, MMCKINFO* riff) {
  *handle = mmioOpenA(fileName, nullptr, MMIO_ALLOCBUF);
  if (*handle == nullptr) return WaveErrOpenFailed;

  DWORD result = mmioDescend(*handle, riff, nullptr, 0);
  if (result != 0) return result;
  // The form type is only meaningful once the identifier says "RIFF".
  if (riff->ckid != FOURCC_RIFF || riff->fccType != FOURCC_WAVE) return WaveErrBadFile;

  MMCKINFO fmt{};
  fmt.ckid = FOURCC_FMT;
  result = mmioDescend(*handle, &fmt, riff, MMIO_FINDCHUNK);
  if (result != 0) return result;
  if (fmt.cksize < kFormatFieldBytes) return WaveErrBadFile;

  BYTE fields[kFormatFieldBytes];
  if (mmioRead(*handle, reinterpret_cast<char*>(fields), kFormatFieldBytes) != static_cast<LONG>(kFormatFieldBytes))
    return WaveErrReadFailed;

  // PCM has no extra format bytes: a cbSize field the file may hold and
  // anything after the first 16 bytes are ignored.  Any other tag takes the
  // two bytes after the first 16 as the count of extra bytes that follow.
  WORD extra = 0;
  if (LittleWord(fields) != WAVE_FORMAT_PCM) {
    BYTE count[2];
    if (mmioRead(*handle, reinterpret_cast<char*>(count), 2) != 2) return WaveErrReadFailed;
    extra = LittleWord(count);
  }

  const SIZE_T blockBytes = sizeof(WAVEFORMATEX) + extra;
  *format = static_cast<WAVEFORMATEX*>(GlobalAlloc(GMEM_FIXED, blockBytes));
  if (*format == nullptr) return WaveErrNoMemory;
  auto* block = reinterpret_cast<BYTE*>(*format);
  std::memcpy(block, fields, kFormatFieldBytes);
  (*format)->cbSize = extra;

  if (extra != 0) {
    const LONG got = mmioRead(*handle, reinterpret_cast<char*>(block + sizeof(WAVEFORMATEX)), extra);
    if (got != static_cast<LONG>(extra)) return WaveErrBadFile;
  }

  // Ascending lands at the end of the "fmt " chunk however much of it was
  // read, also when the extra bytes ran past it.
  return mmioAscend(*handle, &fmt, 0);
}

}  // namespace

const char* WaveResultName(DWORD result) {
  switch (result) {
    case 0: return "Success";
    case WaveErrNoMemory: return "WaveErrNoMemory";
    case WaveErrOpenFailed: return "WaveErrOpenFailed";
    case WaveErrBadFile: return "WaveErrBadFile";
    case WaveErrReadFailed: return "WaveErrReadFailed";
    case WaveErrDataEnded: return "WaveErrDataEnded";
    default: return MmioResultName(result);
  }
}

DWORD WaveReaderOpen(const char* fileName, HMMIO* file, WAVEFORMATEX** format, MMCKINFO* riff) {
  if (file == nullptr || format == nullptr || riff == nullptr) return MMSYSERR_INVALPARAM;
  *format = nullptr;
  HMMIO handle = nullptr;
  const DWORD result = OpenSteps(fileName, &handle, format, riff);
  if (result == 0) {
    *file = handle;
    return 0;
  }
  // Clean-up: the format block first, then the file.
  if (*format != nullptr) {
    GlobalFree(*format);
    *format = nullptr;
  }
  if (handle != nullptr) mmioClose(handle, 0);
  *file = nullptr;
  return result;
}

DWORD WaveReaderFindData(HMMIO file, MMCKINFO* data, const MMCKINFO* riff) {
  if (data == nullptr || riff == nullptr) return MMSYSERR_INVALPARAM;
  // The first subchunk starts just after the form type "WAVE".  A seek that
  // fails ends the call: searching from wherever the file stands could find
  // a "data" chunk that is not the RIFF chunk's own.
  const std::int64_t firstSubchunk = static_cast<std::int64_t>(riff->dwDataOffset) + 4;
  const LONG position = firstSubchunk > 0x7FFFFFFF ? -1 : mmioSeek(file, static_cast<LONG>(firstSubchunk), MMIO_SEEK_SET);
  data->ckid = FOURCC_DATA;
  if (position == -1) return MMIOERR_CANNOTSEEK;
  return mmioDescend(file, data, riff, MMIO_FINDCHUNK);
}

DWORD WaveReaderRead(HMMIO file, DWORD wanted, void* destination, MMCKINFO* data, DWORD* delivered) {
  DWORD ignored = 0;
  if (delivered == nullptr) delivered = &ignored;
  *delivered = 0;
  if (data == nullptr) return MMSYSERR_INVALPARAM;

  MMIOINFO window{};
  DWORD result = mmioGetInfo(file, &window, 0);
  if (result != 0) return result;

  const DWORD n = std::min(wanted, data->cksize);
  if (n > 0 && destination == nullptr) return MMSYSERR_INVALPARAM;
  // The count of bytes left drops before any byte moves, so a failure part
  // way leaves it lowered by the whole request; the caller rewinds or closes.
  data->cksize -= n;

  auto* out = static_cast<BYTE*>(destination);
  DWORD done = 0;
  while (done < n) {
    if (window.pchNext == window.pchEndRead) {
      result = mmioAdvance(file, &window, 0);
      if (result != 0) return result;
      if (window.pchNext == window.pchEndRead) return WaveErrDataEnded;
    }
    const auto available = static_cast<std::size_t>(window.pchEndRead - window.pchNext);
    const std::size_t span = std::min<std::size_t>(n - done, available);
    std::memcpy(out + done, window.pchNext, span);
    window.pchNext += span;
    done += static_cast<DWORD>(span);
  }

  result = mmioSetInfo(file, &window, 0);
  if (result != 0) return result;
  *delivered = n;
  return 0;
}

DWORD WaveReaderClose(HMMIO* file, WAVEFORMATEX** format) {
  if (format != nullptr && *format != nullptr) {
    GlobalFree(*format);
    *format = nullptr;
  }
  if (file != nullptr && *file != nullptr) {
    mmioClose(*file, 0);
    *file = nullptr;
  }
  return 0;
}

DWORD ReadWholeWave(const char* fileName, DWORD* size, WAVEFORMATEX** format, BYTE** samples) {
  if (size == nullptr || format == nullptr || samples == nullptr) return MMSYSERR_INVALPARAM;
  *samples = nullptr;
  *format = nullptr;
  *size = 0;

  HMMIO file = nullptr;
  MMCKINFO riff{};
  MMCKINFO data{};
  DWORD delivered = 0;
  DWORD result = WaveReaderOpen(fileName, &file, format, &riff);
  if (result == 0) result = WaveReaderFindData(file, &data, &riff);

  if (result == 0 && data.cksize > 0) {
    // A data size beyond the end of the file can only end in
    // WaveErrDataEnded; saying so before asking the heap keeps a damaged
    // header from reserving up to 4 GiB for a file of a few bytes.
    const LONG fileEnd = mmioSeek(file, 0, MMIO_SEEK_END);
    if (fileEnd != -1 && static_cast<std::int64_t>(data.dwDataOffset) + data.cksize > fileEnd) {
      result = WaveErrDataEnded;
    } else if (mmioSeek(file, static_cast<LONG>(data.dwDataOffset), MMIO_SEEK_SET) == -1) {
      result = MMIOERR_CANNOTSEEK;
    }
    if (result == 0) {
      *samples = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, data.cksize));
      if (*samples == nullptr) result = WaveErrNoMemory;
    }
    if (result == 0) result = WaveReaderRead(file, data.cksize, *samples, &data, &delivered);
  }

  if (result == 0) {
    *size = delivered;
  } else {
    if (*samples != nullptr) {
      GlobalFree(*samples);
      *samples = nullptr;
    }
    if (*format != nullptr) {
      GlobalFree(*format);
      *format = nullptr;
    }
  }
  if (file != nullptr) mmioClose(file, 0);
  return result;
}

}  // namespace velmo
