// The record of one loaded static sound: a short effect read whole from a
// WAVE file and copied into a device buffer of its own.
//
// VSSound::LoadStatic allocates the record as one zero-filled fixed heap
// block and returns its address, which the caller keeps as the sound's
// handle.  A record that LoadStatic returned always has WaveData, WaveFormat
// and SoundBuffer set, and the buffer holds a copy of all WaveSize bytes.
// Records are never unloaded: the record, its two heap blocks and its buffer
// live until the process ends.
#pragma once

#include "velmo/platform/dsound.h"
#include "velmo/platform/wave_format.h"
#include "velmo/platform/win_types.h"

namespace velmo {

// Room for a file name in the record, its terminating zero included.
constexpr DWORD StaticSoundNameSize = 260;

// Volume and pan on the library's own scale: 400 is full volume and the
// centre.  The device value is (setting - 400) * 10 hundredths of a decibel.
constexpr LONG StaticSoundNeutralSetting = 400;

struct StaticSound {
  BYTE* WaveData;               // the whole data chunk; a heap block owned by the record
  DWORD WaveSize;               // bytes in WaveData, and the length of the buffer
  WAVEFORMATEX* WaveFormat;     // the file's format record; a heap block owned by the record
  DWORD Frequency;              // playback rate given to the buffer, samples per second
  LONG PanSetting;              // 400 is centre; 0 is -4000, 800 is +4000 on the device
  LONG VolumeSetting;           // 400 is full volume; 0 is 40 dB down
  DWORD Looping;                // non-zero: PlayStatic plays the buffer looped
  DWORD Playing;                // 1 after a start, 0 after a stop; not cleared when a one-shot ends
  DWORD InHardware;             // 1 when the device holds the buffer in hardware
  IDirectSoundBuffer* SoundBuffer;  // the sound's static buffer, or null
  char FileName[StaticSoundNameSize];  // the name given to LoadStatic, cut to 259 characters
};

}  // namespace velmo
