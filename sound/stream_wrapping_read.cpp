#include "sound/stream_wrapping_read.h"

#include <cstring>

#include "sound/stream_state.h"
#include "velmo/sound/wave_reader.h"

namespace velmo {

void ReadStreamWrapping(DWORD bytes, BYTE* destination) {
  DWORD got = 0;
  WaveReaderRead(StreamFile, bytes, destination, &StreamDataChunk, &got);
  DWORD left = bytes;
  while (got < left) {
    destination += got;
    left -= got;
    // Back to the first data byte with the whole data length unread.  Its
    // result is not needed: if the chunk cannot be found, the read below
    // delivers nothing and the pass ends in silence.
    WaveReaderFindData(StreamFile, &StreamDataChunk, &StreamRiffChunk);
    WaveReaderRead(StreamFile, left, destination, &StreamDataChunk, &got);
    if (got == 0) {
      // A fresh pass over the data gave nothing, so every further pass would
      // give nothing too.  Looping here would hang the timer thread (and the
      // window thread waiting for its lock); the rest is silence instead.
      std::memset(destination, StreamSilenceValue(), left);
      return;
    }
  }
}

}  // namespace velmo
