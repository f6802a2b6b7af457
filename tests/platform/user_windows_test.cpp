// Windows: creation and destruction messages, window data, geometry, z-order, activation.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/testing.h"
#include "platform/win32.h"
#include "support/WindowFixture.h"

using qvtest::PumpPending;
using qvtest::PumpUntil;
using qvtest::RecordingWindows;

namespace {

TEST(UserWindows, CreationSendsWindowsSequenceWithTheCreateStruct) {
  RecordingWindows windows;
  LPVOID seenParam = nullptr;
  windows.OnMessage([&](HWND, UINT m, WPARAM, LPARAM lp, bool&) -> LRESULT {
    if (m == WM_CREATE) seenParam = reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams;
    return 0;
  });
  int cookie = 0;
  HWND w = CreateWindowExW(0, u"QvTestWindow", u"标题", WS_POPUP | WS_VISIBLE, 5, 6, 70, 80, nullptr, nullptr,
                           nullptr, &cookie);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(seenParam, &cookie);
  auto seq = windows.MessagesOf(w, {WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_SIZE, WM_MOVE, WM_SHOWWINDOW});
  EXPECT_EQ(seq, (std::vector<UINT>{WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_SIZE, WM_MOVE, WM_SHOWWINDOW}));
  WCHAR title[16];
  EXPECT_EQ(GetWindowTextW(w, title, 16), 2);
  EXPECT_EQ(std::u16string(title), u"标题");
  EXPECT_TRUE(IsWindowVisible(w));
}

TEST(UserWindows, FailingCreationHandlersGiveNoWindow) {
  RecordingWindows windows;
  UINT refuse = WM_CREATE;
  windows.OnMessage([&](HWND, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
    if (m != refuse) return 0;
    handled = true;
    return m == WM_CREATE ? -1 : FALSE;
  });
  EXPECT_EQ(windows.Create(), nullptr);
  refuse = WM_NCCREATE;
  EXPECT_EQ(windows.Create(), nullptr);
  EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST(UserWindows, DestroyGoesToOwnedWindowsFirstAndEndsWithNcDestroy) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  HWND owned = windows.Create(WS_POPUP, 0, owner);
  HWND child = windows.Create(WS_CHILD, 0, owner, RECT{1, 1, 5, 5});
  windows.Clear();
  ASSERT_TRUE(DestroyWindow(owner));
  std::vector<std::pair<HWND, UINT>> order;
  for (const auto& r : windows.All())
    if (r.message == WM_DESTROY || r.message == WM_NCDESTROY) order.emplace_back(r.hwnd, r.message);
  std::vector<std::pair<HWND, UINT>> expected{{owned, WM_DESTROY}, {owned, WM_NCDESTROY}, {owner, WM_DESTROY},
                                              {child, WM_DESTROY}, {child, WM_NCDESTROY}, {owner, WM_NCDESTROY}};
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(IsWindow(owner));
  EXPECT_FALSE(IsWindow(owned));
  EXPECT_FALSE(IsWindow(child));
}

TEST(UserWindows, DestroyFromAnotherThreadIsRefused) {
  RecordingWindows windows;
  HWND w = windows.Create();
  std::thread([&] {
    EXPECT_FALSE(DestroyWindow(w));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }).join();
  EXPECT_TRUE(IsWindow(w));
}

TEST(UserWindows, CloseDestroysThroughTheDefaultProcedure) {
  RecordingWindows windows;
  HWND w = windows.Create();
  SendMessageW(w, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_EQ(windows.Count(w, WM_DESTROY), 1);
}

TEST(UserWindows, WindowDataAndStyles) {
  RecordingWindows windows;
  HWND w = windows.Create(WS_POPUP, WS_EX_TOOLWINDOW);
  EXPECT_EQ(SetWindowLongPtrW(w, GWLP_USERDATA, 1234), 0);
  EXPECT_EQ(GetWindowLongPtrW(w, GWLP_USERDATA), 1234);
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(w, GWL_STYLE)) & WS_POPUP, static_cast<DWORD>(WS_POPUP));
  windows.Clear();
  LONG_PTR old = SetWindowLongPtrW(w, GWL_EXSTYLE, WS_EX_TOOLWINDOW | WS_EX_LAYERED);
  EXPECT_EQ(old, WS_EX_TOOLWINDOW);
  EXPECT_EQ(windows.MessagesOf(w, {WM_STYLECHANGING, WM_STYLECHANGED}),
            (std::vector<UINT>{WM_STYLECHANGING, WM_STYLECHANGED}));
  EXPECT_TRUE(SetLayeredWindowAttributes(w, RGB(1, 2, 3), 200, LWA_ALPHA | LWA_COLORKEY));
  COLORREF key;
  BYTE alpha;
  DWORD flags;
  ASSERT_TRUE(GetLayeredWindowAttributes(w, &key, &alpha, &flags));
  EXPECT_EQ(key, RGB(1, 2, 3));
  EXPECT_EQ(alpha, 200);
  EXPECT_EQ(GetWindowLongPtrW(w, 12345), 0);
  EXPECT_EQ(GetWindowLongPtrW(reinterpret_cast<HWND>(0x70), GWL_STYLE), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(UserWindows, GeometryOfCaptionedAndPopupWindows) {
  RecordingWindows windows;
  HWND popup = windows.Create(WS_POPUP, 0, nullptr, RECT{100, 200, 300, 260});
  RECT r;
  ASSERT_TRUE(GetWindowRect(popup, &r));
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(r.bottom, 260);
  ASSERT_TRUE(GetClientRect(popup, &r));
  EXPECT_EQ(r.right, 200);
  EXPECT_EQ(r.bottom, 60);
  POINT p{5, 7};
  ClientToScreen(popup, &p);
  EXPECT_EQ(p.x, 105);
  EXPECT_EQ(p.y, 207);
  ScreenToClient(popup, &p);
  EXPECT_EQ(p.x, 5);

  HWND framed = windows.Create(WS_OVERLAPPEDWINDOW, 0, nullptr, RECT{0, 0, 400, 300});
  ASSERT_TRUE(GetClientRect(framed, &r));
  EXPECT_EQ(r.right, 400 - 2 * 8);
  EXPECT_EQ(r.bottom, 300 - 2 * 8 - GetSystemMetrics(SM_CYCAPTION));

  HWND child = windows.Create(WS_CHILD | WS_VISIBLE, 0, popup, RECT{10, 10, 30, 20});
  ASSERT_TRUE(GetWindowRect(child, &r));
  EXPECT_EQ(r.left, 110);
  EXPECT_EQ(r.top, 210);
}

TEST(UserWindows, MovingAndSizingSendPositionMessages) {
  RecordingWindows windows;
  HWND w = windows.Create();
  windows.Clear();
  ASSERT_TRUE(MoveWindow(w, 50, 60, 120, 90, TRUE));
  auto seq = windows.MessagesOf(w, {WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED, WM_MOVE, WM_SIZE});
  EXPECT_EQ(seq, (std::vector<UINT>{WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED, WM_MOVE, WM_SIZE}));
  for (const auto& r : windows.All())
    if (r.message == WM_SIZE) {
      EXPECT_EQ(LOWORD(r.lParam), 120);
      EXPECT_EQ(HIWORD(r.lParam), 90);
    }
  // A window can change the rectangle on its way in.
  windows.OnMessage([](HWND, UINT m, WPARAM, LPARAM lp, bool&) -> LRESULT {
    if (m == WM_WINDOWPOSCHANGING) reinterpret_cast<WINDOWPOS*>(lp)->x = 0;
    return 0;
  });
  SetWindowPos(w, nullptr, 500, 500, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  RECT r;
  GetWindowRect(w, &r);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 500);
}

TEST(UserWindows, TopmostWindowsStayAboveTheOthers) {
  RecordingWindows windows;
  HWND a = windows.Create(WS_POPUP | WS_VISIBLE);
  HWND b = windows.Create(WS_POPUP | WS_VISIBLE);
  ASSERT_TRUE(SetWindowPos(a, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE));
  EXPECT_TRUE(GetWindowLongPtrW(a, GWL_EXSTYLE) & WS_EX_TOPMOST);
  HWND c = windows.Create(WS_POPUP | WS_VISIBLE);
  EXPECT_EQ(GetWindow(a, GW_HWNDFIRST), a);
  EXPECT_EQ(GetWindow(a, GW_HWNDNEXT), c);
  EXPECT_EQ(GetWindow(c, GW_HWNDNEXT), b);
  SetWindowPos(a, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  EXPECT_FALSE(GetWindowLongPtrW(a, GWL_EXSTYLE) & WS_EX_TOPMOST);
  // Owned windows sit above their owner.
  HWND owned = windows.Create(WS_POPUP | WS_VISIBLE, 0, b);
  SetWindowPos(b, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  EXPECT_EQ(GetWindow(b, GW_HWNDPREV), owned);
}

TEST(UserWindows, ShowWindowReportsThePreviousStateAndActivates) {
  RecordingWindows windows;
  HWND w = windows.Create();
  EXPECT_FALSE(ShowWindow(w, SW_SHOW));
  EXPECT_TRUE(IsWindowVisible(w));
  EXPECT_EQ(GetForegroundWindow(), w);
  EXPECT_EQ(GetFocus(), w);
  EXPECT_TRUE(ShowWindow(w, SW_SHOW));
  HWND quiet = windows.Create(WS_POPUP, WS_EX_NOACTIVATE);
  ShowWindow(quiet, SW_SHOW);
  EXPECT_EQ(GetForegroundWindow(), w) << "WS_EX_NOACTIVATE windows never take the activation";
  HWND na = windows.Create();
  ShowWindow(na, SW_SHOWNA);
  EXPECT_EQ(GetForegroundWindow(), w);
  EXPECT_TRUE(ShowWindow(w, SW_HIDE));
  EXPECT_FALSE(IsWindowVisible(w));
  EXPECT_NE(GetForegroundWindow(), w);
  ShowWindow(w, SW_MINIMIZE);
  EXPECT_TRUE(IsIconic(w));
  ShowWindow(w, SW_RESTORE);
  EXPECT_FALSE(IsIconic(w));
}

TEST(UserWindows, ActivationAndFocusMessagesGoToBothWindows) {
  RecordingWindows windows;
  HWND a = windows.Create(WS_POPUP | WS_VISIBLE);
  HWND b = windows.Create(WS_POPUP);
  windows.Clear();
  ShowWindow(b, SW_SHOW);
  std::vector<std::pair<HWND, UINT>> seq;
  for (const auto& r : windows.All())
    if (r.message == WM_NCACTIVATE || r.message == WM_ACTIVATE || r.message == WM_SETFOCUS ||
        r.message == WM_KILLFOCUS)
      seq.emplace_back(r.hwnd, r.message);
  std::vector<std::pair<HWND, UINT>> expected{{a, WM_NCACTIVATE}, {a, WM_ACTIVATE}, {a, WM_KILLFOCUS},
                                              {b, WM_NCACTIVATE}, {b, WM_ACTIVATE}, {b, WM_SETFOCUS}};
  EXPECT_EQ(seq, expected);
  EXPECT_EQ(GetFocus(), b);
  EXPECT_EQ(SetFocus(a), b);
  EXPECT_EQ(GetFocus(), a);
  EXPECT_EQ(GetForegroundWindow(), a);
}

TEST(UserWindows, SetForegroundWindowFromAnotherThreadActivatesOnTheWindowsThread) {
  RecordingWindows windows;
  HWND a = windows.Create(WS_POPUP | WS_VISIBLE);
  HWND b = windows.Create(WS_POPUP | WS_VISIBLE);
  ASSERT_EQ(GetForegroundWindow(), b);
  std::thread([&] { EXPECT_TRUE(SetForegroundWindow(a)); }).join();
  ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == a; }));
  for (const auto& r : windows.All()) {
    if (r.message == WM_ACTIVATE) { EXPECT_EQ(r.threadId, GetCurrentThreadId()); }
  }
  EXPECT_EQ(GetWindow(a, GW_HWNDFIRST), a);
}

TEST(UserWindows, PaintIsSynthesisedForInvalidVisibleWindows) {
  RecordingWindows windows;
  HWND w = windows.Create(WS_POPUP | WS_VISIBLE);
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_PAINT), 1);
  RECT part{1, 1, 5, 5};
  InvalidateRect(w, &part, FALSE);
  RECT u;
  ASSERT_TRUE(GetUpdateRect(w, &u, FALSE));
  EXPECT_TRUE(EqualRect(&u, &part));
  ShowWindow(w, SW_HIDE);
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_PAINT), 1) << "hidden windows are not painted";
  ShowWindow(w, SW_SHOWNA);
  UpdateWindow(w);
  EXPECT_EQ(windows.Count(w, WM_PAINT), 2);
  EXPECT_FALSE(GetUpdateRect(w, &u, FALSE));
}

