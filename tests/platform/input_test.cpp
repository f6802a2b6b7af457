// Input on the headless desktop: routing by hit testing, activation, double clicks, capture,
// mouse leave, the move loop with WM_MOVING, keys to the focus window and the low-level hook.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/backend.h"
#include "platform/testing.h"
#include "platform/testing_input.h"
#include "platform/win32.h"
#include "platform/win32/input.h"
#include "support/WindowFixture.h"

using qvplatform::testing::Button;
using qvplatform::testing::InjectKey;
using qvplatform::testing::InjectMouseButton;
using qvplatform::testing::InjectMouseMove;
using qvplatform::testing::InjectMouseWheel;
using qvtest::PumpPending;
using qvtest::RecordingWindows;

namespace {

void Click(int x, int y, Button b = Button::Left) {
  InjectMouseButton(b, true, x, y);
  InjectMouseButton(b, false, x, y);
  PumpPending();
}

std::vector<qvtest::Received> Of(const RecordingWindows& w, HWND hwnd, UINT message) {
  std::vector<qvtest::Received> out;
  for (const auto& r : w.All())
    if (r.hwnd == hwnd && r.message == message) out.push_back(r);
  return out;
}

TEST(InputRouting, ClickGoesToTopmostWindowUnderThePointInClientCoordinates) {
  RecordingWindows windows;
  HWND below = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 300, 300});
  HWND above = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {200, 200, 400, 400});
  PumpPending();
  windows.Clear();
  Click(250, 260);
  auto downs = Of(windows, above, WM_LBUTTONDOWN);
  ASSERT_EQ(downs.size(), 1u);
  EXPECT_EQ(GET_X_LPARAM(downs[0].lParam), 50);
  EXPECT_EQ(GET_Y_LPARAM(downs[0].lParam), 60);
  EXPECT_EQ(downs[0].wParam & MK_LBUTTON, static_cast<WPARAM>(MK_LBUTTON));
  EXPECT_EQ(windows.Count(above, WM_LBUTTONUP), 1);
  EXPECT_EQ(windows.Count(below, WM_LBUTTONDOWN), 0);
  EXPECT_EQ(windows.Count(above, WM_NCHITTEST), 2);
  Click(150, 150);
  EXPECT_EQ(windows.Count(below, WM_LBUTTONDOWN), 1);
  // Nothing under the point: nobody hears of it.
  windows.Clear();
  Click(1000, 1000);
  EXPECT_TRUE(windows.All().empty());
}

TEST(InputRouting, TransparentAndHiddenWindowsAreSkippedByHitTesting) {
  RecordingWindows windows;
  HWND below = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 300, 300});
  HWND mask = windows.Create(WS_POPUP | WS_VISIBLE, WS_EX_LAYERED | WS_EX_TRANSPARENT | WS_EX_NOACTIVATE, nullptr,
                             {100, 100, 300, 300});
  HWND hidden = windows.Create(WS_POPUP, 0, nullptr, {100, 100, 300, 300});
  PumpPending();
  windows.Clear();
  Click(150, 150);
  EXPECT_EQ(windows.Count(below, WM_LBUTTONDOWN), 1);
  EXPECT_EQ(windows.Count(mask, WM_LBUTTONDOWN), 0);
  EXPECT_EQ(windows.Count(hidden, WM_LBUTTONDOWN), 0);
}

TEST(InputRouting, NonClientHitsGiveNonClientMessagesWithScreenPoint) {
  RecordingWindows windows;
  windows.OnMessage([](HWND, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
    if (m != WM_NCHITTEST) return 0;
    handled = true;
    return HTBORDER;
  });
  HWND w = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 300, 300});
  PumpPending();
  windows.Clear();
  Click(120, 130, Button::Right);
  auto downs = Of(windows, w, WM_NCRBUTTONDOWN);
  ASSERT_EQ(downs.size(), 1u);
  EXPECT_EQ(downs[0].wParam, static_cast<WPARAM>(HTBORDER));
  EXPECT_EQ(GET_X_LPARAM(downs[0].lParam), 120);
  EXPECT_EQ(GET_Y_LPARAM(downs[0].lParam), 130);
  EXPECT_EQ(windows.Count(w, WM_NCRBUTTONUP), 1);
  EXPECT_EQ(windows.Count(w, WM_RBUTTONDOWN), 0);
}

