// Keeping the system's sound libraries from writing on standard error.
#pragma once

namespace velmo {

// Routes the error lines of ALSA's library (libasound) to nowhere, before
// SDL loads it.  On a machine without a sound card, SDL's ALSA driver tries
// the default device and the library prints eight lines about the card it
// cannot find, which the user would take for a crash; the failure itself
// still reaches the program, which reports it in its own words.  Does
// nothing when the library is not installed.  Safe to call more than once,
// from any thread.
void QuietSystemSoundLibraries();

}  // namespace velmo
