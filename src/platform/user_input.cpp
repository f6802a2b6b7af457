// Input routing shared by the backends: screen-coordinate mouse input to the window under the
// pointer (or the capture window) through WM_NCHITTEST, click activation, double clicks, mouse
// leave tracking, the HTCAPTION move loop, keys to the focus window, the physical key state, the
// cursor and the low-level keyboard hook.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>

#include "backend.h"
#include "gdi_internal.h"
#include "user_internal.h"
#include "user_model.h"
#include "win32/input.h"
#include "win32/kernel.h"

namespace qvp {
namespace {

constexpr UINT kDoubleClickMs = 500;

struct Hook {
  HHOOK handle;
  HOOKPROC proc;
  std::shared_ptr<ThreadQueue> queue;
};

struct LastPress {
  HWND hwnd = nullptr;
  UINT button = 0;  // the button-down message
  DWORD time = 0;
  POINT pt{0, 0};
  bool client = true;
};

struct InputState {
  std::mutex mutex;
  POINT cursor{0, 0};
  HWND capture = nullptr;
  HWND tracked = nullptr;  // TrackMouseEvent(TME_LEAVE)
  bool trackedNonClient = false;
  LastPress lastPress;
  BYTE keys[256] = {};     // 0x80 down, 0x01 pressed since the last GetAsyncKeyState
  std::vector<Hook> hooks;  // most recent first
  uintptr_t nextHook = 0x4000;
  HCURSOR cursorShape = nullptr;
  // The thread that got the last mouse event: an event over no window waits there, since a
  // capture taken while converting earlier events may yet claim it.
  std::weak_ptr<ThreadQueue> lastMouseThread;
};

InputState& S() {
  static InputState* s = new InputState;  // input may arrive during exit
  return *s;
}

// Cursors: one fixed object per shape; the handle is its address.
struct CursorShape {
  int id;
};
const CursorShape kCursors[] = {{32512}, {32513}, {32514}, {32515}, {32646}, {32649}};

int CursorId(HCURSOR c) {
  for (const CursorShape& s : kCursors)
    if (reinterpret_cast<HCURSOR>(const_cast<CursorShape*>(&s)) == c) return s.id;
  return 0;
}

void ForgetWindow(HWND hwnd) {
  bool hadCapture = false;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (S().capture == hwnd) {
      S().capture = nullptr;
      hadCapture = true;
    }
    if (S().tracked == hwnd) S().tracked = nullptr;
    if (S().lastPress.hwnd == hwnd) S().lastPress = LastPress{};
  }
  if (hadCapture) TheBackend().OnCaptureChanged(nullptr);
}

void EnsureDestroyHook() {
  static std::once_flag once;
  std::call_once(once, [] { AddWindowDestroyHook(&ForgetWindow); });
}

HWND TopLevelOf(HWND hwnd) {
  WindowState s;
  while (GetWindowState(hwnd, s) && (s.style & WS_CHILD) && s.parent) hwnd = s.parent;
  return hwnd;
}

bool AcceptsPoint(HWND hwnd, const WindowState& s, POINT pt) {
  if (!s.visible || s.iconic || (s.exStyle & WS_EX_TRANSPARENT) || !PtInRect(&s.windowRect, pt)) return false;
  return WindowRegionContains(hwnd, POINT{pt.x - s.windowRect.left, pt.y - s.windowRect.top});
}

// The deepest child of `hwnd` under the point (children in creation order; later ones on top).
HWND DescendToChild(HWND hwnd, POINT pt) {
  for (;;) {
    std::vector<HWND> children = ChildWindows(hwnd);
    HWND hit = nullptr;
    for (auto it = children.rbegin(); it != children.rend() && !hit; ++it) {
      WindowState s;
      if (GetWindowState(*it, s) && AcceptsPoint(*it, s, pt)) hit = *it;
    }
    if (!hit) return hwnd;
    hwnd = hit;
  }
}

HWND WindowUnder(POINT pt, HWND hint) {
  if (hint) {
    WindowState s;
    return GetWindowState(hint, s) ? DescendToChild(hint, pt) : nullptr;
  }
  for (HWND h : TopLevelWindowsInZOrder()) {
    WindowState s;
    if (GetWindowState(h, s) && AcceptsPoint(h, s, pt)) return DescendToChild(h, pt);
  }
  return nullptr;
}

WPARAM MouseKeyFlags() {
  std::lock_guard<std::mutex> lock(S().mutex);
  const BYTE* k = S().keys;
  WPARAM f = 0;
  if (k[VK_LBUTTON] & 0x80) f |= MK_LBUTTON;
  if (k[VK_RBUTTON] & 0x80) f |= MK_RBUTTON;
  if (k[VK_MBUTTON] & 0x80) f |= MK_MBUTTON;
  if (k[VK_SHIFT] & 0x80) f |= MK_SHIFT;
  if (k[VK_CONTROL] & 0x80) f |= MK_CONTROL;
  return f;
}

void QueueInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, POINT pt) {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  MSG m{hwnd, message, wParam, lParam, GetTickCount(), pt};
  std::lock_guard<std::mutex> lock(q->mutex);
  q->input.push_back(m);
  q->Notify();
}

