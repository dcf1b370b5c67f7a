#include "stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

namespace player {
namespace {

// Release on the store, acquire on the load: whatever the signal thread did
// before raising the flag is seen by the thread that reads it.
std::atomic<bool> stopRequested{false};
// Relaxed: it only thins out signals, and one more or less does no harm.
std::atomic<bool> interrupting{true};

// The main thread, which the interruptions are aimed at.
pthread_t mainThread;

// The interruption.  Only ever sent to the main thread, so it cannot land on
// another.
int InterruptSignal() { return SIGRTMIN; }

// Between interruptions: often enough that a read begun just after one is
// cut short well within a tenth of a second, rarely enough to cost nothing.
constexpr long kInterruptEveryNs = 20'000'000;

extern "C" void Interrupted(int) {}  // its only work is to end the blocking call

sigset_t StopSignalSet() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

void TakeStopSignals() {
  const sigset_t signals = StopSignalSet();
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  stopRequested.store(true, std::memory_order_release);
  // Until the program has ended: interrupt the main thread, and wait for a
  // second stop signal in between.
  const timespec every{0, kInterruptEveryNs};
  for (;;) {
    if (interrupting.load(std::memory_order_relaxed)) pthread_kill(mainThread, InterruptSignal());
    siginfo_t info{};
    const int again = sigtimedwait(&signals, &info, &every);
    if (again > 0) _exit(128 + again);
  }
}

}  // namespace

bool CatchStopSignals() {
  mainThread = pthread_self();
  struct sigaction action {};
  action.sa_handler = Interrupted;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the signal ends the call it interrupts
  if (sigaction(InterruptSignal(), &action, nullptr) != 0) return false;

  const sigset_t signals = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    std::thread(TakeStopSignals).detach();
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    return false;
  }
  return true;
}

bool StopRequested() { return stopRequested.load(std::memory_order_acquire); }

void StopInterrupting() { interrupting.store(false, std::memory_order_relaxed); }

}  // namespace player
