// Buffered multimedia file I/O: read-only access to RIFF files.
//
// A file is opened with mmioOpenA and named by an HMMIO handle from then on.
// The layer keeps a file position and, for files opened with MMIO_ALLOCBUF,
// an I/O buffer of its own.  Besides plain reads and seeks it walks RIFF
// chunks: mmioDescend reads a chunk header (or searches for a chunk by
// identifier within a parent chunk) and mmioAscend moves to the end of a
// chunk, past its pad byte.
//
// Callers that want to copy straight out of the I/O buffer take the buffer's
// window with mmioGetInfo (pchNext is the next unread byte, pchEndRead is
// just past the last valid one), consume bytes by moving pchNext, refill an
// empty window with mmioAdvance and hand the window back with mmioSetInfo so
// that the file position accounts for the bytes taken.
//
// Files are opened and closed through CurrentPlatform() so that tests can
// count and fail the opens.  Positions are signed 32-bit as in the records
// the callers keep; a position that does not fit is a seek failure.
#pragma once

#include "velmo/platform/acm.h"  // MMSYSERR_NOERROR and the other general result codes
#include "velmo/platform/win_types.h"

namespace velmo {

struct MmioFile;
// An open file of the layer.  Null means no file.
using HMMIO = MmioFile*;

// Builds a chunk identifier from its four characters; the first character is
// the lowest byte, so the value equals the four file bytes read as a
// little-endian 32-bit word.
constexpr FOURCC mmioFOURCC(char c0, char c1, char c2, char c3) {
  return static_cast<FOURCC>(static_cast<BYTE>(c0)) | (static_cast<FOURCC>(static_cast<BYTE>(c1)) << 8) |
         (static_cast<FOURCC>(static_cast<BYTE>(c2)) << 16) | (static_cast<FOURCC>(static_cast<BYTE>(c3)) << 24);
}

constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');

// Open modes and options (mmioOpenA).  Only reading is supported; a request
// to write is refused.
constexpr DWORD MMIO_READ = 0x00000000;
constexpr DWORD MMIO_WRITE = 0x00000001;
constexpr DWORD MMIO_READWRITE = 0x00000002;
constexpr DWORD MMIO_ALLOCBUF = 0x00010000;  // the layer allocates an I/O buffer

// Search flags (mmioDescend).
constexpr UINT MMIO_FINDCHUNK = 0x0010;  // a chunk with the given ckid
constexpr UINT MMIO_FINDRIFF = 0x0020;   // a "RIFF" chunk with the given fccType
constexpr UINT MMIO_FINDLIST = 0x0040;   // a "LIST" chunk with the given fccType

// Seek origins (mmioSeek).
constexpr int MMIO_SEEK_SET = 0;
constexpr int MMIO_SEEK_CUR = 1;
constexpr int MMIO_SEEK_END = 2;

// The default size of the buffer that MMIO_ALLOCBUF allocates.
constexpr LONG MMIO_DEFAULTBUFFER = 64 * 1024;

// Result codes.  0 (MMSYSERR_NOERROR) is success.
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;  // a null handle
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;  // a null record, or a window that is not this file's
constexpr MMRESULT MMIOERR_BASE = 256;
constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;
constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;
constexpr MMRESULT MMIOERR_UNBUFFERED = MMIOERR_BASE + 10;

// The name of a result code of this layer ("MMIOERR_CHUNKNOTFOUND"), or null
// for a value that is not one.
const char* MmioResultName(MMRESULT result);

// Chunk info record, filled by mmioDescend.
struct MMCKINFO {
  FOURCC ckid;         // chunk identifier
  DWORD cksize;        // size of the chunk's data, not counting header or pad byte
  FOURCC fccType;      // form type of a "RIFF" or "LIST" chunk
  DWORD dwDataOffset;  // file offset of the data (of the form type, for "RIFF"/"LIST")
  DWORD dwFlags;       // not used when reading; set to 0
};

// Info record: the I/O buffer's window and the open file's state.
struct MMIOINFO {
  DWORD dwFlags;     // open flags
  UINT wErrorRet;    // mmioOpenA: why the open failed
  LONG cchBuffer;    // mmioOpenA: wanted buffer size (0: default); otherwise the buffer's size
  char* pchBuffer;   // start of the I/O buffer (null when unbuffered)
  char* pchNext;     // next byte to read
  char* pchEndRead;  // just past the last valid byte
  char* pchEndWrite; // end of the buffer
  LONG lBufOffset;   // file offset of pchBuffer[0]
  LONG lDiskOffset;  // file offset just past the buffer's valid bytes
  HMMIO hmmio;       // the file the window belongs to
};

// Opens `name` for reading.  `info`, when given, may ask for a buffer size in
// cchBuffer; on failure its wErrorRet says why.  Returns null on failure.
HMMIO mmioOpenA(const char* name, MMIOINFO* info, DWORD flags);

// Closes the file and frees its buffer.  The handle is invalid afterwards.
MMRESULT mmioClose(HMMIO file, UINT flags);

// Reads up to `count` bytes at the file position.  Returns the number read
// (fewer at the end of the file), or -1 on an error.
LONG mmioRead(HMMIO file, char* destination, LONG count);

// Moves the file position.  Returns the new position, or -1 when it would be
// negative or out of range.  Moving past the end of the file is allowed;
// reads there deliver nothing.
LONG mmioSeek(HMMIO file, LONG offset, int origin);

// Without search flags: reads the chunk header at the file position (with the
// form type for "RIFF" and "LIST") and leaves the file at the chunk's data.
// With MMIO_FINDCHUNK / MMIO_FINDRIFF / MMIO_FINDLIST: reads headers onward,
// stepping over each other chunk and its pad byte, until one matches `chunk`'s
// preset ckid (and fccType).  The search fails with MMIOERR_CHUNKNOTFOUND at
// the end of `parent` (when given) or of the file.
MMRESULT mmioDescend(HMMIO file, MMCKINFO* chunk, const MMCKINFO* parent, UINT flags);

// Moves the file to the end of `chunk`, past its pad byte.
MMRESULT mmioAscend(HMMIO file, MMCKINFO* chunk, UINT flags);

// Copies the I/O buffer's window into `info`.
MMRESULT mmioGetInfo(HMMIO file, MMIOINFO* info, UINT flags);

// Takes info->pchNext as the position, refills the buffer from there and
// updates the window.  At the end of the file the window is empty.
MMRESULT mmioAdvance(HMMIO file, MMIOINFO* info, UINT flags);

// Hands the window back: the file position becomes info->pchNext.
MMRESULT mmioSetInfo(HMMIO file, const MMIOINFO* info, UINT flags);

}  // namespace velmo
