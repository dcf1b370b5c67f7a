// Conversion of the mixer's float samples to 16-bit PCM.
#pragma once

#include <cmath>
#include <cstdint>

namespace velmo {

// Rounds to the nearest step and saturates, so a sample decoded from 16-bit
// PCM and mixed at unity gain comes back as the same integer.
inline std::int16_t ToPcm16(float sample) {
  const long v = std::lrintf(sample * 32768.0f);
  return static_cast<std::int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

}  // namespace velmo
