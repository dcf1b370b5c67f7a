#include "platform/audio/buffer_format.h"

#include <bit>
#include <cstring>

#include "platform/dsound.h"

namespace velmo {
namespace {

// The extensible format's tail, as it follows the 18-byte record: valid
// bits per sample (2 bytes), channel mask (4), sub-format identifier (16).
// The fields are copied out one by one because in the record they sit at
// offsets that do not suit their alignment.
constexpr std::size_t kExtensibleTailBytes = 22;
struct ExtensibleTail {
  WORD validBitsPerSample;
  DWORD channelMask;
  GUID subFormat;
};
ExtensibleTail ReadExtensibleTail(const WAVEFORMATEX* format) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(format) + sizeof(WAVEFORMATEX);
  ExtensibleTail tail;
  std::memcpy(&tail.validBitsPerSample, bytes, 2);
  std::memcpy(&tail.channelMask, bytes + 2, 4);
  std::memcpy(&tail.subFormat.Data1, bytes + 6, 4);
  std::memcpy(&tail.subFormat.Data2, bytes + 10, 2);
  std::memcpy(&tail.subFormat.Data3, bytes + 12, 2);
  std::memcpy(tail.subFormat.Data4, bytes + 14, 8);
  return tail;
}

constexpr GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// Speaker position bits of a channel mask.
constexpr DWORD kFrontLeft = 0x1, kFrontRight = 0x2, kFrontCenter = 0x4, kLowFrequency = 0x8, kBackLeft = 0x10,
                kBackRight = 0x20, kFrontLeftOfCenter = 0x40, kFrontRightOfCenter = 0x80, kBackCenter = 0x100,
                kSideLeft = 0x200, kSideRight = 0x400, kTopCenter = 0x800, kTopFrontLeft = 0x1000,
                kTopFrontCenter = 0x2000, kTopFrontRight = 0x4000, kTopBackLeft = 0x8000, kTopBackCenter = 0x10000,
                kTopBackRight = 0x20000;

// The speakers of the usual layouts, in channel order, for formats that
// carry no usable mask.
constexpr DWORD kDefaultOrder[kMaxBufferChannels] = {kFrontLeft, kFrontRight, kFrontCenter, kLowFrequency,
                                                     kBackLeft,  kBackRight,  kSideLeft,    kSideRight};

template <SampleKind Kind>
inline float ReadSample(const std::uint8_t* p) {
  if constexpr (Kind == SampleKind::kUnsigned8) {
    return (static_cast<int>(p[0]) - 128) * (1.0f / 128.0f);
  } else if constexpr (Kind == SampleKind::kSigned16) {
    const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    return v * (1.0f / 32768.0f);
  } else if constexpr (Kind == SampleKind::kSigned24) {
    const std::uint32_t u = (static_cast<std::uint32_t>(p[0]) << 8) | (static_cast<std::uint32_t>(p[1]) << 16) |
                            (static_cast<std::uint32_t>(p[2]) << 24);
    return static_cast<float>(static_cast<std::int32_t>(u) >> 8) * (1.0f / 8388608.0f);
  } else if constexpr (Kind == SampleKind::kSigned32) {
    const std::uint32_t u = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    return static_cast<float>(static_cast<std::int32_t>(u)) * (1.0f / 2147483648.0f);
  } else {
    const std::uint32_t u = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    return std::bit_cast<float>(u);
  }
}

template <SampleKind Kind>
constexpr unsigned kSampleBytes = Kind == SampleKind::kUnsigned8   ? 1
                                  : Kind == SampleKind::kSigned16 ? 2
                                  : Kind == SampleKind::kSigned24 ? 3
                                                                  : 4;

// Mono goes to both output channels at full level, so that a mono buffer at
// unity gain comes out sample-exact on each side.
template <SampleKind Kind>
void DecodeMono(const std::uint8_t* bytes, std::size_t frames, const BufferFormat& format, float* stereo) {
  for (std::size_t i = 0; i < frames; ++i, bytes += format.blockAlign) {
    const float s = ReadSample<Kind>(bytes);
    stereo[2 * i] = s;
    stereo[2 * i + 1] = s;
  }
}

template <SampleKind Kind>
void DecodeStereo(const std::uint8_t* bytes, std::size_t frames, const BufferFormat& format, float* stereo) {
  for (std::size_t i = 0; i < frames; ++i, bytes += format.blockAlign) {
    stereo[2 * i] = ReadSample<Kind>(bytes);
    stereo[2 * i + 1] = ReadSample<Kind>(bytes + kSampleBytes<Kind>);
  }
}

template <SampleKind Kind>
void DecodeMultichannel(const std::uint8_t* bytes, std::size_t frames, const BufferFormat& format, float* stereo) {
  for (std::size_t i = 0; i < frames; ++i, bytes += format.blockAlign) {
    float left = 0.0f, right = 0.0f;
    for (unsigned c = 0; c < format.channels; ++c) {
      const float s = ReadSample<Kind>(bytes + c * kSampleBytes<Kind>);
      left += format.toLeft[c] * s;
      right += format.toRight[c] * s;
    }
    stereo[2 * i] = left;
    stereo[2 * i + 1] = right;
  }
}

template <SampleKind Kind>
FrameDecoder ChooseDecoder(unsigned channels) {
  if (channels == 1) return &DecodeMono<Kind>;
  if (channels == 2) return &DecodeStereo<Kind>;
  return &DecodeMultichannel<Kind>;
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

// Down-mix weights for more than two channels: speakers on the left feed the
// left output, those on the right the right output, centre speakers feed both
// at -3 dB, and the low-frequency channel is dropped (it carries no
// direction and would only muddy a stereo mix).  Each output's weights are
// then scaled to sum to at most 1, so that a full-scale multichannel source
// cannot exceed full scale in the down-mix.
void FillDownmix(unsigned channels, DWORD mask, BufferFormat* out) {
  DWORD speakers[kMaxBufferChannels];
  if (mask != 0 && static_cast<unsigned>(std::popcount(mask)) == channels) {
    unsigned c = 0;
    for (DWORD bit = 1; bit != 0 && c < channels; bit <<= 1)
      if (mask & bit) speakers[c++] = bit;
  } else {
    for (unsigned c = 0; c < channels; ++c) speakers[c] = kDefaultOrder[c];
  }
  constexpr DWORD kLeftSide = kFrontLeft | kBackLeft | kFrontLeftOfCenter | kSideLeft | kTopFrontLeft | kTopBackLeft;
  constexpr DWORD kRightSide =
      kFrontRight | kBackRight | kFrontRightOfCenter | kSideRight | kTopFrontRight | kTopBackRight;
  constexpr DWORD kCentre = kFrontCenter | kBackCenter | kTopCenter | kTopFrontCenter | kTopBackCenter;
  constexpr float kMinus3dB = 0.70710678f;
  float sumLeft = 0.0f, sumRight = 0.0f;
  for (unsigned c = 0; c < channels; ++c) {
    float l = 0.0f, r = 0.0f;
    if (speakers[c] & kLeftSide) l = 1.0f;
    else if (speakers[c] & kRightSide) r = 1.0f;
    else if (speakers[c] & kCentre) l = r = kMinus3dB;
    out->toLeft[c] = l;
    out->toRight[c] = r;
    sumLeft += l;
    sumRight += r;
  }
  for (unsigned c = 0; c < channels; ++c) {
    if (sumLeft > 1.0f) out->toLeft[c] /= sumLeft;
    if (sumRight > 1.0f) out->toRight[c] /= sumRight;
  }
}

}  // namespace

HRESULT ParseBufferFormat(const WAVEFORMATEX* format, BufferFormat* out) {
  if (format == nullptr || out == nullptr) return DSERR_INVALIDPARAM;
  WORD tag = format->wFormatTag;
  DWORD mask = 0;
  if (tag == WAVE_FORMAT_EXTENSIBLE) {
    if (format->cbSize < kExtensibleTailBytes) return DSERR_BADFORMAT;
    const ExtensibleTail tail = ReadExtensibleTail(format);
    if (tail.subFormat == kSubtypePcm) tag = WAVE_FORMAT_PCM;
    else if (tail.subFormat == kSubtypeFloat) tag = WAVE_FORMAT_IEEE_FLOAT;
    else return DSERR_BADFORMAT;
    // The valid bits sit left-justified in the container, so decoding the
    // whole container is right whatever their number.
    if (tail.validBitsPerSample == 0 || tail.validBitsPerSample > format->wBitsPerSample) return DSERR_BADFORMAT;
    mask = tail.channelMask;
  }

  SampleKind kind;
  if (tag == WAVE_FORMAT_PCM) {
    switch (format->wBitsPerSample) {
      case 8: kind = SampleKind::kUnsigned8; break;
      case 16: kind = SampleKind::kSigned16; break;
      case 24: kind = SampleKind::kSigned24; break;
      case 32: kind = SampleKind::kSigned32; break;
      default: return DSERR_BADFORMAT;
    }
  } else if (tag == WAVE_FORMAT_IEEE_FLOAT) {
    if (format->wBitsPerSample != 32) return DSERR_BADFORMAT;
    kind = SampleKind::kFloat32;
  } else {
    return DSERR_BADFORMAT;
  }

  const unsigned channels = format->nChannels;
  if (channels < 1 || channels > kMaxBufferChannels) return DSERR_BADFORMAT;
  if (format->nSamplesPerSec < DSBFREQUENCY_MIN || format->nSamplesPerSec > DSBFREQUENCY_MAX) return DSERR_BADFORMAT;
  const unsigned blockAlign = channels * (format->wBitsPerSample / 8u);
  if (format->nBlockAlign != blockAlign) return DSERR_BADFORMAT;
  if (format->nAvgBytesPerSec != format->nSamplesPerSec * blockAlign) return DSERR_BADFORMAT;

  BufferFormat result;
  result.kind = kind;
  result.channels = channels;
  result.blockAlign = blockAlign;
  result.sampleRate = format->nSamplesPerSec;
  result.silenceByte = kind == SampleKind::kUnsigned8 ? 0x80 : 0x00;
  result.decode = DecoderFor(kind, channels);
  if (channels > 2) FillDownmix(channels, mask, &result);
  *out = result;
  return DS_OK;
}

}  // namespace velmo
