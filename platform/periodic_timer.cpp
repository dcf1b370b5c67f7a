#include "platform/periodic_timer.h"

#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include "platform/mm_timer.h"

namespace velmo {

struct PeriodicTimer::Event {
  UINT id = 0;
  std::chrono::milliseconds delay{0};
  bool periodic = true;
  LPTIMECALLBACK procedure = nullptr;
  DWORD_PTR user = 0;

  std::mutex mutex;
  std::condition_variable wake;
  bool killed = false;  // guarded by mutex
  std::thread thread;
};

PeriodicTimer::~PeriodicTimer() {
  std::vector<UINT> ids;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, event] : events_) ids.push_back(id);
  }
  for (UINT id : ids) KillEvent(id);
}

MMRESULT PeriodicTimer::BeginPeriod(UINT period) {
  if (period < 1 || period > 1000000) return TIMERR_NOCANDO;
  std::lock_guard lock(mutex_);
  ++periods_[period];
  return TIMERR_NOERROR;
}

MMRESULT PeriodicTimer::EndPeriod(UINT period) {
  std::lock_guard lock(mutex_);
  auto it = periods_.find(period);
  if (it == periods_.end()) return TIMERR_NOCANDO;
  if (--it->second == 0) periods_.erase(it);
  return TIMERR_NOERROR;
}

int PeriodicTimer::OpenPeriods() const {
  std::lock_guard lock(mutex_);
  int open = 0;
  for (const auto& [period, count] : periods_) open += count;
  return open;
}

UINT PeriodicTimer::SetEvent(UINT delay, UINT /*resolution*/, LPTIMECALLBACK procedure, DWORD_PTR user, UINT flags) {
  if (procedure == nullptr || delay < 1 || delay > 1000000) return 0;
  if ((flags & ~TIME_PERIODIC) != 0) return 0;

  auto event = std::make_shared<Event>();
  event->delay = std::chrono::milliseconds(delay);
  event->periodic = (flags & TIME_PERIODIC) != 0;
  event->procedure = procedure;
  event->user = user;

  std::lock_guard lock(mutex_);
  UINT id = nextId_++;
  if (nextId_ == 0) nextId_ = 1;  // 0 means failure and is never handed out
  event->id = id;
  // The thread starts while mutex_ is held; it never takes mutex_, so it
  // cannot wait on this call.
  event->thread = std::thread(&PeriodicTimer::Run, event);
  events_.emplace(id, std::move(event));
  return id;
}

MMRESULT PeriodicTimer::KillEvent(UINT timerId) {
  std::shared_ptr<Event> event;
  {
    std::lock_guard lock(mutex_);
    auto it = events_.find(timerId);
    if (it == events_.end()) return TIMERR_NOCANDO;
    event = std::move(it->second);
    events_.erase(it);
  }
  {
    std::lock_guard lock(event->mutex);
    event->killed = true;
  }
  event->wake.notify_all();
  if (event->thread.get_id() == std::this_thread::get_id()) {
    // Killed from inside its own procedure: the thread cannot wait for
    // itself.  It sees `killed` as soon as the procedure returns and ends;
    // it holds its own reference to the event until then.
    event->thread.detach();
  } else {
    event->thread.join();
  }
  return TIMERR_NOERROR;
}

void PeriodicTimer::Run(std::shared_ptr<Event> event) {
  using Clock = std::chrono::steady_clock;
  auto due = Clock::now() + event->delay;
  std::unique_lock lock(event->mutex);
  for (;;) {
    if (event->wake.wait_until(lock, due, [&] { return event->killed; })) return;
    // The procedure runs without the event's lock, so that it may kill its
    // own event, and so that a kill from another thread is not held up for
    // longer than the call in progress.
    lock.unlock();
    event->procedure(event->id, 0, event->user, 0, 0);
    lock.lock();
    if (event->killed || !event->periodic) return;
    // Keep a fixed cadence, but when the machine fell far behind, start a
    // fresh cadence from now rather than firing a burst of late calls.
    due += event->delay;
    const auto now = Clock::now();
    if (due + event->delay < now) due = now + event->delay;
  }
}

}  // namespace velmo
