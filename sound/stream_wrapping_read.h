// The stream's endless read: the file's sample bytes, wrapped to the first
// data byte whenever the data chunk ends.
#pragma once

#include "velmo/platform/win_types.h"

namespace velmo {

// Copies `bytes` bytes of the stream's data to `destination`, continuing
// from where the previous read stopped.  Whenever the data chunk runs out the
// data chunk is found again and the read goes on from its first byte, so data
// shorter than the request repeats as often as the request needs.
//
// The read is bounded: when a pass after finding the data chunk again
// delivers nothing (an empty data chunk, a file that ends before its data
// chunk says, a data chunk that can no longer be found), the rest of the
// destination is filled with the silence value and the read ends.
//
// Uses StreamFile, StreamDataChunk, StreamRiffChunk and StreamFormat; the
// caller must be the only user of the stream state for the duration (the
// window thread with no tick possible, or a tick holding StreamLock).
// Allocates nothing and never blocks on a lock.
void ReadStreamWrapping(DWORD bytes, BYTE* destination);

}  // namespace velmo
