// Window classes and windows: creation, destruction, geometry, showing, z-order, activation,
// focus, update regions and the default window procedure.
#include <algorithm>
#include <cctype>
#include <map>

#include "backend.h"
#include "user_internal.h"
#include "user_model.h"
#include "utf.h"
#include "win32/gdi.h"
#include "win32/kernel.h"

namespace qvp {

void KillWindowTimers(HWND hwnd);                    // user_queue.cpp
void PurgeWindowMessages(ThreadQueue& q, HWND hwnd);  // user_queue.cpp

namespace {

constexpr int kCaption = 23;   // SM_CYCAPTION
constexpr int kFrame = 8;      // sizing frame, padded border included
constexpr int kDlgFrame = 3;   // SM_CXDLGFRAME
constexpr int kBorder = 1;     // SM_CXBORDER

struct Slot {
  uint32_t generation = 0;
  std::shared_ptr<Window> window;
};

struct Model {
  std::vector<Slot> slots;
  std::vector<uint32_t> freeSlots;
  std::vector<HWND> zorder;  // top-level windows, topmost first
  std::map<std::u16string, std::shared_ptr<WindowClass>> classes;  // by lower-case name
  ATOM nextAtom = 0xC000;
  HWND active = nullptr;  // also the foreground window: one desktop, one active window
  HWND focus = nullptr;
  std::vector<std::function<void(HWND)>> destroyHooks;
};

Model& M() {
  static Model* model = new Model;  // windows may outlive static destruction
  return *model;
}

// A window handle names its slot and generation; the low bits keep it clear of HWND_TOPMOST,
// HWND_BOTTOM and friends.
HWND EncodeHwnd(uint32_t index, uint32_t generation) {
  uint64_t v = (static_cast<uint64_t>(generation) << 32) | (static_cast<uint64_t>(index + 1) << 4);
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
}

const HWND kDesktop = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));

std::u16string Lower(const std::u16string& s) {
  std::u16string out(s);
  for (auto& c : out)
    if (c < 128) c = static_cast<char16_t>(std::tolower(static_cast<int>(c)));
  return out;
}

std::u16string ClassKey(LPCWSTR name, std::shared_ptr<WindowClass>* byAtom) {
  uintptr_t v = reinterpret_cast<uintptr_t>(name);
  if (v < 0x10000) {  // MAKEINTATOM
    for (auto& entry : M().classes)
      if (entry.second->atom == static_cast<ATOM>(v)) {
        if (byAtom) *byAtom = entry.second;
        return entry.first;
      }
    return std::u16string();
  }
  return Lower(std::u16string(name, WideLength(name)));
}

// Window coordinates and sizes stay within 16 bits, as on Windows: anything larger is clamped.
int ClampCoord(int v) { return std::clamp(v, -32768, 32767); }
int ClampSize(int v) { return std::clamp(v, 0, 32767); }
RECT ClampedRect(int x, int y, int cx, int cy) {
  x = ClampCoord(x);
  y = ClampCoord(y);
  return RECT{x, y, x + ClampSize(cx), y + ClampSize(cy)};
}

RECT NonClientInset(DWORD style, DWORD exStyle) {
  RECT r{0, 0, 0, 0};
  int frame = 0;
  if (style & WS_THICKFRAME) frame = kFrame;
  else if (style & WS_DLGFRAME) frame = kDlgFrame;
  else if (style & WS_BORDER) frame = kBorder;
  if (exStyle & WS_EX_CLIENTEDGE) frame += 2;
  r.left = r.right = r.bottom = r.top = frame;
  if ((style & WS_CAPTION) == WS_CAPTION) r.top += kCaption;
  return r;
}

bool IsTopLevel(const Window* w) { return !(w->style & WS_CHILD); }

// Screen origin of a window's parent client area (0,0 for top-level windows).
POINT ParentOrigin(const Window* w) {
  POINT p{0, 0};
  while (w && (w->style & WS_CHILD) && w->parent) {
    Window* parent = FindWindowLocked(w->parent);
    if (!parent) break;
    p.x += parent->rect.left + parent->clientInset.left;
    p.y += parent->rect.top + parent->clientInset.top;
    w = parent;
  }
  return p;
}

RECT ScreenRect(const Window* w) {
  POINT o = ParentOrigin(w);
  RECT r = w->rect;
  OffsetRect(&r, o.x, o.y);
  return r;
}

RECT ClientSize(const Window* w) {
  RECT r{0, 0, (w->rect.right - w->rect.left) - w->clientInset.left - w->clientInset.right,
         (w->rect.bottom - w->rect.top) - w->clientInset.top - w->clientInset.bottom};
  if (r.right < 0) r.right = 0;
  if (r.bottom < 0) r.bottom = 0;
  return r;
}

bool VisibleLocked(const Window* w) {
  while (w) {
    if (!(w->style & WS_VISIBLE)) return false;
    if (!(w->style & WS_CHILD) || !w->parent) return true;
    w = FindWindowLocked(w->parent);
  }
  return false;
}

std::vector<HWND> OwnedBy(HWND owner) {
  std::vector<HWND> out;
  for (HWND h : M().zorder) {
    Window* w = FindWindowLocked(h);
    if (w && w->owner == owner) out.push_back(h);
  }
  return out;
}

std::vector<HWND> ChildrenOf(HWND parent) {
  std::vector<HWND> out;
  for (const Slot& s : M().slots)
    if (s.window && (s.window->style & WS_CHILD) && s.window->parent == parent) out.push_back(s.window->hwnd);
  return out;
}

// Places a top-level window at the top of its band (or at the bottom), then its owned windows
// above it, as Windows keeps them.
void RaiseLocked(HWND hwnd, bool bottom = false) {
  Window* w = FindWindowLocked(hwnd);
  if (!w || !IsTopLevel(w)) return;
  auto& z = M().zorder;
  z.erase(std::remove(z.begin(), z.end(), hwnd), z.end());
  bool topmost = (w->exStyle & WS_EX_TOPMOST) != 0;
  auto pos = z.begin();
  if (bottom) {
    pos = z.end();
  } else if (!topmost) {
    while (pos != z.end()) {
      Window* other = FindWindowLocked(*pos);
      if (!other || !(other->exStyle & WS_EX_TOPMOST)) break;
      ++pos;
    }
  }
  z.insert(pos, hwnd);
  if (bottom) return;
  for (HWND owned : OwnedBy(hwnd)) {
    Window* o = FindWindowLocked(owned);
    if (o && (o->exStyle & WS_EX_TOPMOST) == (w->exStyle & WS_EX_TOPMOST)) RaiseLocked(owned);
  }
}

