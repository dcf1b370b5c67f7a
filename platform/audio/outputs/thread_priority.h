// Raising the priority of an output's own thread, where the system allows
// it, so that the mix a sound server asks for is not kept waiting behind
// the program's other work (a game loading its next level keeps every core
// busy).
#pragma once

#include <string>

namespace velmo {

enum class ThreadPriority { kNormal, kRaisedNice, kRealTime };

// Makes the calling thread real-time (SCHED_RR at a low priority, reset
// for children it forks), when RLIMIT_RTPRIO or the CAP_SYS_NICE
// capability allows; otherwise raises its nice value as far as RLIMIT_NICE
// allows, towards -11; otherwise leaves it as it is.  Returns what it got,
// and in `why`, when given, the system's answer to what was refused.
// A system call or two: call it from the thread's own setup, never from
// an audio callback.
ThreadPriority RaiseThisThreadsPriority(std::string* why = nullptr);

}  // namespace velmo