bool HasDoubleClicks(HWND hwnd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hwnd);
  return w && w->cls && (w->cls->info.style & CS_DBLCLKS);
}

// Turns a button-down into a double click when it repeats the previous press in time and place.
UINT MaybeDoubleClick(HWND hwnd, UINT down, UINT dblclk, POINT pt, bool client) {
  DWORD now = GetTickCount();
  std::lock_guard<std::mutex> lock(S().mutex);
  LastPress& last = S().lastPress;
  bool repeat = last.hwnd == hwnd && last.button == down && last.client == client && now - last.time <= kDoubleClickMs &&
                std::abs(pt.x - last.pt.x) <= GetSystemMetrics(SM_CXDOUBLECLK) / 2 &&
                std::abs(pt.y - last.pt.y) <= GetSystemMetrics(SM_CYDOUBLECLK) / 2;
  if (repeat) {
    last = LastPress{};  // a third press starts over
    return dblclk;
  }
  last = LastPress{hwnd, down, now, pt, client};
  return down;
}

// Client message and its non-client twin for an event.
struct MouseMessages {
  UINT client, nonClient, clientDbl, nonClientDbl;
};

MouseMessages MessagesFor(int kind) {
  switch (kind) {
    case 0: return {WM_MOUSEMOVE, WM_NCMOUSEMOVE, 0, 0};
    case 1: return {WM_LBUTTONDOWN, WM_NCLBUTTONDOWN, WM_LBUTTONDBLCLK, WM_NCLBUTTONDBLCLK};
    case 2: return {WM_LBUTTONUP, WM_NCLBUTTONUP, 0, 0};
    case 3: return {WM_RBUTTONDOWN, WM_NCRBUTTONDOWN, WM_RBUTTONDBLCLK, WM_NCRBUTTONDBLCLK};
    case 4: return {WM_RBUTTONUP, WM_NCRBUTTONUP, 0, 0};
    case 5: return {WM_MBUTTONDOWN, WM_NCMBUTTONDOWN, 0, 0};
    default: return {WM_MBUTTONUP, WM_NCMBUTTONUP, 0, 0};
  }
}

// Click activation of the top-level window under a press. False when the click is eaten.
bool ClickActivate(HWND hwnd, LRESULT hit, UINT message) {
  HWND top = TopLevelOf(hwnd);
  WindowState s;
  if (!GetWindowState(top, s) || (s.exStyle & WS_EX_NOACTIVATE) || ActiveWindowOfDesktop() == top) return true;
  LRESULT ma = SendMessageW(hwnd, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(top),
                            MAKELPARAM(static_cast<WORD>(hit), message));
  if (ma == MA_ACTIVATE || ma == MA_ACTIVATEANDEAT) {
    if (IsWindow(top) && !(s.style & WS_DISABLED)) ActivateWindow(top, true, WA_CLICKACTIVE);
  }
  return ma != MA_ACTIVATEANDEAT && ma != MA_NOACTIVATEANDEAT;
}

void PostLeave(HWND hwnd, bool nonClient) {
  PostMessageW(hwnd, nonClient ? WM_NCMOUSELEAVE : WM_MOUSELEAVE, 0, 0);
}