TEST(InputActivation, ClickActivatesButNotNoActivateWindowsAndEatenClicksVanish) {
  RecordingWindows windows;
  HWND a = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {0, 0, 100, 100});
  HWND b = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {200, 0, 300, 100});
  HWND na = windows.Create(WS_POPUP | WS_VISIBLE, WS_EX_NOACTIVATE, nullptr, {400, 0, 500, 100});
  PumpPending();
  ASSERT_EQ(GetForegroundWindow(), b);
  windows.Clear();
  Click(50, 50);
  EXPECT_EQ(GetForegroundWindow(), a);
  auto acts = Of(windows, a, WM_ACTIVATE);
  ASSERT_EQ(acts.size(), 1u);
  EXPECT_EQ(LOWORD(acts[0].wParam), WA_CLICKACTIVE);
  EXPECT_EQ(windows.Count(a, WM_MOUSEACTIVATE), 1);
  Click(450, 50);
  EXPECT_EQ(GetForegroundWindow(), a);
  EXPECT_EQ(windows.Count(na, WM_LBUTTONDOWN), 1);
  EXPECT_EQ(windows.Count(na, WM_ACTIVATE), 0);

  windows.OnMessage([](HWND, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
    if (m != WM_MOUSEACTIVATE) return 0;
    handled = true;
    return MA_NOACTIVATEANDEAT;
  });
  windows.Clear();
  Click(250, 50);
  EXPECT_EQ(GetForegroundWindow(), a);
  EXPECT_EQ(windows.Count(b, WM_LBUTTONDOWN), 0);
  EXPECT_EQ(windows.Count(b, WM_LBUTTONUP), 1);
}

LRESULT CALLBACK PlainProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

TEST(InputDoubleClick, SecondPressInTimeAndPlaceIsADoubleClickOnlyForDblclksClasses) {
  qvplatform::testing::FreezeClock();
  RecordingWindows windows;
  HWND w = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {0, 0, 100, 100});
  PumpPending();
  windows.Clear();
  Click(10, 10);
  qvplatform::testing::AdvanceClock(200);
  Click(11, 11);
  EXPECT_EQ(windows.Count(w, WM_LBUTTONDOWN), 1);
  EXPECT_EQ(windows.Count(w, WM_LBUTTONDBLCLK), 1);
  // A third press starts a new pair; a slow second press is a plain press.
  qvplatform::testing::AdvanceClock(100);
  Click(11, 11);
  qvplatform::testing::AdvanceClock(GetDoubleClickTime() + 1);
  Click(11, 11);
  EXPECT_EQ(windows.Count(w, WM_LBUTTONDOWN), 3);
  EXPECT_EQ(windows.Count(w, WM_LBUTTONDBLCLK), 1);
  // Far apart: no double click either.
  qvplatform::testing::AdvanceClock(1000);
  Click(10, 10);
  Click(40, 40);
  EXPECT_EQ(windows.Count(w, WM_LBUTTONDBLCLK), 1);

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = PlainProc;
  wc.lpszClassName = u"QvNoDblClks";
  ASSERT_NE(RegisterClassExW(&wc), 0);
  HWND plain = CreateWindowExW(0, u"QvNoDblClks", u"", WS_POPUP | WS_VISIBLE, 200, 0, 100, 100, nullptr, nullptr,
                               nullptr, nullptr);
  std::atomic<int> dbl{0};
  // Count through a subclass: the class's own procedure records nothing.
  static std::atomic<int>* s_dbl = &dbl;
  SetWindowLongPtrW(plain, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
    if (m == WM_LBUTTONDBLCLK) ++*s_dbl;
    return DefWindowProcW(h, m, wp, lp);
  }));
  Click(210, 10);
  Click(210, 10);
  EXPECT_EQ(dbl.load(), 0);
}

