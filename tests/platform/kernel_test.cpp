// Kernel objects of one process: the handle table, events, mutexes, threads and waits.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing.h"
#include "platform/win32.h"
#include "support/KernelHelpers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kBound = 5000;  // ms; only reached when the behaviour under test is broken

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ns_.Ok()); }
  qvtest::PrivateNamespace ns_;
};

using qvtest::BlockedInWait;
using qvtest::Tid;

HANDLE Start(std::function<DWORD()> body, DWORD flags = 0, DWORD* id = nullptr) {
  return qvtest::StartThread(std::move(body), flags, id);
}
DWORD Join(HANDLE thread) { return qvtest::JoinThread(thread); }

// Expects `call` to fail with ERROR_INVALID_HANDLE and nothing else.
#define EXPECT_INVALID_HANDLE(call)              \
  do {                                           \
    SetLastError(0);                             \
    EXPECT_FALSE(call) << #call;                 \
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError()) << #call; \
  } while (0)

// ---------------------------------------------------------------------------------------------
// Handles

TEST_F(KernelTest, CloseHandleTwiceFailsWithInvalidHandle) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, e);
  EXPECT_TRUE(CloseHandle(e));
  EXPECT_INVALID_HANDLE(CloseHandle(e));
}

TEST_F(KernelTest, ClosedHandleNeverReachesTheObjectThatReusedItsSlot) {
  HANDLE stale = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, stale);
  ASSERT_TRUE(CloseHandle(stale));
  // Churn the table so the freed slot is handed out again, possibly many times.
  std::vector<HANDLE> fresh;
  for (int i = 0; i < 64; ++i) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, h);
    EXPECT_NE(stale, h);
    fresh.push_back(h);
  }
  EXPECT_INVALID_HANDLE(SetEvent(stale));
  EXPECT_INVALID_HANDLE(ResetEvent(stale));
  SetLastError(0);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(stale, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_INVALID_HANDLE(CloseHandle(stale));
  for (HANDLE h : fresh) {
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0)) << "a stale handle signalled a new event";
    EXPECT_TRUE(CloseHandle(h)) << "a stale handle closed a new event";
  }
}

TEST_F(KernelTest, ClosedHandleFailsAfterEveryKindOfReuse) {
  for (int round = 0; round < 200; ++round) {
    HANDLE old = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(old));
    HANDLE reused = round % 2 ? CreateMutexW(nullptr, FALSE, nullptr) : CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, reused);
    EXPECT_INVALID_HANDLE(SetEvent(old));
    if (round % 2 == 0) {
      EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(reused, 0)) << "round " << round;
    }
    ASSERT_TRUE(CloseHandle(reused));
  }
}

TEST_F(KernelTest, GarbageHandleValuesFailCleanly) {
  const HANDLE garbage[] = {
      nullptr,
      reinterpret_cast<HANDLE>(1),
      reinterpret_cast<HANDLE>(3),
      reinterpret_cast<HANDLE>(4),  // looks like the first slot, but with no generation
      reinterpret_cast<HANDLE>(0x12345678),
      reinterpret_cast<HANDLE>(0x7ffc0000),
      reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xdeadbeef00000010ull)),
      reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x0000000100000004ull)),
  };
  for (HANDLE h : garbage) {
    SCOPED_TRACE(reinterpret_cast<uintptr_t>(h));
    EXPECT_INVALID_HANDLE(SetEvent(h));
    EXPECT_INVALID_HANDLE(ResetEvent(h));
    EXPECT_INVALID_HANDLE(ReleaseMutex(h));
    EXPECT_INVALID_HANDLE(CloseHandle(h));
    DWORD code = 0;
    EXPECT_INVALID_HANDLE(GetExitCodeThread(h, &code));
    SetLastError(0);
    EXPECT_EQ(static_cast<DWORD>(-1), ResumeThread(h));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  }
  // The pseudo-handle value is no event, mutex or thread of ours either.
  EXPECT_INVALID_HANDLE(SetEvent(INVALID_HANDLE_VALUE));
  EXPECT_INVALID_HANDLE(ResetEvent(INVALID_HANDLE_VALUE));
  EXPECT_INVALID_HANDLE(ReleaseMutex(INVALID_HANDLE_VALUE));
}

