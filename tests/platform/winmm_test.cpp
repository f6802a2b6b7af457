// Multimedia timers on the layer's clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/testing.h"
#include "platform/win32.h"

namespace {

using namespace std::chrono_literals;

// Polls in real time; the bound only turns a broken timer into a failure instead of a hang.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

void CALLBACK SetFlag(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  reinterpret_cast<std::atomic<bool>*>(user)->store(true);
}

// Runs a 1 ms one-shot through the timer thread and waits for it. Everything that thread did
// before (earlier callbacks and their clean-up) is then finished. Under a frozen clock the clock is
// moved by that millisecond.
void DrainTimerThread(bool frozen) {
  std::atomic<bool> done{false};
  ASSERT_NE(0u, timeSetEvent(1, 0, SetFlag, reinterpret_cast<DWORD_PTR>(&done), TIME_ONESHOT));
  if (frozen) qvplatform::testing::AdvanceClock(1);
  ASSERT_TRUE(WaitFor([&] { return done.load(); })) << "the timer thread did not run a 1 ms timer";
}

// Puts the clock back to real speed when a test that froze or sped it up ends.
struct ClockRestorer {
  ~ClockRestorer() { qvplatform::testing::SetClockSpeed(1); }
};

struct Call {
  std::atomic<int> count{0};
  std::atomic<UINT> id{0};
  std::atomic<UINT> msg{99};
  std::atomic<DWORD_PTR> dw1{99}, dw2{99};
  std::atomic<DWORD> at{0};
};

void CALLBACK Record(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2) {
  auto* call = reinterpret_cast<Call*>(user);
  call->id = id;
  call->msg = msg;
  call->dw1 = dw1;
  call->dw2 = dw2;
  call->at = timeGetTime();
  ++call->count;
}

TEST(TimeSetEvent, OneShotOf30SecondsFiresOnTimeUnderAFrozenClock) {
  ClockRestorer restorer;
  qvplatform::testing::FreezeClock();
  Call call, marker;
  UINT id = timeSetEvent(30000, 0, Record, reinterpret_cast<DWORD_PTR>(&call), TIME_ONESHOT | TIME_KILL_SYNCHRONOUS);
  UINT markerId = timeSetEvent(29999, 0, Record, reinterpret_cast<DWORD_PTR>(&marker), TIME_ONESHOT);
  ASSERT_NE(0u, id);
  ASSERT_NE(0u, markerId);
  DWORD start = timeGetTime();

  qvplatform::testing::AdvanceClock(29999);
  ASSERT_TRUE(WaitFor([&] { return marker.count == 1; }));
  EXPECT_EQ(0, call.count) << "fired a millisecond early";

  qvplatform::testing::AdvanceClock(1);
  ASSERT_TRUE(WaitFor([&] { return call.count == 1; }));
  EXPECT_EQ(id, call.id.load());
  EXPECT_EQ(0u, call.msg.load());
  EXPECT_EQ(0u, call.dw1.load());
  EXPECT_EQ(0u, call.dw2.load());
  EXPECT_EQ(start + 30000, call.at.load());

  // Fired one-shots are freed: their id is no longer valid.
  DrainTimerThread(true);
  EXPECT_EQ(1, call.count);
  EXPECT_EQ(static_cast<MMRESULT>(MMSYSERR_INVALPARAM), timeKillEvent(id));
}

TEST(TimeSetEvent, OneShotOf30SecondsFiresQuicklyUnderAFastClock) {
  ClockRestorer restorer;
  qvplatform::testing::SetClockSpeed(1000);
  Call call;
  DWORD start = timeGetTime();
  auto realStart = std::chrono::steady_clock::now();
  ASSERT_NE(0u, timeSetEvent(30000, 0, Record, reinterpret_cast<DWORD_PTR>(&call), TIME_ONESHOT));
  ASSERT_TRUE(WaitFor([&] { return call.count == 1; }));
  EXPECT_GE(call.at.load() - start, 30000u);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, 10s);
}