void InsertAfterLocked(HWND hwnd, HWND after) {
  auto& z = M().zorder;
  z.erase(std::remove(z.begin(), z.end(), hwnd), z.end());
  auto it = std::find(z.begin(), z.end(), after);
  z.insert(it == z.end() ? z.end() : it + 1, hwnd);
}

LRESULT Send(HWND hwnd, UINT msg, WPARAM wp = 0, LPARAM lp = 0) { return SendMessageW(hwnd, msg, wp, lp); }

void Notify(HWND hwnd, unsigned changes) {
  if (changes) TheBackend().OnWindowChanged(hwnd, changes);
}

void InvalidateWhole(HWND hwnd) { InvalidateRect(hwnd, nullptr, TRUE); }

HWND FindNextToActivate(HWND leaving) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(leaving);
  if (w && w->owner) {
    Window* o = FindWindowLocked(w->owner);
    if (o && !o->destroying && VisibleLocked(o) && !(o->style & WS_DISABLED)) return w->owner;
  }
  for (HWND h : M().zorder) {
    Window* c = FindWindowLocked(h);
    if (h == leaving || !c || c->destroying || !VisibleLocked(c) || (c->style & WS_DISABLED) ||
        (c->exStyle & (WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW)) || c->iconic)
      continue;
    return h;
  }
  return nullptr;
}

}  // namespace

// Makes `hwnd` the active (and foreground) window, on the calling thread, which owns it. `state`
// is WA_ACTIVE, or WA_CLICKACTIVE when a mouse click activates it.
void ActivateWindow(HWND hwnd, bool raise, WORD state) {
  HWND previous;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    previous = M().active;
    if (hwnd && !FindWindowLocked(hwnd)) return;
    if (previous == hwnd) {
      if (raise && hwnd) RaiseLocked(hwnd);
      return;
    }
    M().active = hwnd;
    if (raise && hwnd) RaiseLocked(hwnd);
  }
  if (previous && IsWindow(previous)) {
    Send(previous, WM_NCACTIVATE, FALSE, 0);
    Send(previous, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), reinterpret_cast<LPARAM>(hwnd));
    // The focus leaves with the activation; the newly active window's WM_ACTIVATE sets it again.
    HWND lost = nullptr;
    {
      std::lock_guard<std::mutex> lock(UserLock());
      if (M().focus && !FindWindowLocked(M().focus)) M().focus = nullptr;
      if (M().focus) {
        lost = M().focus;
        M().focus = nullptr;
      }
    }
    if (lost) Send(lost, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  }
  if (hwnd) {
    if (raise) Notify(hwnd, kChangedZOrder);
    TheBackend().OnWindowActivated(hwnd);
    Send(hwnd, WM_NCACTIVATE, TRUE, 0);
    Send(hwnd, WM_ACTIVATE, MAKEWPARAM(state, 0), reinterpret_cast<LPARAM>(previous));
  }
}

namespace {

void Activate(HWND hwnd, bool raise) { ActivateWindow(hwnd, raise, WA_ACTIVE); }

void DeactivateIfActive(HWND hwnd) {
  bool wasActive;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    wasActive = M().active == hwnd;
  }
  if (!wasActive) return;
  HWND next = FindNextToActivate(hwnd);
  std::shared_ptr<Window> n = next ? FindWindowShared(next) : nullptr;
  if (n && n->queue != CurrentQueue()) {
    Activate(nullptr, false);
    RunOnThread(n->queue, [next] { Activate(next, true); });
  } else {
    Activate(next, true);
  }
}

void ShowState(HWND hwnd, bool show, bool activate) {
  unsigned changes = 0;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hwnd);
    if (!w) return;
    bool visible = (w->style & WS_VISIBLE) != 0;
    if (visible != show) {
      if (show) w->style |= WS_VISIBLE;
      else w->style &= ~WS_VISIBLE;
      changes |= kChangedVisibility;
    }
    if (show && activate && IsTopLevel(w)) RaiseLocked(hwnd);
  }
  if (changes) {
    WINDOWPOS wp{hwnd, nullptr, 0, 0, 0, 0,
                 static_cast<UINT>(SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE |
                                   (show ? SWP_SHOWWINDOW : SWP_HIDEWINDOW))};
    Send(hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&wp));
    Notify(hwnd, changes);
    if (show) InvalidateWhole(hwnd);
  }
  if (!show) DeactivateIfActive(hwnd);
  if (show && activate) Activate(hwnd, true);
}

bool CanActivate(HWND hwnd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hwnd);
  return w && IsTopLevel(w) && !(w->exStyle & WS_EX_NOACTIVATE);
}

