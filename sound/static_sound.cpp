// Static sounds: loading an effect whole into a buffer of its own, playing it
// from its first sample and stopping it.
#include "velmo/sound/static_sound.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sound/engine_state.h"
#include "velmo/platform/heap.h"
#include "velmo/platform/services.h"
#include "velmo/sound/vs_sound.h"
#include "velmo/sound/wave_reader.h"

namespace velmo {
namespace {

// Static, with the three controls the record's settings need, and a play
// cursor that reports the position actually being heard.
constexpr DWORD StaticBufferFlags =
    DSBCAPS_STATIC | DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME | DSBCAPS_GETCURRENTPOSITION2;
static_assert(StaticBufferFlags == 0x100E2);

constexpr const char* LoadCaption = "Velmo Sound Error!";
constexpr const char* PlayCaption = "Velmo Sound Error";

// (setting - 400) * 10, worked out wide so that no setting can overflow;
// a value out of the device's range is then refused by the device itself.
LONG DeviceLevel(LONG setting) {
  const std::int64_t level = (static_cast<std::int64_t>(setting) - StaticSoundNeutralSetting) * 10;
  return static_cast<LONG>(std::clamp<std::int64_t>(level, INT32_MIN, INT32_MAX));
}

// Copies at most 259 characters and always ends the copy with a zero, so a
// longer name is cut short instead of running past the field.
void CopyName(char (&field)[StaticSoundNameSize], const char* name) {
  std::memset(field, 0, sizeof field);
  if (name == nullptr) return;
  const std::size_t length = ::strnlen(name, sizeof field - 1);
  std::memcpy(field, name, length);
}

}  // namespace

StaticSound* VSSound::LoadStatic(const char* fileName) {
  if (DSoundReady != 1) return nullptr;

  // The test only warns: a file that is not PCM may still be one the device
  // takes, and the steps below decide whether the load succeeds.
  if (IsPCMWave(fileName) == 0)
    MessageBoxA(OwnerWindow, "Wave files must be PCM format!", LoadCaption, MB_ICONERROR);

  HGLOBAL block = GlobalAlloc(GPTR, sizeof(StaticSound));
  auto* sound = static_cast<StaticSound*>(block ? GlobalLock(block) : nullptr);
  if (sound == nullptr) {
    if (block != nullptr) GlobalFree(block);
    MessageBoxA(OwnerWindow, "Cannot Allocate Memory to this file", "Out of Memory", MB_ICONERROR);
    return nullptr;
  }

  // The block is zero-filled, so every field already reads 0 or null; the
  // three pointers are set explicitly because the clean-up below relies on
  // them.
  sound->WaveData = nullptr;
  sound->WaveFormat = nullptr;
  sound->SoundBuffer = nullptr;
  CopyName(sound->FileName, fileName);

  // The file is opened a second time here: the PCM test has closed it.
  if (ReadWholeWave(fileName, &sound->WaveSize, &sound->WaveFormat, &sound->WaveData) != 0) {
    MessageBoxA(OwnerWindow, "Bad wave file or file too big to fit in memory", "Cannot load wave", MB_ICONERROR);
  } else if (CreateStaticBuffer(sound) != 0) {
    MessageBoxA(OwnerWindow, "Cannot create new buffer", LoadCaption, MB_ICONERROR);
  } else {
    sound->Frequency = sound->WaveFormat->nSamplesPerSec;
    sound->PanSetting = StaticSoundNeutralSetting;
    sound->VolumeSetting = StaticSoundNeutralSetting;
    // A refused value leaves the buffer as it was created (volume 0, pan 0,
    // the format's own rate), which is what these settings ask for anyway.
    ApplyVolume(sound);
    ApplyFrequency(sound);
    ApplyPan(sound);
    return sound;
  }

  ReleaseStaticBuffer(sound);
  if (sound->WaveFormat != nullptr) GlobalFree(sound->WaveFormat);
  if (sound->WaveData != nullptr) GlobalFree(sound->WaveData);
  GlobalUnlock(block);
  GlobalFree(block);
  return nullptr;
}

LONG VSSound::PlayStatic(StaticSound* sound) {
  if (DSoundReady != 1) return 0;
  // No record means the load failed, and the user has been told then.
  if (sound == nullptr || sound->SoundBuffer == nullptr) return 0;

  if (sound->Playing == 1) StopStatic(sound);

  const DWORD flags = sound->Looping != 0 ? DSBPLAY_LOOPING : 0;

  // Still playing here means the stop above failed (or the buffer was
  // started behind the record's back): leave it alone rather than cut it.
  DWORD status = 0;
  if (sound->SoundBuffer->GetStatus(&status) == DS_OK && (status & DSBSTATUS_PLAYING) != 0) return 0;

  // A failed rewind is not fatal: the start below still plays the sound.
  sound->SoundBuffer->SetCurrentPosition(0);
  const HRESULT played = sound->SoundBuffer->Play(0, 0, flags);
  if (played != DS_OK) {
    MessageBoxA(OwnerWindow, "Cannot start playing", PlayCaption, MB_OK);
    return played;
  }
  sound->Playing = 1;
  return 0;
}

LONG VSSound::StopStatic(StaticSound* sound) {
  if (DSoundReady != 1) return 0;
  if (sound == nullptr || sound->Playing == 0 || sound->SoundBuffer == nullptr) return 0;

  if (sound->SoundBuffer->Stop() != DS_OK) {
    MessageBoxA(OwnerWindow, "Cannot stop sound", PlayCaption, MB_OK);
    return 0;
  }
  // No rewind: the next PlayStatic starts from the first sample itself.
  sound->Playing = 0;
  return 1;
}

LONG VSSound::CreateStaticBuffer(StaticSound* sound) {
  DSBUFFERDESC desc;
  std::memset(&desc, 0, sizeof desc);
  desc.dwSize = sizeof(DSBUFFERDESC);
  desc.dwFlags = StaticBufferFlags;
  desc.dwBufferBytes = sound->WaveSize;
  desc.dwReserved = 0;
  desc.lpwfxFormat = sound->WaveFormat;

  void* first = nullptr;
  DWORD firstBytes = 0;
  void* second = nullptr;
  DWORD secondBytes = 0;
  bool locked = false;

  HRESULT status = CreateDeviceBuffer(&desc, &sound->SoundBuffer);
  if (status == DS_OK) {
    status = sound->SoundBuffer->Lock(0, sound->WaveSize, &first, &firstBytes, &second, &secondBytes, 0);
    if (status == DS_OK) locked = true;
  }
  if (status == DS_OK) {
    // A lock of the whole buffer from offset 0 comes back as one region of
    // WaveSize bytes.  The copy still goes only where the device said there
    // is room, so a device that splits the range cannot be written past.
    const DWORD intoFirst = std::min(sound->WaveSize, firstBytes);
    const DWORD intoSecond = second != nullptr ? std::min(sound->WaveSize - intoFirst, secondBytes) : 0;
    if (intoFirst > 0) std::memcpy(first, sound->WaveData, intoFirst);
    if (intoSecond > 0) std::memcpy(second, sound->WaveData + intoFirst, intoSecond);
    status = sound->SoundBuffer->Unlock(first, firstBytes, second, secondBytes);
    if (status == DS_OK) locked = false;
  }
  if (status == DS_OK) status = sound->SoundBuffer->SetVolume(0);
  if (status == DS_OK) status = sound->SoundBuffer->SetPan(0);
  DSBCAPS caps{};
  caps.dwSize = sizeof(DSBCAPS);
  if (status == DS_OK) status = sound->SoundBuffer->GetCaps(&caps);
  if (status == DS_OK) {
    sound->InHardware = (caps.dwFlags & DSBCAPS_LOCHARDWARE) != 0 ? 1 : 0;
    return 0;
  }

  // The unlock failed: try once more so the area is not left locked, then
  // give the buffer back.
  if (locked) sound->SoundBuffer->Unlock(first, firstBytes, second, secondBytes);
  if (sound->SoundBuffer != nullptr) {
    sound->SoundBuffer->Release();
    sound->SoundBuffer = nullptr;
  }
  return status;
}

void VSSound::ReleaseStaticBuffer(StaticSound* sound) {
  if (sound == nullptr || sound->SoundBuffer == nullptr) return;
  sound->SoundBuffer->Release();
  sound->SoundBuffer = nullptr;
}

LONG VSSound::ApplyVolume(StaticSound* sound) {
  if (DSoundReady != 1 || sound == nullptr || sound->SoundBuffer == nullptr) return 0;
  return sound->SoundBuffer->SetVolume(DeviceLevel(sound->VolumeSetting)) == DS_OK ? 1 : 0;
}

LONG VSSound::ApplyPan(StaticSound* sound) {
  if (DSoundReady != 1 || sound == nullptr || sound->SoundBuffer == nullptr) return 0;
  return sound->SoundBuffer->SetPan(DeviceLevel(sound->PanSetting)) == DS_OK ? 1 : 0;
}

LONG VSSound::ApplyFrequency(StaticSound* sound) {
  if (DSoundReady != 1 || sound == nullptr || sound->SoundBuffer == nullptr) return 0;
  return sound->SoundBuffer->SetFrequency(sound->Frequency) == DS_OK ? 1 : 0;
}

LONG VSSound::IsPCMWave(const char* fileName) {
  HMMIO file = nullptr;
  WAVEFORMATEX* format = nullptr;
  MMCKINFO riff{};
  if (WaveReaderOpen(fileName, &file, &format, &riff) != 0) return 0;
  const WORD tag = format->wFormatTag;
  WaveReaderClose(&file, &format);
  return tag == WAVE_FORMAT_PCM ? 1 : 0;
}

}  // namespace velmo
