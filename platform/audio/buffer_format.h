// The sample formats a software buffer accepts, and their decoding to
// 32-bit float stereo for the mixer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wave_format.h"
#include "platform/win_types.h"

namespace velmo {

enum class SampleKind { kUnsigned8, kSigned16, kSigned24, kSigned32, kFloat32 };

// Turns `frames` whole frames starting at `bytes` into interleaved stereo
// floats (two per frame) at `stereo`.
struct BufferFormat;
using FrameDecoder = void (*)(const std::uint8_t* bytes, std::size_t frames, const BufferFormat& format,
                              float* stereo);

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

}  // namespace velmo