TEST_F(KernelTest, HandleOfTheWrongTypeIsRefused) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE thread = Start([event] { return WaitForSingleObject(event, kBound); });
  ASSERT_TRUE(event && mutex && thread);

  EXPECT_INVALID_HANDLE(SetEvent(thread));
  EXPECT_INVALID_HANDLE(SetEvent(mutex));
  EXPECT_INVALID_HANDLE(ResetEvent(mutex));
  EXPECT_INVALID_HANDLE(ReleaseMutex(event));
  EXPECT_INVALID_HANDLE(ReleaseMutex(thread));
  DWORD code = 0;
  EXPECT_INVALID_HANDLE(GetExitCodeThread(event, &code));
  EXPECT_INVALID_HANDLE(GetExitCodeThread(mutex, &code));
  SetLastError(0);
  EXPECT_EQ(static_cast<DWORD>(-1), ResumeThread(event));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  // The refused calls touched nothing: the mutex is still free, the thread still waits.
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0));
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WAIT_OBJECT_0, Join(thread));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(event);
  CloseHandle(mutex);
}

// ---------------------------------------------------------------------------------------------
// Events

TEST_F(KernelTest, InitialStateIsHonoured) {
  HANDLE manualSet = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE autoSet = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  HANDLE manualClear = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE autoClear = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manualSet, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manualSet, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoSet, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoSet, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manualClear, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoClear, 0));
  for (HANDLE h : {manualSet, autoSet, manualClear, autoClear}) CloseHandle(h);
}

TEST_F(KernelTest, AutoResetEventReleasesExactlyOneWaiterPerSet) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> woken{0};
  std::atomic<pid_t> tids[3] = {};
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) {
    threads[i] = Start([&, i] {
      tids[i] = Tid();
      DWORD r = WaitForSingleObject(event, kBound);
      if (r == WAIT_OBJECT_0) ++woken;
      return r;
    });
  }
  for (auto& t : tids) ASSERT_TRUE(BlockedInWait(t));

  for (int expected = 1; expected <= 3; ++expected) {
    ASSERT_TRUE(SetEvent(event));
    auto until = Clock::now() + std::chrono::seconds(5);
    while (woken.load() < expected && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Give any wrongly woken second waiter time to show up.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(expected, woken.load());
  }
  for (HANDLE t : threads) EXPECT_EQ(WAIT_OBJECT_0, Join(t));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "the event stayed set after releasing a waiter";
  CloseHandle(event);
}

TEST_F(KernelTest, AutoResetEventSetTwiceWithoutWaiterReleasesOnce) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  CloseHandle(event);
}

TEST_F(KernelTest, ManualResetEventReleasesAllWaitersAndStaysSetUntilReset) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<pid_t> tids[4] = {};
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) {
    threads[i] = Start([&, i] {
      tids[i] = Tid();
      return WaitForSingleObject(event, kBound);
    });
  }
  for (auto& t : tids) ASSERT_TRUE(BlockedInWait(t));
  ASSERT_TRUE(SetEvent(event));
  for (HANDLE t : threads) EXPECT_EQ(WAIT_OBJECT_0, Join(t));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 10));
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  ASSERT_TRUE(ResetEvent(event));  // resetting a reset event is fine
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  CloseHandle(event);
}

// A wait is satisfied when the event is set; resetting it right after does not take back the
// release of the threads that were already waiting.
TEST_F(KernelTest, ResetRightAfterSetStillReleasesTheThreadsThatWereWaiting) {
  for (BOOL manual : {TRUE, FALSE}) {
    SCOPED_TRACE(manual ? "manual reset" : "auto reset");
    HANDLE event = CreateEventW(nullptr, manual, FALSE, nullptr);
    const int waiters = manual ? 3 : 1;
    std::atomic<pid_t> tids[3] = {};
    std::vector<HANDLE> threads;
    for (int i = 0; i < waiters; ++i) {
      threads.push_back(Start([&, i] {
        tids[i] = Tid();
        return WaitForSingleObject(event, 500);
      }));
    }
    for (int i = 0; i < waiters; ++i) ASSERT_TRUE(BlockedInWait(tids[i]));
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(ResetEvent(event));
    for (HANDLE t : threads) EXPECT_EQ(WAIT_OBJECT_0, Join(t)) << "a waiting thread missed the set";
    CloseHandle(event);
  }
}