TEST(InputCapture, CapturedWindowGetsEverythingUntilReleased) {
  RecordingWindows windows;
  HWND a = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 200, 200});
  HWND b = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {300, 100, 400, 200});
  PumpPending();
  EXPECT_EQ(SetCapture(a), nullptr);
  EXPECT_EQ(GetCapture(), a);
  std::thread([&] { EXPECT_EQ(GetCapture(), nullptr); }).join();  // capture belongs to its thread
  windows.Clear();
  InjectMouseMove(350, 150);
  PumpPending();
  auto moves = Of(windows, a, WM_MOUSEMOVE);
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(GET_X_LPARAM(moves[0].lParam), 250);
  EXPECT_EQ(windows.Count(b, WM_MOUSEMOVE), 0);
  EXPECT_EQ(windows.Count(a, WM_NCHITTEST), 0);
  EXPECT_TRUE(ReleaseCapture());
  EXPECT_EQ(windows.Count(a, WM_CAPTURECHANGED), 1);
  EXPECT_EQ(GetCapture(), nullptr);
  InjectMouseMove(351, 150);
  PumpPending();
  EXPECT_EQ(windows.Count(b, WM_MOUSEMOVE), 1);
  // A destroyed capture window gives the capture up.
  SetCapture(b);
  DestroyWindow(b);
  EXPECT_EQ(GetCapture(), nullptr);
}

TEST(InputTracking, LeaveIsPostedOnceWhenThePointerMovesAway) {
  RecordingWindows windows;
  HWND a = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 200, 200});
  HWND b = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {300, 100, 400, 200});
  InjectMouseMove(150, 150);
  PumpPending();
  TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, a, HOVER_DEFAULT};
  ASSERT_TRUE(TrackMouseEvent(&t));
  TRACKMOUSEEVENT q{sizeof q, TME_QUERY, nullptr, 0};
  ASSERT_TRUE(TrackMouseEvent(&q));
  EXPECT_EQ(q.hwndTrack, a);
  InjectMouseMove(160, 150);
  PumpPending();
  EXPECT_EQ(windows.Count(a, WM_MOUSELEAVE), 0);
  InjectMouseMove(350, 150);
  InjectMouseMove(360, 150);
  PumpPending();
  EXPECT_EQ(windows.Count(a, WM_MOUSELEAVE), 1);
  // Asking while outside answers at once; TME_CANCEL stops tracking.
  TRACKMOUSEEVENT late{sizeof late, TME_LEAVE, a, HOVER_DEFAULT};
  TrackMouseEvent(&late);
  PumpPending();
  EXPECT_EQ(windows.Count(a, WM_MOUSELEAVE), 2);
  TRACKMOUSEEVENT tb{sizeof tb, TME_LEAVE, b, HOVER_DEFAULT};
  TrackMouseEvent(&tb);
  tb.dwFlags = TME_LEAVE | TME_CANCEL;
  TrackMouseEvent(&tb);
  InjectMouseMove(150, 150);
  PumpPending();
  EXPECT_EQ(windows.Count(b, WM_MOUSELEAVE), 0);
}