void QueueRaw(const std::shared_ptr<ThreadQueue>& q, std::function<void()> convert) {
  std::lock_guard<std::mutex> lock(q->mutex);
  if (!q->alive) return;
  q->rawInput.push_back(std::move(convert));
  q->Notify();
}

// The receiver of a mouse event as things stand now: the capture window, else the window under
// the point.
HWND MouseTarget(POINT pt, HWND hint, bool& captured) {
  HWND capture;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    capture = S().capture;
  }
  captured = capture && IsWindow(capture);
  return captured ? capture : WindowUnder(pt, hint);
}

struct MouseEvent {
  int kind;  // 0 move, 1/2 left down/up, 3/4 right, 5/6 middle
  POINT pt;
  HWND hint;
  WPARAM keys;  // MK_ flags when it happened
};

void ConvertMouse(const MouseEvent& e);

// Hands an event to the thread of the window that would get it now.
void SendMouseToOwner(const MouseEvent& e) {
  bool captured;
  HWND target = MouseTarget(e.pt, e.hint, captured);
  HWND leaving = nullptr;
  bool leavingNonClient = false;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (S().tracked && S().tracked != target && !captured) {
      leaving = S().tracked;
      leavingNonClient = S().trackedNonClient;
      S().tracked = nullptr;
    }
  }
  if (leaving) PostLeave(leaving, leavingNonClient);
  std::shared_ptr<Window> w = target ? FindWindowShared(target) : nullptr;
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (w) S().lastMouseThread = w->queue;
    q = w ? w->queue : S().lastMouseThread.lock();
  }
  if (q) QueueRaw(q, [e] { ConvertMouse(e); });
}

// On the receiving thread, when its earlier input is used up: hit test, activate, set the cursor
// and queue the mouse message. An event whose receiver has changed meanwhile moves on to it.
void ConvertMouse(const MouseEvent& e) {
  bool captured;
  HWND hwnd = MouseTarget(e.pt, e.hint, captured);
  std::shared_ptr<Window> w = hwnd ? FindWindowShared(hwnd) : nullptr;
  if (!w) return;
  if (w->queue != CurrentQueue()) {
    QueueRaw(w->queue, [e] { ConvertMouse(e); });
    return;
  }
  MouseMessages mm = MessagesFor(e.kind);
  LRESULT hit = HTCLIENT;
  if (!captured) {
    hit = SendMessageW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(e.pt.x, e.pt.y));
    if (hit == HTNOWHERE || hit == HTTRANSPARENT) return;
  }
  bool press = e.kind == 1 || e.kind == 3 || e.kind == 5;
  if (press && !captured && !ClickActivate(hwnd, hit, mm.client)) return;
  if (!captured && IsWindow(hwnd))
    SendMessageW(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(static_cast<WORD>(hit), mm.client));
  if (!IsWindow(hwnd)) return;
  bool client = hit == HTCLIENT;
  UINT message = client ? mm.client : mm.nonClient;
  if (press && mm.clientDbl) {
    UINT dbl = client ? mm.clientDbl : mm.nonClientDbl;
    if (!client || HasDoubleClicks(hwnd)) message = MaybeDoubleClick(hwnd, message, dbl, e.pt, client);
  }
  if (client) {
    POINT c = e.pt;
    ScreenToClient(hwnd, &c);
    QueueInput(hwnd, message, e.keys, MAKELPARAM(c.x, c.y), e.pt);
  } else {
    QueueInput(hwnd, message, static_cast<WPARAM>(hit), MAKELPARAM(e.pt.x, e.pt.y), e.pt);
  }
}

void RouteMouse(int kind, POINT pt, HWND hint) {
  EnsureDestroyHook();
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().cursor = pt;
    BYTE* k = S().keys;
    auto set = [&](int vk, bool down) { k[vk] = static_cast<BYTE>(down ? (k[vk] | 0x81) : (k[vk] & ~0x80)); };
    if (kind == 1 || kind == 2) set(VK_LBUTTON, kind == 1);
    if (kind == 3 || kind == 4) set(VK_RBUTTON, kind == 3);
    if (kind == 5 || kind == 6) set(VK_MBUTTON, kind == 5);
  }
  SendMouseToOwner(MouseEvent{kind, pt, hint, MouseKeyFlags()});
}

