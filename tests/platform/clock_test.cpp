// The layer's clock: waits, sleeps and the tick count follow it when a test speeds it up, freezes
// it or moves it by hand.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/testing.h"
#include "platform/win32.h"
#include "support/KernelHelpers.h"

namespace {

using Real = std::chrono::steady_clock;
using std::chrono::milliseconds;

class ClockTest : public ::testing::Test {
 protected:
  // Each test takes the clock over; hand it back running at real speed.
  void TearDown() override { qvplatform::testing::SetClockSpeed(1.0); }
};

using qvtest::BlockedInWait;
using qvtest::Tid;

HANDLE Start(std::function<DWORD()> body) { return qvtest::StartThread(std::move(body)); }

// Real time until `done` holds, bounded; the bound only matters when the clock is broken.
template <class Pred>
long RealMsUntil(Pred done, milliseconds bound = milliseconds(3000)) {
  auto start = Real::now();
  while (!done() && Real::now() - start < bound) std::this_thread::sleep_for(milliseconds(1));
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Real::now() - start).count());
}

long MsSince(Real::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Real::now() - start).count());
}

// First in the file: it needs a clock nobody has taken over yet in this process.
TEST_F(ClockTest, WaitAlreadyInProgressFollowsTheClockWhenATestTakesItOver) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::atomic<DWORD> result{0};
  HANDLE waiter = Start([&] {
    tid = Tid();
    result = WaitForSingleObject(event, 30000);  // begun while the clock runs in real time
    done = true;
    return 0u;
  });
  ASSERT_TRUE(BlockedInWait(tid));
  qvplatform::testing::FreezeClock();
  qvplatform::testing::AdvanceClock(30000);
  EXPECT_LT(RealMsUntil([&] { return done.load(); }, milliseconds(1500)), 1000)
      << "a wait begun before the clock was taken over sleeps out its time-out in real time";
  if (!done.load()) SetEvent(event);  // free the thread; its result no longer matters
  WaitForSingleObject(waiter, INFINITE);
  CloseHandle(waiter);
  CloseHandle(event);
}

long ContextSwitches(pid_t tid) {
  FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/status").c_str(), "r");
  if (!f) return -1;
  char line[256];
  long total = 0;
  while (std::fgets(line, sizeof line, f)) {
    long n = 0;
    if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1 ||
        std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &n) == 1)
      total += n;
  }
  std::fclose(f);
  return total;
}

// An idle program sleeps: timed waits and sleeps do not wake to look at the clock. (Counted in
// context switches, not time; a first run of the clock in this process is still in real time.)
TEST_F(ClockTest, TimedWaitsAndSleepsDoNotWakeBeforeTheirTime) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<pid_t> waiting{0}, sleeping{0};
  HANDLE waiter = Start([&] {
    waiting = Tid();
    return WaitForSingleObject(event, 20000);
  });
  HANDLE sleeper = Start([&] {
    sleeping = Tid();
    Sleep(1500);
    return 0u;
  });
  ASSERT_TRUE(BlockedInWait(waiting));
  ASSERT_TRUE(BlockedInWait(sleeping));
  long waits = ContextSwitches(waiting), sleeps = ContextSwitches(sleeping);
  std::this_thread::sleep_for(milliseconds(700));
  EXPECT_LE(ContextSwitches(waiting) - waits, 1) << "the timed wait woke up before its time";
  EXPECT_LE(ContextSwitches(sleeping) - sleeps, 1) << "the sleep woke up before its time";
  // ...and still ends at its signal and at its deadline.
  SetEvent(event);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiter, 2000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sleeper, 3000));
  CloseHandle(waiter);
  CloseHandle(sleeper);
  CloseHandle(event);
}

TEST_F(ClockTest, FrozenWaitTimesOutExactlyWhenTheClockIsAdvancedPastItsTimeOut) {
  qvplatform::testing::FreezeClock();
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<pid_t> tid{0};
  std::atomic<DWORD> result{0};
  std::atomic<bool> done{false};
  HANDLE waiter = Start([&] {
    tid = Tid();
    result = WaitForSingleObject(event, 30000);
    done = true;
    return 0u;
  });
  ASSERT_TRUE(BlockedInWait(tid));

  qvplatform::testing::AdvanceClock(29999);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(done.load()) << "timed out before 30000 ms had passed on the clock";

  auto before = Real::now();
  qvplatform::testing::AdvanceClock(1);
  RealMsUntil([&] { return done.load(); });
  long took = MsSince(before);
  EXPECT_TRUE(done.load());
  EXPECT_EQ(WAIT_TIMEOUT, result.load());
  EXPECT_LT(took, 500) << "the waiter did not notice the advanced clock promptly";
  if (!done.load()) SetEvent(event);
  WaitForSingleObject(waiter, INFINITE);
  CloseHandle(waiter);
  CloseHandle(event);
}