TEST(InputCursor, ClassCursorIsSetOverTheClientAreaThroughSetCursor) {
  HCURSOR ibeam = LoadCursorW(nullptr, IDC_IBEAM);
  ASSERT_NE(ibeam, nullptr);
  EXPECT_EQ(LoadCursorW(nullptr, IDC_IBEAM), ibeam);
  EXPECT_NE(LoadCursorW(nullptr, IDC_SIZEALL), ibeam);
  EXPECT_EQ(LoadCursorW(nullptr, MAKEINTRESOURCEW(1)), nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = PlainProc;
  wc.hCursor = ibeam;
  wc.lpszClassName = u"QvIbeam";
  ASSERT_NE(RegisterClassExW(&wc), 0);
  CreateWindowExW(0, u"QvIbeam", u"", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
  SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  InjectMouseMove(10, 10);
  PumpPending();
  EXPECT_EQ(GetCursor(), ibeam);
  POINT p;
  ASSERT_TRUE(GetCursorPos(&p));
  EXPECT_EQ(p.x, 10);
  EXPECT_TRUE(SetCursorPos(5000, -3));  // clamped to the desktop
  GetCursorPos(&p);
  EXPECT_EQ(p.x, 1919);
  EXPECT_EQ(p.y, 0);
}

TEST(InputWheel, WheelCarriesDeltaAndScreenPoint) {
  RecordingWindows windows;
  HWND w = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 200, 200});
  InjectMouseWheel(-WHEEL_DELTA, 150, 160);
  PumpPending();
  auto wheels = Of(windows, w, WM_MOUSEWHEEL);
  ASSERT_EQ(wheels.size(), 1u);
  EXPECT_EQ(GET_WHEEL_DELTA_WPARAM(wheels[0].wParam), -WHEEL_DELTA);
  EXPECT_EQ(GET_X_LPARAM(wheels[0].lParam), 150);
  EXPECT_EQ(GET_Y_LPARAM(wheels[0].lParam), 160);
}

// ---- the move loop ----

struct DragWindow {
  RecordingWindows windows;
  HWND hwnd = nullptr;
  std::vector<RECT> proposed;
  std::vector<std::pair<UINT, RECT>> order;  // WM_MOVING and WM_MOVE with the window rect then
  bool clamp = false;

  DragWindow() {
    windows.OnMessage([this](HWND h, UINT m, WPARAM, LPARAM lp, bool& handled) -> LRESULT {
      if (h != hwnd) return 0;
      if (m == WM_NCHITTEST) {
        handled = true;
        return HTCAPTION;
      }
      if (m == WM_MOVING) {
        RECT* r = reinterpret_cast<RECT*>(lp);
        proposed.push_back(*r);
        if (clamp) {
          RECT d;
          GetWindowRect(GetDesktopWindow(), &d);
          if (r->left < d.left) OffsetRect(r, d.left - r->left, 0);
          else if (r->right > d.right) OffsetRect(r, d.right - r->right, 0);
          if (r->top < d.top) OffsetRect(r, 0, d.top - r->top);
          else if (r->bottom > d.bottom) OffsetRect(r, 0, d.bottom - r->bottom);
        }
        RECT now;
        GetWindowRect(h, &now);
        order.emplace_back(m, now);
        handled = true;
        return TRUE;
      }
      if (m == WM_MOVE) {
        RECT now;
        GetWindowRect(h, &now);
        order.emplace_back(m, now);
      }
      return 0;
    });
    hwnd = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 300, 150});
    PumpPending();
    order.clear();
  }

  // Press at `from`, move through `steps`, release at the last one.
  void Drag(POINT from, const std::vector<POINT>& steps) {
    InjectMouseButton(Button::Left, true, from.x, from.y);
    for (POINT p : steps) InjectMouseMove(p.x, p.y);
    InjectMouseButton(Button::Left, false, steps.back().x, steps.back().y);
    PumpPending();
  }
};

TEST(InputMoveLoop, CaptionDragSendsMovingBeforeEachStepAndMoveAfter) {
  DragWindow d;
  d.Drag({110, 110}, {{120, 115}, {150, 140}});
  RECT r;
  GetWindowRect(d.hwnd, &r);
  EXPECT_EQ(r.left, 140);
  EXPECT_EQ(r.top, 130);
  EXPECT_EQ(r.right - r.left, 200);
  ASSERT_GE(d.proposed.size(), 2u);
  EXPECT_EQ(d.proposed[0].left, 110);
  EXPECT_EQ(d.proposed[0].top, 105);
  // Each WM_MOVING comes while the window is still at its previous place; WM_MOVE follows it.
  ASSERT_GE(d.order.size(), 4u);
  EXPECT_EQ(d.order[0].first, static_cast<UINT>(WM_MOVING));
  EXPECT_EQ(d.order[0].second.left, 100);
  EXPECT_EQ(d.order[1].first, static_cast<UINT>(WM_MOVE));
  EXPECT_EQ(d.order[1].second.left, 110);
  EXPECT_EQ(d.order[2].first, static_cast<UINT>(WM_MOVING));
  EXPECT_EQ(d.order[2].second.left, 110);
  EXPECT_EQ(d.windows.Count(d.hwnd, WM_ENTERSIZEMOVE), 1);
  EXPECT_EQ(d.windows.Count(d.hwnd, WM_EXITSIZEMOVE), 1);
  EXPECT_EQ(GetCapture(), nullptr);
  // The loop ended with the release: later moves move nothing.
  InjectMouseMove(500, 500);
  PumpPending();
  GetWindowRect(d.hwnd, &r);
  EXPECT_EQ(r.left, 140);
}