UINT KeyMessage(bool down, bool altDown, UINT vk, bool controlDown) {
  bool sys = (altDown && !controlDown) || (vk == VK_F10 && !controlDown);  // Alt chords and F10
  if (down) return sys ? WM_SYSKEYDOWN : WM_KEYDOWN;
  return (sys || vk == VK_MENU || vk == VK_LMENU || vk == VK_RMENU) ? WM_SYSKEYUP : WM_KEYUP;
}

// The generic key a left/right-specific one stands for, as key messages carry it.
UINT GenericKey(UINT vk) {
  switch (vk) {
    case VK_LSHIFT:
    case VK_RSHIFT: return VK_SHIFT;
    case VK_LCONTROL:
    case VK_RCONTROL: return VK_CONTROL;
    case VK_LMENU:
    case VK_RMENU: return VK_MENU;
    default: return vk;
  }
}

void SetPhysicalKey(UINT vk, bool down) {
  BYTE* k = S().keys;
  auto set = [&](UINT v, bool d) { k[v & 0xFF] = static_cast<BYTE>(d ? (k[v & 0xFF] | 0x81) : (k[v & 0xFF] & ~0x80)); };
  set(vk, down);
  // The generic key is down while either side is (set/clear per side, never counted).
  auto both = [&](UINT generic, UINT left, UINT right) {
    if (vk == generic || vk == left || vk == right) set(generic, (k[left] & 0x80) || (k[right] & 0x80) || (vk == generic && down));
  };
  both(VK_SHIFT, VK_LSHIFT, VK_RSHIFT);
  both(VK_CONTROL, VK_LCONTROL, VK_RCONTROL);
  both(VK_MENU, VK_LMENU, VK_RMENU);
}

// The physical key state as it was when a low-level key event happened. While a hook procedure
// runs for that event, GetAsyncKeyState on its thread answers from it: the hook's thread may run
// long after the event, when later keys (a Shift released right after Tab) changed the live state.
using KeySnapshot = std::array<BYTE, 256>;
thread_local const KeySnapshot* t_hookKeys = nullptr;

struct HookCall {
  std::mutex mutex;
  std::condition_variable cv;
  int pending = 0;
  bool swallowed = false;
};

LRESULT CallHookChainFrom(size_t index, const std::shared_ptr<ThreadQueue>& queue, int code, WPARAM wp, LPARAM lp);

// Runs the most recent hook of each thread that installed one; each hook passes the event on to the
// older hooks of its thread with CallNextHookEx.
bool CallHooks(WPARAM message, const KBDLLHOOKSTRUCT& info, std::shared_ptr<const KeySnapshot> keys, bool wait) {
  std::vector<std::shared_ptr<ThreadQueue>> threads;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    for (const Hook& h : S().hooks)
      if (std::find(threads.begin(), threads.end(), h.queue) == threads.end()) threads.push_back(h.queue);
  }
  if (threads.empty()) return false;
  auto call = std::make_shared<HookCall>();
  std::shared_ptr<ThreadQueue> self = CurrentQueue();
  for (const auto& q : threads) {
    auto run = [call, q, message, info, keys] {
      KBDLLHOOKSTRUCT copy = info;
      const KeySnapshot* outer = t_hookKeys;  // a hook that pumps may run another event's hooks
      t_hookKeys = keys.get();
      LRESULT r = CallHookChainFrom(0, q, HC_ACTION, message, reinterpret_cast<LPARAM>(&copy));
      t_hookKeys = outer;
      std::lock_guard<std::mutex> lock(call->mutex);
      if (r) call->swallowed = true;
      --call->pending;
      call->cv.notify_all();
    };
    {
      std::lock_guard<std::mutex> lock(call->mutex);
      ++call->pending;
    }
    if (q == self) run();
    else RunOnThread(q, run);
  }
  if (!wait) return false;
  // A thread that does not pump in time loses its say, as Windows' hook time-out has it.
  std::unique_lock<std::mutex> lock(call->mutex);
  call->cv.wait_for(lock, std::chrono::seconds(1), [&] { return call->pending == 0; });
  return call->swallowed;
}

