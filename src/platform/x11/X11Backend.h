// The backend for a real X display: every top-level window of the model is an X window; an event
// thread turns X events into the model's input, painting and activation.
#pragma once

#include <X11/Xlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/backend.h"

namespace qvp {
class ClipboardHost;
class TrayHost;
struct WindowState;
}

namespace qvp::x11 {

using XWin = ::Window;

class KeyRepeater;

// The largest width or height of an X window (the protocol's sizes are 16-bit; positions too).
constexpr int kMaxXSize = 32767;
inline int ClampXSize(long v) { return static_cast<int>(v < 1 ? 1 : v > kMaxXSize ? kMaxXSize : v); }
inline int ClampXPos(long v) { return static_cast<int>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

// A window's shape as a bitmap: one bit per pixel, rows padded to whole bytes, least significant
// bit first (the layout XCreateBitmapFromData takes).
struct ShapeMask {
  int width = 0, height = 0, stride = 0;
  bool painted = false;  // made from a window image (a key mask before the first paint has none)
  std::vector<unsigned char> bits;

  void Reset(int w, int h) {
    width = w;
    height = h;
    stride = (w + 7) / 8;
    bits.assign(static_cast<size_t>(stride) * static_cast<size_t>(h), 0);
  }
  void SetRun(int y, int x0, int x1) {
    x0 = x0 < 0 ? 0 : x0;
    x1 = x1 > width ? width : x1;
    unsigned char* row = bits.data() + static_cast<size_t>(y) * static_cast<size_t>(stride);
    for (int x = x0; x < x1;) {
      if ((x & 7) == 0 && x + 8 <= x1) {
        int full = (x1 - x) / 8;
        std::fill(row + x / 8, row + x / 8 + full, 0xFF);
        x += full * 8;
      } else {
        row[x / 8] = static_cast<unsigned char>(row[x / 8] | (1u << (x & 7)));
        ++x;
      }
    }
  }
  void Intersect(const ShapeMask& other) {
    for (size_t i = 0; i < bits.size() && i < other.bits.size(); ++i) bits[i] &= other.bits[i];
  }
  bool operator==(const ShapeMask& o) const { return width == o.width && height == o.height && bits == o.bits; }
};
class X11Clipboard;
class X11Tray;

class X11Backend : public Backend {
 public:
  // Opens the display; null with the reason in `error` when it cannot.
  static std::unique_ptr<X11Backend> Open(std::string& error);
  ~X11Backend() override;

  const char* Name() const override { return "x11"; }
  double Scale() override { return scale_; }
  RECT DesktopRect() override;
  RECT WorkArea() override;
  std::vector<MonitorDesc> Monitors() override;
  void OnWindowCreated(HWND hwnd) override;
  void OnWindowChanged(HWND hwnd, unsigned changes) override;
  void OnWindowDestroyed(HWND hwnd) override;
  void OnWindowPainted(HWND hwnd) override;
  void OnWindowActivated(HWND hwnd) override;
  TextOverKey TextOverColourKey(HWND hwnd) override;
  void OnCaptureChanged(HWND hwnd) override;
  void OnCursorChanged(int cursorId) override;
  void MovePointer(POINT pt) override;

  Display* display() const { return dpy_; }
  XWin root() const { return root_; }
  Atom atom(const char* name);
  // Names a window in UTF-8 for both the old and the new name property: WM_NAME as a STRING would
  // claim Latin-1 and turn CJK titles into mojibake for every client that reads it.
  void SetWindowName(unsigned long xwin, const std::string& utf8);
  // Events of windows the backend does not own (the tray icon's); true when handled.
  void AddEventFilter(std::function<bool(XEvent&)> filter);
  // The XEmbed notification area's client, made on first use.
  TrayHost& Tray();
  // The CLIPBOARD and PRIMARY selections, made on first use.
  ClipboardHost& Clipboard();
  bool OnEventThread() const { return std::this_thread::get_id() == eventThread_; }
  // XFlush, then what any use of the connection off the event thread needs (AfterOtherIo).
  void Flush();

  // For the test hooks (platform/testing_x11.h).
  bool WindowInfo(HWND hwnd, unsigned long& xwin, unsigned long& frame, bool& viewable, RECT& rect, bool& clickThrough,
                  bool& drawn, int& depth, bool& unmanaged);
  bool Sync();
  HWND WindowUnderPointer(unsigned long& deepest);

 private:
  X11Backend(Display* dpy);
  struct Native {
    XWin xwin = 0;
    XIC xic = nullptr;
    bool mapped = false;
    bool transparent = false;
    // The bounding shape is kept empty until the frame takes no input (see ApplyShape).
    bool withheld = false;
    bool shown = false;      // XMapWindow was the last of map and unmap asked for
    bool unmanaged = false;  // override-redirect: no frame, stacked by us above everything
    bool argb = false;       // a 32-bit visual: the compositor reads each pixel's alpha
    // Hidden while framed: not to be mapped again until the window manager has let it go (a map
    // it sees before it has withdrawn the window is lost); `mapPending` says a show waits for that.
    bool withdrawing = false;
    bool mapPending = false;
    // The _NET_WM_STATE flags last asked for (NetState bits), and which of them were asked at all.
    unsigned char netStates = 0, netKnown = 0;
    // The window's image on the server (Blit), where exposures are copied from.
    unsigned long backing = 0;
    GC backingGc = nullptr;  // argbGc_ or plainGc_, by the pixmap's depth
    int backingW = 0, backingH = 0;
    std::vector<uint64_t> rowHashes;  // of the image rows the pixmap holds, `heldWidth` wide
    int heldWidth = 0;
  };
  enum NetState : unsigned char { kNetAbove = 1, kNetSkipTaskbar = 2, kNetSkipPager = 4 };
  // A window's bounding or input shape as last sent (not sent again when unchanged: every shape
  // request makes the server expose the window, which would blit and shape it again).
  struct SentShape {
    ShapeMask mask;
    bool shaped = false;
    bool valid = false;
  };
  XWin XWindowOf(HWND hwnd);
  HWND HwndOf(XWin xwin);
  bool NativeOf(HWND hwnd, Native& out);
  XWin MakeXWindow(const WindowState& s, bool argb);
  // Gives the window a new X window on the visual it needs now (a compositor came or went).
  void Rebuild(HWND hwnd, bool argb);
  void Show(HWND hwnd, XWin xwin, const WindowState& s);
  void Hide(HWND hwnd, XWin xwin);
  bool CompositorRuns();
  void CompositorChanged();
  // Puts the floating (override-redirect) windows back on top of the stack when anything else
  // got above them; `fromEvents` marks a check caused by another client's restacking.
  void KeepOnTop(bool fromEvents);
  // True when the window manager's active window belongs to another program.
  bool AnotherProgramIsActive();
  void ApplyIcon(HWND hwnd, XWin xwin);
  void ApplyHints(HWND hwnd, XWin xwin);
  void ApplyState(HWND hwnd, XWin xwin, bool mapped);
  void ApplyOpacity(HWND hwnd, XWin xwin);
  void ApplyShape(HWND hwnd, XWin xwin);
  void SendShape(XWin xwin, int kind, ShapeMask& wanted, bool shaped, SentShape& sent);
  void ApplyInputShape(HWND hwnd, XWin xwin, bool empty);
  void ReleaseShape(HWND hwnd, XWin xwin);
  // Puts the window's image on the server and shows it.
  void Blit(HWND hwnd, XWin xwin);
  bool TakeRows(HWND hwnd, XWin xwin, int w, int h, int depth, const std::vector<uint64_t>& hashes, int width,
                unsigned long& backing, GC& gc, int& first, int& last);
  bool ShowBacking(HWND hwnd, XWin xwin, const RECT& part);
  void GrabWhenViewable(HWND hwnd, XWin xwin);
  void Restack();
  XWin ParentOf(XWin w);
  XWin WindowProperty(XWin w, const char* name);
  void AskWindowManager(XWin xwin, const char* type, long l0, long l1 = 0, long l2 = 0, long l3 = 0);
  bool WindowManagerRuns();
  void RaiseManaged(const std::vector<XWin>& bottomFirst);
  void EventLoop();
  void Dispatch(XEvent& ev);
  void HandleKey(XKeyEvent& ev, HWND hwnd);
  void HandleRawKey(XEvent& ev);
  void HandleFocusOut();
  void SetNetState(HWND hwnd, XWin xwin, NetState state, bool on, bool mapped);
  void ReadMonitors();
  void ReadDesktop();
  std::vector<std::array<long, 12>> ReadStruts(const RECT& screen);
  bool ProbeWindowManager();
  void Wake();
  static int AfterRequest(Display* dpy);

  Display* dpy_;
  XWin root_;
  int xiOpcode_ = -1;
  int randrEvent_ = -1;
  XIM xim_ = nullptr;
  std::mutex mutex_;
  std::mutex shapeMutex_;  // a bounding shape is decided and sent as one step
  // Per window, under shapeMutex_: the non-key pixels last scanned (scanned again only after a
  // paint) and the bounding shape last sent (not sent again when unchanged: every shape request
  // makes the server expose the window, which would blit and shape it again).
  struct ShapeMemo {
    ShapeMask keyMask;
    bool keyFresh = false;
    SentShape bounding;
    SentShape input;  // 32-bit windows: clicks on key pixels go through, as through a shape's holes
  };
  std::map<HWND, ShapeMemo> shapeMemo_;
  std::map<HWND, Native> windows_;
  std::map<XWin, HWND> byXWindow_;
  std::vector<std::function<bool(XEvent&)>> filters_;
  std::map<int, Cursor> cursors_;
  int cursorId_ = 0;
  // Device pixels per logical pixel, from the desktop's Xft.dpi when the display was opened.
  double scale_ = 1.0;
  RECT Device(const RECT& logical) const { return DeviceRect(logical, scale_); }
  POINT Logical(long x, long y) const { return LogicalPoint(x, y, scale_); }
  POINT InputPoint(HWND hwnd, int x, int y, int xRoot, int yRoot);
  // Under mutex_, in device pixels: the X screen, the monitors' rectangles (the primary first;
  // RandR 1.5, else Xinerama, else the screen), and what ReadDesktop made of them: the monitors
  // with their work areas, and whether a window manager runs.
  RECT screen_{0, 0, 0, 0};
  std::vector<RECT> monitors_;
  std::vector<MonitorDesc> desktop_;
  bool managerRuns_ = false;
  XWin managerCheck_ = 0;  // the running window manager's check window (ReadDesktop's thread)
  int wakeRead_ = -1, wakeWrite_ = -1;
  void AfterOtherIo();
  std::atomic<long long> lastOtherIo_{0};  // steady clock ticks of another thread's last use
  std::atomic<bool> wakePending_{false};   // the event thread was woken and has not read since
  std::atomic<bool> stop_{false};
  std::atomic<std::thread::id> eventThread_{};
  int (*previousAfter_)(Display*) = nullptr;
  XWin marker_ = 0;  // receives the event thread's sync markers
  HWND pendingGrab_ = nullptr;  // under mutex_: has the capture, grabbed once it is viewable
  std::mutex syncMutex_;
  std::condition_variable syncDone_;
  long syncSent_ = 0, syncSeen_ = 0;
  std::unique_ptr<KeyRepeater> repeater_;
  // Translucency: the screen's 32-bit visual, and whether a compositing manager owns
  // _NET_WM_CM_S<screen> (XFixes reports each change of owner).
  Visual* argbVisual_ = nullptr;
  Colormap argbColormap_ = 0;
  GC argbGc_ = nullptr;   // images and copies at 32 bits (TakeRows)
  GC plainGc_ = nullptr;  // and at the screen's depth
  Atom cmSelection_ = 0;
  int fixesEvent_ = -1;
  // Keeping the floating windows on top: one check at a time; other clients' restacking marks a
  // check due (done once the events at hand are handled), and a fight with another client that
  // wants the top too is slowed down to a few raises a second.
  std::mutex stackMutex_;
  bool stackCheckDue_ = false;  // event thread only
  std::chrono::steady_clock::time_point monitorsDue_{};  // event thread only: a display change settling
  std::map<XWin, RECT> exposed_;  // event thread only: the exposures of a window until the last of a run
  std::vector<std::chrono::steady_clock::time_point> raises_;
  std::chrono::steady_clock::time_point deferredCheck_{};
  std::mutex trayMutex_;
  std::unique_ptr<X11Tray> tray_;
  std::mutex clipboardMutex_;
  std::unique_ptr<X11Clipboard> clipboard_;
  std::thread events_;
};

// keysym to VK_ code (0 for keys the program has no code for).
UINT VirtualKeyFromKeysym(unsigned long sym, bool& extended);

}  // namespace qvp::x11
