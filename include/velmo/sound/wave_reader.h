// The WAVE file reader: opens a RIFF/WAVE file, reads its format and copies
// out its sample bytes.
//
// The reader keeps no state of its own.  Everything lives in records the
// caller owns: the open file's handle, the format block and two chunk info
// records (the file's RIFF chunk and its data chunk).  The data record's
// cksize counts the sample bytes not yet read; it is the read cursor.
//
// Every operation returns 0 for success, one of the WaveErr codes below, or a
// non-zero code of the file layer (platform/mmio.h) passed through.  The
// reader shows no message and writes no diagnostic.
//
// The format block (18 + cbSize bytes) and the sample block are fixed heap
// blocks from GlobalAlloc; the caller frees them with GlobalFree (or the
// format block with WaveReaderClose).
#pragma once

#include "velmo/platform/mmio.h"
#include "velmo/platform/wave_format.h"
#include "velmo/platform/win_types.h"

namespace velmo {

constexpr DWORD WaveErrNoMemory = 0xE000;     // no heap block for the format or the samples
constexpr DWORD WaveErrOpenFailed = 0xE100;   // the file cannot be opened for reading
constexpr DWORD WaveErrBadFile = 0xE101;      // not RIFF/WAVE, "fmt " under 16 bytes, or extra format bytes short
constexpr DWORD WaveErrReadFailed = 0xE102;   // the 16 format bytes or the 2-byte extra count not read whole
constexpr DWORD WaveErrDataEnded = 0xE103;    // the file ended before the requested sample bytes

constexpr FOURCC FOURCC_WAVE = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC FOURCC_FMT = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC FOURCC_DATA = mmioFOURCC('d', 'a', 't', 'a');

// The name of a result: "Success" for 0, "WaveErrBadFile" and the like for
// the reader's codes, the file layer's name for its codes, or null.
const char* WaveResultName(DWORD result);

// Opens `fileName` (passed to the file layer unchanged), checks that it is
// RIFF/WAVE and reads its "fmt " chunk into a new format block.  On success
// *file is open just after the "fmt " chunk, *format is set and *riff is the
// file's RIFF record (keep it unchanged while the file is open).  On failure
// *file and *format are null and nothing is left open or allocated.
DWORD WaveReaderOpen(const char* fileName, HMMIO* file, WAVEFORMATEX** format, MMCKINFO* riff);

// Positions the file at the first sample byte and fills *data with the data
// chunk's full size and offset.  Called again, it rewinds to the first
// sample byte.  A failed seek fails the call with the file layer's code.
DWORD WaveReaderFindData(HMMIO file, MMCKINFO* data, const MMCKINFO* riff);

// Copies up to `wanted` sample bytes to `destination`, clamped to what is
// left of the data chunk (data->cksize, lowered by the clamped count before
// any byte is copied).  *delivered is the count copied: less than wanted only
// at the end of the data, and 0 on any failure.  Allocates nothing.
DWORD WaveReaderRead(HMMIO file, DWORD wanted, void* destination, MMCKINFO* data, DWORD* delivered);

// Frees the format block and closes the file, each only if present, and sets
// both to null.  Always 0; calling it twice is harmless.
DWORD WaveReaderClose(HMMIO* file, WAVEFORMATEX** format);

// Reads a whole file: its format block and all its sample bytes.  On success
// all three outputs are set and the file is closed; a data chunk of size 0
// gives success with size 0 and a null sample block.  On failure the size is
// 0, both blocks are null and nothing is left open or allocated.
DWORD ReadWholeWave(const char* fileName, DWORD* size, WAVEFORMATEX** format, BYTE** samples);

}  // namespace velmo
