#include "platform/audio/mixing/cpu_dispatch.h"

#include <cstdlib>
#include <cstring>

namespace velmo {

MixerIsa SelectedMixerIsa() {
  static const MixerIsa isa = [] {
    const char* forced = std::getenv("VELMO_MIXER_ISA");
    if (forced != nullptr && (std::strcmp(forced, "sse2") == 0 || std::strcmp(forced, "portable") == 0))
      return MixerIsa::kPortable;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return MixerIsa::kAvx2Fma;
#endif
    return MixerIsa::kPortable;
  }();
  return isa;
}

const char* MixerIsaName(MixerIsa isa) {
#if defined(__x86_64__)
  return isa == MixerIsa::kAvx2Fma ? "avx2+fma" : "sse2";
#else
  (void)isa;
  return "portable";
#endif
}

}  // namespace velmo