// Applies a size/position change and sends what Windows sends around it.
BOOL ApplyWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags) {
  WINDOWPOS wp{hwnd, after, x, y, cx, cy, flags};
  if (!(flags & SWP_NOSENDCHANGING)) Send(hwnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&wp));
  flags = wp.flags;
  unsigned changes = 0;
  bool moved = false, sized = false;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hwnd);
    if (!w) return FALSE;
    RECT r = w->rect;
    wp.x = ClampCoord(wp.x);
    wp.y = ClampCoord(wp.y);
    if (!(flags & SWP_NOMOVE) && (wp.x != r.left || wp.y != r.top)) {
      OffsetRect(&r, wp.x - r.left, wp.y - r.top);
      moved = true;
    }
    if (!(flags & SWP_NOSIZE)) {
      int ncx = ClampSize(wp.cx), ncy = ClampSize(wp.cy);
      if (ncx != r.right - r.left || ncy != r.bottom - r.top) {
        r.right = r.left + ncx;
        r.bottom = r.top + ncy;
        sized = true;
      }
    }
    w->rect = r;
    if (!(flags & SWP_NOZORDER) && IsTopLevel(w)) {
      // A window put where it already is changes nothing, as on Windows: no restacking that
      // could disturb a click in progress.
      const std::vector<HWND> zorderBefore = M().zorder;
      const DWORD topmostBefore = w->exStyle & WS_EX_TOPMOST;
      if (wp.hwndInsertAfter == HWND_TOPMOST) {
        w->exStyle |= WS_EX_TOPMOST;
        RaiseLocked(hwnd);
      } else if (wp.hwndInsertAfter == HWND_NOTOPMOST) {
        w->exStyle &= ~WS_EX_TOPMOST;
        RaiseLocked(hwnd);
      } else if (wp.hwndInsertAfter == HWND_TOP) {
        RaiseLocked(hwnd);
      } else if (wp.hwndInsertAfter == HWND_BOTTOM) {
        w->exStyle &= ~WS_EX_TOPMOST;
        RaiseLocked(hwnd, true);
      } else if (FindWindowLocked(wp.hwndInsertAfter)) {
        InsertAfterLocked(hwnd, wp.hwndInsertAfter);
      }
      if (M().zorder != zorderBefore || (w->exStyle & WS_EX_TOPMOST) != topmostBefore) changes |= kChangedZOrder;
    }
  }
  if (sized || (flags & SWP_FRAMECHANGED)) {
    // The window may claim a different client area (frameless windows take it all).
    RECT calc;
    {
      std::lock_guard<std::mutex> lock(UserLock());
      Window* w = FindWindowLocked(hwnd);
      if (!w) return FALSE;
      calc = ScreenRect(w);
    }
    RECT window = calc;
    NCCALCSIZE_PARAMS params{};
    params.rgrc[0] = calc;
    params.lppos = &wp;
    Send(hwnd, WM_NCCALCSIZE, TRUE, reinterpret_cast<LPARAM>(&params));
    std::lock_guard<std::mutex> lock(UserLock());
    if (Window* w = FindWindowLocked(hwnd)) {
      RECT c = params.rgrc[0];
      w->clientInset = RECT{c.left - window.left, c.top - window.top, window.right - c.right, window.bottom - c.bottom};
    }
  }
  if (moved) changes |= kChangedPosition;
  if (sized) changes |= kChangedSize;
  if (flags & SWP_SHOWWINDOW) ShowState(hwnd, true, false);
  if (flags & SWP_HIDEWINDOW) ShowState(hwnd, false, false);
  if (!moved) flags |= SWP_NOMOVE;
  if (!sized) flags |= SWP_NOSIZE;
  WINDOWPOS done{hwnd, wp.hwndInsertAfter, wp.x, wp.y, wp.cx, wp.cy, flags};
  {
    std::lock_guard<std::mutex> lock(UserLock());
    if (Window* w = FindWindowLocked(hwnd)) {
      done.x = w->rect.left;
      done.y = w->rect.top;
      done.cx = w->rect.right - w->rect.left;
      done.cy = w->rect.bottom - w->rect.top;
    }
  }
  if (moved || sized || (flags & (SWP_FRAMECHANGED)) || !(flags & SWP_NOZORDER))
    Send(hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&done));
  Notify(hwnd, changes);
  if (sized && !(flags & SWP_NOREDRAW)) InvalidateWhole(hwnd);
  if (!(flags & SWP_NOACTIVATE) && CanActivate(hwnd) && IsWindowVisible(hwnd)) Activate(hwnd, false);
  return TRUE;
}

void FinalDestroy(HWND hwnd) {
  std::vector<std::function<void(HWND)>> hooks;
  std::shared_ptr<Window> doomed;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Model& m = M();
    hooks = m.destroyHooks;
    uint32_t index = static_cast<uint32_t>((reinterpret_cast<uintptr_t>(hwnd) & 0xFFFFFFFFu) >> 4) - 1;
    if (index < m.slots.size() && m.slots[index].window && m.slots[index].window->hwnd == hwnd) {
      doomed = std::move(m.slots[index].window);
      m.freeSlots.push_back(index);
    }
    m.zorder.erase(std::remove(m.zorder.begin(), m.zorder.end(), hwnd), m.zorder.end());
    if (m.active == hwnd) m.active = nullptr;
    if (m.focus == hwnd) m.focus = nullptr;
  }
  if (!doomed) return;
  PurgeWindowMessages(*doomed->queue, hwnd);
  // Timers, the display and the GDI parts are the window's own thread's business (a child may
  // belong to another thread than the parent that takes it down).
  auto finish = [hwnd, hooks] {
    KillWindowTimers(hwnd);
    TheBackend().OnWindowDestroyed(hwnd);
    for (auto& hook : hooks) hook(hwnd);
  };
  if (doomed->queue == CurrentQueue() || !RunOnThread(doomed->queue, finish)) finish();
}

void SendDestroy(HWND hwnd) {
  Send(hwnd, WM_DESTROY);
  std::vector<HWND> children;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    children = ChildrenOf(hwnd);
    for (HWND c : children)
      if (Window* w = FindWindowLocked(c)) w->destroying = true;
  }
  for (HWND c : children) SendDestroy(c);
}

void SendNcDestroy(HWND hwnd) {
  std::vector<HWND> children;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    children = ChildrenOf(hwnd);
  }
  for (HWND c : children) SendNcDestroy(c);
  Send(hwnd, WM_NCDESTROY);
  FinalDestroy(hwnd);
}

}  // namespace

std::mutex& UserLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

Window* FindWindowLocked(HWND hwnd) {
  uintptr_t v = reinterpret_cast<uintptr_t>(hwnd);
  uint32_t low = static_cast<uint32_t>(v);
  if (low == 0 || (low & 0xF) != 0) return nullptr;
  uint32_t index = (low >> 4) - 1;
  uint32_t generation = static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32);
  Model& m = M();
  if (index >= m.slots.size()) return nullptr;
  Slot& s = m.slots[index];
  if (!s.window || s.generation != generation) return nullptr;
  return s.window.get();
}

std::shared_ptr<Window> FindWindowShared(HWND hwnd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hwnd);
  if (!w) return nullptr;
  uint32_t index = static_cast<uint32_t>((reinterpret_cast<uintptr_t>(hwnd) & 0xFFFFFFFFu) >> 4) - 1;
  return M().slots[index].window;
}

LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hwnd);
    if (!w) return 0;
    proc = w->proc;
  }
  return proc ? proc(hwnd, message, wParam, lParam) : DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND NextWindowToPaint(DWORD threadId, HWND filter) {
  std::lock_guard<std::mutex> lock(UserLock());
  for (const Slot& s : M().slots) {
    const Window* w = s.window.get();
    if (!w || !w->hasUpdate || w->destroying || w->queue->threadId != threadId) continue;
    if (filter && filter != w->hwnd) continue;
    if (VisibleLocked(w)) return w->hwnd;
  }
  return nullptr;
}

void DestroyThreadWindows(DWORD threadId) {
  for (;;) {
    HWND victim = nullptr;
    {
      std::lock_guard<std::mutex> lock(UserLock());
      for (const Slot& s : M().slots) {
        const Window* w = s.window.get();
        // Top-level windows first; their children go with them.
        if (w && !w->destroying && w->queue->threadId == threadId && IsTopLevel(w)) {
          victim = w->hwnd;
          break;
        }
      }
    }
    if (!victim) return;
    DestroyWindow(victim);
  }
}

