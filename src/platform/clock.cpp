#include "clock.h"

#include <algorithm>
#include <atomic>

#include "testing.h"

namespace qvp {
namespace {

using Steady = std::chrono::steady_clock;

struct ClockState {
  std::mutex mutex;
  Steady::time_point baseReal = Steady::now();
  // Like Windows' tick count, the clock starts at the time since boot, never at 0.
  uint64_t baseVirtualUs = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(baseReal.time_since_epoch()).count());
  double speed = 1.0;  // 0 = frozen
};

ClockState& State() {
  static ClockState* state = new ClockState;  // never destroyed: threads may read it at exit
  return *state;
}

// Set once a test takes the clock over; from then on waits re-check the clock in short slices.
std::atomic<bool> g_adjusted{false};
constexpr auto kSlice = std::chrono::milliseconds(1);
constexpr auto kRealTimeSlice = std::chrono::milliseconds(100);

uint64_t NowLocked(ClockState& s) {
  if (s.speed == 0.0) return s.baseVirtualUs;
  auto real = std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - s.baseReal).count();
  return s.baseVirtualUs + static_cast<uint64_t>(static_cast<double>(real) * s.speed);
}

// Starts a new segment at the current virtual time so a speed change does not jump the clock.
void Rebase(ClockState& s) {
  s.baseVirtualUs = NowLocked(s);
  s.baseReal = Steady::now();
}

}  // namespace

uint64_t NowUs() {
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return NowLocked(s);
}

uint64_t DeadlineAfterMs(uint32_t ms) {
  if (ms == 0xFFFFFFFFu) return kForever;
  return NowUs() + static_cast<uint64_t>(ms) * 1000;
}

std::chrono::nanoseconds RealSliceUntil(uint64_t deadlineUs) {
  if (!g_adjusted.load(std::memory_order_relaxed)) {
    if (deadlineUs == kForever) return std::chrono::nanoseconds::max();
    // Timed waits look at the clock at least every 100 ms, so a wait that began in real time
    // still follows a test that takes the clock over while it sleeps.
    uint64_t now = NowUs();
    return std::min<std::chrono::nanoseconds>(std::chrono::microseconds(deadlineUs > now ? deadlineUs - now : 0),
                                              kRealTimeSlice);
  }
  ClockState& s = State();
  double speed;
  uint64_t now;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    speed = s.speed;
    now = NowLocked(s);
  }
  std::chrono::nanoseconds slice = kSlice;
  if (speed > 0.0 && deadlineUs != kForever) {
    double remainingUs = deadlineUs > now ? static_cast<double>(deadlineUs - now) : 0.0;
    auto real = std::chrono::nanoseconds(static_cast<int64_t>(remainingUs * 1000.0 / speed));
    slice = std::min(slice, real);
  }
  return slice;
}

}  // namespace qvp

namespace qvplatform::testing {

void SetClockSpeed(double factor) {
  auto& s = qvp::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  qvp::Rebase(s);
  s.speed = factor < 0.0 ? 0.0 : factor;
  qvp::g_adjusted = true;
}

void FreezeClock() { SetClockSpeed(0.0); }

void AdvanceClock(uint32_t ms) {
  auto& s = qvp::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  qvp::Rebase(s);
  s.baseVirtualUs += static_cast<uint64_t>(ms) * 1000;
  qvp::g_adjusted = true;
}

}  // namespace qvplatform::testing
