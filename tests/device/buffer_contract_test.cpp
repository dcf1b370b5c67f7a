// The device's and buffers' calls: what they accept, what they refuse, and
// what they report.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/audio/device/software_device.h"
#include "tests/device/device_test_support.h"

namespace velmo::testing {
namespace {

TEST(SoftwareDevice, RefusesUseBeforeInitializeAndASecondInitialize) {
  ManualOutput* output = nullptr;
  IDirectSound* device = CreateManualAudioDevice(&output);
  ASSERT_NE(device, nullptr);
  WAVEFORMATEX format = PcmFormat(2, 44100, 16);
  DSBUFFERDESC desc = Description(&format, 4096);
  IDirectSoundBuffer* buffer = reinterpret_cast<IDirectSoundBuffer*>(0x1);
  EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_UNINITIALIZED);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(device->SetCooperativeLevel(nullptr, DSSCL_PRIORITY), DSERR_UNINITIALIZED);

  const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(device->Initialize(&other), DSERR_NODRIVER);
  EXPECT_EQ(device->Initialize(nullptr), DS_OK);
  EXPECT_EQ(device->Initialize(nullptr), DSERR_ALREADYINITIALIZED);

  EXPECT_EQ(device->SetCooperativeLevel(nullptr, DSSCL_PRIORITY), DS_OK);
  EXPECT_EQ(device->SetCooperativeLevel(reinterpret_cast<HWND>(0x1234), DSSCL_NORMAL), DS_OK);
  EXPECT_EQ(device->SetCooperativeLevel(nullptr, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(device->SetCooperativeLevel(nullptr, 5), DSERR_INVALIDPARAM);

  void* same = nullptr;
  EXPECT_EQ(device->QueryInterface(IID_IDirectSound, &same), S_OK);
  EXPECT_EQ(same, device);
  EXPECT_EQ(device->Release(), 1u);
  EXPECT_EQ(device->QueryInterface(IID_IDirectSoundBuffer, &same), E_NOINTERFACE);
  EXPECT_EQ(same, nullptr);
  EXPECT_EQ(device->Release(), 0u);
}

TEST(SoftwareDevice, RefusesBadDescriptions) {
  ManualDevice dev;
  IDirectSound* device = dev.device();
  WAVEFORMATEX good = PcmFormat(2, 44100, 16);

  struct Case {
    const char* what;
    DSBUFFERDESC desc;
    HRESULT expected;
  };
  auto with = [&](auto change) {
    DSBUFFERDESC d = Description(&good, 4096);
    change(d);
    return d;
  };
  static WAVEFORMATEX formats[12];
  auto bad = [&](int i, auto change) {
    formats[i] = good;
    change(formats[i]);
    return Description(&formats[i], 4096);
  };
  const Case cases[] = {
      {"size field of the 32-bit record", with([](DSBUFFERDESC& d) { d.dwSize = 20; }), DSERR_INVALIDPARAM},
      {"no format", with([](DSBUFFERDESC& d) { d.lpwfxFormat = nullptr; }), DSERR_INVALIDPARAM},
      {"3 bytes", with([](DSBUFFERDESC& d) { d.dwBufferBytes = 3; }), DSERR_INVALIDPARAM},
      {"over the largest size", with([](DSBUFFERDESC& d) { d.dwBufferBytes = DSBSIZE_MAX + 1; }),
       DSERR_INVALIDPARAM},
      {"primary buffer", with([](DSBUFFERDESC& d) { d.dwFlags |= DSBCAPS_PRIMARYBUFFER; }), DSERR_INVALIDPARAM},
      {"ADPCM", bad(0, [](WAVEFORMATEX& f) { f.wFormatTag = WAVE_FORMAT_ADPCM; }), DSERR_BADFORMAT},
      {"12-bit", bad(1, [](WAVEFORMATEX& f) { f.wBitsPerSample = 12; }), DSERR_BADFORMAT},
      {"no channels", bad(2, [](WAVEFORMATEX& f) { f.nChannels = 0; }), DSERR_BADFORMAT},
      {"9 channels", bad(3, [](WAVEFORMATEX& f) { f = PcmFormat(9, 44100, 16); }), DSERR_BADFORMAT},
      {"99 Hz", bad(4, [](WAVEFORMATEX& f) { f = PcmFormat(2, 99, 16); }), DSERR_BADFORMAT},
      {"200001 Hz", bad(5, [](WAVEFORMATEX& f) { f = PcmFormat(2, 200001, 16); }), DSERR_BADFORMAT},
      {"block align", bad(6, [](WAVEFORMATEX& f) { f.nBlockAlign = 2; }), DSERR_BADFORMAT},
      {"byte rate", bad(7, [](WAVEFORMATEX& f) { f.nAvgBytesPerSec += 1; }), DSERR_BADFORMAT},
      {"16-bit float", bad(8, [](WAVEFORMATEX& f) { f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT; }), DSERR_BADFORMAT},
      {"extensible without its tail", bad(9, [](WAVEFORMATEX& f) { f.wFormatTag = WAVE_FORMAT_EXTENSIBLE; }),
       DSERR_BADFORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IDirectSoundBuffer* buffer = nullptr;
    EXPECT_EQ(device->CreateSoundBuffer(&c.desc, &buffer, nullptr), c.expected);
    EXPECT_EQ(buffer, nullptr);
  }
  DSBUFFERDESC d = Description(&good, 4096);
  EXPECT_EQ(device->CreateSoundBuffer(&d, nullptr, nullptr), DSERR_INVALIDPARAM);
  IDirectSoundBuffer* buffer = nullptr;
  EXPECT_EQ(device->CreateSoundBuffer(nullptr, &buffer, nullptr), DSERR_INVALIDPARAM);
  EXPECT_EQ(device->CreateSoundBuffer(&d, &buffer, reinterpret_cast<IUnknown*>(device)), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(buffer, nullptr);
}

TEST(SoftwareDevice, AcceptsEveryPlayableFormat) {
  ManualDevice dev;
  for (WORD bits : {8, 16, 24, 32})
    for (WORD channels = 1; channels <= 8; ++channels) {
      SCOPED_TRACE(::testing::Message() << bits << "-bit " << channels << " channels");
      IDirectSoundBuffer* buffer = dev.Create(PcmFormat(channels, 100, bits), 4);
      if (buffer != nullptr) buffer->Release();
    }
  WAVEFORMATEX f = PcmFormat(2, 200000, 32);
  f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  IDirectSoundBuffer* buffer = dev.Create(f, DSBSIZE_MIN);
  ASSERT_NE(buffer, nullptr);
  buffer->Release();
}

TEST(SoftwareBuffer, LocksOneRegionOrTwoAtTheWrap) {
  ManualDevice dev;
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(1, 48000, 8), 1000);
  ASSERT_NE(buffer, nullptr);
  void *p1 = nullptr, *p2 = reinterpret_cast<void*>(0x1);
  DWORD n1 = 0, n2 = 99;

  // The whole buffer from 0 is one region.
  ASSERT_EQ(buffer->Lock(0, 1000, &p1, &n1, &p2, &n2, 0), DS_OK);
  EXPECT_EQ(n1, 1000u);
  EXPECT_EQ(p2, nullptr);
  EXPECT_EQ(n2, 0u);
  // The area is as silent as a fresh 8-bit buffer should be.
  EXPECT_EQ(static_cast<std::uint8_t*>(p1)[0], 0x80);
  EXPECT_EQ(static_cast<std::uint8_t*>(p1)[999], 0x80);
  EXPECT_EQ(buffer->Unlock(p1, n1, nullptr, 0), DS_OK);
  // A second unlock of the same area is refused, and touches nothing.
  EXPECT_EQ(buffer->Unlock(p1, n1, nullptr, 0), DSERR_INVALIDPARAM);

  // A range past the end wraps: the second region holds the rest from 0.
  std::vector<std::uint8_t> bytes(300);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(buffer->Lock(900, 300, &p1, &n1, &p2, &n2, 0), DS_OK);
  EXPECT_EQ(n1, 100u);
  EXPECT_EQ(n2, 200u);
  ASSERT_NE(p2, nullptr);
  std::memcpy(p1, bytes.data(), n1);
  std::memcpy(p2, bytes.data() + n1, n2);
  ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);

  // Reading the whole buffer back shows the two regions where they belong.
  ASSERT_EQ(buffer->Lock(0, 1000, &p1, &n1, &p2, &n2, 0), DS_OK);
  auto* all = static_cast<std::uint8_t*>(p1);
  EXPECT_EQ(all[900], 0);
  EXPECT_EQ(all[999], 99);
  EXPECT_EQ(all[0], 100);
  EXPECT_EQ(all[199], static_cast<std::uint8_t>(299));
  EXPECT_EQ(all[200], 0x80);
  // The regions are the ring itself: a write shows in every lock of the
  // same bytes, and an unlock of fewer bytes than were locked is accepted.
  all[0] = 1;
  ASSERT_EQ(buffer->Lock(0, 2, &p1, &n1, &p2, &n2, 0), DS_OK);
  EXPECT_EQ(p1, all);
  EXPECT_EQ(static_cast<std::uint8_t*>(p1)[0], 1);
  ASSERT_EQ(buffer->Unlock(p1, n1, nullptr, 0), DS_OK);
  ASSERT_EQ(buffer->Unlock(all, 1, nullptr, 0), DS_OK);

  // Refusals: past the end, longer than the buffer, empty, no place for the
  // wrapped part, unknown flags, a pointer not handed out.
  EXPECT_EQ(buffer->Lock(1000, 1, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->Lock(0, 1001, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->Lock(0, 0, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->Lock(999, 2, &p1, &n1, nullptr, nullptr, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->Lock(0, 2, &p1, &n1, &p2, &n2, 4), DSERR_INVALIDPARAM);
  std::uint8_t stranger[4];
  EXPECT_EQ(buffer->Unlock(stranger, 4, nullptr, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->Unlock(nullptr, 0, nullptr, 0), DSERR_INVALIDPARAM);
  // A lock ending inside the buffer needs no second pointer.
  ASSERT_EQ(buffer->Lock(998, 2, &p1, &n1, nullptr, nullptr, 0), DS_OK);
  EXPECT_EQ(n1, 2u);
  // Unlocking more than was locked is refused, and the area stays locked.
  EXPECT_EQ(buffer->Unlock(p1, 3, nullptr, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->Unlock(p1, 2, nullptr, 0), DS_OK);
  EXPECT_EQ(buffer->Release(), 0u);
}

TEST(SoftwareBuffer, ControlsNeedTheirFlagsAndStayInRange) {
  ManualDevice dev;
  IDirectSoundBuffer* plain = dev.Create(PcmFormat(2, 22050, 16), 4096, 0);
  ASSERT_NE(plain, nullptr);
  LONG value = 0;
  DWORD frequency = 0;
  EXPECT_EQ(plain->SetVolume(0), DSERR_CONTROLUNAVAIL);
  EXPECT_EQ(plain->SetPan(0), DSERR_CONTROLUNAVAIL);
  EXPECT_EQ(plain->SetFrequency(22050), DSERR_CONTROLUNAVAIL);
  EXPECT_EQ(plain->GetVolume(&value), DSERR_CONTROLUNAVAIL);
  EXPECT_EQ(plain->GetPan(&value), DSERR_CONTROLUNAVAIL);
  EXPECT_EQ(plain->GetFrequency(&frequency), DSERR_CONTROLUNAVAIL);
  plain->Release();

  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, 22050, 16), 4096);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->SetVolume(-10001), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->SetVolume(1), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->SetPan(-10001), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->SetPan(10001), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->SetFrequency(99), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->SetFrequency(200001), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->SetCurrentPosition(4096), DSERR_INVALIDPARAM);

  EXPECT_EQ(buffer->SetVolume(-10000), DS_OK);
  EXPECT_EQ(buffer->SetPan(10000), DS_OK);
  EXPECT_EQ(buffer->SetFrequency(200000), DS_OK);
  ASSERT_EQ(buffer->GetVolume(&value), DS_OK);
  EXPECT_EQ(value, -10000);
  ASSERT_EQ(buffer->GetPan(&value), DS_OK);
  EXPECT_EQ(value, 10000);
  ASSERT_EQ(buffer->GetFrequency(&frequency), DS_OK);
  EXPECT_EQ(frequency, 200000u);
  // 0 stands for the format's own rate.
  EXPECT_EQ(buffer->SetFrequency(DSBFREQUENCY_ORIGINAL), DS_OK);
  ASSERT_EQ(buffer->GetFrequency(&frequency), DS_OK);
  EXPECT_EQ(frequency, 22050u);

  DSBCAPS caps{};
  EXPECT_EQ(buffer->GetCaps(&caps), DSERR_INVALIDPARAM);  // size not set
  caps.dwSize = sizeof caps;
  ASSERT_EQ(buffer->GetCaps(&caps), DS_OK);
  EXPECT_EQ(caps.dwFlags, kAllControls | DSBCAPS_LOCSOFTWARE);
  EXPECT_EQ(caps.dwFlags & DSBCAPS_LOCHARDWARE, 0u);
  EXPECT_EQ(caps.dwBufferBytes, 4096u);

  void* same = nullptr;
  EXPECT_EQ(buffer->QueryInterface(IID_IDirectSoundBuffer, &same), S_OK);
  EXPECT_EQ(same, buffer);
  EXPECT_EQ(buffer->Release(), 1u);
  EXPECT_EQ(buffer->Release(), 0u);
}

TEST(SoftwareBuffer, OutlivingItsDeviceFailsEveryCallWithoutFaulting) {
  ManualDevice dev;
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, 48000, 16), 4096);
  ASSERT_NE(buffer, nullptr);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  void *held1 = nullptr, *held2 = nullptr;
  DWORD heldBytes1 = 0, heldBytes2 = 0;
  ASSERT_EQ(buffer->Lock(0, 16, &held1, &heldBytes1, &held2, &heldBytes2, 0), DS_OK);
  dev.ReleaseDevice();

  DWORD status = 0, play = 0, write = 0;
  void *p1 = nullptr, *p2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  DSBCAPS caps{sizeof(DSBCAPS), 0, 0, 0, 0};
  EXPECT_LT(buffer->GetStatus(&status), 0);
  EXPECT_EQ(buffer->GetCurrentPosition(&play, &write), DSERR_UNINITIALIZED);
  EXPECT_EQ(buffer->SetCurrentPosition(0), DSERR_UNINITIALIZED);
  // A lock taken before the device went is closed all the same, and says so.
  EXPECT_EQ(buffer->Unlock(held1, heldBytes1, held2, heldBytes2), DSERR_UNINITIALIZED);
  EXPECT_EQ(buffer->Unlock(held1, heldBytes1, held2, heldBytes2), DSERR_INVALIDPARAM);
  EXPECT_LT(buffer->Lock(0, 16, &p1, &n1, &p2, &n2, 0), 0);
  EXPECT_LT(buffer->Play(0, 0, 0), 0);
  EXPECT_EQ(buffer->Stop(), DSERR_UNINITIALIZED);
  EXPECT_LT(buffer->SetVolume(0), 0);
  EXPECT_LT(buffer->Restore(), 0);
  EXPECT_LT(buffer->GetCaps(&caps), 0);
  EXPECT_EQ(buffer->Release(), 0u);
}

TEST(AudioDeviceEntry, OutputChoiceComesFromTheEnvironment) {
  // The null output needs nothing and plays in real time.
  ::setenv("VELMO_AUDIO_OUTPUT", "null", 1);
  EXPECT_TRUE(AudioOutputSubsystemPresent());
  IDirectSound* device = CreateAudioDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Initialize(nullptr), DS_OK);
  EXPECT_EQ(device->SetCooperativeLevel(nullptr, DSSCL_PRIORITY), DS_OK);
  EXPECT_EQ(device->Release(), 0u);

  // A value naming no output has no subsystem and opens nothing.
  ::setenv("VELMO_AUDIO_OUTPUT", "speakers", 1);
  EXPECT_FALSE(AudioOutputSubsystemPresent());
  device = CreateAudioDevice();
  EXPECT_LT(device->Initialize(nullptr), 0);
  device->Release();
  ::setenv("VELMO_AUDIO_OUTPUT", "capture:", 1);
  EXPECT_FALSE(AudioOutputSubsystemPresent());

  // A rate outside 8000..192000 Hz, or not a number, names no output.
  ::setenv("VELMO_AUDIO_OUTPUT", "null", 1);
  for (const char* rate : {"7999", "192001", "48k", "-1", "99999999999"}) {
    ::setenv("VELMO_OUTPUT_RATE", rate, 1);
    EXPECT_FALSE(AudioOutputSubsystemPresent()) << rate;
  }
  ::setenv("VELMO_OUTPUT_RATE", "22050", 1);
  EXPECT_TRUE(AudioOutputSubsystemPresent());
  ::unsetenv("VELMO_OUTPUT_RATE");
  // Likewise a latency outside 5..500 ms, whichever output it would go to.
  for (const char* ms : {"4", "501", "20ms", "-20", "99999999999"}) {
    ::setenv("VELMO_LATENCY_MS", ms, 1);
    EXPECT_FALSE(AudioOutputSubsystemPresent()) << ms;
    device = CreateAudioDevice();
    EXPECT_LT(device->Initialize(nullptr), 0) << ms;
    device->Release();
  }
  ::setenv("VELMO_LATENCY_MS", "20", 1);
  EXPECT_TRUE(AudioOutputSubsystemPresent());
  ::unsetenv("VELMO_LATENCY_MS");

  // A capture file that cannot be created fails Initialize.
  ::setenv("VELMO_AUDIO_OUTPUT", "capture:/nonexistent-directory/out.wav", 1);
  EXPECT_TRUE(AudioOutputSubsystemPresent());
  device = CreateAudioDevice();
  EXPECT_LT(device->Initialize(nullptr), 0);
  device->Release();
  ::setenv("VELMO_AUDIO_OUTPUT", "null", 1);
}

}  // namespace
}  // namespace velmo::testing