bool GetWindowState(HWND hwnd, WindowState& out) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hwnd);
  if (!w) return false;
  out.threadId = w->queue->threadId;
  out.style = w->style;
  out.exStyle = w->exStyle;
  out.parent = w->parent;
  out.owner = w->owner;
  out.windowRect = ScreenRect(w);
  out.clientRect = RECT{out.windowRect.left + w->clientInset.left, out.windowRect.top + w->clientInset.top,
                        out.windowRect.right - w->clientInset.right, out.windowRect.bottom - w->clientInset.bottom};
  out.visible = VisibleLocked(w);
  out.iconic = w->iconic;
  out.layeredFlags = w->layeredFlags;
  out.alpha = w->alpha;
  out.colorKey = w->colorKey;
  out.icons[0] = w->icons[0];
  out.icons[1] = w->icons[1];
  return true;
}

HWND FocusWindowOfDesktop() {
  std::lock_guard<std::mutex> lock(UserLock());
  return FindWindowLocked(M().focus) ? M().focus : nullptr;
}

HWND ActiveWindowOfDesktop() {
  std::lock_guard<std::mutex> lock(UserLock());
  return FindWindowLocked(M().active) ? M().active : nullptr;
}

std::vector<HWND> ChildWindows(HWND parent) {
  std::lock_guard<std::mutex> lock(UserLock());
  return ChildrenOf(parent);
}

std::vector<HWND> TopLevelWindowsInZOrder() {
  std::lock_guard<std::mutex> lock(UserLock());
  return M().zorder;
}

bool TakeUpdateRect(HWND hwnd, RECT& rect, bool& erase) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hwnd);
  if (!w) return false;
  rect = w->hasUpdate ? w->update : RECT{0, 0, 0, 0};
  erase = w->hasUpdate && w->updateErase;
  w->hasUpdate = false;
  w->updateErase = false;
  w->update = RECT{0, 0, 0, 0};
  return true;
}

void AddWindowDestroyHook(std::function<void(HWND)> hook) {
  std::lock_guard<std::mutex> lock(UserLock());
  M().destroyHooks.push_back(std::move(hook));
}

}  // namespace qvp

using namespace qvp;

// ---- classes ----

ATOM RegisterClassExW(const WNDCLASSEXW* lpwcx) {
  if (!lpwcx || lpwcx->cbSize != sizeof(WNDCLASSEXW) || !lpwcx->lpszClassName ||
      reinterpret_cast<uintptr_t>(lpwcx->lpszClassName) < 0x10000 || !*lpwcx->lpszClassName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(UserLock());
  std::u16string key = ClassKey(lpwcx->lpszClassName, nullptr);
  if (M().classes.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  auto cls = std::make_shared<WindowClass>();
  cls->name.assign(lpwcx->lpszClassName, WideLength(lpwcx->lpszClassName));
  cls->info = *lpwcx;
  cls->info.lpszClassName = cls->name.c_str();
  cls->info.lpszMenuName = nullptr;
  cls->atom = M().nextAtom++;
  M().classes[key] = cls;
  return cls->atom;
}

BOOL UnregisterClassW(LPCWSTR lpClassName, HINSTANCE) {
  std::lock_guard<std::mutex> lock(UserLock());
  std::shared_ptr<WindowClass> byAtom;
  std::u16string key = ClassKey(lpClassName, &byAtom);
  auto it = M().classes.find(key);
  if (it == M().classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  for (const Slot& s : M().slots)
    if (s.window && s.window->cls == it->second) {
      SetLastError(1412);  // ERROR_CLASS_HAS_WINDOWS
      return FALSE;
    }
  M().classes.erase(it);
  return TRUE;
}

BOOL GetClassInfoExW(HINSTANCE, LPCWSTR lpszClass, WNDCLASSEXW* lpwcx) {
  std::lock_guard<std::mutex> lock(UserLock());
  auto it = M().classes.find(ClassKey(lpszClass, nullptr));
  if (it == M().classes.end() || !lpwcx) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  *lpwcx = it->second->info;
  return TRUE;
}

// ---- creation and destruction ----

HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
  std::shared_ptr<ThreadQueue> queue = CurrentQueue();
  const RECT work = TheBackend().WorkArea();  // asked before the lock: a display may be slow to answer
  HWND hwnd;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Model& m = M();
    std::shared_ptr<WindowClass> cls;
    auto it = m.classes.find(ClassKey(lpClassName, &cls));
    if (it == m.classes.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    cls = it->second;
    HWND parent = nullptr, owner = nullptr;
    if (dwStyle & WS_CHILD) {
      if (!FindWindowLocked(hWndParent)) {
        SetLastError(1406);  // ERROR_TLW_WITH_WSCHILD
        return nullptr;
      }
      parent = hWndParent;
    } else if (hWndParent && hWndParent != kDesktop) {
      Window* o = FindWindowLocked(hWndParent);
      if (!o) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
      while (o && (o->style & WS_CHILD) && o->parent) o = FindWindowLocked(o->parent);  // the top-level owns
      owner = o ? o->hwnd : nullptr;
    }
    auto w = std::make_shared<Window>();
    uint32_t index;
    if (!m.freeSlots.empty()) {
      index = m.freeSlots.back();
      m.freeSlots.pop_back();
    } else {
      index = static_cast<uint32_t>(m.slots.size());
      m.slots.emplace_back();
    }
    Slot& slot = m.slots[index];
    slot.generation = slot.generation + 1 == 0 ? 1 : slot.generation + 1;
    hwnd = EncodeHwnd(index, slot.generation);
    w->hwnd = hwnd;
    w->queue = queue;
    w->cls = cls;
    w->proc = cls->info.lpfnWndProc;
    w->style = dwStyle & ~WS_VISIBLE;  // shown at the end, as Windows does
    if (!(dwStyle & WS_CHILD)) w->style |= WS_CLIPSIBLINGS;
    w->exStyle = dwExStyle;
    w->parent = parent;
    w->owner = owner;
    w->instance = hInstance;
    w->id = (dwStyle & WS_CHILD) ? reinterpret_cast<LONG_PTR>(hMenu) : 0;
    // Default placement for overlapped windows; pop-ups and children take 0.
    bool overlapped = !(dwStyle & (WS_POPUP | WS_CHILD));
    int x = X, y = Y, cx = nWidth, cy = nHeight;
    if (x == CW_USEDEFAULT) {
      x = overlapped ? work.left + 26 : 0;
      y = overlapped ? work.top + 26 : 0;
    }
    if (cx == CW_USEDEFAULT) {
      cx = overlapped ? (work.right - work.left) * 3 / 4 : 0;
      cy = overlapped ? (work.bottom - work.top) * 3 / 4 : 0;
    }
    w->rect = ClampedRect(x, y, cx, cy);
    w->normalRect = w->rect;
    w->clientInset = NonClientInset(w->style, w->exStyle);
    slot.window = w;
    if (!(dwStyle & WS_CHILD)) RaiseLocked(hwnd);
  }

  CREATESTRUCTW cs{lpParam, hInstance, hMenu, hWndParent, nHeight, nWidth, Y, X, static_cast<LONG>(dwStyle),
                   lpWindowName, lpClassName, dwExStyle};
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hwnd);
    cs.x = w->rect.left;
    cs.y = w->rect.top;
    cs.cx = w->rect.right - w->rect.left;
    cs.cy = w->rect.bottom - w->rect.top;
  }
  if (!SendMessageW(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
    SendNcDestroy(hwnd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Client area from WM_NCCALCSIZE.
  {
    RECT window;
    {
      std::lock_guard<std::mutex> lock(UserLock());
      window = ScreenRect(FindWindowLocked(hwnd));
    }
    RECT calc = window;
    SendMessageW(hwnd, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&calc));
    std::lock_guard<std::mutex> lock(UserLock());
    if (Window* w = FindWindowLocked(hwnd))
      w->clientInset = RECT{calc.left - window.left, calc.top - window.top, window.right - calc.right,
                            window.bottom - calc.bottom};
  }
  TheBackend().OnWindowCreated(hwnd);
  if (SendMessageW(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(hwnd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsWindow(hwnd)) return nullptr;  // destroyed from within its own creation
  RECT client;
  RECT window;
  GetClientRect(hwnd, &client);
  {
    std::lock_guard<std::mutex> lock(UserLock());
    window = FindWindowLocked(hwnd)->rect;
    Window* w = FindWindowLocked(hwnd);
    window.left += w->clientInset.left;
    window.top += w->clientInset.top;
  }
  SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
  SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(window.left, window.top));
  if ((dwStyle & WS_VISIBLE) && IsWindow(hwnd)) ShowWindow(hwnd, SW_SHOW);
  return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL DestroyWindow(HWND hWnd) {
  std::shared_ptr<Window> w = FindWindowShared(hWnd);
  if (!w || hWnd == kDesktop) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->queue != CurrentQueue()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(UserLock());
    if (w->destroying) return TRUE;
  }
  // Owned windows go first.
  std::vector<HWND> owned;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    owned = OwnedBy(hWnd);
  }
  for (HWND o : owned) {
    std::shared_ptr<Window> ow = FindWindowShared(o);
    if (!ow) continue;
    if (ow->queue == w->queue) {
      DestroyWindow(o);
    } else {
      RunOnThread(ow->queue, [o] { DestroyWindow(o); });
    }
  }
  if (IsWindowVisible(hWnd)) ShowState(hWnd, false, false);
  else DeactivateIfActive(hWnd);
  {
    std::lock_guard<std::mutex> lock(UserLock());
    w->destroying = true;
  }
  SendDestroy(hWnd);
  SendNcDestroy(hWnd);
  return TRUE;
}

BOOL IsWindow(HWND hWnd) {
  if (hWnd == kDesktop) return TRUE;
  std::lock_guard<std::mutex> lock(UserLock());
  return FindWindowLocked(hWnd) != nullptr;
}

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (lpdwProcessId) *lpdwProcessId = GetCurrentProcessId();
  return w->queue->threadId;
}

HWND GetParent(HWND hWnd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (w->style & WS_CHILD) return w->parent;
  return (w->style & WS_POPUP) ? w->owner : nullptr;
}

HWND GetWindow(HWND hWnd, UINT uCmd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto& z = M().zorder;
  auto it = std::find(z.begin(), z.end(), hWnd);
  switch (uCmd) {
    case GW_OWNER: return w->owner;
    case GW_HWNDFIRST: return z.empty() ? nullptr : z.front();
    case GW_HWNDLAST: return z.empty() ? nullptr : z.back();
    case GW_HWNDNEXT: return (it == z.end() || it + 1 == z.end()) ? nullptr : *(it + 1);
    case GW_HWNDPREV: return (it == z.end() || it == z.begin()) ? nullptr : *(it - 1);
    default: return nullptr;
  }
}

HWND GetDesktopWindow() { return kDesktop; }

int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
  if (!lpString || nMaxCount <= 0) return 0;
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    lpString[0] = 0;
    return 0;
  }
  int n = std::min<int>(static_cast<int>(w->text.size()), nMaxCount - 1);
  std::copy(w->text.begin(), w->text.begin() + n, lpString);
  lpString[n] = 0;
  return n;
}