TEST_F(KernelTest, PulseReleasesOnlyTheThreadsAsleepAndLeavesTheEventReset) {
  for (BOOL manual : {TRUE, FALSE}) {
    SCOPED_TRACE(manual ? "manual reset" : "auto reset");
    HANDLE event = CreateEventW(nullptr, manual, FALSE, nullptr);
    ASSERT_TRUE(PulseEvent(event));  // nobody waits: nothing is kept for later
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    const int waiters = 2;
    std::atomic<pid_t> tids[waiters] = {};
    std::vector<HANDLE> threads;
    for (int i = 0; i < waiters; ++i) {
      threads.push_back(Start([&, i] {
        tids[i] = Tid();
        return WaitForSingleObject(event, 300);
      }));
    }
    for (int i = 0; i < waiters; ++i) ASSERT_TRUE(BlockedInWait(tids[i]));
    ASSERT_TRUE(PulseEvent(event));
    int released = 0;
    for (HANDLE t : threads) released += Join(t) == WAIT_OBJECT_0;
    EXPECT_EQ(released, manual ? 2 : 1);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    CloseHandle(event);
  }
}

TEST_F(KernelTest, WaitTimesOutOnAnUnsetEvent) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  for (DWORD ms : {1u, 20u, 60u}) {
    auto before = Clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, ms));
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before).count();
    EXPECT_GE(took, static_cast<long long>(ms) * 1000) << "returned before its time-out of " << ms << " ms";
    EXPECT_LT(took, static_cast<long long>(ms + 1000) * 1000);
  }
  CloseHandle(event);
}

TEST_F(KernelTest, InfiniteWaitWakesWhenAnotherThreadSets) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<pid_t> tid{0};
  HANDLE waiter = Start([&] {
    tid = Tid();
    return WaitForSingleObject(event, INFINITE);
  });
  ASSERT_TRUE(BlockedInWait(tid));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(waiter, 0));
  HANDLE setter = Start([event] { return static_cast<DWORD>(SetEvent(event)); });
  EXPECT_EQ(1u, Join(setter));
  DWORD r = WaitForSingleObject(waiter, kBound);
  if (r != WAIT_OBJECT_0) SetEvent(event);  // let the thread go before failing
  EXPECT_EQ(WAIT_OBJECT_0, r);
  EXPECT_EQ(WAIT_OBJECT_0, Join(waiter));
  CloseHandle(event);
}

TEST_F(KernelTest, EventsPingPongWithoutLosingAWakeUp) {
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  constexpr int kRounds = 3000;
  HANDLE other = Start([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (WaitForSingleObject(ping, kBound) != WAIT_OBJECT_0) return 1u;
      SetEvent(pong);
    }
    return 0u;
  });
  int done = 0;
  for (; done < kRounds; ++done) {
    SetEvent(ping);
    if (WaitForSingleObject(pong, kBound) != WAIT_OBJECT_0) break;
  }
  EXPECT_EQ(kRounds, done);
  EXPECT_EQ(0u, Join(other));
  CloseHandle(ping);
  CloseHandle(pong);
}

TEST_F(KernelTest, OpenedWithModifyStateCanSetButNotWait) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"QvTestActivation");
  ASSERT_NE(nullptr, event);
  HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"QvTestActivation");
  ASSERT_NE(nullptr, opened);
  EXPECT_NE(event, opened);

  SetLastError(0);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(opened, 0));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());

  ASSERT_TRUE(SetEvent(opened));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "it keeps its creator's auto-reset";

  ASSERT_TRUE(SetEvent(opened));
  ASSERT_TRUE(ResetEvent(opened));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(KernelTest, OpenedWithFullAccessCanWait) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, u"QvTestFull");
  HANDLE opened = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"QvTestFull");
  ASSERT_TRUE(event && opened);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(opened, 0));
  CloseHandle(opened);
  CloseHandle(event);
}