TEST_F(ClockTest, FrozenClockStillLetsASetEventThrough) {
  qvplatform::testing::FreezeClock();
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "a zero time-out needs no clock movement";
  std::atomic<pid_t> tid{0};
  std::atomic<DWORD> result{0xFFFF};
  HANDLE waiter = Start([&] {
    tid = Tid();
    result = WaitForSingleObject(event, 30000);
    return 0u;
  });
  ASSERT_TRUE(BlockedInWait(tid));
  SetEvent(event);
  EXPECT_LT(RealMsUntil([&] { return result.load() != 0xFFFF; }), 500);
  EXPECT_EQ(WAIT_OBJECT_0, result.load());
  if (result.load() == 0xFFFF) qvplatform::testing::AdvanceClock(30000);
  WaitForSingleObject(waiter, INFINITE);
  CloseHandle(waiter);
  CloseHandle(event);
}

TEST_F(ClockTest, FrozenSleepEndsWhenTheClockIsAdvanced) {
  qvplatform::testing::FreezeClock();
  std::atomic<pid_t> tid{0};
  std::atomic<bool> woke{false};
  HANDLE sleeper = Start([&] {
    tid = Tid();
    Sleep(10000);
    woke = true;
    return 0u;
  });
  ASSERT_TRUE(BlockedInWait(tid));
  qvplatform::testing::AdvanceClock(9000);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(woke.load()) << "Sleep(10000) ended after 9000 ms";
  qvplatform::testing::AdvanceClock(1000);
  EXPECT_LT(RealMsUntil([&] { return woke.load(); }), 500);
  EXPECT_TRUE(woke.load());
  WaitForSingleObject(sleeper, INFINITE);
  CloseHandle(sleeper);
}

TEST_F(ClockTest, FastClockShortensSleepsAndWaits) {
  qvplatform::testing::SetClockSpeed(1000);
  DWORD ticks = GetTickCount();
  auto before = Real::now();
  Sleep(10000);
  EXPECT_LT(MsSince(before), 500);
  EXPECT_GE(GetTickCount() - ticks, 10000u) << "Sleep returned before its time on the clock";

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ticks = GetTickCount();
  before = Real::now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 30000));
  EXPECT_LT(MsSince(before), 500);
  EXPECT_GE(GetTickCount() - ticks, 30000u);
  CloseHandle(event);
}

TEST_F(ClockTest, TickCountFollowsAdvanceAndStandsStillWhenFrozen) {
  qvplatform::testing::FreezeClock();
  DWORD t0 = GetTickCount();
  ULONGLONG t0l = GetTickCount64();
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(t0, GetTickCount());
  EXPECT_EQ(t0l, GetTickCount64());

  qvplatform::testing::AdvanceClock(12345);
  EXPECT_EQ(t0 + 12345u, GetTickCount());
  EXPECT_EQ(t0l + 12345u, GetTickCount64());
  qvplatform::testing::AdvanceClock(30000);
  EXPECT_EQ(t0 + 42345u, GetTickCount());
}

TEST_F(ClockTest, ChangingSpeedNeverMovesTheClockBackOrJumpsIt) {
  ULONGLONG a = GetTickCount64();
  qvplatform::testing::SetClockSpeed(50);
  std::this_thread::sleep_for(milliseconds(10));
  ULONGLONG b = GetTickCount64();
  qvplatform::testing::SetClockSpeed(1);
  ULONGLONG c = GetTickCount64();
  qvplatform::testing::FreezeClock();
  ULONGLONG d = GetTickCount64();
  qvplatform::testing::SetClockSpeed(1);
  ULONGLONG e = GetTickCount64();
  EXPECT_LE(a, b);
  EXPECT_LE(b, c);
  EXPECT_LE(c, d);
  EXPECT_LE(d, e);
  EXPECT_GE(b - a, 400u) << "50 times faster for 10 ms is at least 500 ms on the clock";
  EXPECT_LT(e - a, 5000u);
}

TEST_F(ClockTest, RealTimeByDefault) {
  // Before any test hook is used the clock runs with real time.
  DWORD t0 = GetTickCount();
  auto before = Real::now();
  Sleep(30);
  long took = MsSince(before);
  EXPECT_GE(took, 30);
  EXPECT_LT(took, 1000);
  EXPECT_GE(GetTickCount() - t0, 29u);
  EXPECT_NE(0u, t0) << "the tick count counts from boot, not from the start of the process";
}

}  // namespace