TEST(UserWindows, WorkAreaAndDisplayChanges) {
  ASSERT_TRUE(qvplatform::testing::SetHeadlessDesktop(1280, 720, 0, 0, 1280, 680));
  RECT work;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  EXPECT_EQ(work.bottom, 680);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
  RecordingWindows windows;
  HWND w = windows.Create();
  ASSERT_TRUE(qvplatform::testing::SetHeadlessDesktop(1920, 1080, 0, 0, 1920, 1040));
  PumpPending();
  ASSERT_EQ(windows.Count(w, WM_DISPLAYCHANGE), 1);
  for (const auto& r : windows.All()) {
    if (r.message == WM_DISPLAYCHANGE) { EXPECT_EQ(r.lParam, MAKELPARAM(1920, 1080)); }
  }
}

TEST(UserWindows, ClassesRegisterOnceAndUnregisterWhenUnused) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = DefWindowProcW;
  wc.lpszClassName = u"UITestFrame";
  ATOM atom = RegisterClassExW(&wc);
  ASSERT_NE(atom, 0);
  EXPECT_EQ(RegisterClassExW(&wc), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  HWND w = CreateWindowExW(0, u"uitestframe", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(w, nullptr) << "class names ignore case";
  EXPECT_FALSE(UnregisterClassW(u"UITestFrame", nullptr));
  DestroyWindow(w);
  EXPECT_TRUE(UnregisterClassW(u"UITestFrame", nullptr));
}

}  // namespace