TEST_F(KernelTest, OpenEventOfAMissingNameFails) {
  SetLastError(0);
  EXPECT_EQ(nullptr, OpenEventW(EVENT_MODIFY_STATE, FALSE, u"QvTestNobodyMadeThis"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(KernelTest, CreateEventOfAnExistingNameReturnsTheSameObject) {
  SetLastError(ERROR_INVALID_PARAMETER);
  HANDLE first = CreateEventW(nullptr, FALSE, FALSE, u"QvTestShared");
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(ERROR_SUCCESS, GetLastError()) << "a new named object clears the last error";

  // The second creator asks for another reset mode and state; the existing object keeps its own.
  HANDLE second = CreateEventW(nullptr, TRUE, TRUE, u"QvTestShared");
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  EXPECT_NE(first, second);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first, 0));

  ASSERT_TRUE(SetEvent(second));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(second, 0));

  // Still there while one handle is open.
  EXPECT_TRUE(CloseHandle(first));
  HANDLE third = CreateEventW(nullptr, FALSE, FALSE, u"QvTestShared");
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  CloseHandle(third);
  CloseHandle(second);
}

TEST_F(KernelTest, NamedEventVanishesWithItsLastHandle) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, u"QvTestShortLived");
  ASSERT_NE(nullptr, event);
  ASSERT_TRUE(CloseHandle(event));

  SetLastError(0);
  EXPECT_EQ(nullptr, OpenEventW(EVENT_ALL_ACCESS, FALSE, u"QvTestShortLived"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());

  HANDLE again = CreateEventW(nullptr, TRUE, FALSE, u"QvTestShortLived");
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(again, 0)) << "the new object inherited the old one's state";
  CloseHandle(again);
}

TEST_F(KernelTest, NameHeldByAMutexIsNoEvent) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"QvTestTaken");
  ASSERT_NE(nullptr, mutex);
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateEventW(nullptr, FALSE, FALSE, u"QvTestTaken"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(0);
  EXPECT_EQ(nullptr, OpenEventW(EVENT_MODIFY_STATE, FALSE, u"QvTestTaken"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"QvTestTakenToo");
  ASSERT_NE(nullptr, event);
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, u"QvTestTakenToo"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  CloseHandle(event);
  CloseHandle(mutex);
}

TEST_F(KernelTest, SessionPrefixNamesTheSameObject) {
  HANDLE plain = CreateEventW(nullptr, FALSE, FALSE, u"QvTestSession");
  HANDLE local = CreateEventW(nullptr, FALSE, FALSE, u"Local\\QvTestSession");
  ASSERT_TRUE(plain && local);
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  ASSERT_TRUE(SetEvent(local));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(plain, 0));
  CloseHandle(local);
  CloseHandle(plain);
}

TEST_F(KernelTest, SessionPrefixedMutexIsTheSameMutexForItsOwner) {
  HANDLE plain = CreateMutexW(nullptr, TRUE, u"QvTestSessionMutex");
  ASSERT_NE(nullptr, plain);
  HANDLE local = CreateMutexW(nullptr, FALSE, u"Local\\QvTestSessionMutex");
  ASSERT_NE(nullptr, local);
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  // One object: its owner takes it again through either name, and releases it through either.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(local, 0)) << "the owner is locked out of its own mutex";
  EXPECT_TRUE(ReleaseMutex(local));
  EXPECT_TRUE(ReleaseMutex(plain));
  CloseHandle(local);
  CloseHandle(plain);
}

TEST_F(KernelTest, NamesAreCaseSensitiveAndMayHoldAnyText) {
  HANDLE a = CreateEventW(nullptr, TRUE, FALSE, u"QvTestCase");
  HANDLE b = CreateEventW(nullptr, TRUE, FALSE, u"qvtestcase");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  HANDLE cjk = CreateEventW(nullptr, TRUE, FALSE, u"Qv直播助手 % / ✓");
  ASSERT_NE(nullptr, cjk);
  HANDLE cjk2 = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"Qv直播助手 % / ✓");
  ASSERT_NE(nullptr, cjk2);
  ASSERT_TRUE(SetEvent(cjk2));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(cjk, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(a, 0));
  for (HANDLE h : {a, b, cjk, cjk2}) CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// Mutexes

