// What the native PulseAudio output does when its stream asks for sound:
// mix exactly the bytes asked for into memory the stream lends
// (pa_stream_begin_write) and hand it back (pa_stream_write).  Apart from
// the output so that a test and a benchmark can drive it with a stand-in
// stream and count what it allocates.
#pragma once

#include <pulse/stream.h>

#include <cstddef>
#include <cstdint>

#include "platform/audio/audio_output.h"

namespace velmo {

// The stream's calls the write step makes: libpulse's own, or a stand-in's.
struct PulseWriteCalls {
  int (*beginWrite)(pa_stream*, void** data, size_t* nbytes);
  int (*write)(pa_stream*, const void* data, size_t nbytes, pa_free_cb_t freeCb, int64_t offset, pa_seek_mode_t seek);
  int (*cancelWrite)(pa_stream*);
};

// One interleaved stereo float frame.
constexpr std::size_t kPulseFrameBytes = 2 * sizeof(float);

// Fills `bytes` (what the server asked for, rounded down to whole frames)
// of `stream`: in as many pieces as the stream lends memory for, each mixed
// by `source` in passes of at most `passFrames` (the mixer's pass), or
// silence when `source` is null (the output is lost and the device keeps
// time itself).  Takes no lock, allocates nothing and writes no log; the
// two calls into the stream are libpulse's.  Returns the frames written:
// fewer than asked only when the stream refused memory or a write (a
// stream being torn down), which the server then asks for again.
std::size_t WriteRequested(const PulseWriteCalls& calls, pa_stream* stream, std::size_t bytes, MixSource* source,
                           std::uint32_t passFrames);

}  // namespace velmo
