// The stream player: one long WAVE file played through one short looping
// device buffer that the refill timer keeps topping up.
//
// Every operation here runs on the window thread.  The refill tick runs on
// the timer thread and touches the stream state only while it holds
// StreamLock; the window thread changes the buffer and the file only where no
// tick can run: before the timer event exists, or after HaltStream has
// killed it and taken the lock.
#include "platform/mm_timer.h"
#include "sound/engine_state.h"
#include "sound/stream_refill_timer.h"
#include "sound/stream_state.h"
#include "sound/stream_wrapping_read.h"
#include "velmo/platform/dsound.h"
#include "velmo/sound/vs_sound.h"
#include "velmo/sound/wave_reader.h"

namespace velmo {
namespace {

// Results of CreateStreamBuffer.
constexpr LONG kStreamOpenFailed = -100;
constexpr LONG kStreamNotPcm = -101;
constexpr LONG kStreamBufferRefused = -102;
constexpr LONG kStreamNoData = -103;

// The stream buffer: cursor reads that track the play position exactly, and
// volume, pan and frequency controls.  Not static: it is rewritten as it plays.
constexpr DWORD kStreamBufferFlags =
    DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY;
static_assert(kStreamBufferFlags == 0x100E0);

// Full volume, panned 4000 hundredths of a decibel to the right: the left
// channel plays 40 dB down, the right one unchanged.
constexpr LONG kStreamVolume = 0;
constexpr LONG kStreamPan = 4000;

}  // namespace

LONG VSSound::OpenStream(const char* fileName) {
  // Nothing was opened, so this says so; no caller reads it either way.
  if (DSoundReady != 1) return 0;
  if (StreamOpen == 1) HaltStream(1);
  if (CreateStreamBuffer(fileName) != 0) return 0;
  StreamOpen = 1;
  return 1;
}

LONG VSSound::CreateStreamBuffer(const char* fileName) {
  if (WaveReaderOpen(fileName, &StreamFile, &StreamFormat, &StreamRiffChunk) != 0) return kStreamOpenFailed;

  if (StreamFormat->wFormatTag != WAVE_FORMAT_PCM) {
    WaveReaderClose(&StreamFile, &StreamFormat);
    return kStreamNotPcm;
  }
  if (WaveReaderFindData(StreamFile, &StreamDataChunk, &StreamRiffChunk) != 0) {
    WaveReaderClose(&StreamFile, &StreamFormat);
    return kStreamNoData;
  }

  // Not rounded to whole sample frames: the buffer is a byte ring and the
  // refill follows the play cursor byte by byte.
  StreamBufferBytes = StreamBufferLength(StreamFormat->nAvgBytesPerSec);

  DSBUFFERDESC desc{};
  desc.dwSize = sizeof(DSBUFFERDESC);
  desc.dwFlags = kStreamBufferFlags;
  desc.dwBufferBytes = StreamBufferBytes;
  desc.dwReserved = 0;
  desc.lpwfxFormat = StreamFormat;  // the whole block as read, extra bytes included
  if (CreateDeviceBuffer(&desc, &StreamBuffer) != DS_OK) {
    StreamBuffer = nullptr;
    WaveReaderClose(&StreamFile, &StreamFormat);
    return kStreamBufferRefused;
  }
  TimerBuffer = StreamBuffer;

  FillStreamBuffer();
  StreamHalting.store(0);

  StreamBuffer->SetVolume(kStreamVolume);
  StreamBuffer->SetPan(kStreamPan);
  StreamBuffer->SetFrequency(StreamFormat->nSamplesPerSec);
  return 0;
}

HRESULT VSSound::FillStreamBuffer() {
  if (StreamBuffer == nullptr) return DSERR_INVALIDCALL;
  void* region1 = nullptr;
  void* region2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  const HRESULT locked = StreamBuffer->Lock(0, StreamBufferBytes, &region1, &bytes1, &region2, &bytes2, 0);
  if (locked != DS_OK) return locked;
  // The whole buffer from offset 0 comes back as one region.
  if (bytes1 != 0) ReadStreamWrapping(bytes1, static_cast<BYTE*>(region1));
  const HRESULT unlocked = StreamBuffer->Unlock(region1, bytes1, region2, 0);
  RefillPosition = 0;
  return unlocked;
}

void VSSound::RewindStream() {
  // A data chunk that cannot be found again leaves nothing to read, and the
  // fill below then writes silence.
  WaveReaderFindData(StreamFile, &StreamDataChunk, &StreamRiffChunk);
  FillStreamBuffer();
  StreamHalting.store(0);
}

void VSSound::PlayStream() {
  if (DSoundReady != 1) return;
  if (StreamPlaying == 1) HaltStream(0);
  if (StreamOpen == 0 || StreamBuffer == nullptr) {
    StreamPlaying = 0;
    TimerActive = 0;
    return;
  }

  StreamBuffer->SetCurrentPosition(0);
  StreamBuffer->Play(0, 0, DSBPLAY_LOOPING);

  if (timeBeginPeriod(kRefillPeriodMs) != TIMERR_NOERROR) {
    StreamBuffer->Stop();
    StreamPlaying = 0;
    TimerActive = 0;
    return;
  }

  // No timer event exists yet, so no tick can hold the lock: a plain store
  // frees it.
  StreamLock.store(0);
  TimerId = timeSetEvent(kRefillPeriodMs, kRefillResolutionMs, VSTimeRunFuncForDSound, 0, TIME_PERIODIC);
  if (TimerId != 0) {
    TimerActive = 1;
  } else {
    // Without an event nothing would ever end the period begun above.  The
    // buffer still plays: its first 1.2 seconds loop without refills.
    timeEndPeriod(kRefillPeriodMs);
  }
  StreamPlaying = 1;
}

void VSSound::StopStream() {
  if (DSoundReady == 1 && StreamPlaying == 1) HaltStream(0);
}

void VSSound::HaltStream(LONG mode) {
  // First, so that a tick still under way writes silence rather than read
  // the file that is about to be rewound or closed.
  StreamHalting.store(1);
  // Kills the event, waits for the lock and keeps it until the next play.
  if (TimerActive == 1) StopRefillTimer();

  if (StreamPlaying == 1) {
    StreamPlaying = 0;
    if (StreamBuffer != nullptr) StreamBuffer->Stop();
  }

  if ((mode & 1) == 0) {
    RewindStream();
    return;
  }

  if (StreamOpen == 1) {
    WaveReaderClose(&StreamFile, &StreamFormat);
    if (StreamBuffer != nullptr) StreamBuffer->Release();
    StreamBuffer = nullptr;
    // The timer's copy goes too: it would point at a released buffer.
    TimerBuffer = nullptr;
    StreamOpen = 0;
  }
}

}  // namespace velmo