TEST(InputMoveLoop, MovingHandlerClampsTheWindowInsideTheDesktop) {
  DragWindow d;
  d.clamp = true;
  d.Drag({110, 110}, {{-500, -400}, {-300, 2000}});
  RECT r;
  GetWindowRect(d.hwnd, &r);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.bottom, 1080);
  d.Drag({r.left + 5, r.top + 5}, {{5000, 5}});
  GetWindowRect(d.hwnd, &r);
  EXPECT_EQ(r.right, 1920);
  EXPECT_EQ(r.top, 0);
}

TEST(InputMoveLoop, ClientPressesDoNotMove) {
  RecordingWindows windows;
  HWND w = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 300, 150});
  PumpPending();
  InjectMouseButton(Button::Left, true, 110, 110);
  InjectMouseMove(200, 200);
  InjectMouseButton(Button::Left, false, 200, 200);
  PumpPending();
  RECT r;
  GetWindowRect(w, &r);
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(windows.Count(w, WM_MOVING), 0);
}

// ---- keyboard ----

TEST(InputKeyboard, KeysGoToTheFocusWindowAndTranslateToCharacters) {
  RecordingWindows windows;
  HWND a = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {0, 0, 100, 100});
  HWND b = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {200, 0, 300, 100});
  PumpPending();
  SetFocus(a);
  windows.Clear();
  InjectKey(VK_SHIFT, true);
  InjectKey('A', true);
  InjectKey('A', false);
  InjectKey(VK_SHIFT, false);
  PumpPending();
  auto seq = windows.MessagesOf(a, {WM_KEYDOWN, WM_KEYUP, WM_CHAR});
  EXPECT_EQ(seq, (std::vector<UINT>{WM_KEYDOWN, WM_KEYDOWN, WM_CHAR, WM_KEYUP, WM_KEYUP}));
  auto chars = Of(windows, a, WM_CHAR);
  ASSERT_EQ(chars.size(), 1u);
  EXPECT_EQ(chars[0].wParam, static_cast<WPARAM>('A'));
  auto downs = Of(windows, a, WM_KEYDOWN);
  EXPECT_EQ(downs[0].wParam, static_cast<WPARAM>(VK_SHIFT));  // the generic key
  EXPECT_EQ((downs[1].lParam >> 16) & 0xFF, 0x1E);            // scan code of A
  auto ups = Of(windows, a, WM_KEYUP);
  EXPECT_NE(ups[0].lParam & (1L << 31), 0);
  EXPECT_EQ(windows.Count(b, WM_KEYDOWN), 0);

  // Alt chords are system keys; text a layout typed arrives as characters.
  windows.Clear();
  InjectKey(VK_MENU, true);
  InjectKey('X', true);
  InjectKey('X', false);
  InjectKey(VK_MENU, false);
  InjectKey('Q', true, u"中");
  InjectKey('Q', false);
  PumpPending();
  EXPECT_EQ(windows.Count(a, WM_SYSKEYDOWN), 2);
  EXPECT_EQ(windows.Count(a, WM_SYSKEYUP), 2);
  chars = Of(windows, a, WM_CHAR);
  ASSERT_EQ(chars.size(), 2u);  // 'q' from the layout, then the input method's text
  EXPECT_EQ(chars[0].wParam, static_cast<WPARAM>('q'));
  EXPECT_EQ(chars[1].wParam, static_cast<WPARAM>(u'中'));
}

