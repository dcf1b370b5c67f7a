// Ctrl-C (SIGINT) and SIGTERM for a program whose library starts threads
// of its own and whose main thread may sit in a blocking file read.
#pragma once

namespace player {

// Call first in main, before any thread exists.  Blocks the two signals in
// this thread, and so in every thread started after it (the library's
// device and refill threads, the sound server's), and starts one thread that
// takes them.  On the first signal that thread raises the stop flag and
// from then on interrupts the main thread every few milliseconds with a
// signal of its own, whose handler is installed without SA_RESTART: a
// blocking call there (a read, a sleep) returns EINTR instead of waiting
// on, and the file layer does not retry an interrupted read.  Repeating the
// interruption means that a call begun just after one of them is cut short
// by the next.  A second stop signal ends the process at once, with the
// status a shell gives a program killed by that signal (128 + its number).
// Returns false when the thread could not start; the signals then keep
// their default action, which ends the program.
bool CatchStopSignals();

// Whether a stop signal has come.
bool StopRequested();

// Ends the interruptions, once the main thread has seen the stop and only
// shuts down: the waits of the shutdown itself (for the library's threads
// to end, for a capture file to be written) must not be cut short.
void StopInterrupting();

}  // namespace player
