// The mixer's inner loops, one instance per sample kind and channel layout:
// reading samples straight from a buffer's bytes into the bus (voices at the
// output's rate), and decoding them to planar floats for the interpolator.
//
// Samples are read as integers turned into floats; the format's full-scale
// factor is folded into the gains once per run rather than applied per
// sample.  Every factor is a power of two, so at unity gain a sample comes
// out exactly as a per-sample division would give it.
#include <bit>
#include <cstring>

#include "platform/audio/buffer_format.h"

namespace velmo {
namespace {

template <SampleKind Kind>
constexpr unsigned kSampleBytes = Kind == SampleKind::kUnsigned8   ? 1
                                  : Kind == SampleKind::kSigned16 ? 2
                                  : Kind == SampleKind::kSigned24 ? 3
                                                                  : 4;

// The factor that takes a raw sample to full scale 1.0.
template <SampleKind Kind>
constexpr float kScale = Kind == SampleKind::kUnsigned8   ? 1.0f / 128.0f
                         : Kind == SampleKind::kSigned16 ? 1.0f / 32768.0f
                         : Kind == SampleKind::kSigned24 ? 1.0f / 8388608.0f
                         : Kind == SampleKind::kSigned32 ? 1.0f / 2147483648.0f
                                                         : 1.0f;

// One raw sample as a float, before scaling.  A float sample that is not a
// number or infinite decodes as silence: mixed in, it would turn the whole
// bus into noise at full scale.
template <SampleKind Kind>
inline float RawSample(const std::uint8_t* p) {
  if constexpr (Kind == SampleKind::kUnsigned8) {
    return static_cast<float>(static_cast<int>(p[0]) - 128);
  } else if constexpr (Kind == SampleKind::kSigned16) {
    std::int16_t v;
    std::memcpy(&v, p, 2);
    return static_cast<float>(v);
  } else if constexpr (Kind == SampleKind::kSigned24) {
    const std::uint32_t u = (static_cast<std::uint32_t>(p[0]) << 8) | (static_cast<std::uint32_t>(p[1]) << 16) |
                            (static_cast<std::uint32_t>(p[2]) << 24);
    return static_cast<float>(static_cast<std::int32_t>(u) >> 8);
  } else if constexpr (Kind == SampleKind::kSigned32) {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return static_cast<float>(v);
  } else {
    std::uint32_t u;
    std::memcpy(&u, p, 4);
    if ((u & 0x7F800000u) == 0x7F800000u) u = 0;
    return std::bit_cast<float>(u);
  }
}

// Mono goes to both output channels at full level, so that a mono buffer at
// unity gain comes out sample-exact on each side.
template <SampleKind Kind>
void MixMono(const std::uint8_t* __restrict bytes, std::size_t frames, const BufferFormat&, const GainRun& g,
             float* __restrict bus) {
  const float gl = g.left * kScale<Kind>, gr = g.right * kScale<Kind>;
  const float dl = g.leftStep * kScale<Kind>, dr = g.rightStep * kScale<Kind>;
  for (std::size_t i = 0; i < frames; ++i) {
    const float s = RawSample<Kind>(bytes + i * kSampleBytes<Kind>);
    const float fi = static_cast<float>(i);
    bus[2 * i] += (gl + fi * dl) * s;
    bus[2 * i + 1] += (gr + fi * dr) * s;
  }
}

template <SampleKind Kind>
void MixStereo(const std::uint8_t* __restrict bytes, std::size_t frames, const BufferFormat&, const GainRun& g,
               float* __restrict bus) {
  constexpr unsigned kFrame = 2 * kSampleBytes<Kind>;
  const float gl = g.left * kScale<Kind>, gr = g.right * kScale<Kind>;
  const float dl = g.leftStep * kScale<Kind>, dr = g.rightStep * kScale<Kind>;
  for (std::size_t i = 0; i < frames; ++i) {
    const float fi = static_cast<float>(i);
    bus[2 * i] += (gl + fi * dl) * RawSample<Kind>(bytes + i * kFrame);
    bus[2 * i + 1] += (gr + fi * dr) * RawSample<Kind>(bytes + i * kFrame + kSampleBytes<Kind>);
  }
}

template <SampleKind Kind>
inline void DownmixFrame(const std::uint8_t* frame, const BufferFormat& format, float* left, float* right) {
  float l = 0.0f, r = 0.0f;
  for (unsigned c = 0; c < format.channels; ++c) {
    const float s = RawSample<Kind>(frame + c * kSampleBytes<Kind>);
    l += format.toLeft[c] * s;
    r += format.toRight[c] * s;
  }
  *left = l;
  *right = r;
}

template <SampleKind Kind>
void MixMultichannel(const std::uint8_t* __restrict bytes, std::size_t frames, const BufferFormat& format,
                     const GainRun& g, float* __restrict bus) {
  const float gl = g.left * kScale<Kind>, gr = g.right * kScale<Kind>;
  const float dl = g.leftStep * kScale<Kind>, dr = g.rightStep * kScale<Kind>;
  for (std::size_t i = 0; i < frames; ++i, bytes += format.blockAlign) {
    float l, r;
    DownmixFrame<Kind>(bytes, format, &l, &r);
    const float fi = static_cast<float>(i);
    bus[2 * i] += (gl + fi * dl) * l;
    bus[2 * i + 1] += (gr + fi * dr) * r;
  }
}

template <SampleKind Kind>
void DecodeMono(const std::uint8_t* __restrict bytes, std::size_t frames, const BufferFormat&,
                float* __restrict left, float*) {
  for (std::size_t i = 0; i < frames; ++i) left[i] = RawSample<Kind>(bytes + i * kSampleBytes<Kind>) * kScale<Kind>;
}

template <SampleKind Kind>
void DecodeStereo(const std::uint8_t* __restrict bytes, std::size_t frames, const BufferFormat&,
                  float* __restrict left, float* __restrict right) {
  constexpr unsigned kFrame = 2 * kSampleBytes<Kind>;
  for (std::size_t i = 0; i < frames; ++i) {
    left[i] = RawSample<Kind>(bytes + i * kFrame) * kScale<Kind>;
    right[i] = RawSample<Kind>(bytes + i * kFrame + kSampleBytes<Kind>) * kScale<Kind>;
  }
}

template <SampleKind Kind>
void DecodeMultichannel(const std::uint8_t* __restrict bytes, std::size_t frames, const BufferFormat& format,
                        float* __restrict left, float* __restrict right) {
  for (std::size_t i = 0; i < frames; ++i, bytes += format.blockAlign) {
    DownmixFrame<Kind>(bytes, format, &left[i], &right[i]);
    left[i] *= kScale<Kind>;
    right[i] *= kScale<Kind>;
  }
}

template <SampleKind Kind>
FrameMixer ChooseMixer(unsigned channels) {
  if (channels == 1) return &MixMono<Kind>;
  if (channels == 2) return &MixStereo<Kind>;
  return &MixMultichannel<Kind>;
}

template <SampleKind Kind>
FrameDecoder ChooseDecoder(unsigned channels) {
  if (channels == 1) return &DecodeMono<Kind>;
  if (channels == 2) return &DecodeStereo<Kind>;
  return &DecodeMultichannel<Kind>;
}

}  // namespace

FrameMixer MixerFor(SampleKind kind, unsigned channels) {
  switch (kind) {
    case SampleKind::kUnsigned8: return ChooseMixer<SampleKind::kUnsigned8>(channels);
    case SampleKind::kSigned16: return ChooseMixer<SampleKind::kSigned16>(channels);
    case SampleKind::kSigned24: return ChooseMixer<SampleKind::kSigned24>(channels);
    case SampleKind::kSigned32: return ChooseMixer<SampleKind::kSigned32>(channels);
    case SampleKind::kFloat32: return ChooseMixer<SampleKind::kFloat32>(channels);
  }
  return nullptr;
}

FrameDecoder DecoderFor(SampleKind kind, unsigned channels) {
  switch (kind) {
    case SampleKind::kUnsigned8: return ChooseDecoder<SampleKind::kUnsigned8>(channels);
    case SampleKind::kSigned16: return ChooseDecoder<SampleKind::kSigned16>(channels);
    case SampleKind::kSigned24: return ChooseDecoder<SampleKind::kSigned24>(channels);
    case SampleKind::kSigned32: return ChooseDecoder<SampleKind::kSigned32>(channels);
    case SampleKind::kFloat32: return ChooseDecoder<SampleKind::kFloat32>(channels);
  }
  return nullptr;
}

}  // namespace velmo