struct HookLog {
  std::vector<std::tuple<WPARAM, DWORD, DWORD, bool>> events;  // message, vk, flags, shift down
  DWORD thread = 0;
  LRESULT answer = 0;
};
HookLog* g_log = nullptr;
HHOOK g_hook = nullptr;

LRESULT CALLBACK LogHook(int code, WPARAM wp, LPARAM lp) {
  if (code == HC_ACTION && lp) {
    auto* k = reinterpret_cast<KBDLLHOOKSTRUCT*>(lp);
    g_log->events.emplace_back(wp, k->vkCode, k->flags, (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0);
    g_log->thread = GetCurrentThreadId();
    if (g_log->answer) return g_log->answer;
  }
  return CallNextHookEx(g_hook, code, wp, lp);
}

TEST(InputHook, LowLevelHookSeesEveryKeyWithShiftStateAndTheWindowStillGetsIt) {
  RecordingWindows windows;
  HWND w = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {0, 0, 100, 100});
  PumpPending();
  HookLog log;
  g_log = &log;
  g_hook = SetWindowsHookExA(WH_KEYBOARD_LL, LogHook, nullptr, 0);
  ASSERT_NE(g_hook, nullptr);
  InjectKey(VK_SHIFT, true);
  InjectKey(VK_TAB, true);
  InjectKey(VK_TAB, true);  // held: repeats
  InjectKey(VK_TAB, false);
  InjectKey(VK_SHIFT, false);
  InjectKey(VK_TAB, true);
  PumpPending();
  ASSERT_EQ(log.events.size(), 6u);
  EXPECT_EQ(log.events[0], std::make_tuple(WPARAM(WM_KEYDOWN), DWORD(VK_LSHIFT), DWORD(0), true));
  EXPECT_EQ(log.events[1], std::make_tuple(WPARAM(WM_KEYDOWN), DWORD(VK_TAB), DWORD(0), true));
  EXPECT_EQ(log.events[2], std::make_tuple(WPARAM(WM_KEYDOWN), DWORD(VK_TAB), DWORD(0), true));
  EXPECT_EQ(log.events[3], std::make_tuple(WPARAM(WM_KEYUP), DWORD(VK_TAB), DWORD(LLKHF_UP), true));
  EXPECT_EQ(log.events[5], std::make_tuple(WPARAM(WM_KEYDOWN), DWORD(VK_TAB), DWORD(0), false));
  EXPECT_EQ(log.thread, GetCurrentThreadId());
  EXPECT_EQ(windows.Count(w, WM_KEYDOWN), 4);  // never swallowed

  // Alt+Shift+Tab reaches the hook as a system key-down.
  log.events.clear();
  InjectKey(VK_MENU, true);
  InjectKey(VK_TAB, true);
  InjectKey(VK_TAB, false);
  InjectKey(VK_MENU, false);
  PumpPending();
  ASSERT_EQ(log.events.size(), 4u);
  EXPECT_EQ(std::get<0>(log.events[1]), static_cast<WPARAM>(WM_SYSKEYDOWN));
  EXPECT_EQ(std::get<2>(log.events[1]) & LLKHF_ALTDOWN, static_cast<DWORD>(LLKHF_ALTDOWN));

  // A hook that answers non-zero keeps the key from this program's windows.
  log.answer = 1;
  windows.Clear();
  InjectKey('Z', true);
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_KEYDOWN), 0);
  EXPECT_TRUE(UnhookWindowsHookEx(g_hook));
  EXPECT_FALSE(UnhookWindowsHookEx(g_hook));
  log.events.clear();
  InjectKey('Z', false);
  PumpPending();
  EXPECT_TRUE(log.events.empty());
  EXPECT_EQ(windows.Count(w, WM_KEYUP), 1);
}

