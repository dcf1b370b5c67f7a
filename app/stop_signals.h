// Ctrl-C (SIGINT) and SIGTERM for the sample program, whose libraries (Qt,
// the sound library, the sound server's) start threads of their own and
// whose window thread may sit in a blocking file read while the window is
// built.
#pragma once

namespace velmo {

// Call first in main, before any thread exists.  Blocks the two signals in
// this thread, and so in every thread started after it, and starts one
// thread that takes them.  On the first signal that thread raises the stop
// flag, makes StopNotification() readable for the event loop, and from then
// on interrupts the main thread every few milliseconds with a signal of its
// own whose handler is installed without SA_RESTART: a blocking call there
// (a file read while the effects load) returns EINTR instead of waiting on,
// and the file layer does not retry an interrupted read.  Repeating the
// interruption means that a call begun just after one of them is cut short
// by the next.  A second stop signal ends the process at once, with the
// status a shell gives a program killed by that signal (128 + its number).
// Returns false when this could not be set up; the signals then keep their
// default action, which ends the program.
bool CatchStopSignals();

// Whether a stop signal has come.
bool StopRequested();

// A descriptor that becomes readable when a stop signal comes (and stays
// so), for a QSocketNotifier; -1 before CatchStopSignals succeeded.
int StopNotification();

// Ends the interruptions, once the event loop has seen the stop and the
// program only shuts down: the waits of the shutdown itself (for the
// library's threads to end, for a capture file to be written) must not be
// cut short.
void StopInterrupting();

}  // namespace velmo
