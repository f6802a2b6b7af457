// The layer's one clock. Every wait, sleep and timer reads it, so tests can run it faster than
// real time or move it by hand (see testing.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qvp {

constexpr uint64_t kForever = UINT64_MAX;

// Virtual microseconds since the layer started.
uint64_t NowUs();
inline uint64_t NowMs() { return NowUs() / 1000; }

// Virtual deadline for a Win32 time-out in milliseconds (INFINITE gives kForever).
uint64_t DeadlineAfterMs(uint32_t ms);

// How long to block in real time before looking at the clock again while waiting for
// `deadlineUs`. In real-time mode this is the remaining span, at most 100 ms for timed waits;
// once a test has sped up, frozen or moved the clock it is a 1 ms slice, so that waiters notice
// the new time.
std::chrono::nanoseconds RealSliceUntil(uint64_t deadlineUs);

// Blocks on `cv` until `done()` holds or the virtual deadline passes. Returns done()'s last value.
template <class Pred>
bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadlineUs,
               Pred done) {
  while (!done()) {
    if (deadlineUs != kForever && NowUs() >= deadlineUs) return false;
    if (deadlineUs == kForever && RealSliceUntil(kForever) == std::chrono::nanoseconds::max()) {
      cv.wait(lock);
    } else {
      cv.wait_for(lock, RealSliceUntil(deadlineUs));
    }
  }
  return true;
}

}  // namespace qvp