TEST_F(KernelTest, AMutexLeftOwnedByAnEndedThreadIsAbandonedToTheNextOwner) {
  for (bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    HANDLE mutex = CreateMutexW(nullptr, FALSE, named ? u"QvAbandoned" : nullptr);
    ASSERT_NE(nullptr, mutex);
    // A thread of the layer and one the layer did not start both count.
    HANDLE thread = Start([&] { return WaitForSingleObject(mutex, 0); });
    ASSERT_EQ(WAIT_OBJECT_0, Join(thread));
    EXPECT_EQ(static_cast<DWORD>(WAIT_ABANDONED), WaitForSingleObject(mutex, 1000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0)) << "recursion on an abandoned mutex";
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    std::thread([&] { EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0)); }).join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_ABANDONED), WaitForSingleObject(mutex, 1000));
    EXPECT_TRUE(ReleaseMutex(mutex));
    // Released properly, it is handed on plainly.
    std::thread([&] {
      EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
      EXPECT_TRUE(ReleaseMutex(mutex));
    }).join();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
  }
}

TEST_F(KernelTest, InitiallyOwnedMutexKeepsOtherThreadsOut) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, u"QvTestInstance");
  ASSERT_NE(nullptr, mutex);
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  HANDLE other = Start([] {
    // A second "start" in this process: it exists, and asking for ownership does not grant it.
    HANDLE h = CreateMutexW(nullptr, TRUE, u"QvTestInstance");
    DWORD created = GetLastError();
    DWORD wait = WaitForSingleObject(h, 0);
    CloseHandle(h);
    return created == ERROR_ALREADY_EXISTS && wait == WAIT_TIMEOUT ? 0u : created * 1000 + wait;
  });
  EXPECT_EQ(0u, Join(other));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0)) << "the owner takes it again";
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(KernelTest, MutexIsRecursiveAndOnlyTheOwnerReleasesIt) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  ASSERT_NE(nullptr, mutex);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, INFINITE));  // owned three times now

  auto tryFromOtherThread = [mutex] {
    return Join(Start([mutex] {
      SetLastError(0);
      BOOL released = ReleaseMutex(mutex);
      DWORD error = GetLastError();
      if (released || error != ERROR_NOT_OWNER) return 0xBADu;
      DWORD r = WaitForSingleObject(mutex, 0);
      if (r == WAIT_OBJECT_0) ReleaseMutex(mutex);
      return r;
    }));
  };
  EXPECT_EQ(WAIT_TIMEOUT, tryFromOtherThread());
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WAIT_TIMEOUT, tryFromOtherThread()) << "freed before the last release";
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WAIT_OBJECT_0, tryFromOtherThread());

  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex)) << "released once more than taken";
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
  EXPECT_EQ(288u, GetLastError());
  CloseHandle(mutex);
}

TEST_F(KernelTest, WaiterInAnotherThreadGetsTheMutexAfterRelease) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, u"QvTestHandOver");
  ASSERT_NE(nullptr, mutex);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> owned{false};
  HANDLE stepDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE letGo = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE waiter = Start([&] {
    tid = Tid();
    DWORD r = WaitForSingleObject(mutex, INFINITE);
    if (r != WAIT_OBJECT_0) return r;
    owned = true;
    SetEvent(stepDone);
    WaitForSingleObject(letGo, kBound);
    owned = false;
    return ReleaseMutex(mutex) ? 0u : 0xBADu;
  });
  ASSERT_TRUE(BlockedInWait(tid));
  EXPECT_FALSE(owned.load());
  ASSERT_TRUE(ReleaseMutex(mutex));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stepDone, kBound));
  EXPECT_TRUE(owned.load());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 0)) << "two owners at once";
  SetEvent(letGo);
  EXPECT_EQ(0u, Join(waiter));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
  EXPECT_TRUE(ReleaseMutex(mutex));
  for (HANDLE h : {mutex, stepDone, letGo}) CloseHandle(h);
}