TEST(TimeSetEvent, PeriodicTimerKeepsItsPeriod) {
  ClockRestorer restorer;
  qvplatform::testing::FreezeClock();
  Call call;
  UINT id = timeSetEvent(100, 0, Record, reinterpret_cast<DWORD_PTR>(&call), TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(0u, id);
  DWORD start = timeGetTime();
  for (int i = 1; i <= 5; ++i) {
    qvplatform::testing::AdvanceClock(100);
    ASSERT_TRUE(WaitFor([&] { return call.count == i; })) << "tick " << i;
    EXPECT_EQ(start + 100u * static_cast<DWORD>(i), call.at.load());
  }
  // Nothing more until the next period is due.
  qvplatform::testing::AdvanceClock(50);
  DrainTimerThread(true);
  EXPECT_EQ(5, call.count);
  qvplatform::testing::AdvanceClock(49);
  ASSERT_TRUE(WaitFor([&] { return call.count == 6; }));

  // A jump over many periods gives one tick, not a burst, and the timer stays on its grid.
  qvplatform::testing::AdvanceClock(1000);
  ASSERT_TRUE(WaitFor([&] { return call.count == 7; }));
  DrainTimerThread(true);
  EXPECT_EQ(7, call.count);
  EXPECT_EQ(TIMERR_NOERROR, timeKillEvent(id));
}

TEST(TimeSetEvent, RejectsBadDelaysFlagsAndCallbacks) {
  std::atomic<bool> flag{false};
  auto user = reinterpret_cast<DWORD_PTR>(&flag);
  EXPECT_EQ(0u, timeSetEvent(0, 0, SetFlag, user, TIME_ONESHOT));
  EXPECT_EQ(0u, timeSetEvent(1000001, 0, SetFlag, user, TIME_ONESHOT));
  EXPECT_EQ(0u, timeSetEvent(10, 0, nullptr, user, TIME_ONESHOT));
  EXPECT_EQ(0u, timeSetEvent(10, 0, SetFlag, user, TIME_CALLBACK_EVENT_SET | TIME_CALLBACK_EVENT_PULSE));
  EXPECT_EQ(0u, timeSetEvent(10, 0, SetFlag, user, 0x8));
  UINT longest = timeSetEvent(1000000, 0, SetFlag, user, TIME_ONESHOT);
  EXPECT_NE(0u, longest);
  EXPECT_EQ(TIMERR_NOERROR, timeKillEvent(longest));
  EXPECT_FALSE(flag);
}

TEST(TimeKillEvent, UnknownAndAlreadyKilledIdsAreInvalid) {
  std::atomic<bool> flag{false};
  EXPECT_EQ(static_cast<MMRESULT>(MMSYSERR_INVALPARAM), timeKillEvent(0));
  EXPECT_EQ(static_cast<MMRESULT>(MMSYSERR_INVALPARAM), timeKillEvent(123456));
  UINT id = timeSetEvent(50000, 0, SetFlag, reinterpret_cast<DWORD_PTR>(&flag), TIME_ONESHOT);
  ASSERT_NE(0u, id);
  EXPECT_EQ(TIMERR_NOERROR, timeKillEvent(id));
  EXPECT_EQ(static_cast<MMRESULT>(MMSYSERR_INVALPARAM), timeKillEvent(id));
}

TEST(TimeSetEvent, IdsAreNonzeroAndDistinct) {
  std::atomic<bool> flag{false};
  std::set<UINT> ids;
  for (int i = 0; i < 200; ++i) {
    UINT id = timeSetEvent(100000, 0, SetFlag, reinterpret_cast<DWORD_PTR>(&flag), TIME_ONESHOT);
    ASSERT_NE(0u, id);
    ids.insert(id);
  }
  EXPECT_EQ(200u, ids.size());
  for (UINT id : ids) EXPECT_EQ(TIMERR_NOERROR, timeKillEvent(id));
  // A killed id is not handed out again right away.
  UINT fresh = timeSetEvent(100000, 0, SetFlag, reinterpret_cast<DWORD_PTR>(&flag), TIME_ONESHOT);
  EXPECT_EQ(0u, ids.count(fresh));
  timeKillEvent(fresh);
}

// A callback that holds the timer thread until the test opens the gate.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool entered = false;
  bool open = false;
  std::atomic<bool> finished{false};
};

