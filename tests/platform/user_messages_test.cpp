// Message queues: posting, cross-thread sending, retrieval order, quitting, timers.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/testing.h"
#include "platform/win32.h"
#include "support/WindowFixture.h"

using qvtest::PumpPending;
using qvtest::PumpUntil;
using qvtest::RecordingWindows;

namespace {

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;

TEST(UserMessages, PostedMessagesKeepTheirOrderAndQuitEndsGetMessageWithItsCode) {
  RecordingWindows windows;
  HWND w = windows.Create();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(PostMessageW(w, kPing, i, 0));
  PostQuitMessage(42);
  MSG msg;
  int expected = 0;
  while (GetMessageW(&msg, nullptr, 0, 0)) {
    ASSERT_EQ(msg.message, kPing);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(expected++));
    DispatchMessageW(&msg);
  }
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 42u);
  EXPECT_EQ(expected, 100);
  EXPECT_EQ(windows.Count(w, kPing), 100);
}

TEST(UserMessages, PostsFromManyThreadsArriveInEachThreadsOrder) {
  RecordingWindows windows;
  HWND w = windows.Create();
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([=] {
      for (int i = 0; i < kEach; ++i) PostMessageW(w, kPing, static_cast<WPARAM>(t), i);
    });
  for (auto& s : senders) s.join();
  std::vector<LPARAM> last(kThreads, -1);
  MSG msg;
  int seen = 0;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message != kPing) continue;
    ASSERT_EQ(msg.lParam, last[msg.wParam] + 1) << "posts from one thread overtook each other";
    last[msg.wParam] = msg.lParam;
    ++seen;
  }
  EXPECT_EQ(seen, kThreads * kEach);
}

TEST(UserMessages, CrossThreadSendRunsOnTheWindowsThreadAndReturnsItsResult) {
  RecordingWindows windows;
  windows.OnMessage([](HWND, UINT m, WPARAM wp, LPARAM, bool& handled) -> LRESULT {
    handled = m == kPing;
    return static_cast<LRESULT>(wp * 2);
  });
  HWND w = windows.Create();
  DWORD uiThread = GetCurrentThreadId();
  std::atomic<LRESULT> result{0};
  std::atomic<bool> done{false};
  std::thread worker([&] {
    result = SendMessageW(w, kPing, 21, 0);
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(result.load(), 42);
  for (const auto& r : windows.All()) {
    if (r.message == kPing) { EXPECT_EQ(r.threadId, uiThread); }
  }
}

TEST(UserMessages, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  RecordingWindows windows;
  HWND uiWindow = windows.Create();
  std::atomic<HWND> workerWindow{nullptr};
  std::atomic<bool> workerDone{false};
  // The UI window's handler sends to the worker's window while the worker waits in its own send.
  windows.OnMessage([&](HWND hwnd, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
    if (m == kPing && hwnd == uiWindow) {
      handled = true;
      return SendMessageW(workerWindow.load(), kPong, 0, 0) + 1;
    }
    if (m == kPong) {
      handled = true;
      return 100;
    }
    return 0;
  });
  std::atomic<LRESULT> workerResult{0};
  std::thread worker([&] {
    workerWindow = windows.Create();
    workerResult = SendMessageW(uiWindow, kPing, 0, 0);
    DestroyWindow(workerWindow.load());
    workerDone = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return workerDone.load(); }));
  worker.join();
  EXPECT_EQ(workerResult.load(), 101);
}

TEST(UserMessages, SendToADestroyedWindowReturnsZeroAtOnce) {
  RecordingWindows windows;
  HWND w = windows.Create();
  ASSERT_TRUE(DestroyWindow(w));
  EXPECT_EQ(SendMessageW(w, kPing, 1, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  std::atomic<LRESULT> r{-1};
  std::thread([&] { r = SendMessageW(w, kPing, 1, 2); }).join();
  EXPECT_EQ(r.load(), 0);
}

TEST(UserMessages, SendToAThreadThatEndsWithoutAnsweringReturnsZero) {
  RecordingWindows windows;
  std::atomic<HWND> w{nullptr};
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread owner([&] {
    w = windows.Create();
    SetEvent(ready);
    WaitForSingleObject(finish, INFINITE);  // never pumps: the send stays pending
  });
  WaitForSingleObject(ready, INFINITE);
  std::thread ender([&] {
    Sleep(20);
    SetEvent(finish);
  });
  EXPECT_EQ(SendMessageW(w.load(), kPing, 0, 0), 0);
  owner.join();
  ender.join();
  EXPECT_FALSE(IsWindow(w.load())) << "a thread's windows end with it";
  CloseHandle(ready);
  CloseHandle(finish);
}

TEST(UserMessages, PostToAWindowThatIsGoneFailsAndQueuedMessagesAreDropped) {
  RecordingWindows windows;
  HWND w = windows.Create();
  ASSERT_TRUE(PostMessageW(w, kPing, 1, 0));
  ASSERT_TRUE(DestroyWindow(w));
  EXPECT_FALSE(PostMessageW(w, kPing, 2, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  windows.Clear();
  PumpPending();
  EXPECT_EQ(windows.Count(w, kPing), 0);
  // A window made since, in the same slot, does not receive the old window's messages.
  HWND again = windows.Create();
  EXPECT_NE(again, w);
  EXPECT_FALSE(PostMessageW(w, kPing, 3, 0));
}

TEST(UserMessages, ThreadMessagesReachTheThreadAndUnknownThreadsFail) {
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make sure this thread has a queue
  std::thread([tid = GetCurrentThreadId()] { EXPECT_TRUE(PostThreadMessageW(tid, kPing, 7, 8)); }).join();
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.message, kPing);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_FALSE(PostThreadMessageW(0xFFFFFFF0u, kPing, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST(UserMessages, PeekHonoursFiltersAndNoRemove) {
  RecordingWindows windows;
  HWND a = windows.Create();
  HWND b = windows.Create();
  PostMessageW(a, kPing, 1, 0);
  PostMessageW(b, kPong, 2, 0);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, b, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, kPong);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, kPong, kPong, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, b);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, a);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, kPing, kPong, PM_REMOVE));
}

TEST(UserMessages, PaintAndTimerComeOnlyWhenNothingIsPosted) {
  qvplatform::testing::FreezeClock();
  RecordingWindows windows;
  HWND w = windows.Create(WS_POPUP | WS_VISIBLE);
  PumpPending();  // the first paint
  InvalidateRect(w, nullptr, FALSE);
  SetTimer(w, 5, 100, nullptr);
  qvplatform::testing::AdvanceClock(100);
  PostMessageW(w, kPing, 0, 0);
  MSG msg;
  std::vector<UINT> order;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    order.push_back(msg.message);
    DispatchMessageW(&msg);  // the default procedure validates on WM_PAINT
  }
  EXPECT_EQ(order, (std::vector<UINT>{kPing, WM_PAINT, WM_TIMER}));
}

TEST(UserMessages, TimersFollowTheLayersClock) {
  qvplatform::testing::FreezeClock();
  RecordingWindows windows;
  HWND w = windows.Create();
  ASSERT_NE(SetTimer(w, 1, 10000, nullptr), 0u);
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_TIMER), 0);
  qvplatform::testing::AdvanceClock(9999);
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_TIMER), 0);
  qvplatform::testing::AdvanceClock(1);
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_TIMER), 1);
  // Many periods passed while nobody pumped still give one WM_TIMER.
  qvplatform::testing::AdvanceClock(50000);
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_TIMER), 2);
  ASSERT_TRUE(KillTimer(w, 1));
  EXPECT_FALSE(KillTimer(w, 1));
  qvplatform::testing::AdvanceClock(20000);
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_TIMER), 2);
}