TEST_F(KernelTest, MutexExcludesUnderContention) {
  for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"QvTestContended"}) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(nullptr, mutex);
    long counter = 0;  // guarded by the mutex alone
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    HANDLE threads[4];
    for (HANDLE& t : threads) {
      t = Start([&] {
        for (int i = 0; i < 500; ++i) {
          if (WaitForSingleObject(mutex, kBound) != WAIT_OBJECT_0) return 1u;
          if (inside.fetch_add(1) != 0) overlap = true;
          long v = counter;
          std::this_thread::yield();
          counter = v + 1;
          inside.fetch_sub(1);
          if (!ReleaseMutex(mutex)) return 2u;
        }
        return 0u;
      });
    }
    for (HANDLE t : threads) EXPECT_EQ(0u, Join(t));
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(2000, counter);
    CloseHandle(mutex);
  }
}

// ---------------------------------------------------------------------------------------------
// Threads

TEST_F(KernelTest, ThreadExitCodeIsStillActiveUntilItEnds) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = Start([go] {
    WaitForSingleObject(go, kBound);
    return 42u;
  });
  ASSERT_NE(nullptr, thread);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(STILL_ACTIVE, code);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 20));

  SetEvent(go);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kBound));
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(42u, code);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "an ended thread stays signalled";
  CloseHandle(thread);
  CloseHandle(go);
}

TEST_F(KernelTest, SeveralWaitersSeeTheThreadEnd) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE worker = Start([go] { return WaitForSingleObject(go, kBound) == WAIT_OBJECT_0 ? 7u : 0u; });
  HANDLE watchers[3];
  for (HANDLE& w : watchers) w = Start([worker] { return WaitForSingleObject(worker, kBound); });
  SetEvent(go);
  for (HANDLE w : watchers) EXPECT_EQ(WAIT_OBJECT_0, Join(w));
  EXPECT_EQ(7u, Join(worker));
  CloseHandle(go);
}

TEST_F(KernelTest, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<int> ran{0};
  HANDLE thread = Start(
      [&ran] {
        ++ran;
        return 5u;
      },
      CREATE_SUSPENDED);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 50));
  EXPECT_EQ(0, ran.load());
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(STILL_ACTIVE, code);

  EXPECT_EQ(1u, ResumeThread(thread)) << "the previous suspend count";
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kBound));
  EXPECT_EQ(1, ran.load());
  EXPECT_EQ(0u, ResumeThread(thread)) << "a running thread has nothing to resume";
  EXPECT_EQ(5u, Join(thread));
}

TEST_F(KernelTest, ThreadIdMatchesTheIdInsideTheThread) {
  std::atomic<DWORD> inside{0};
  DWORD id = 0;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = Start(
      [&inside, go] {
        WaitForSingleObject(go, kBound);
        inside = GetCurrentThreadId();
        return 0u;
      },
      0, &id);
  ASSERT_NE(nullptr, thread);
  EXPECT_NE(0u, id);
  EXPECT_NE(GetCurrentThreadId(), id);
  EXPECT_EQ(id, GetThreadId(thread));
  SetEvent(go);
  EXPECT_EQ(0u, Join(thread));
  EXPECT_EQ(id, inside.load());
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
  CloseHandle(go);
}

TEST_F(KernelTest, ClosingAThreadHandleLetsTheThreadFinish) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = Start([go, done] {
    WaitForSingleObject(go, kBound);
    SetEvent(done);
    return 0u;
  });
  ASSERT_TRUE(CloseHandle(thread));
  EXPECT_INVALID_HANDLE(CloseHandle(thread));
  SetEvent(go);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, kBound));
  CloseHandle(go);
  CloseHandle(done);
}

TEST_F(KernelTest, CreateThreadWithoutStartRoutineFails) {
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(KernelTest, LastErrorBelongsToEachThread) {
  SetLastError(1234);
  HANDLE thread = Start([] {
    DWORD initial = GetLastError();
    SetLastError(99);
    return initial;
  });
  EXPECT_EQ(0u, Join(thread));
  EXPECT_EQ(1234u, GetLastError());
}

}  // namespace
