// The demo sounds of the sample program, synthesised from nothing, so that a
// fresh checkout has something real to play: three short effects and two
// pieces of background music that loop seamlessly.
#pragma once

#include <string>
#include <vector>

#include "tools/pcm_wave_writer.h"

namespace velmo::tools {

struct DemoSound {
  std::string fileName;        // the name the sample program opens
  PcmFormat format;
  std::vector<float> samples;  // interleaved, in [-1, 1]
};

// sfx1.wav (a zap), sfx2.wav (a thud), sfx3.wav (a chime), bgm1.wav (44100 Hz
// 16-bit stereo) and bgm2.wav (22050 Hz 8-bit mono), in this order.  The
// result is the same on every call.
std::vector<DemoSound> SynthesizeDemoSounds();

}  // namespace velmo::tools
