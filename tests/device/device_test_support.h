// Helpers shared by the software device's tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/testing/manual_output.h"
#include "velmo/platform/dsound.h"

namespace velmo::testing {

inline WAVEFORMATEX PcmFormat(WORD channels, DWORD rate, WORD bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

constexpr DWORD kAllControls = DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY |
                               DSBCAPS_GETCURRENTPOSITION2;

inline DSBUFFERDESC Description(WAVEFORMATEX* format, DWORD bytes, DWORD flags = kAllControls) {
  DSBUFFERDESC d{};
  d.dwSize = sizeof(DSBUFFERDESC);
  d.dwFlags = flags;
  d.dwBufferBytes = bytes;
  d.lpwfxFormat = format;
  return d;
}

// Writes `bytes` into the buffer from `offset` through Lock and Unlock.
inline void Write(IDirectSoundBuffer* buffer, DWORD offset, const void* bytes, DWORD count) {
  void *p1 = nullptr, *p2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  ASSERT_EQ(buffer->Lock(offset, count, &p1, &n1, &p2, &n2, 0), DS_OK);
  ASSERT_EQ(n1 + n2, count);
  std::memcpy(p1, bytes, n1);
  if (n2 > 0) std::memcpy(p2, static_cast<const std::uint8_t*>(bytes) + n1, n2);
  ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);
}

// A device on a manual output, initialised, released at the end.
class ManualDevice {
 public:
  explicit ManualDevice(std::uint32_t rate = 48000, std::uint32_t period = 512)
      : device_(CreateManualAudioDevice(&output_, rate, period)) {
    EXPECT_EQ(device_->Initialize(nullptr), DS_OK);
  }
  ~ManualDevice() {
    if (device_ != nullptr) device_->Release();
  }
  ManualDevice(const ManualDevice&) = delete;
  ManualDevice& operator=(const ManualDevice&) = delete;

  IDirectSound* device() { return device_; }
  ManualOutput& output() { return *output_; }

  // Creates a buffer, or fails the test.
  IDirectSoundBuffer* Create(WAVEFORMATEX format, DWORD bytes, DWORD flags = kAllControls) {
    DSBUFFERDESC d = Description(&format, bytes, flags);
    IDirectSoundBuffer* buffer = nullptr;
    EXPECT_EQ(device_->CreateSoundBuffer(&d, &buffer, nullptr), DS_OK);
    return buffer;
  }
  // Releases the device now, leaving buffers behind.
  void ReleaseDevice() {
    device_->Release();
    device_ = nullptr;
    output_ = nullptr;
  }

 private:
  ManualOutput* output_ = nullptr;
  IDirectSound* device_;
};

// A 16-bit ramp that never repeats within 65536 samples and never sits at 0.
inline std::vector<std::int16_t> Ramp(std::size_t samples, int start = 1, int step = 7) {
  std::vector<std::int16_t> v(samples);
  int x = start;
  for (auto& s : v) {
    s = static_cast<std::int16_t>(x);
    x += step;
    if (x > 32000) x -= 64000;
  }
  return v;
}

// A sine of `hz` at 12000 (about -8.7 dBFS), the same on both channels.
inline std::vector<std::int16_t> StereoTone(std::size_t frames, double hz, double rate) {
  std::vector<std::int16_t> v(2 * frames);
  for (std::size_t i = 0; i < frames; ++i)
    v[2 * i] = v[2 * i + 1] = static_cast<std::int16_t>(12000 * std::sin(static_cast<double>(i) * 2 * M_PI * hz / rate));
  return v;
}

}  // namespace velmo::testing
