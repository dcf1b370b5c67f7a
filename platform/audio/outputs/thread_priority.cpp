#include "platform/audio/outputs/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmo {

namespace {

// Real-time priorities above this one are left to the sound server itself
// (PulseAudio asks for 5, PipeWire's threads for 88 through rtkit): ours
// only needs to come before the threads that are not real-time.
constexpr int kRealTimePriority = 5;
// What rtkit grants a thread that may not be real-time, and what
// libpulse's own threads ask for.
constexpr int kRaisedNice = -11;

}  // namespace

ThreadPriority RaiseThisThreadsPriority(std::string* why) {
  int priority = kRealTimePriority;
  rlimit limit{};
  // Without CAP_SYS_NICE the limit caps the priority; with it (root) the
  // call below succeeds whatever the limit says.
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > 0)
    priority = std::min<int>(priority, static_cast<int>(limit.rlim_cur));
  sched_param param{};
  param.sched_priority = priority;
  const int refused = pthread_setschedparam(pthread_self(), SCHED_RR | SCHED_RESET_ON_FORK, &param);
  if (refused == 0) return ThreadPriority::kRealTime;
  std::string answer = std::string("real-time priority: ") + std::strerror(refused);

  // The nice value of this thread alone (Linux keeps one per thread).
  const auto thread = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, thread);
  if (errno == 0 && current <= kRaisedNice) return ThreadPriority::kRaisedNice;
  int nice = kRaisedNice;
  // Without CAP_SYS_NICE, RLIMIT_NICE allows down to 20 - its value.
  if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    nice = std::max(nice, 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40)));
  errno = 0;
  if (nice < current && setpriority(PRIO_PROCESS, thread, nice) == 0) {
    if (why != nullptr) *why = answer;
    return ThreadPriority::kRaisedNice;
  }
  if (why != nullptr) *why = answer + "; a raised nice value: " + std::strerror(errno != 0 ? errno : EPERM);
  return ThreadPriority::kNormal;
}

}  // namespace velmo