namespace {

TEST(UserWindows, AChildOfAnotherThreadLosesItsTimersWithItsParent) {
  RecordingWindows windows;
  HWND parent = windows.Create();
  std::atomic<HWND> child{nullptr};
  std::atomic<bool> parentGone{false}, stop{false};
  std::atomic<int> timersAfter{0};
  std::thread owner([&] {
    HWND c = windows.Create(WS_CHILD, 0, parent, RECT{0, 0, 10, 10});
    SetTimer(c, 7, 10, nullptr);
    child = c;
    MSG msg;
    while (!stop) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (parentGone && msg.message == WM_TIMER) ++timersAfter;
        DispatchMessageW(&msg);
      }
      Sleep(1);
    }
  });
  while (!child) Sleep(1);
  ASSERT_TRUE(DestroyWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  parentGone = true;
  Sleep(200);
  stop = true;
  owner.join();
  EXPECT_EQ(timersAfter.load(), 0);
}

TEST(UserWindows, AnOwnerChainThatComesBackIsRefused) {
  RecordingWindows windows;
  HWND a = windows.Create();
  HWND b = windows.Create(WS_POPUP, 0, a);
  EXPECT_EQ(SetWindowLongPtrW(a, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(a)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetWindowLongPtrW(a, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(b)), 0);
  EXPECT_EQ(GetWindow(a, GW_OWNER), nullptr);
  EXPECT_TRUE(DestroyWindow(a));
  EXPECT_FALSE(IsWindow(b));
}

}  // namespace

TEST(UserWindows, IconsAreKeptPerSizeAndTheOldOneIsReturned) {
  qvtest::RecordingWindows windows;
  HWND hwnd = windows.Create(WS_POPUP);
  LPARAM big = 0x1000;  // handles are only stored and given back
  LPARAM small = 0x2000;
  EXPECT_EQ(SendMessageW(hwnd, WM_SETICON, ICON_BIG, big), 0);
  EXPECT_EQ(SendMessageW(hwnd, WM_SETICON, ICON_SMALL, small), 0);
  EXPECT_EQ(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0), big);
  EXPECT_EQ(SendMessageW(hwnd, WM_SETICON, ICON_BIG, 0), big) << "the previous icon comes back";
  EXPECT_EQ(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_EQ(SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0), small);
  EXPECT_EQ(SendMessageW(hwnd, WM_SETICON, 7, big), 0) << "no such icon size";
  EXPECT_EQ(SendMessageW(hwnd, WM_GETICON, 7, 0), 0);
  DestroyWindow(hwnd);
}