BOOL SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  if (!IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0;
}

// ---- window data ----

LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (nIndex) {
    case GWL_STYLE: return static_cast<LONG_PTR>(static_cast<LONG>(w->style));
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->exStyle);
    case GWLP_USERDATA: return w->userData;
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_ID: return w->id;
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>((w->style & WS_CHILD) ? w->parent : w->owner);
    default: SetLastError(1413); return 0;  // ERROR_INVALID_INDEX
  }
}

LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  if (nIndex == GWL_STYLE || nIndex == GWL_EXSTYLE) {
    STYLESTRUCT ss{};
    {
      std::lock_guard<std::mutex> lock(UserLock());
      Window* w = FindWindowLocked(hWnd);
      if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
      ss.styleOld = nIndex == GWL_STYLE ? w->style : w->exStyle;
    }
    ss.styleNew = static_cast<DWORD>(dwNewLong);
    SendMessageW(hWnd, WM_STYLECHANGING, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(&ss));
    {
      std::lock_guard<std::mutex> lock(UserLock());
      Window* w = FindWindowLocked(hWnd);
      if (!w) return 0;
      if (nIndex == GWL_STYLE) {
        // WS_VISIBLE is kept; showing is ShowWindow's business.
        w->style = (ss.styleNew & ~WS_VISIBLE) | (w->style & WS_VISIBLE);
      } else {
        w->exStyle = ss.styleNew;
        if ((ss.styleOld ^ ss.styleNew) & WS_EX_TOPMOST) RaiseLocked(hWnd);
      }
    }
    SendMessageW(hWnd, WM_STYLECHANGED, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(&ss));
    Notify(hWnd, kChangedStyle);
    SetLastError(0);
    return static_cast<LONG_PTR>(ss.styleOld);
  }
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR old;
  switch (nIndex) {
    case GWLP_USERDATA: old = w->userData; w->userData = dwNewLong; break;
    case GWLP_WNDPROC:
      old = reinterpret_cast<LONG_PTR>(w->proc);
      w->proc = reinterpret_cast<WNDPROC>(dwNewLong);
      break;
    case GWLP_HINSTANCE:
      old = reinterpret_cast<LONG_PTR>(w->instance);
      w->instance = reinterpret_cast<HINSTANCE>(dwNewLong);
      break;
    case GWLP_ID: old = w->id; w->id = dwNewLong; break;
    case GWLP_HWNDPARENT: {
      old = reinterpret_cast<LONG_PTR>(w->owner);
      if (w->style & WS_CHILD) break;
      HWND owner = reinterpret_cast<HWND>(dwNewLong);
      // An owner chain that comes back to the window would never end (destroying, raising).
      for (Window* o = FindWindowLocked(owner); o; o = FindWindowLocked(o->owner)) {
        if (o == w) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return 0;
        }
      }
      if (owner && !FindWindowLocked(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
      w->owner = owner;
      break;
    }
    default: SetLastError(1413); return 0;
  }
  SetLastError(0);
  return old;
}

