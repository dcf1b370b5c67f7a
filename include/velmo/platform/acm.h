// The audio subsystem's presence check.
#pragma once

#include "velmo/platform/platform.h"

namespace velmo {

constexpr UINT ACM_METRIC_MAX_SIZE_FORMAT = 50;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;

using HACMOBJ = void*;

// Returns 0 when the audio output subsystem can be brought up.  `value`
// receives a 32-bit metric that callers use only as proof of presence.
inline MMRESULT acmMetrics(HACMOBJ object, UINT metric, void* value) {
  return CurrentPlatform().acmMetrics(object, metric, value);
}

}  // namespace velmo