LRESULT CallHookChainFrom(size_t index, const std::shared_ptr<ThreadQueue>& queue, int code, WPARAM wp, LPARAM lp) {
  HOOKPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    size_t seen = 0;
    for (const Hook& h : S().hooks) {
      if (h.queue != queue) continue;
      if (seen++ == index) {
        proc = h.proc;
        break;
      }
    }
  }
  return proc ? proc(code, wp, lp) : 0;
}

void DeliverKey(UINT vk, UINT scan, bool extended, bool down, std::u16string text) {
  HWND target = FocusWindowOfDesktop();
  if (!target) target = ActiveWindowOfDesktop();
  if (!target) return;
  bool alt, control;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    alt = (S().keys[VK_MENU] & 0x80) != 0;
    control = (S().keys[VK_CONTROL] & 0x80) != 0;
  }
  std::shared_ptr<Window> w = FindWindowShared(target);
  if (!w) return;
  UINT generic = GenericKey(vk);
  UINT message = KeyMessage(down, alt, generic, control);
  QueueRaw(w->queue, [target, generic, scan, extended, down, message, alt, text] {
    if (!IsWindow(target)) return;
    std::shared_ptr<ThreadQueue> q = CurrentQueue();
    bool previous = down ? (q->keyState[generic & 0xFF] & 0x80) != 0 : true;
    LPARAM lp = 1 | (static_cast<LPARAM>(scan & 0xFF) << 16) | (extended ? (1L << 24) : 0) | (alt ? (1L << 29) : 0) |
                (previous ? (1L << 30) : 0) | (down ? 0 : (1L << 31));
    POINT pt;
    GetCursorPos(&pt);
    QueueInput(target, message, generic, lp, pt);
    if (!down || text.empty()) return;
    // Text the layout translation would not give (other layouts, input methods) comes as characters.
    bool shift = (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0;
    WCHAR translated = LayoutCharForKey(generic, shift, false);
    if (text.size() == 1 && (text[0] == translated || (translated && (text[0] | 0x20) == (translated | 0x20)))) return;
    if (text.size() == 1 && text[0] < 0x20) return;  // control characters come from TranslateMessage
    for (char16_t c : text) QueueInput(target, alt ? WM_SYSCHAR : WM_CHAR, c, lp, pt);
  });
}

