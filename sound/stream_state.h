// Engine-wide state of the one stream, shared by the window thread and the
// refill timer's thread.
#pragma once

#include <atomic>

#include "platform/mm_timer.h"
#include "velmo/platform/dsound.h"
#include "velmo/platform/mmio.h"
#include "velmo/platform/services.h"
#include "velmo/platform/wave_format.h"

namespace velmo {

// The lock word between the window thread and the refill timer: 0 free, 1
// held.  Taken only by atomic exchange with 1.
extern InterlockedWord StreamLock;
// 1 while the periodic refill event exists.
extern LONG TimerActive;
// 1 after PlayStream started the buffer.
extern LONG StreamPlaying;
// 1 while a stream file and its buffer are held.
extern LONG StreamOpen;
// The refill event's identifier, as timeSetEvent returned it.
extern UINT TimerId;

}  // namespace velmo

namespace velmo {

// The refill event's period and resolution, in milliseconds.
constexpr UINT kRefillPeriodMs = 50;
constexpr UINT kRefillResolutionMs = 10;
// How long the window thread sleeps between attempts on StreamLock.
constexpr DWORD kStreamLockRetryMs = 100;

// Kills the refill event, ends its timer period and takes StreamLock,
// retrying every 100 ms until a tick still under way has let go of it.  The
// lock stays held, so that a tick delivered after the kill does nothing.
// Clears TimerActive.  Call only while TimerActive is 1.
void StopRefillTimer();

}  // namespace velmo

namespace velmo {

// The stream's resources and positions.  The window thread sets them up and
// tears them down only while no refill tick can run (before the timer event
// exists, or after it has been killed and StreamLock taken); a tick uses them
// only while it holds StreamLock.

// The stream's device buffer, or null while no stream is open.
extern IDirectSoundBuffer* StreamBuffer;
// The copy of StreamBuffer through which the refill tick reaches the buffer.
extern IDirectSoundBuffer* TimerBuffer;
// The open stream file, positioned inside its data chunk, or null.
extern HMMIO StreamFile;
// The file's format block, owned by the stream from open to close, or null.
extern WAVEFORMATEX* StreamFormat;
// The file's RIFF chunk, kept so that the data chunk can be found again.
extern MMCKINFO StreamRiffChunk;
// The data chunk; its cksize counts the sample bytes not yet read.
extern MMCKINFO StreamDataChunk;
// Length of the device buffer in bytes: 1.2 seconds of the file's audio.
extern DWORD StreamBufferBytes;
// Offset in the buffer where the next refill begins: the play cursor seen at
// the last refill.  Always below StreamBufferBytes.
extern DWORD RefillPosition;
// 1 from the start of a halt until the stream is rewound or created again.
// The tick reads it without holding StreamLock, so it is atomic; while it is
// 1, ticks write silence instead of reading the file.
extern std::atomic<LONG> StreamHalting;

// Nominal length of the stream buffer: 120 percent of one second's bytes, in
// 32-bit unsigned arithmetic with the quotient truncated.
constexpr DWORD StreamBufferLength(DWORD avgBytesPerSec) { return (avgBytesPerSec * 120u) / 100u; }

// The byte that stands for silence in the stream's samples: 0x80 for 8-bit
// (unsigned) samples, 0 for every other width.  0 when no format is held.
BYTE StreamSilenceValue();

}  // namespace velmo