LONG GetWindowLongW(HWND hWnd, int nIndex) { return static_cast<LONG>(GetWindowLongPtrW(hWnd, nIndex)); }
LONG SetWindowLongW(HWND hWnd, int nIndex, LONG dwNewLong) {
  return static_cast<LONG>(SetWindowLongPtrW(hWnd, nIndex, dwNewLong));
}

BOOL SetLayeredWindowAttributes(HWND hwnd, COLORREF crKey, BYTE bAlpha, DWORD dwFlags) {
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hwnd);
    if (!w || !(w->exStyle & WS_EX_LAYERED)) {
      SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    w->layeredFlags = dwFlags & (LWA_COLORKEY | LWA_ALPHA);
    w->alpha = bAlpha;
    w->colorKey = crKey & 0x00FFFFFF;
  }
  Notify(hwnd, kChangedLayered);
  return TRUE;
}

BOOL GetLayeredWindowAttributes(HWND hwnd, COLORREF* pcrKey, BYTE* pbAlpha, DWORD* pdwFlags) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hwnd);
  if (!w || !(w->exStyle & WS_EX_LAYERED)) {
    SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (pcrKey) *pcrKey = w->colorKey;
  if (pbAlpha) *pbAlpha = w->alpha;
  if (pdwFlags) *pdwFlags = w->layeredFlags;
  return TRUE;
}

// ---- showing and placement ----

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
  std::shared_ptr<Window> w = FindWindowShared(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->queue != CurrentQueue()) {  // the window's own thread does the work
    BOOL was = IsWindowVisible(hWnd);
    RunOnThread(w->queue, [hWnd, nCmdShow] { ShowWindow(hWnd, nCmdShow); });
    return was;
  }
  bool wasVisible;
  bool iconic;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    wasVisible = (w->style & WS_VISIBLE) != 0;
    iconic = w->iconic;
  }
  bool activatable = CanActivate(hWnd);
  switch (nCmdShow) {
    case SW_HIDE:
      if (wasVisible) {
        SendMessageW(hWnd, WM_SHOWWINDOW, FALSE, 0);
        ShowState(hWnd, false, false);
      }
      break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
    case SW_SHOWMINNOACTIVE: {
      if (!wasVisible) SendMessageW(hWnd, WM_SHOWWINDOW, TRUE, 0);
      {
        std::lock_guard<std::mutex> lock(UserLock());
        if (!w->iconic) w->normalRect = w->rect;
        w->iconic = true;
        w->style |= WS_MINIMIZE;
      }
      ShowState(hWnd, true, false);
      SendMessageW(hWnd, WM_SIZE, SIZE_MINIMIZED, 0);
      DeactivateIfActive(hWnd);
      break;
    }
    case SW_MAXIMIZE: {
      if (!wasVisible) SendMessageW(hWnd, WM_SHOWWINDOW, TRUE, 0);
      // The work area of the monitor the window is on.
      RECT work = TheBackend().WorkArea();
      MONITORINFO monitor{};
      monitor.cbSize = sizeof monitor;
      if (GetMonitorInfoW(MonitorFromWindow(hWnd, MONITOR_DEFAULTTONEAREST), &monitor)) work = monitor.rcWork;
      RECT inset;
      {
        std::lock_guard<std::mutex> lock(UserLock());
        if (!(w->style & WS_MAXIMIZE) && !w->iconic) w->normalRect = w->rect;
        w->style = (w->style | WS_MAXIMIZE) & ~WS_MINIMIZE;
        w->iconic = false;
        inset = w->clientInset;
      }
      // The frame hangs outside the work area, as on Windows.
      ApplyWindowPos(hWnd, nullptr, work.left - inset.left, work.top - inset.left,
                     work.right - work.left + inset.left * 2, work.bottom - work.top + inset.left * 2,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
      ShowState(hWnd, true, activatable);
      break;
    }
    default: {  // SW_SHOW, SW_SHOWNORMAL, SW_RESTORE, SW_SHOWNA, SW_SHOWNOACTIVATE, SW_SHOWDEFAULT
      bool activate = activatable && nCmdShow != SW_SHOWNA && nCmdShow != SW_SHOWNOACTIVATE;
      bool restore = nCmdShow == SW_RESTORE || nCmdShow == SW_SHOWNORMAL || nCmdShow == SW_SHOWDEFAULT ||
                     nCmdShow == SW_SHOWNOACTIVATE;
      if (!wasVisible) SendMessageW(hWnd, WM_SHOWWINDOW, TRUE, 0);
      if (restore) {
        RECT normal;
        bool wasMax;
        {
          std::lock_guard<std::mutex> lock(UserLock());
          wasMax = (w->style & WS_MAXIMIZE) != 0;
          normal = w->normalRect;
          w->style &= ~(WS_MAXIMIZE | WS_MINIMIZE);
          w->iconic = false;
        }
        if (iconic || wasMax) {
          ApplyWindowPos(hWnd, nullptr, normal.left, normal.top, normal.right - normal.left,
                         normal.bottom - normal.top, SWP_NOZORDER | SWP_NOACTIVATE);
          SendMessageW(hWnd, WM_SIZE, SIZE_RESTORED,
                       MAKELPARAM(normal.right - normal.left, normal.bottom - normal.top));
        }
      }
      ShowState(hWnd, true, activate);
      break;
    }
  }
  return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hWnd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  return w && VisibleLocked(w);
}

BOOL IsIconic(HWND hWnd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  return w && w->iconic;
}

BOOL IsZoomed(HWND hWnd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  return w && (w->style & WS_MAXIMIZE);
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
  bool wasDisabled;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hWnd);
    if (!w) return FALSE;
    wasDisabled = (w->style & WS_DISABLED) != 0;
    if (bEnable) w->style &= ~WS_DISABLED;
    else w->style |= WS_DISABLED;
  }
  if (wasDisabled == !bEnable) return wasDisabled;
  SendMessageW(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
  return wasDisabled;
}