TEST(UserMessages, GetMessageWakesForATimerUnderAFastClock) {
  qvplatform::testing::SetClockSpeed(1000);
  RecordingWindows windows;
  HWND w = windows.Create();
  SetTimer(w, 9, 10000, nullptr);
  MSG msg;
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));  // 10 s of layer time, 10 ms real
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
  EXPECT_EQ(msg.wParam, 9u);
}

void CALLBACK CountingTimerProc(HWND, UINT, UINT_PTR, DWORD);
std::atomic<int> g_timerProcCalls{0};
void CALLBACK CountingTimerProc(HWND, UINT message, UINT_PTR, DWORD) {
  if (message == WM_TIMER) ++g_timerProcCalls;
}

TEST(UserMessages, ThreadTimersCallTheirProcedureThroughDispatch) {
  qvplatform::testing::FreezeClock();
  UINT_PTR id = SetTimer(nullptr, 0, 50, &CountingTimerProc);
  ASSERT_NE(id, 0u);
  qvplatform::testing::AdvanceClock(50);
  PumpPending();
  EXPECT_EQ(g_timerProcCalls.load(), 1);
  // A forged WM_TIMER naming an unregistered procedure is not called.
  MSG forged{nullptr, WM_TIMER, 12345, reinterpret_cast<LPARAM>(&CountingTimerProc), 0, {0, 0}};
  DispatchMessageW(&forged);
  EXPECT_EQ(g_timerProcCalls.load(), 1);
  EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST(UserMessages, TranslateMessageTurnsKeysIntoCharacters) {
  RecordingWindows windows;
  HWND w = windows.Create();
  MSG down{w, WM_KEYDOWN, 'Q', 0, 0, {0, 0}};
  EXPECT_TRUE(TranslateMessage(&down));
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_CHAR));
  EXPECT_EQ(msg.wParam, static_cast<WPARAM>(u'q'));
  MSG notKey{w, kPing, 0, 0, 0, {0, 0}};
  EXPECT_FALSE(TranslateMessage(&notKey));
}

}  // namespace

namespace {

TEST(UserMessages, InvalidatingFromAnotherThreadWhileTheOwnerPumpsNeverDeadlocks) {
  RecordingWindows windows;
  HWND w = windows.Create();
  std::atomic<bool> stop{false};
  std::thread invalidator([&] {
    while (!stop) InvalidateRect(w, nullptr, FALSE);
  });
  // The owner keeps window messages queued while it pumps; the watchdog ends a deadlock.
  for (int round = 0; round < 3000; ++round) {
    PostMessageW(w, kPing, 0, 0);
    PumpPending();
  }
  stop = true;
  invalidator.join();
  EXPECT_EQ(windows.Count(w, kPing), 3000);
}

TEST(UserMessages, GetMessageWithAFilterSleepsWhileAnUnmatchedTimerIsDue) {
  RecordingWindows windows;
  HWND w = windows.Create();
  SetTimer(nullptr, 0, 10, nullptr);  // a thread timer: the window filter below never takes it
  std::thread poster([w] {
    Sleep(300);
    PostMessageW(w, kPing, 0, 0);
  });
  timespec before{}, after{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
  MSG msg;
  ASSERT_TRUE(GetMessageW(&msg, w, 0, 0));
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
  poster.join();
  EXPECT_EQ(msg.message, kPing);
  double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
  EXPECT_LT(cpuMs, 100.0) << "the wait spun instead of sleeping";
}

}  // namespace
