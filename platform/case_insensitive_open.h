// Opening a file by a name whose letters may differ in case from the name
// on disk.
#pragma once

namespace velmo {

// Opens `path` read-only.  When no entry has exactly that name, the one
// entry of the same folder whose name matches the last part of `path`
// without regard to the case of ASCII letters is opened instead, as a
// case-insensitive file system would: "BGM1.WAV" finds "bgm1.wav".  With no
// such entry, or several ("Bgm1.wav" and "bgm1.WAV"), the open fails as it
// does today.  The folders along `path` must be named exactly.
//
// Only a regular file opens.  A FIFO, a socket, a device node or a
// directory of that name fails with ENOENT, as a missing file does, and the
// open never blocks on one.
// Returns a file descriptor (close-on-exec, blocking reads), or -1 with
// errno set.
int OpenForReadingIgnoringCase(const char* path);

}  // namespace velmo
