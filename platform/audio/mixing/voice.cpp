#include "platform/audio/mixing/voice.h"

#include <cstring>
#include <new>

#include "platform/audio/mixing/interpolator.h"

namespace velmo {

std::unique_ptr<Voice> Voice::Create(const BufferFormat& format, DWORD bytes, std::uint32_t outputRate,
                                     std::uint32_t rampFrames) {
  SampleMemory* memory = SampleMemory::Create(bytes, format.silenceByte);
  if (memory == nullptr) return nullptr;
  auto* voice = new (std::nothrow) Voice(format, bytes, outputRate, rampFrames, memory);
  if (voice == nullptr) memory->Release();
  return std::unique_ptr<Voice>(voice);
}

std::unique_ptr<Voice> Voice::CreateSharing(const Voice& original, std::uint32_t rampFrames) {
  original.memory_->AddRef();
  auto* voice = new (std::nothrow) Voice(original.format_, original.length_, original.outputRate_, rampFrames,
                                         original.memory_);
  if (voice == nullptr) original.memory_->Release();
  return std::unique_ptr<Voice>(voice);
}

Voice::Voice(const BufferFormat& format, DWORD bytes, std::uint32_t outputRate, std::uint32_t rampFrames,
             SampleMemory* memory)
    : format_(format),
      length_(bytes),
      outputRate_(outputRate),
      memory_(memory),
      ring_(memory->bytes()),
      renderer_(InterpolatorStep(format.sampleRate, outputRate), rampFrames) {
  controls.step.store(InterpolatorStep(format.sampleRate, outputRate), std::memory_order_relaxed);
}

}  // namespace velmo
