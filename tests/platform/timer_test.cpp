// The real multimedia timer: events on their own threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/mm_timer.h"
#include "platform/periodic_timer.h"

namespace velmo {
namespace {

struct Probe {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  UINT lastId = 0;
  DWORD_PTR lastUser = 0;
  std::thread::id thread;
  std::atomic<bool> killReturned{false};
  std::atomic<int> callsAfterKill{0};
  PeriodicTimer* timer = nullptr;
  bool killSelfAtCall = false;

  // Waits until at least `n` calls have been made.  The bound only keeps a
  // broken timer from hanging the suite; nothing is measured against it.
  bool WaitForCalls(int n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return calls >= n; });
  }
};

void CountCall(UINT id, UINT /*message*/, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto* probe = reinterpret_cast<Probe*>(user);
  if (probe->killReturned) ++probe->callsAfterKill;
  {
    std::lock_guard lock(probe->mutex);
    ++probe->calls;
    probe->lastId = id;
    probe->lastUser = user;
    probe->thread = std::this_thread::get_id();
    // Notified under the lock, so a waiter cannot return and destroy the
    // probe while the notification is still going out.
    probe->changed.notify_all();
  }
  if (probe->killSelfAtCall) probe->timer->KillEvent(id);
}

TEST(PeriodicTimer, CallsTheProcedureRepeatedlyOnItsOwnThreadWithItsIdAndUserValue) {
  PeriodicTimer timer;
  Probe probe;
  const UINT id = timer.SetEvent(1, 1, CountCall, reinterpret_cast<DWORD_PTR>(&probe), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(probe.WaitForCalls(5));
  EXPECT_EQ(timer.KillEvent(id), TIMERR_NOERROR);
  std::lock_guard lock(probe.mutex);
  EXPECT_EQ(probe.lastId, id);
  EXPECT_EQ(probe.lastUser, reinterpret_cast<DWORD_PTR>(&probe));
  EXPECT_NE(probe.thread, std::this_thread::get_id());
}

TEST(PeriodicTimer, NoCallStartsAfterKillReturns) {
  PeriodicTimer timer;
  Probe probe;
  const UINT id = timer.SetEvent(1, 1, CountCall, reinterpret_cast<DWORD_PTR>(&probe), TIME_PERIODIC);
  ASSERT_TRUE(probe.WaitForCalls(3));
  timer.KillEvent(id);
  probe.killReturned = true;
  // A timer that kept its thread running would call again within a few
  // periods; give it twenty.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(probe.callsAfterKill.load(), 0);
  EXPECT_EQ(timer.KillEvent(id), TIMERR_NOCANDO) << "a killed event is gone";
}

TEST(PeriodicTimer, AProcedureMayKillItsOwnEvent) {
  // The procedure goes on after its own kill returns, so the probe and the
  // timer must outlive this test's scope.
  static PeriodicTimer timer;
  static Probe probe;
  probe.timer = &timer;
  probe.killSelfAtCall = true;
  timer.SetEvent(1, 1, CountCall, reinterpret_cast<DWORD_PTR>(&probe), TIME_PERIODIC);
  ASSERT_TRUE(probe.WaitForCalls(1));
  probe.killReturned = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(probe.callsAfterKill.load(), 0);
}

TEST(PeriodicTimer, OneShotEventsFireOnceAndTheDestructorStopsEverything) {
  Probe oneShot, periodic;
  {
    PeriodicTimer timer;
    timer.SetEvent(1, 1, CountCall, reinterpret_cast<DWORD_PTR>(&oneShot), TIME_ONESHOT);
    timer.SetEvent(1, 1, CountCall, reinterpret_cast<DWORD_PTR>(&periodic), TIME_PERIODIC);
    ASSERT_TRUE(oneShot.WaitForCalls(1));
    ASSERT_TRUE(periodic.WaitForCalls(3));
  }
  periodic.killReturned = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(periodic.callsAfterKill.load(), 0);
  std::lock_guard lock(oneShot.mutex);
  EXPECT_EQ(oneShot.calls, 1);
}

TEST(PeriodicTimer, RefusesBadArgumentsAndUnmatchedPeriods) {
  PeriodicTimer timer;
  Probe probe;
  EXPECT_EQ(timer.SetEvent(50, 10, nullptr, 0, TIME_PERIODIC), 0u);
  EXPECT_EQ(timer.SetEvent(0, 10, CountCall, 0, TIME_PERIODIC), 0u);
  EXPECT_EQ(timer.SetEvent(50, 10, CountCall, 0, 0x100), 0u);
  EXPECT_EQ(timer.KillEvent(12345), TIMERR_NOCANDO);

  EXPECT_EQ(timer.EndPeriod(50), TIMERR_NOCANDO);
  EXPECT_EQ(timer.BeginPeriod(0), TIMERR_NOCANDO);
  EXPECT_EQ(timer.BeginPeriod(50), TIMERR_NOERROR);
  EXPECT_EQ(timer.BeginPeriod(50), TIMERR_NOERROR);
  EXPECT_EQ(timer.OpenPeriods(), 2);
  EXPECT_EQ(timer.EndPeriod(50), TIMERR_NOERROR);
  EXPECT_EQ(timer.EndPeriod(50), TIMERR_NOERROR);
  EXPECT_EQ(timer.EndPeriod(50), TIMERR_NOCANDO);
}

TEST(PeriodicTimer, IdentifiersAreDistinctAndNeverZero) {
  PeriodicTimer timer;
  Probe a, b;
  const UINT first = timer.SetEvent(1000, 10, CountCall, reinterpret_cast<DWORD_PTR>(&a), TIME_PERIODIC);
  const UINT second = timer.SetEvent(1000, 10, CountCall, reinterpret_cast<DWORD_PTR>(&b), TIME_PERIODIC);
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
  // Killing a long-period event returns at once: it does not wait out the period.
  EXPECT_EQ(timer.KillEvent(first), TIMERR_NOERROR);
  EXPECT_EQ(timer.KillEvent(second), TIMERR_NOERROR);
}

}  // namespace
}  // namespace velmo
