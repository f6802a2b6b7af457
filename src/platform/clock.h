// The layer's one clock. Every wait, sleep and timer reads it, so tests can run it faster than
// real time or move it by hand (see testing.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace qvp {

constexpr uint64_t kForever = UINT64_MAX;

// Virtual microseconds since the layer started.
uint64_t NowUs();
inline uint64_t NowMs() { return NowUs() / 1000; }

// Virtual deadline for a Win32 time-out in milliseconds (INFINITE gives kForever).
uint64_t DeadlineAfterMs(uint32_t ms);

// How long to block in real time before looking at the clock again while waiting for
// `deadlineUs`: the remaining span at the clock's speed (max() for none: forever, or a frozen
// clock). A waiter does not poll: a test that changes the clock wakes every waiter (the futex
// waits watch ClockGeneration(), the condition-variable waits are notified by OnClockChange
// hooks). Where the kernel lacks futex_waitv the old slices are kept: at most 100 ms in real
// time, 1 ms once a test has taken the clock over.
std::chrono::nanoseconds RealSliceUntil(uint64_t deadlineUs);

// Bumped whenever a test changes the clock; futex waits also wait on it.
std::atomic<uint32_t>& ClockGeneration();
// True when futex waits can watch ClockGeneration() too (the kernel has futex_waitv).
bool ClockChangesWakeFutexWaits();
// Runs `hook` after every change of the clock by a test (it notifies the waiters it knows of,
// under their own lock so that none misses it). Hooks are never removed.
void OnClockChange(std::function<void()> hook);

// Blocks on `cv` until `done()` holds or the virtual deadline passes. Returns done()'s last value.
template <class Pred>
bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadlineUs,
               Pred done) {
  while (!done()) {
    if (deadlineUs != kForever && NowUs() >= deadlineUs) return false;
    std::chrono::nanoseconds slice = RealSliceUntil(deadlineUs);
    if (slice == std::chrono::nanoseconds::max())
      cv.wait(lock);  // until notified: a frozen clock moves only when a test moves it
    else
      cv.wait_for(lock, slice);
  }
  return true;
}

}  // namespace qvp
