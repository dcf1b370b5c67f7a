// How the mixer reads a buffer's samples: the sample kinds, a validated
// format reduced to what the voice needs, and the kernels that mix or decode
// runs of frames of each kind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velmo/platform/win_types.h"

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

// The kernels for a sample kind and channel count (sample_kernels.cpp), in
// the build for the instruction set the processor has.
FrameMixer MixerFor(SampleKind kind, unsigned channels);
FrameDecoder DecoderFor(SampleKind kind, unsigned channels);

}  // namespace velmo
