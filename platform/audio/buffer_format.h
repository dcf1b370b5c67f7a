// The sample formats a software buffer accepts, reduced to what the mixer
// needs to play them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wave_format.h"
#include "platform/win_types.h"

namespace velmo {

enum class SampleKind { kUnsigned8, kSigned16, kSigned24, kSigned32, kFloat32 };

struct BufferFormat;

// Gains of the two output channels at the first frame of a run, and their
// change from one frame to the next (zero unless a ramp is under way).
struct GainRun {
  float left;
  float right;
  float leftStep;
  float rightStep;
};

// Adds `frames` whole frames starting at `bytes`, scaled by `gains`, to the
// interleaved stereo bus.
using FrameMixer = void (*)(const std::uint8_t* bytes, std::size_t frames, const BufferFormat& format,
                            const GainRun& gains, float* bus);
// Decodes `frames` whole frames into planar floats: `left` only for a mono
// source, `left` and `right` (down-mixed) for the rest.
using FrameDecoder = void (*)(const std::uint8_t* bytes, std::size_t frames, const BufferFormat& format,
                              float* left, float* right);

constexpr int kMaxBufferChannels = 8;

// A validated buffer format, reduced to what the mixer needs.
struct BufferFormat {
  SampleKind kind = SampleKind::kSigned16;
  unsigned channels = 0;
  unsigned blockAlign = 0;  // bytes per frame
  DWORD sampleRate = 0;
  // Down-mix weights of each source channel into the left and right output
  // channels.  Mono and stereo use dedicated decoders and ignore these.
  float toLeft[kMaxBufferChannels] = {};
  float toRight[kMaxBufferChannels] = {};
  FrameMixer mix = nullptr;
  FrameDecoder decode = nullptr;
  // The byte value a silent buffer holds: 0x80 for 8-bit samples, else 0.
  std::uint8_t silenceByte = 0;
};

// Checks `format` and fills `out`.  Returns DS_OK, DSERR_INVALIDPARAM for a
// null record, or DSERR_BADFORMAT for anything the mixer cannot play: tags
// other than PCM, IEEE float and extensible (with a PCM or float
// sub-format), sample widths other than 8/16/24/32-bit integer or 32-bit
// float, 0 or more than 8 channels, rates outside 100..200000 Hz, or a block
// alignment or byte rate that disagrees with the other fields.  For the
// extensible tag the caller's record must carry the cbSize extra bytes that
// it announces.
HRESULT ParseBufferFormat(const WAVEFORMATEX* format, BufferFormat* out);

// The kernels for a sample kind and channel count (sample_kernels.cpp).
FrameMixer MixerFor(SampleKind kind, unsigned channels);
FrameDecoder DecoderFor(SampleKind kind, unsigned channels);

}  // namespace velmo