// One step of the move loop: the window proposes its rectangle, then moves there.
void MoveStep(HWND hwnd, const RECT& start, POINT origin, POINT now) {
  RECT r = start;
  OffsetRect(&r, now.x - origin.x, now.y - origin.y);
  SendMessageW(hwnd, WM_MOVING, 0, reinterpret_cast<LPARAM>(&r));
  RECT cur;
  if (!GetWindowRect(hwnd, &cur) || (cur.left == r.left && cur.top == r.top)) return;
  SetWindowPos(hwnd, nullptr, r.left, r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Whether input for this thread still waits in its queue (the move loop ends only after it).
bool HasPendingInput() {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  std::lock_guard<std::mutex> lock(q->mutex);
  return !q->input.empty() || !q->rawInput.empty() || !q->tasks.empty();
}

void RunMoveLoop(HWND hwnd, POINT origin) {
  RECT start;
  if (!GetWindowRect(hwnd, &start)) return;
  SendMessageW(hwnd, WM_ENTERSIZEMOVE, 0, 0);
  SetCapture(hwnd);
  for (;;) {
    if (!IsWindow(hwnd) || GetCapture() != hwnd) break;
    if (!(GetAsyncKeyState(VK_LBUTTON) & 0x8000) && !HasPendingInput()) break;
    MSG msg;
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (!got || got == -1) {
      if (!got) PostQuitMessage(static_cast<int>(msg.wParam));  // leave WM_QUIT for the main loop
      break;
    }
    if (msg.hwnd == hwnd && (msg.message == WM_MOUSEMOVE || msg.message == WM_LBUTTONUP)) {
      MoveStep(hwnd, start, origin, msg.pt);
      if (msg.message == WM_LBUTTONUP) break;
      continue;
    }
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
      SetWindowPos(hwnd, nullptr, start.left, start.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (GetCapture() == hwnd) ReleaseCapture();
  if (IsWindow(hwnd)) SendMessageW(hwnd, WM_EXITSIZEMOVE, 0, 0);
}

}  // namespace

void InputMouseMove(POINT screen, HWND hint) { RouteMouse(0, screen, hint); }

void InputMouseButton(MouseButton button, bool down, POINT screen, HWND hint) {
  int base = button == MouseButton::Left ? 1 : button == MouseButton::Right ? 3 : 5;
  RouteMouse(base + (down ? 0 : 1), screen, hint);
}

void InputMouseWheel(int delta, POINT screen, HWND hint) {
  EnsureDestroyHook();
  HWND target;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().cursor = screen;
    target = S().capture;
  }
  if (!target || !IsWindow(target)) target = WindowUnder(screen, hint);
  std::shared_ptr<Window> w = target ? FindWindowShared(target) : nullptr;
  if (!w) return;
  WPARAM keys = MouseKeyFlags();
  QueueRaw(w->queue, [target, delta, screen, keys] {
    if (!IsWindow(target)) return;
    WPARAM wp = MAKEWPARAM(static_cast<WORD>(keys), static_cast<WORD>(static_cast<short>(delta)));
    QueueInput(target, WM_MOUSEWHEEL, wp, MAKELPARAM(screen.x, screen.y), screen);
  });
}

bool InputLowLevelKey(UINT vk, UINT scan, bool extended, bool down, bool wait) {
  auto keys = std::make_shared<KeySnapshot>();
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    SetPhysicalKey(vk & 0xFF, down);
    std::copy(std::begin(S().keys), std::end(S().keys), keys->begin());
  }
  bool alt = ((*keys)[VK_MENU] & 0x80) != 0;
  bool control = ((*keys)[VK_CONTROL] & 0x80) != 0;
  KBDLLHOOKSTRUCT info{};
  info.vkCode = vk;
  info.scanCode = scan;
  info.flags = (extended ? LLKHF_EXTENDED : 0) | (alt ? LLKHF_ALTDOWN : 0) | (down ? 0 : LLKHF_UP);
  info.time = GetTickCount();
  WPARAM message = KeyMessage(down, alt, GenericKey(vk), control);
  return CallHooks(message, info, std::move(keys), wait);
}

void InputKey(UINT vk, UINT scan, bool extended, bool down, const std::u16string& text) {
  DeliverKey(vk, scan, extended, down, text);
}

LRESULT DefInputProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETCURSOR: {
      // A child lets its parent decide first, as Windows does.
      WindowState s;
      if (GetWindowState(hwnd, s) && (s.style & WS_CHILD) && s.parent &&
          SendMessageW(s.parent, WM_SETCURSOR, wParam, lParam))
        return TRUE;
      short hit = static_cast<short>(LOWORD(lParam));
      if (hit == HTCLIENT) {
        HCURSOR classCursor = nullptr;
        {
          std::lock_guard<std::mutex> lock(UserLock());
          Window* w = FindWindowLocked(hwnd);
          if (w && w->cls) classCursor = w->cls->info.hCursor;
        }
        if (classCursor) {
          SetCursor(classCursor);
          return TRUE;
        }
        return FALSE;
      }
      SetCursor(LoadCursorW(nullptr, IDC_ARROW));
      return hit == HTERROR ? FALSE : TRUE;
    }
    case WM_NCLBUTTONDOWN:
      if (wParam == HTCAPTION) RunMoveLoop(hwnd, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
      return 0;
    default: return 0;
  }
}

}  // namespace qvp

using namespace qvp;

HWND SetCapture(HWND hWnd) {
  EnsureDestroyHook();
  std::shared_ptr<Window> w = FindWindowShared(hWnd);
  if (!w || w->queue != CurrentQueue()) {
    SetLastError(w ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  HWND previous;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    previous = S().capture;
    S().capture = hWnd;
  }
  if (previous == hWnd) return previous;
  if (previous && IsWindow(previous)) SendMessageW(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hWnd));
  TheBackend().OnCaptureChanged(hWnd);
  return previous;
}

