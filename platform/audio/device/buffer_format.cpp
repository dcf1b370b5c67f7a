#include "platform/audio/device/buffer_format.h"

#include <bit>
#include <cstring>

#include "velmo/platform/dsound.h"

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
  result.mix = MixerFor(kind, channels);
  result.decode = DecoderFor(kind, channels);
  if (channels > 2) FillDownmix(channels, mask, &result);
  *out = result;
  return DS_OK;
}

}  // namespace velmo
