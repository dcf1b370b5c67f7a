// The wave formats a software buffer accepts, checked once when the buffer
// is made and reduced to the mixer's BufferFormat.
#pragma once

#include "platform/audio/mixing/sample_format.h"
#include "velmo/platform/wave_format.h"

namespace velmo {

// Checks `format` and fills `out`.  Returns DS_OK, DSERR_INVALIDPARAM for a
// null record, or DSERR_BADFORMAT for anything the mixer cannot play: tags
// other than PCM, IEEE float and extensible (with a PCM or float
// sub-format), sample widths other than 8/16/24/32-bit integer or 32-bit
// float, 0 or more than 8 channels, rates outside 100..200000 Hz, or a block
// alignment or byte rate that disagrees with the other fields.  For the
// extensible tag the caller's record must carry the cbSize extra bytes that
// it announces.
HRESULT ParseBufferFormat(const WAVEFORMATEX* format, BufferFormat* out);

}  // namespace velmo