TEST(InputHook, HookRunsOnTheInstallingThreadWhileItPumps) {
  std::atomic<DWORD> hookThread{0};
  std::atomic<int> calls{0};
  std::atomic<bool> installed{false}, stop{false};
  static std::atomic<DWORD>* s_thread = &hookThread;
  static std::atomic<int>* s_calls = &calls;
  std::thread ui([&] {
    HHOOK h = SetWindowsHookExA(WH_KEYBOARD_LL, [](int c, WPARAM w, LPARAM l) -> LRESULT {
      *s_thread = GetCurrentThreadId();
      ++*s_calls;
      return CallNextHookEx(nullptr, c, w, l);
    }, nullptr, 0);
    installed = true;
    while (!stop) {
      MSG m;
      while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
      Sleep(1);
    }
    UnhookWindowsHookEx(h);
  });
  while (!installed) std::this_thread::yield();
  InjectKey(VK_TAB, true);  // waits for the hook's answer
  EXPECT_EQ(calls.load(), 1);
  EXPECT_NE(hookThread.load(), GetCurrentThreadId());
  EXPECT_NE(hookThread.load(), 0u);
  stop = true;
  ui.join();
}

// The display's event thread queues keys to the hook's thread without waiting for it: a Shift
// released right after Tab must not turn the Tab the hook sees into a plain one.
TEST(InputHook, HookSeesTheKeyStateOfItsEventWhenItsThreadRunsLate) {
  static std::vector<std::pair<DWORD, bool>>* s_seen;  // vk, Shift down as the hook saw it
  std::vector<std::pair<DWORD, bool>> seen;
  s_seen = &seen;
  HANDLE busy = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> installed{false}, stop{false};
  std::thread ui([&] {
    HHOOK h = SetWindowsHookExA(WH_KEYBOARD_LL, [](int c, WPARAM w, LPARAM l) -> LRESULT {
      auto* k = reinterpret_cast<KBDLLHOOKSTRUCT*>(l);
      s_seen->emplace_back(k->vkCode, (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0);
      return CallNextHookEx(nullptr, c, w, l);
    }, nullptr, 0);
    installed = true;
    WaitForSingleObject(busy, INFINITE);  // busy while the keys arrive
    while (!stop) {
      MSG m;
      while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
      Sleep(1);
    }
    UnhookWindowsHookEx(h);
  });
  while (!installed) std::this_thread::yield();
  qvp::InputLowLevelKey(VK_LSHIFT, 0x2A, false, true, false);
  qvp::InputLowLevelKey(VK_TAB, 0x0F, false, true, false);
  qvp::InputLowLevelKey(VK_LSHIFT, 0x2A, false, false, false);
  qvp::InputLowLevelKey(VK_TAB, 0x0F, false, false, false);
  EXPECT_FALSE(GetAsyncKeyState(VK_SHIFT) & 0x8000);  // outside a hook: the live state
  SetEvent(busy);
  qvp::InputLowLevelKey(VK_RSHIFT, 0x36, false, true, true);  // waits: the first four ran before it
  stop = true;
  ui.join();
  CloseHandle(busy);
  std::vector<std::pair<DWORD, bool>> expected{{VK_LSHIFT, true}, {VK_TAB, true}, {VK_LSHIFT, false},
                                               {VK_TAB, false}, {VK_RSHIFT, true}};
  EXPECT_EQ(seen, expected);
  qvp::InputLowLevelKey(VK_RSHIFT, 0x36, false, false, false);
}

TEST(InputKeyState, AsyncShiftFollowsEitherPhysicalShiftKey) {
  auto shiftDown = [] { return (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0; };
  EXPECT_FALSE(shiftDown());
  InjectKey(VK_LSHIFT, true);
  InjectKey(VK_RSHIFT, true);
  InjectKey(VK_LSHIFT, false);
  EXPECT_TRUE(shiftDown());
  InjectKey(VK_RSHIFT, true);  // a repeat is not counted twice
  InjectKey(VK_RSHIFT, false);
  EXPECT_FALSE(shiftDown());
  // The low bit tells of a press since the last question, once.
  InjectKey('K', true);
  InjectKey('K', false);
  EXPECT_EQ(GetAsyncKeyState('K'), 1);
  EXPECT_EQ(GetAsyncKeyState('K'), 0);
  PumpPending();
}

}  // namespace
