#include "platform/audio/outputs/pulse_stream_writer.h"

#include <algorithm>

namespace velmo {

std::size_t WriteRequested(const PulseWriteCalls& calls, pa_stream* stream, std::size_t bytes, MixSource* source,
                           std::uint32_t passFrames) {
  std::size_t written = 0;
  while (bytes >= kPulseFrameBytes) {
    void* data = nullptr;
    // The stream lends at most one block of its memory pool at a time
    // (64 KiB on PulseAudio 16): a larger request takes several pieces.
    std::size_t size = bytes;
    if (calls.beginWrite(stream, &data, &size) < 0 || data == nullptr) break;
    const std::size_t frames = std::min(size, bytes) / kPulseFrameBytes;
    if (frames == 0) {
      calls.cancelWrite(stream);
      break;
    }
    auto* out = static_cast<float*>(data);
    if (source != nullptr) {
      // The mixer's buffers keep their write cursors one pass ahead of
      // what a pass reads, so a longer request is mixed in parts.
      for (std::size_t done = 0; done < frames;) {
        const std::size_t part = std::min<std::size_t>(frames - done, passFrames);
        source->Render(out + 2 * done, part);
        done += part;
      }
    } else {
      std::fill(out, out + 2 * frames, 0.0f);
    }
    if (calls.write(stream, data, frames * kPulseFrameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
    written += frames;
    bytes -= frames * kPulseFrameBytes;
  }
  return written;
}

}  // namespace velmo