BOOL IsWindowEnabled(HWND hWnd) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  return w && !(w->style & WS_DISABLED);
}

BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
  std::shared_ptr<Window> w = FindWindowShared(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->queue != CurrentQueue()) {
    RunOnThread(w->queue, [=] { SetWindowPos(hWnd, hWndInsertAfter, X, Y, cx, cy, uFlags); });
    return TRUE;
  }
  return ApplyWindowPos(hWnd, hWndInsertAfter, X, Y, cx, cy, uFlags);
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
  return SetWindowPos(hWnd, nullptr, X, Y, nWidth, nHeight,
                      SWP_NOZORDER | SWP_NOACTIVATE | (bRepaint ? 0u : static_cast<UINT>(SWP_NOREDRAW)));
}

BOOL BringWindowToTop(HWND hWnd) { return SetWindowPos(hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); }

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
  if (!lpRect) return FALSE;
  if (hWnd == kDesktop) {
    *lpRect = TheBackend().DesktopRect();
    return TRUE;
  }
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  *lpRect = ScreenRect(w);
  return TRUE;
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) {
  if (!lpRect) return FALSE;
  if (hWnd == kDesktop) {
    RECT d = TheBackend().DesktopRect();
    *lpRect = RECT{0, 0, d.right - d.left, d.bottom - d.top};
    return TRUE;
  }
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  *lpRect = ClientSize(w);
  return TRUE;
}

static bool ClientOrigin(HWND hWnd, POINT& origin) {
  if (hWnd == kDesktop) {
    origin = POINT{0, 0};
    return true;
  }
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) return false;
  RECT r = ScreenRect(w);
  origin = POINT{r.left + w->clientInset.left, r.top + w->clientInset.top};
  return true;
}

BOOL ClientToScreen(HWND hWnd, LPPOINT lpPoint) {
  POINT o;
  if (!lpPoint || !ClientOrigin(hWnd, o)) return FALSE;
  lpPoint->x += o.x;
  lpPoint->y += o.y;
  return TRUE;
}

BOOL ScreenToClient(HWND hWnd, LPPOINT lpPoint) {
  POINT o;
  if (!lpPoint || !ClientOrigin(hWnd, o)) return FALSE;
  lpPoint->x -= o.x;
  lpPoint->y -= o.y;
  return TRUE;
}

// ---- painting ----

BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) {
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    std::vector<Window*> targets;
    if (!hWnd) {
      for (const Slot& s : M().slots)
        if (s.window) targets.push_back(s.window.get());
    } else if (Window* w = FindWindowLocked(hWnd)) {
      targets.push_back(w);
    } else {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    for (Window* w : targets) {
      RECT client = ClientSize(w);
      RECT add = client;
      if (lpRect && hWnd) IntersectRect(&add, lpRect, &client);
      if (IsRectEmpty(&add)) continue;
      if (w->hasUpdate) UnionRect(&w->update, &w->update, &add);
      else w->update = add;
      w->hasUpdate = true;
      w->updateErase = w->updateErase || bErase;
      q = w->queue;
      std::lock_guard<std::mutex> qlock(q->mutex);
      q->Notify();
    }
  }
  return TRUE;
}

BOOL ValidateRect(HWND hWnd, const RECT* lpRect) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (!w->hasUpdate) return TRUE;
  // The update area is kept as a box: it goes only when the rectangle covers all of it.
  RECT inter;
  if (!lpRect || (IntersectRect(&inter, lpRect, &w->update) && EqualRect(&inter, &w->update))) {
    w->hasUpdate = false;
    w->updateErase = false;
    w->update = RECT{0, 0, 0, 0};
  }
  return TRUE;
}

BOOL GetUpdateRect(HWND hWnd, LPRECT lpRect, BOOL) {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w) return FALSE;
  if (lpRect) *lpRect = w->hasUpdate ? w->update : RECT{0, 0, 0, 0};
  return w->hasUpdate ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND hWnd) {
  bool pending;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    pending = w->hasUpdate && VisibleLocked(w);
  }
  if (pending) SendMessageW(hWnd, WM_PAINT, 0, 0);
  return TRUE;
}

// ---- activation and focus ----