BOOL ReleaseCapture() {
  HWND previous;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    previous = S().capture;
    std::shared_ptr<Window> w = previous ? FindWindowShared(previous) : nullptr;
    if (w && w->queue != CurrentQueue()) return TRUE;  // another thread's capture stays
    S().capture = nullptr;
  }
  if (!previous) return TRUE;
  TheBackend().OnCaptureChanged(nullptr);
  if (IsWindow(previous)) SendMessageW(previous, WM_CAPTURECHANGED, 0, 0);
  return TRUE;
}

HWND GetCapture() {
  HWND capture;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    capture = S().capture;
  }
  std::shared_ptr<Window> w = capture ? FindWindowShared(capture) : nullptr;
  return w && w->queue == CurrentQueue() ? capture : nullptr;
}

BOOL TrackMouseEvent(LPTRACKMOUSEEVENT lpEventTrack) {
  if (!lpEventTrack || lpEventTrack->cbSize != sizeof(TRACKMOUSEEVENT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  EnsureDestroyHook();
  TRACKMOUSEEVENT& t = *lpEventTrack;
  std::unique_lock<std::mutex> lock(S().mutex);
  if (t.dwFlags & TME_QUERY) {
    t.dwFlags = S().tracked ? (TME_LEAVE | (S().trackedNonClient ? TME_NONCLIENT : 0)) : 0;
    t.hwndTrack = S().tracked;
    return TRUE;
  }
  if (!(t.dwFlags & TME_LEAVE)) return TRUE;  // hover is not tracked
  if (t.dwFlags & TME_CANCEL) {
    if (S().tracked == t.hwndTrack) S().tracked = nullptr;
    return TRUE;
  }
  POINT cursor = S().cursor;
  lock.unlock();
  if (!IsWindow(t.hwndTrack)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  // Asking while the pointer is already outside gets the leave at once.
  bool inside;
  {
    std::lock_guard<std::mutex> l(S().mutex);
    inside = S().capture == t.hwndTrack;
  }
  if (!inside) {
    HWND under = WindowUnder(cursor, nullptr);
    inside = under == t.hwndTrack;
  }
  if (!inside) {
    PostLeave(t.hwndTrack, (t.dwFlags & TME_NONCLIENT) != 0);
    return TRUE;
  }
  std::lock_guard<std::mutex> l(S().mutex);
  S().tracked = t.hwndTrack;
  S().trackedNonClient = (t.dwFlags & TME_NONCLIENT) != 0;
  return TRUE;
}

BOOL GetCursorPos(LPPOINT lpPoint) {
  if (!lpPoint) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(S().mutex);
  *lpPoint = S().cursor;
  return TRUE;
}

BOOL SetCursorPos(int X, int Y) {
  RECT d = TheBackend().DesktopRect();
  POINT p{std::clamp<LONG>(X, d.left, d.right - 1), std::clamp<LONG>(Y, d.top, d.bottom - 1)};
  TheBackend().MovePointer(p);
  InputMouseMove(p, nullptr);
  return TRUE;
}

HCURSOR LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
  uintptr_t id = reinterpret_cast<uintptr_t>(lpCursorName);
  if (!hInstance && id < 0x10000) {
    for (const CursorShape& s : kCursors)
      if (static_cast<uintptr_t>(s.id) == id) return reinterpret_cast<HCURSOR>(const_cast<CursorShape*>(&s));
  }
  SetLastError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
  return nullptr;
}

HCURSOR SetCursor(HCURSOR hCursor) {
  HCURSOR previous;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    previous = S().cursorShape;
    S().cursorShape = hCursor;
  }
  if (previous != hCursor) TheBackend().OnCursorChanged(CursorId(hCursor));
  return previous;
}

HCURSOR GetCursor() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().cursorShape;
}

UINT GetDoubleClickTime() { return kDoubleClickMs; }

SHORT GetAsyncKeyState(int vKey) {
  std::lock_guard<std::mutex> lock(S().mutex);
  BYTE& k = S().keys[vKey & 0xFF];
  // Inside a low-level hook, whether the key is down is as of the event being delivered.
  bool down = t_hookKeys ? ((*t_hookKeys)[vKey & 0xFF] & 0x80) != 0 : (k & 0x80) != 0;
  SHORT result = static_cast<SHORT>((down ? 0x8000 : 0) | (k & 0x01));
  k &= ~0x01;
  return result;
}

