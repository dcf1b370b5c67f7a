// The audio device contract: the device object (IDirectSound), its circular
// secondary buffers (IDirectSoundBuffer), their description and capability
// records, and the flags and status codes the library relies on.
//
// Objects are reference counted.  Every method returns 0 (DS_OK) on success
// and a negative status on failure, and never throws.
#pragma once

#include "velmo/platform/wave_format.h"
#include "velmo/platform/win_types.h"

namespace velmo {

// Creation flags of a buffer.
constexpr DWORD DSBCAPS_PRIMARYBUFFER = 0x1;
constexpr DWORD DSBCAPS_STATIC = 0x2;
constexpr DWORD DSBCAPS_LOCHARDWARE = 0x4;
constexpr DWORD DSBCAPS_LOCSOFTWARE = 0x8;
constexpr DWORD DSBCAPS_CTRLFREQUENCY = 0x20;
constexpr DWORD DSBCAPS_CTRLPAN = 0x40;
constexpr DWORD DSBCAPS_CTRLVOLUME = 0x80;
constexpr DWORD DSBCAPS_GETCURRENTPOSITION2 = 0x10000;

// Status bits reported by GetStatus.
constexpr DWORD DSBSTATUS_PLAYING = 0x1;
constexpr DWORD DSBSTATUS_BUFFERLOST = 0x2;
constexpr DWORD DSBSTATUS_LOOPING = 0x4;

// Play flag.
constexpr DWORD DSBPLAY_LOOPING = 0x1;

// Cooperative levels.
constexpr DWORD DSSCL_NORMAL = 1;
constexpr DWORD DSSCL_PRIORITY = 2;

// Ranges of the buffer controls.
constexpr LONG DSBVOLUME_MIN = -10000;
constexpr LONG DSBVOLUME_MAX = 0;
constexpr LONG DSBPAN_LEFT = -10000;
constexpr LONG DSBPAN_CENTER = 0;
constexpr LONG DSBPAN_RIGHT = 10000;
constexpr DWORD DSBFREQUENCY_ORIGINAL = 0;
constexpr DWORD DSBFREQUENCY_MIN = 100;
constexpr DWORD DSBFREQUENCY_MAX = 200000;
constexpr DWORD DSBSIZE_MIN = 4;
constexpr DWORD DSBSIZE_MAX = 0x0FFFFFFF;

// Status codes of the device.
constexpr HRESULT DS_OK = 0;
constexpr HRESULT DSERR_ALLOCATED = MakeResult(0x8878000Au);
constexpr HRESULT DSERR_CONTROLUNAVAIL = MakeResult(0x8878001Eu);
constexpr HRESULT DSERR_INVALIDPARAM = E_INVALIDARG;
constexpr HRESULT DSERR_INVALIDCALL = MakeResult(0x88780032u);
constexpr HRESULT DSERR_GENERIC = E_FAIL;
constexpr HRESULT DSERR_PRIOLEVELNEEDED = MakeResult(0x88780046u);
constexpr HRESULT DSERR_OUTOFMEMORY = E_OUTOFMEMORY;
constexpr HRESULT DSERR_BADFORMAT = MakeResult(0x88780064u);
constexpr HRESULT DSERR_NODRIVER = MakeResult(0x88780078u);
constexpr HRESULT DSERR_ALREADYINITIALIZED = MakeResult(0x88780082u);
constexpr HRESULT DSERR_BUFFERLOST = MakeResult(0x88780096u);
constexpr HRESULT DSERR_UNINITIALIZED = MakeResult(0x887800AAu);
constexpr HRESULT DSERR_UNSUPPORTED = E_NOTIMPL;

// Buffer description handed to CreateSoundBuffer.  On the 32-bit original
// this record is 20 bytes; here the format pointer is 8 bytes wide, so the
// record is 16 bytes of words plus one pointer.  Callers set dwSize to
// sizeof(DSBUFFERDESC) and the device checks it.
struct DSBUFFERDESC {
  DWORD dwSize;
  DWORD dwFlags;
  DWORD dwBufferBytes;
  DWORD dwReserved;
  WAVEFORMATEX* lpwfxFormat;
};
static_assert(offsetof(DSBUFFERDESC, lpwfxFormat) == 16, "four words, then the format pointer");
static_assert(sizeof(DSBUFFERDESC) == 16 + sizeof(void*), "no padding beyond the pointer");

// Capabilities of a buffer, as GetCaps reports them.
struct DSBCAPS {
  DWORD dwSize;  // set to 20 by the caller
  DWORD dwFlags;
  DWORD dwBufferBytes;
  DWORD dwUnlockTransferRate;
  DWORD dwPlayCpuOverhead;
};
static_assert(sizeof(DSBCAPS) == 20, "DSBCAPS is five 32-bit words");

// Class and interface identifiers of the device object.
inline constexpr GUID CLSID_DirectSound = {0x47D4D946, 0x62E8, 0x11CF, {0x93, 0xBC, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
inline constexpr GUID IID_IDirectSound = {0x279AFA83, 0x4981, 0x11CE, {0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60}};
inline constexpr GUID IID_IDirectSoundBuffer = {0x279AFA85, 0x4981, 0x11CE, {0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60}};
inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  // Drops one reference and returns the count left; the object is destroyed
  // when it reaches 0.
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

class IDirectSoundBuffer : public IUnknown {
 public:
  virtual HRESULT GetCaps(DSBCAPS* caps) = 0;
  // The play cursor is the offset up to which the mixer has consumed data;
  // the write cursor is where writing is safe from, a little ahead of it.
  virtual HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) = 0;
  virtual HRESULT GetStatus(DWORD* status) = 0;
  virtual HRESULT GetVolume(LONG* volume) = 0;
  virtual HRESULT GetPan(LONG* pan) = 0;
  virtual HRESULT GetFrequency(DWORD* frequency) = 0;
  // Write access to `bytes` bytes from `offset`, as up to two regions; the
  // second is non-empty only when the range wraps past the buffer's end, and
  // then begins at offset 0.
  virtual HRESULT Lock(DWORD offset, DWORD bytes, void** region1, DWORD* bytes1, void** region2, DWORD* bytes2,
                       DWORD flags) = 0;
  virtual HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) = 0;
  virtual HRESULT SetCurrentPosition(DWORD position) = 0;
  virtual HRESULT SetVolume(LONG volume) = 0;
  virtual HRESULT SetPan(LONG pan) = 0;
  virtual HRESULT SetFrequency(DWORD frequency) = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT Unlock(void* region1, DWORD bytes1, void* region2, DWORD bytes2) = 0;
  virtual HRESULT Restore() = 0;

 protected:
  ~IDirectSoundBuffer() = default;
};

class IDirectSound : public IUnknown {
 public:
  virtual HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, IUnknown* outer) = 0;
  virtual HRESULT SetCooperativeLevel(HWND window, DWORD level) = 0;
  // Opens the output the settings name (velmo/platform/audio_settings.h:
  // SetAudioSettings, and the variables the user set), on the device they
  // name.  `device` must be null or the all-zero identifier; any other
  // names no device here and gets DSERR_NODRIVER, as do settings that are
  // not accepted and an output that does not open.
  virtual HRESULT Initialize(const GUID* device) = 0;
  // A new buffer that shares `original`'s sample memory, format and size:
  // what is written through either is heard through both.  Its play cursor,
  // play state, volume, pan and frequency are its own (the last three start
  // as the original's) and it starts stopped at offset 0.  The memory lives
  // until the last buffer sharing it is released, in any order.  Where it is
  // safe to write then depends on every sharer that plays: each one's span
  // from its play to its write cursor is being read.
  // DSERR_INVALIDPARAM for a null pointer or anything that is not a live
  // secondary buffer of this device, DSERR_UNINITIALIZED before Initialize,
  // DSERR_OUTOFMEMORY when the new buffer cannot be allocated, and
  // DSERR_ALLOCATED when the mixer has no room for another buffer.  A
  // buffer is never lost here (the device keeps its memory and its time
  // while the sound device is away), so no DSERR_BUFFERLOST.
  // Added last, so that the methods above keep their places in the table.
  virtual HRESULT DuplicateSoundBuffer(IDirectSoundBuffer* original, IDirectSoundBuffer** duplicate) = 0;

 protected:
  ~IDirectSound() = default;
};

}  // namespace velmo