HWND SetFocus(HWND hWnd) {
  std::shared_ptr<ThreadQueue> self = CurrentQueue();
  HWND topLevel = nullptr;
  if (hWnd) {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    if (w->queue != self) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    while (w && (w->style & WS_CHILD) && w->parent) w = FindWindowLocked(w->parent);
    topLevel = w ? w->hwnd : nullptr;
  }
  HWND previous;
  bool needActivate;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    previous = M().focus;
    needActivate = topLevel && M().active != topLevel;
  }
  HWND original = previous;
  if (needActivate) Activate(topLevel, true);  // WM_ACTIVATE's default may set the focus already
  {
    std::lock_guard<std::mutex> lock(UserLock());
    previous = M().focus;
    if (previous == hWnd) return original;
    M().focus = hWnd;
  }
  if (previous && IsWindow(previous)) SendMessageW(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
  if (hWnd && IsWindow(hWnd)) SendMessageW(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
  return previous;
}

HWND GetFocus() {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(M().focus);
  return w && w->queue->threadId == GetCurrentThreadId() ? M().focus : nullptr;
}

HWND GetActiveWindow() {
  std::lock_guard<std::mutex> lock(UserLock());
  Window* w = FindWindowLocked(M().active);
  return w && w->queue->threadId == GetCurrentThreadId() ? M().active : nullptr;
}

HWND SetActiveWindow(HWND hWnd) {
  std::shared_ptr<Window> w = FindWindowShared(hWnd);
  if (!w || w->queue != CurrentQueue()) {
    SetLastError(w ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  HWND previous = GetActiveWindow();
  Activate(hWnd, true);
  return previous;
}

BOOL SetForegroundWindow(HWND hWnd) {
  std::shared_ptr<Window> w = FindWindowShared(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->queue == CurrentQueue()) Activate(hWnd, true);
  else RunOnThread(w->queue, [hWnd] { Activate(hWnd, true); });
  return TRUE;
}

HWND GetForegroundWindow() {
  std::lock_guard<std::mutex> lock(UserLock());
  return M().active;
}

// ---- screen ----

int GetSystemMetrics(int nIndex) {
  RECT d = TheBackend().DesktopRect();
  switch (nIndex) {
    case SM_CXSCREEN: return d.right - d.left;
    case SM_CYSCREEN: return d.bottom - d.top;
    case SM_CXVSCROLL:
    case SM_CYHSCROLL: return 17;
    case SM_CYCAPTION: return kCaption;
    case SM_CXBORDER:
    case SM_CYBORDER: return kBorder;
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME: return kDlgFrame;
    case SM_CXFRAME:
    case SM_CYFRAME: return 4;
    case SM_CXDOUBLECLK:
    case SM_CYDOUBLECLK: return 4;
    case SM_CMONITORS: return static_cast<int>(std::max<size_t>(1, TheBackend().Monitors().size()));
    case SM_XVIRTUALSCREEN:
    case SM_YVIRTUALSCREEN:
    case SM_CXVIRTUALSCREEN:
    case SM_CYVIRTUALSCREEN: {
      RECT v = d;  // the bounding box of every monitor
      for (const MonitorDesc& m : TheBackend().Monitors()) UnionRect(&v, &v, &m.rect);
      if (nIndex == SM_XVIRTUALSCREEN) return v.left;
      if (nIndex == SM_YVIRTUALSCREEN) return v.top;
      return nIndex == SM_CXVIRTUALSCREEN ? v.right - v.left : v.bottom - v.top;
    }
    default: return 0;
  }
}

BOOL SystemParametersInfoW(UINT uiAction, UINT, PVOID pvParam, UINT) {
  if (uiAction == SPI_GETWORKAREA && pvParam) {
    *static_cast<RECT*>(pvParam) = TheBackend().WorkArea();
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// ---- the default window procedure ----

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  switch (Msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
      if (cs && cs->lpszName) {
        std::lock_guard<std::mutex> lock(UserLock());
        if (Window* w = FindWindowLocked(hWnd)) w->text.assign(cs->lpszName, WideLength(cs->lpszName));
      }
      return TRUE;
    }
    case WM_NCCALCSIZE: {
      RECT* r = reinterpret_cast<RECT*>(lParam);  // rgrc[0] of NCCALCSIZE_PARAMS when wParam is TRUE
      if (!r) return 0;
      RECT inset;
      {
        std::lock_guard<std::mutex> lock(UserLock());
        Window* w = FindWindowLocked(hWnd);
        if (!w) return 0;
        inset = NonClientInset(w->style, w->exStyle);
      }
      r->left += inset.left;
      r->top += inset.top;
      r->right -= inset.right;
      r->bottom -= inset.bottom;
      if (r->right < r->left) r->right = r->left;
      if (r->bottom < r->top) r->bottom = r->top;
      return 0;
    }
    case WM_NCHITTEST: {
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      WindowState s;
      if (!GetWindowState(hWnd, s) || !PtInRect(&s.windowRect, pt)) return HTNOWHERE;
      if (PtInRect(&s.clientRect, pt)) return HTCLIENT;
      if ((s.style & WS_CAPTION) == WS_CAPTION && pt.y < s.clientRect.top &&
          pt.y >= s.clientRect.top - kCaption && pt.x >= s.clientRect.left && pt.x < s.clientRect.right)
        return HTCAPTION;
      return HTBORDER;
    }
    case WM_NCACTIVATE: return TRUE;
    case WM_MOUSEACTIVATE: return 1;  // MA_ACTIVATE
    case WM_SETCURSOR:
    case WM_NCLBUTTONDOWN: return DefInputProc(hWnd, Msg, wParam, lParam);
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && !IsIconic(hWnd)) SetFocus(hWnd);
      return 0;
    case WM_CLOSE: DestroyWindow(hWnd); return 0;
    case WM_PAINT: {
      RECT r;
      bool erase;
      TakeUpdateRect(hWnd, r, erase);  // nothing drawn, but the window is valid again
      return 0;
    }
    case WM_ERASEBKGND: {
      // The class background brush, if the class has one (system colour indexes are not kept).
      HBRUSH brush = nullptr;
      {
        std::lock_guard<std::mutex> lock(UserLock());
        Window* w = FindWindowLocked(hWnd);
        if (w) brush = w->cls->info.hbrBackground;
      }
      if (!brush || reinterpret_cast<uintptr_t>(brush) <= 0x40 || !wParam) return 0;
      RECT client;
      GetClientRect(hWnd, &client);
      return FillRect(reinterpret_cast<HDC>(wParam), &client, brush) ? 1 : 0;
    }
    case WM_WINDOWPOSCHANGED: {
      auto* wp = reinterpret_cast<WINDOWPOS*>(lParam);
      if (!wp) return 0;
      RECT client;
      GetClientRect(hWnd, &client);
      if (!(wp->flags & SWP_NOMOVE)) {
        POINT origin{0, 0};
        {
          std::lock_guard<std::mutex> lock(UserLock());
          if (Window* w = FindWindowLocked(hWnd))
            origin = POINT{w->rect.left + w->clientInset.left, w->rect.top + w->clientInset.top};
        }
        SendMessageW(hWnd, WM_MOVE, 0, MAKELPARAM(origin.x, origin.y));
      }
      if (!(wp->flags & SWP_NOSIZE)) {
        WPARAM type = IsZoomed(hWnd) ? SIZE_MAXIMIZED : IsIconic(hWnd) ? SIZE_MINIMIZED : SIZE_RESTORED;
        SendMessageW(hWnd, WM_SIZE, type, MAKELPARAM(client.right, client.bottom));
      }
      return 0;
    }
    case WM_SETTEXT: {
      auto* text = reinterpret_cast<LPCWSTR>(lParam);
      {
        std::lock_guard<std::mutex> lock(UserLock());
        Window* w = FindWindowLocked(hWnd);
        if (!w) return FALSE;
        w->text = text ? std::u16string(text, WideLength(text)) : std::u16string();
      }
      Notify(hWnd, kChangedText);
      return TRUE;
    }
    case WM_SETICON:
    case WM_GETICON: {
      if (wParam != ICON_SMALL && wParam != ICON_BIG) return 0;
      HICON previous;
      {
        std::lock_guard<std::mutex> lock(UserLock());
        Window* w = FindWindowLocked(hWnd);
        if (!w) return 0;
        previous = w->icons[wParam];
        if (Msg == WM_SETICON) w->icons[wParam] = reinterpret_cast<HICON>(lParam);
      }
      if (Msg == WM_SETICON) Notify(hWnd, kChangedIcon);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_GETTEXT: return GetWindowTextW(hWnd, reinterpret_cast<LPWSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH: {
      std::lock_guard<std::mutex> lock(UserLock());
      Window* w = FindWindowLocked(hWnd);
      return w ? static_cast<LRESULT>(w->text.size()) : 0;
    }
    default: return 0;
  }
}

LRESULT CallWindowProcW(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return lpPrevWndFunc ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}
