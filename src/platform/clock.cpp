#include "clock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <vector>

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

std::atomic<uint32_t>& ClockGeneration() {
  static std::atomic<uint32_t> generation{0};
  return generation;
}

bool ClockChangesWakeFutexWaits() {
  static const bool works = [] {
    // A word whose value differs from the one expected: the call returns at once, with EAGAIN
    // where futex_waitv exists.
    std::atomic<uint32_t> word{1};
    struct futex_waitv w {};
    w.val = 0;
    w.uaddr = reinterpret_cast<uintptr_t>(&word);
    w.flags = FUTEX_32;
    long r = syscall(SYS_futex_waitv, &w, 1, 0, nullptr, CLOCK_MONOTONIC);
    return r == -1 && errno == EAGAIN;
  }();
  return works;
}

namespace {

std::mutex& HooksMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::vector<std::function<void()>>& Hooks() {
  static auto* hooks = new std::vector<std::function<void()>>;
  return *hooks;
}

// Every waiter looks at the clock again.
void WakeWaiters() {
  std::atomic<uint32_t>& generation = ClockGeneration();
  generation.fetch_add(1, std::memory_order_acq_rel);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&generation), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
  std::vector<std::function<void()>> hooks;
  {
    std::lock_guard<std::mutex> lock(HooksMutex());
    hooks = Hooks();
  }
  for (auto& hook : hooks) hook();
}

}  // namespace

void OnClockChange(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(HooksMutex());
  Hooks().push_back(std::move(hook));
}

std::chrono::nanoseconds RealSliceUntil(uint64_t deadlineUs) {
  const bool polling = !ClockChangesWakeFutexWaits();
  if (!g_adjusted.load(std::memory_order_relaxed)) {
    if (deadlineUs == kForever) return std::chrono::nanoseconds::max();
    uint64_t now = NowUs();
    std::chrono::nanoseconds remaining = std::chrono::microseconds(deadlineUs > now ? deadlineUs - now : 0);
    // Without wake-ups on a clock change, a wait that began in real time looks again every
    // 100 ms, so that it still follows a test that takes the clock over while it sleeps.
    return polling ? std::min<std::chrono::nanoseconds>(remaining, kRealTimeSlice) : remaining;
  }
  ClockState& s = State();
  double speed;
  uint64_t now;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    speed = s.speed;
    now = NowLocked(s);
  }
  std::chrono::nanoseconds slice = polling ? std::chrono::nanoseconds(kSlice) : std::chrono::nanoseconds::max();
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
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    qvp::Rebase(s);
    s.speed = factor < 0.0 ? 0.0 : factor;
    qvp::g_adjusted = true;
  }
  qvp::WakeWaiters();
}

void FreezeClock() { SetClockSpeed(0.0); }

void AdvanceClock(uint32_t ms) {
  auto& s = qvp::State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    qvp::Rebase(s);
    s.baseVirtualUs += static_cast<uint64_t>(ms) * 1000;
    qvp::g_adjusted = true;
  }
  qvp::WakeWaiters();
}

}  // namespace qvplatform::testing