void CALLBACK HoldAtGate(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto* gate = reinterpret_cast<Gate*>(user);
  std::unique_lock<std::mutex> lock(gate->mutex);
  if (gate->entered) return;  // only the first call holds
  gate->entered = true;
  gate->cv.notify_all();
  gate->cv.wait(lock, [&] { return gate->open; });
  gate->finished = true;
}

void EnterGate(Gate& gate) {
  std::unique_lock<std::mutex> lock(gate.mutex);
  ASSERT_TRUE(gate.cv.wait_for(lock, 5s, [&] { return gate.entered; }));
}

void OpenGate(Gate& gate) {
  std::lock_guard<std::mutex> lock(gate.mutex);
  gate.open = true;
  gate.cv.notify_all();
}

TEST(TimeKillEvent, SynchronousKillWaitsForTheRunningCallback) {
  Gate gate;
  UINT id = timeSetEvent(1, 0, HoldAtGate, reinterpret_cast<DWORD_PTR>(&gate), TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(0u, id);
  EnterGate(gate);
  auto kill = std::async(std::launch::async, [&] {
    MMRESULT r = timeKillEvent(id);
    EXPECT_TRUE(gate.finished) << "returned while the callback was still running";
    return r;
  });
  EXPECT_EQ(std::future_status::timeout, kill.wait_for(50ms));
  OpenGate(gate);
  ASSERT_EQ(std::future_status::ready, kill.wait_for(5s));
  EXPECT_EQ(TIMERR_NOERROR, kill.get());
}

TEST(TimeKillEvent, PlainKillReturnsAtOnceButStopsFurtherCalls) {
  Gate gate;
  UINT id = timeSetEvent(1, 0, HoldAtGate, reinterpret_cast<DWORD_PTR>(&gate), TIME_PERIODIC);
  ASSERT_NE(0u, id);
  EnterGate(gate);
  EXPECT_EQ(TIMERR_NOERROR, timeKillEvent(id));
  EXPECT_FALSE(gate.finished);
  OpenGate(gate);
  DrainTimerThread(false);
  EXPECT_TRUE(gate.finished);
}

struct Busy {
  std::atomic<bool> inside{false};
  std::atomic<int> calls{0};
};

void CALLBACK BusyCallback(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto* busy = reinterpret_cast<Busy*>(user);
  busy->inside = true;
  auto until = std::chrono::steady_clock::now() + 100us;
  while (std::chrono::steady_clock::now() < until) {
  }
  ++busy->calls;
  busy->inside = false;
}

TEST(TimeKillEvent, NoCallbackAfterSynchronousKillUnderStress) {
  constexpr size_t kTimers = 8;
  for (int round = 0; round < 40; ++round) {
    std::vector<Busy> busy(kTimers);
    std::vector<UINT> ids;
    for (auto& b : busy)
      ids.push_back(timeSetEvent(1, 0, BusyCallback, reinterpret_cast<DWORD_PTR>(&b), TIME_PERIODIC | TIME_KILL_SYNCHRONOUS));
    for (UINT id : ids) ASSERT_NE(0u, id);
    // Kill first whichever timer is inside its callback right now, then the rest.
    size_t first = kTimers;
    ASSERT_TRUE(WaitFor([&] {
      for (size_t i = 0; i < kTimers; ++i)
        if (busy[i].inside) first = i;
      return first < kTimers;
    }));
    std::vector<int> after(kTimers);
    for (size_t n = 0; n < kTimers; ++n) {
      size_t i = (first + n) % kTimers;
      ASSERT_EQ(TIMERR_NOERROR, timeKillEvent(ids[i]));
      EXPECT_FALSE(busy[i].inside) << "round " << round << " timer " << i;
      after[i] = busy[i].calls;
    }
    DrainTimerThread(false);
    for (size_t i = 0; i < kTimers; ++i) ASSERT_EQ(after[i], busy[i].calls) << "round " << round << " timer " << i;
  }
}

struct SelfKill {
  std::atomic<UINT> id{0};
  std::atomic<UINT> other{0};
  std::atomic<int> calls{0};
  std::atomic<MMRESULT> selfResult{99}, otherResult{99};
};

void CALLBACK KillOnThirdCall(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto* s = reinterpret_cast<SelfKill*>(user);
  if (++s->calls == 3) {
    s->otherResult = timeKillEvent(s->other);
    s->selfResult = timeKillEvent(id);
  }
}

TEST(TimeKillEvent, CallbackMayKillItselfAndOthersWithoutDeadlock) {
  SelfKill s;
  std::atomic<bool> otherFired{false};
  s.other = timeSetEvent(1000000, 0, SetFlag, reinterpret_cast<DWORD_PTR>(&otherFired), TIME_ONESHOT | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(0u, s.other.load());
  s.id = timeSetEvent(2, 0, KillOnThirdCall, reinterpret_cast<DWORD_PTR>(&s), TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(0u, s.id.load());
  ASSERT_TRUE(WaitFor([&] { return s.selfResult != 99u; }));
  EXPECT_EQ(TIMERR_NOERROR, s.selfResult.load());
  EXPECT_EQ(TIMERR_NOERROR, s.otherResult.load());
  DrainTimerThread(false);
  EXPECT_EQ(3, s.calls);
  EXPECT_EQ(static_cast<MMRESULT>(MMSYSERR_INVALPARAM), timeKillEvent(s.id));
  EXPECT_EQ(static_cast<MMRESULT>(MMSYSERR_INVALPARAM), timeKillEvent(s.other));
}

TEST(TimeSetEvent, EventCallbacksSetOrPulseTheHandle) {
  HANDLE autoEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE setEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE pulseEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(autoEvent && setEvent && pulseEvent);

  ASSERT_NE(0u, timeSetEvent(3, 0, reinterpret_cast<LPTIMECALLBACK>(autoEvent), 0, TIME_ONESHOT | TIME_CALLBACK_EVENT_SET));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoEvent, 5000));

  ASSERT_NE(0u, timeSetEvent(1, 0, reinterpret_cast<LPTIMECALLBACK>(setEvent), 0, TIME_ONESHOT | TIME_CALLBACK_EVENT_SET));
  ASSERT_NE(0u, timeSetEvent(1, 0, reinterpret_cast<LPTIMECALLBACK>(pulseEvent), 0, TIME_ONESHOT | TIME_CALLBACK_EVENT_PULSE));
  DrainTimerThread(false);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(setEvent, 0));   // stays set
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(pulseEvent, 0));  // a pulse leaves it reset

  CloseHandle(autoEvent);
  CloseHandle(setEvent);
  CloseHandle(pulseEvent);
}

}  // namespace

// The timer thread sleeps until its next deadline and is woken only for a timer due before it.
TEST(TimeSetEvent, AShorterTimerSetWhileTheThreadSleepsForALongerOneFiresOnTime) {
  DrainTimerThread(false);
  Call longer, shorter;
  UINT a = timeSetEvent(60000, 0, Record, reinterpret_cast<DWORD_PTR>(&longer), TIME_ONESHOT);
  ASSERT_NE(0u, a);
  std::this_thread::sleep_for(20ms);  // asleep until the minute is up
  DWORD start = timeGetTime();
  ASSERT_NE(0u, timeSetEvent(5, 0, Record, reinterpret_cast<DWORD_PTR>(&shorter), TIME_ONESHOT));
  ASSERT_TRUE(WaitFor([&] { return shorter.count == 1; }, 2000ms)) << "the thread slept on";
  EXPECT_GE(shorter.at.load() - start, 5u);
  EXPECT_EQ(TIMERR_NOERROR, timeKillEvent(a));
  EXPECT_EQ(0, longer.count);
}