HHOOK SetWindowsHookExA(int idHook, HOOKPROC lpfn, HINSTANCE, DWORD dwThreadId) {
  if (idHook != WH_KEYBOARD_LL || !lpfn || dwThreadId != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(S().mutex);
  HHOOK handle = reinterpret_cast<HHOOK>(S().nextHook += 0x10);
  S().hooks.insert(S().hooks.begin(), Hook{handle, lpfn, CurrentQueue()});
  return handle;
}

HHOOK SetWindowsHookExW(int idHook, HOOKPROC lpfn, HINSTANCE hmod, DWORD dwThreadId) {
  return SetWindowsHookExA(idHook, lpfn, hmod, dwThreadId);
}

LRESULT CallNextHookEx(HHOOK hhk, int nCode, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue;
  size_t next = 0;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    size_t index = 0;
    bool found = false;
    for (const Hook& h : S().hooks) {
      if (h.queue != CurrentQueue()) continue;
      if (h.handle == hhk) {
        found = true;
        next = index + 1;
        break;
      }
      ++index;
    }
    if (!found) return 0;
    queue = CurrentQueue();
  }
  return CallHookChainFrom(next, queue, nCode, wParam, lParam);
}

BOOL UnhookWindowsHookEx(HHOOK hhk) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto& hooks = S().hooks;
  auto it = std::find_if(hooks.begin(), hooks.end(), [&](const Hook& h) { return h.handle == hhk; });
  if (it == hooks.end()) {
    SetLastError(1404);  // ERROR_INVALID_HOOK_HANDLE
    return FALSE;
  }
  hooks.erase(it);
  return TRUE;
}

// ---- test injection: the same routes real input takes ----

namespace {

// Set-1 scan codes of the keys tests type.
UINT ScanCode(UINT vk) {
  if (vk >= 'A' && vk <= 'Z') return "\x1e\x30\x2e\x20\x12\x21\x22\x23\x17\x24\x25\x26\x32\x31\x18\x19\x10\x13\x1f\x14\x16\x2f\x11\x2d\x15\x2c"[vk - 'A'];
  if (vk >= '1' && vk <= '9') return 0x02 + (vk - '1');
  switch (vk) {
    case '0': return 0x0B;
    case VK_ESCAPE: return 0x01;
    case VK_BACK: return 0x0E;
    case VK_TAB: return 0x0F;
    case VK_RETURN: return 0x1C;
    case VK_LCONTROL:
    case VK_CONTROL: return 0x1D;
    case VK_LSHIFT:
    case VK_SHIFT: return 0x2A;
    case VK_RSHIFT: return 0x36;
    case VK_LMENU:
    case VK_MENU: return 0x38;
    case VK_SPACE: return 0x39;
    default: return 0;
  }
}

}  // namespace

#include "testing_input.h"

namespace qvplatform::testing {

void InjectMouseMove(int x, int y) { qvp::InputMouseMove(POINT{x, y}, nullptr); }

void InjectMouseButton(Button button, bool down, int x, int y) {
  qvp::MouseButton b = button == Button::Left    ? qvp::MouseButton::Left
                       : button == Button::Right ? qvp::MouseButton::Right
                                                 : qvp::MouseButton::Middle;
  qvp::InputMouseButton(b, down, POINT{x, y}, nullptr);
}

void InjectMouseWheel(int delta, int x, int y) { qvp::InputMouseWheel(delta, POINT{x, y}, nullptr); }

void InjectKey(unsigned vk, bool down, const std::u16string& text) {
  // The hooks see the physical (left or right) key; windows see the generic one.
  UINT physical = vk == VK_SHIFT ? VK_LSHIFT : vk == VK_CONTROL ? VK_LCONTROL : vk == VK_MENU ? VK_LMENU : vk;
  UINT scan = ScanCode(physical);
  if (qvp::InputLowLevelKey(physical, scan, false, down, true)) return;
  qvp::InputKey(physical, scan, false, down, text);
}

}  // namespace qvplatform::testing
