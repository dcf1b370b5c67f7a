#include "platform/audio/mixing/voice.h"

#include <cstring>
#include <new>

#include "platform/audio/mixing/interpolator.h"

namespace velmo {

std::unique_ptr<Voice> Voice::Create(const BufferFormat& format, DWORD bytes, std::uint32_t outputRate,
                                     std::uint32_t rampFrames) {
  std::unique_ptr<std::uint8_t[]> ring(new (std::nothrow) std::uint8_t[bytes]);
  if (!ring) return nullptr;
  std::memset(ring.get(), format.silenceByte, bytes);
  return std::unique_ptr<Voice>(new (std::nothrow) Voice(format, bytes, outputRate, rampFrames, std::move(ring)));
}

Voice::Voice(const BufferFormat& format, DWORD bytes, std::uint32_t outputRate, std::uint32_t rampFrames,
             std::unique_ptr<std::uint8_t[]> ring)
    : format_(format),
      length_(bytes),
      outputRate_(outputRate),
      ring_(std::move(ring)),
      renderer_(InterpolatorStep(format.sampleRate, outputRate), rampFrames) {
  controls.step.store(InterpolatorStep(format.sampleRate, outputRate), std::memory_order_relaxed);
}

}  // namespace velmo
