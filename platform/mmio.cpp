#include "velmo/platform/mmio.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

#include "velmo/platform/platform.h"

namespace velmo {

// The state of one open file.  The buffer holds the file bytes
// [bufferOffset, bufferOffset + valid); the file position is
// bufferOffset + next.  Positions are kept in 64 bits so that chunk sizes
// near 4 GiB cannot overflow the arithmetic; only what is handed out in the
// 32-bit records is checked against their range.
struct MmioFile {
  int fd = -1;
  DWORD flags = 0;
  char* buffer = nullptr;  // null for an unbuffered file
  std::int64_t capacity = 0;
  std::int64_t bufferOffset = 0;
  std::int64_t valid = 0;
  std::int64_t next = 0;

  std::int64_t Position() const { return bufferOffset + next; }
};

namespace {

constexpr std::int64_t kLongMax = std::numeric_limits<LONG>::max();

// Reads at `offset` until `count` bytes have come, the file ends or an
// error occurs.  Returns the bytes read, or -1 on an error before any byte.
//
// A read cut short by a signal (EINTR) is an error like any other and is
// not tried again.  Reads of a regular file on a local disk are never
// interrupted; the ones that are (on a network or FUSE file system, stuck
// on a server that does not answer) are interrupted only by a handler
// installed without SA_RESTART, which asks for exactly that: a program
// that is told to stop interrupts its own thread so that it does not wait
// for ever.  Retrying here would swallow that stop.
std::int64_t ReadAt(int fd, char* destination, std::int64_t count, std::int64_t offset) {
  std::int64_t done = 0;
  while (done < count) {
    ssize_t got = ::pread(fd, destination + done, static_cast<size_t>(count - done), offset + done);
    if (got < 0) return done > 0 ? done : -1;
    if (got == 0) break;
    done += got;
  }
  return done;
}

// Makes `position` the file position.  A position inside the valid bytes of
// the buffer keeps the buffer; any other empties it there, so the next read
// refills from that position.
void MoveTo(MmioFile& f, std::int64_t position) {
  if (f.buffer != nullptr && position >= f.bufferOffset && position <= f.bufferOffset + f.valid) {
    f.next = position - f.bufferOffset;
    return;
  }
  f.bufferOffset = position;
  f.valid = 0;
  f.next = 0;
}

// Refills the buffer from the file position.  Returns false on a read error
// (the buffer is then empty at the same position).
bool Refill(MmioFile& f) {
  const std::int64_t position = f.Position();
  f.bufferOffset = position;
  f.next = 0;
  f.valid = 0;
  const std::int64_t got = ReadAt(f.fd, f.buffer, f.capacity, position);
  if (got < 0) return false;
  f.valid = got;
  return true;
}

// Reads up to `count` bytes at the file position, through the buffer when
// there is one.  Requests at least as large as the buffer bypass it once the
// buffered bytes are used up, so a big read costs no second copy.
std::int64_t ReadBytes(MmioFile& f, char* destination, std::int64_t count) {
  if (f.buffer == nullptr) {
    const std::int64_t got = ReadAt(f.fd, destination, count, f.bufferOffset);
    if (got > 0) f.bufferOffset += got;
    return got;
  }
  std::int64_t done = 0;
  while (done < count) {
    if (f.next < f.valid) {
      const std::int64_t span = std::min(count - done, f.valid - f.next);
      std::memcpy(destination + done, f.buffer + f.next, static_cast<size_t>(span));
      f.next += span;
      done += span;
      continue;
    }
    const std::int64_t wanted = count - done;
    if (wanted >= f.capacity) {
      const std::int64_t position = f.Position();
      const std::int64_t got = ReadAt(f.fd, destination + done, wanted, position);
      if (got < 0) return done > 0 ? done : -1;
      MoveTo(f, position + got);
      done += got;
      break;
    }
    if (!Refill(f)) return done > 0 ? done : -1;
    if (f.valid == 0) break;  // end of the file
  }
  return done;
}

// Reads the little-endian 32-bit words of a chunk header.  Returns 0, or
// MMIOERR_CHUNKNOTFOUND when the file ends first, or MMIOERR_CANNOTREAD.
MMRESULT ReadWords(MmioFile& f, DWORD* words, int count) {
  BYTE raw[8];
  const std::int64_t bytes = 4 * static_cast<std::int64_t>(count);
  const std::int64_t got = ReadBytes(f, reinterpret_cast<char*>(raw), bytes);
  if (got < 0) return MMIOERR_CANNOTREAD;
  if (got != bytes) return MMIOERR_CHUNKNOTFOUND;
  for (int i = 0; i < count; ++i) {
    words[i] = static_cast<DWORD>(raw[4 * i]) | (static_cast<DWORD>(raw[4 * i + 1]) << 8) |
               (static_cast<DWORD>(raw[4 * i + 2]) << 16) | (static_cast<DWORD>(raw[4 * i + 3]) << 24);
  }
  return MMSYSERR_NOERROR;
}

bool HasFormType(FOURCC id) { return id == FOURCC_RIFF || id == FOURCC_LIST; }

// Fills `out` with the window of `f`.
void FillInfo(const MmioFile& f, MMIOINFO& out) {
  out.dwFlags = f.flags;
  out.wErrorRet = 0;
  out.cchBuffer = static_cast<LONG>(f.capacity);
  out.pchBuffer = f.buffer;
  out.pchNext = f.buffer == nullptr ? nullptr : f.buffer + f.next;
  out.pchEndRead = f.buffer == nullptr ? nullptr : f.buffer + f.valid;
  out.pchEndWrite = f.buffer == nullptr ? nullptr : f.buffer + f.capacity;
  // The window's offsets are informational; they are clamped rather than
  // wrapped for files beyond the 32-bit range.
  out.lBufOffset = static_cast<LONG>(std::min(f.bufferOffset, kLongMax));
  out.lDiskOffset = static_cast<LONG>(std::min(f.bufferOffset + f.valid, kLongMax));
  out.hmmio = const_cast<MmioFile*>(&f);
}

// Checks that `info` is a window of `f` whose next pointer lies within the
// valid bytes, and returns that pointer's index.
bool WindowIndex(const MmioFile& f, const MMIOINFO& info, std::int64_t* index) {
  if (f.buffer == nullptr || info.pchBuffer != f.buffer || info.pchNext == nullptr) return false;
  const std::int64_t at = info.pchNext - f.buffer;
  if (at < 0 || at > f.valid) return false;
  *index = at;
  return true;
}

}  // namespace

const char* MmioResultName(MMRESULT result) {
  switch (result) {
    case MMSYSERR_NOERROR: return "MMSYSERR_NOERROR";
    case MMSYSERR_INVALHANDLE: return "MMSYSERR_INVALHANDLE";
    case MMSYSERR_INVALPARAM: return "MMSYSERR_INVALPARAM";
    case MMIOERR_FILENOTFOUND: return "MMIOERR_FILENOTFOUND";
    case MMIOERR_OUTOFMEMORY: return "MMIOERR_OUTOFMEMORY";
    case MMIOERR_CANNOTOPEN: return "MMIOERR_CANNOTOPEN";
    case MMIOERR_CANNOTCLOSE: return "MMIOERR_CANNOTCLOSE";
    case MMIOERR_CANNOTREAD: return "MMIOERR_CANNOTREAD";
    case MMIOERR_CANNOTWRITE: return "MMIOERR_CANNOTWRITE";
    case MMIOERR_CANNOTSEEK: return "MMIOERR_CANNOTSEEK";
    case MMIOERR_CANNOTEXPAND: return "MMIOERR_CANNOTEXPAND";
    case MMIOERR_CHUNKNOTFOUND: return "MMIOERR_CHUNKNOTFOUND";
    case MMIOERR_UNBUFFERED: return "MMIOERR_UNBUFFERED";
    default: return nullptr;
  }
}

HMMIO mmioOpenA(const char* name, MMIOINFO* info, DWORD flags) {
  auto fail = [info](MMRESULT why) -> HMMIO {
    if (info != nullptr) info->wErrorRet = why;
    return nullptr;
  };
  if (name == nullptr) return fail(MMSYSERR_INVALPARAM);
  if ((flags & (MMIO_WRITE | MMIO_READWRITE)) != 0) return fail(MMIOERR_CANNOTWRITE);

  auto* file = new (std::nothrow) MmioFile;
  if (file == nullptr) return fail(MMIOERR_OUTOFMEMORY);
  file->flags = flags;
  if ((flags & MMIO_ALLOCBUF) != 0) {
    LONG size = MMIO_DEFAULTBUFFER;
    if (info != nullptr && info->cchBuffer > 0) size = info->cchBuffer;
    file->buffer = new (std::nothrow) char[static_cast<size_t>(size)];
    if (file->buffer == nullptr) {
      delete file;
      return fail(MMIOERR_OUTOFMEMORY);
    }
    file->capacity = size;
  }

  file->fd = CurrentPlatform().OpenFileForReading(name);
  // The system platform opens regular files only.  Whatever else a platform
  // hands back (a directory reads nothing; a pipe or a device has no end
  // and no positions to seek to) is refused here as a file that cannot be
  // opened, as a missing file is.
  struct stat st {};
  if (file->fd >= 0 && (::fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    CurrentPlatform().CloseFile(file->fd);
    file->fd = -1;
  }
  if (file->fd < 0) {
    delete[] file->buffer;
    delete file;
    return fail(MMIOERR_CANNOTOPEN);
  }
  if (info != nullptr) info->wErrorRet = MMSYSERR_NOERROR;
  return file;
}

MMRESULT mmioClose(HMMIO file, UINT /*flags*/) {
  if (file == nullptr) return MMSYSERR_INVALHANDLE;
  CurrentPlatform().CloseFile(file->fd);
  delete[] file->buffer;
  delete file;
  return MMSYSERR_NOERROR;
}

LONG mmioRead(HMMIO file, char* destination, LONG count) {
  if (file == nullptr || count < 0 || (destination == nullptr && count > 0)) return -1;
  return static_cast<LONG>(ReadBytes(*file, destination, count));
}

LONG mmioSeek(HMMIO file, LONG offset, int origin) {
  if (file == nullptr) return -1;
  std::int64_t base = 0;
  switch (origin) {
    case MMIO_SEEK_SET: base = 0; break;
    case MMIO_SEEK_CUR: base = file->Position(); break;
    case MMIO_SEEK_END: {
      struct stat st {};
      if (::fstat(file->fd, &st) != 0) return -1;
      base = st.st_size;
      break;
    }
    default: return -1;
  }
  const std::int64_t target = base + offset;
  if (target < 0 || target > kLongMax) return -1;
  MoveTo(*file, target);
  return static_cast<LONG>(target);
}

MMRESULT mmioDescend(HMMIO file, MMCKINFO* chunk, const MMCKINFO* parent, UINT flags) {
  if (file == nullptr) return MMSYSERR_INVALHANDLE;
  if (chunk == nullptr) return MMSYSERR_INVALPARAM;

  // The parent's data ends at its data offset plus its size; for "RIFF" and
  // "LIST" the data offset is that of the form type, which the size counts.
  const std::int64_t parentEnd = parent == nullptr ? std::numeric_limits<std::int64_t>::max()
                                                   : static_cast<std::int64_t>(parent->dwDataOffset) + parent->cksize;
  // One search at a time; of several flags the most specific wins.
  UINT search = 0;
  if ((flags & MMIO_FINDCHUNK) != 0) search = MMIO_FINDCHUNK;
  if ((flags & MMIO_FINDLIST) != 0) search = MMIO_FINDLIST;
  if ((flags & MMIO_FINDRIFF) != 0) search = MMIO_FINDRIFF;
  FOURCC wantedId = chunk->ckid;
  if (search == MMIO_FINDRIFF) wantedId = FOURCC_RIFF;
  if (search == MMIO_FINDLIST) wantedId = FOURCC_LIST;
  const FOURCC wantedType = chunk->fccType;

  // Every step moves on by at least the 8 header bytes, so the search ends
  // at the end of the parent or of the file.
  for (;;) {
    const std::int64_t header = file->Position();
    if (header + 8 > parentEnd) return MMIOERR_CHUNKNOTFOUND;
    DWORD words[2];
    MMRESULT read = ReadWords(*file, words, 2);
    if (read != MMSYSERR_NOERROR) return read;
    const FOURCC id = words[0];
    const DWORD size = words[1];
    DWORD type = 0;
    const bool typed = HasFormType(id);
    if (typed && (search == 0 || id == wantedId)) {
      read = ReadWords(*file, &type, 1);
      if (read != MMSYSERR_NOERROR) return read;
    }
    bool match = true;
    if (search == MMIO_FINDCHUNK) match = id == wantedId;
    if (search == MMIO_FINDRIFF || search == MMIO_FINDLIST) match = id == wantedId && type == wantedType;
    if (match) {
      const std::int64_t dataOffset = header + 8;
      if (dataOffset > std::numeric_limits<DWORD>::max()) return MMIOERR_CHUNKNOTFOUND;
      chunk->ckid = id;
      chunk->cksize = size;
      chunk->fccType = typed ? type : 0;
      chunk->dwDataOffset = static_cast<DWORD>(dataOffset);
      chunk->dwFlags = 0;
      return MMSYSERR_NOERROR;
    }
    const std::int64_t after = header + 8 + size + (size & 1);
    MoveTo(*file, after);
  }
}

MMRESULT mmioAscend(HMMIO file, MMCKINFO* chunk, UINT /*flags*/) {
  if (file == nullptr) return MMSYSERR_INVALHANDLE;
  if (chunk == nullptr) return MMSYSERR_INVALPARAM;
  const std::int64_t end = static_cast<std::int64_t>(chunk->dwDataOffset) + chunk->cksize + (chunk->cksize & 1);
  MoveTo(*file, end);
  return MMSYSERR_NOERROR;
}

MMRESULT mmioGetInfo(HMMIO file, MMIOINFO* info, UINT /*flags*/) {
  if (file == nullptr) return MMSYSERR_INVALHANDLE;
  if (info == nullptr) return MMSYSERR_INVALPARAM;
  FillInfo(*file, *info);
  return MMSYSERR_NOERROR;
}

MMRESULT mmioAdvance(HMMIO file, MMIOINFO* info, UINT flags) {
  if (file == nullptr) return MMSYSERR_INVALHANDLE;
  if ((flags & MMIO_WRITE) != 0) return MMIOERR_CANNOTWRITE;
  if (file->buffer == nullptr) return MMIOERR_UNBUFFERED;
  if (info != nullptr) {
    std::int64_t index = 0;
    if (!WindowIndex(*file, *info, &index)) return MMSYSERR_INVALPARAM;
    file->next = index;
  }
  // Refilling from the next unread byte keeps any bytes the caller has not
  // taken yet; a caller that empties the window first loses nothing either.
  const bool ok = Refill(*file);
  if (info != nullptr) FillInfo(*file, *info);
  return ok ? MMSYSERR_NOERROR : MMIOERR_CANNOTREAD;
}

MMRESULT mmioSetInfo(HMMIO file, const MMIOINFO* info, UINT /*flags*/) {
  if (file == nullptr) return MMSYSERR_INVALHANDLE;
  if (info == nullptr) return MMSYSERR_INVALPARAM;
  if (file->buffer == nullptr) return MMSYSERR_NOERROR;  // an unbuffered file has no window to take back
  std::int64_t index = 0;
  if (!WindowIndex(*file, *info, &index)) return MMSYSERR_INVALPARAM;
  file->next = index;
  return MMSYSERR_NOERROR;
}

}  // namespace velmo
