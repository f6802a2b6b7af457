#include "X11Backend.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/shape.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/gdi_internal.h"
#include "platform/tray_internal.h"
#include "platform/user_internal.h"
#include "platform/user_model.h"
#include "platform/utf.h"
#include "platform/win32/input.h"
#include "platform/win32/kernel.h"
#include "X11Clipboard.h"
#include "X11Tray.h"

namespace qvp::x11 {

// Raw key events do not repeat: while a key is held, key-downs are generated at the server's
// auto-repeat delay and rate, as the hooks on Windows see them.
class KeyRepeater {
 public:
  KeyRepeater(int delayMs, int intervalMs) : delay_(delayMs), interval_(intervalMs), thread_([this] { Run(); }) {}
  ~KeyRepeater() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Pressed(UINT vk, UINT scan, bool extended) {
    std::lock_guard<std::mutex> lock(mutex_);
    key_ = Key{vk, scan, extended};
    ++generation_;
    cv_.notify_all();
  }
  void Released(UINT vk) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (key_.vk != vk) return;
    key_ = Key{};
    ++generation_;
    cv_.notify_all();
  }

 private:
  struct Key {
    UINT vk = 0, scan = 0;
    bool extended = false;
  };
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      if (!key_.vk) {
        cv_.wait(lock);
        continue;
      }
      uint64_t generation = generation_;
      auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_);
      while (!stop_ && generation == generation_) {
        if (cv_.wait_until(lock, due) != std::cv_status::timeout) continue;
        Key k = key_;
        lock.unlock();
        InputLowLevelKey(k.vk, k.scan, k.extended, true, false);
        lock.lock();
        due += std::chrono::milliseconds(interval_);
      }
    }
  }
  int delay_, interval_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  Key key_;
  uint64_t generation_ = 0;
  std::thread thread_;
};

namespace {

struct MotifHints {
  unsigned long flags, functions, decorations;
  long inputMode;
  unsigned long status;
};

bool Undecorated(const WindowState& s) { return (s.style & WS_POPUP) || (s.style & WS_CAPTION) != WS_CAPTION; }

// Windows that float over everything, a focused full-screen window included, and never take the
// keyboard: topmost pop-ups without a caption that are layered or never activated (the bar and the
// windows it lays over a game). Window managers stack a focused full-screen window above "keep
// above" windows, so these are override-redirect, and the backend keeps them on top itself.
bool Floats(const WindowState& s) {
  return (s.style & WS_POPUP) && !(s.style & WS_CHILD) && (s.style & WS_CAPTION) != WS_CAPTION &&
         (s.exStyle & WS_EX_TOPMOST) && (s.exStyle & (WS_EX_LAYERED | WS_EX_NOACTIVATE));
}

uint32_t Rgb(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

unsigned Scale(unsigned v, unsigned alpha) { return (v * alpha + 127) / 255; }

// A window image as premultiplied ARGB for a 32-bit visual: key pixels are transparent, text laid
// over the key keeps its coverage as alpha, and the constant alpha applies to everything.
void ToArgb(const uint32_t* row, const uint32_t* coverage, int width, uint32_t key, unsigned alpha, uint32_t* out) {
  for (int x = 0; x < width; ++x) {
    const uint32_t px = row[x] & 0xFFFFFF;
    if (px == key) {
      out[x] = 0;
      continue;
    }
    unsigned a = 255;
    unsigned ch[3] = {(px >> 16) & 0xFF, (px >> 8) & 0xFF, px & 0xFF};
    if (coverage && coverage[x] && (coverage[x] & 0xFFFFFF) == px && (coverage[x] >> 24) < 255) {
      // The pixel is ink of this coverage blended over the key: take the key's share away.
      a = coverage[x] >> 24;
      const unsigned k[3] = {(key >> 16) & 0xFF, (key >> 8) & 0xFF, key & 0xFF};
      for (int i = 0; i < 3; ++i) {
        int v = static_cast<int>(ch[i]) - static_cast<int>(Scale(k[i], 255 - a));
        ch[i] = static_cast<unsigned>(std::clamp(v, 0, static_cast<int>(a)));
      }
    }
    out[x] = (Scale(a, alpha) << 24) | (Scale(ch[0], alpha) << 16) | (Scale(ch[1], alpha) << 8) | Scale(ch[2], alpha);
  }
}

// Windows may vanish under a request; any error is traced and survived, never fatal.
int ErrorHandler(Display*, XErrorEvent* e) {
  char text[160];
  std::snprintf(text, sizeof text, "X error %d on request %d.%d (serial %lu, resource 0x%lx)\r\n", e->error_code,
                e->request_code, e->minor_code, e->serial, e->resourceid);
  OutputDebugStringA(text);
  return 0;
}

std::atomic<bool> g_displayLost{false};
std::atomic<X11Backend*> g_instance{nullptr};

// The server went away: Xlib's default would exit the process from whichever thread noticed.
// The windows stop showing; the event thread ends.
void IoExitHandler(Display*, void*) {
  if (!g_displayLost.exchange(true)) fprintf(stderr, "QvGameAssist: the connection to the X display was lost\n");
}

}  // namespace

std::unique_ptr<X11Backend> X11Backend::Open(std::string& error) {
  XInitThreads();
  const char* name = getenv("DISPLAY");
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    error = std::string("cannot open the X display \"") + (name ? name : "") +
            "\"; start the program inside an X session (DISPLAY must name a running X server)";
    return nullptr;
  }
  XSetErrorHandler(&ErrorHandler);
  XSetIOErrorExitHandler(dpy, &IoExitHandler, nullptr);
  return std::unique_ptr<X11Backend>(new X11Backend(dpy));
}

namespace {

// The desktop's resolution as its X resources give it to every client (Xft.dpi, set by the
// desktop's settings or xrdb); 96 when none is set.
double DesktopDpi(Display* dpy) {
  const char* resources = XResourceManagerString(dpy);
  if (!resources) return 96.0;
  XrmInitialize();
  XrmDatabase db = XrmGetStringDatabase(resources);
  if (!db) return 96.0;
  double dpi = 96.0;
  char* type = nullptr;
  XrmValue value{};
  if (XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
    char* end = nullptr;
    double read = std::strtod(value.addr, &end);
    if (end != value.addr && read > 0.0 && read < 10000.0) dpi = read;
  }
  XrmDestroyDatabase(db);
  return dpi;
}

}  // namespace

X11Backend::X11Backend(Display* dpy) : dpy_(dpy), root_(DefaultRootWindow(dpy)), scale_(ScaleForDpi(DesktopDpi(dpy))) {
  // Substructure: other clients' windows mapped or restacked, which may cover the floating ones.
  XSelectInput(dpy_, root_, StructureNotifyMask | SubstructureNotifyMask | PropertyChangeMask);
  int event, err;
  XVisualInfo argb;
  if (XMatchVisualInfo(dpy_, DefaultScreen(dpy_), 32, TrueColor, &argb) && argb.red_mask == 0xFF0000 &&
      argb.green_mask == 0xFF00 && argb.blue_mask == 0xFF) {
    argbVisual_ = argb.visual;
    argbColormap_ = XCreateColormap(dpy_, root_, argbVisual_, AllocNone);
  }
  char cm[32];
  std::snprintf(cm, sizeof cm, "_NET_WM_CM_S%d", DefaultScreen(dpy_));
  cmSelection_ = atom(cm);
  if (XFixesQueryExtension(dpy_, &event, &err)) {
    fixesEvent_ = event;
    XFixesSelectSelectionInput(dpy_, root_, cmSelection_,
                               XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
  }
  if (XRRQueryExtension(dpy_, &event, &err)) {
    randrEvent_ = event;
    XRRSelectInput(dpy_, root_, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  }
  ReadMonitors();
  int major = 2, minor = 0;
  if (XQueryExtension(dpy_, "XInputExtension", &xiOpcode_, &event, &err) && XIQueryVersion(dpy_, &major, &minor) == Success) {
    unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(mask, XI_RawKeyPress);
    XISetMask(mask, XI_RawKeyRelease);
    XIEventMask em{XIAllMasterDevices, static_cast<int>(sizeof mask), mask};
    XISelectEvents(dpy_, root_, &em, 1);
  } else {
    xiOpcode_ = -1;
  }
  unsigned int delay = 660, interval = 40;
  XkbGetAutoRepeatRate(dpy_, XkbUseCoreKbd, &delay, &interval);
  repeater_ = std::make_unique<KeyRepeater>(static_cast<int>(delay), static_cast<int>(interval));
  XSetLocaleModifiers("");
  xim_ = XOpenIM(dpy_, nullptr, nullptr, nullptr);
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead_ = pipefd[0];
    wakeWrite_ = pipefd[1];
  }
  marker_ = XCreateWindow(dpy_, root_, -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, 0, nullptr);
  Flush();
  events_ = std::thread([this] { EventLoop(); });
  g_instance = this;
  XLockDisplay(dpy_);
  previousAfter_ = XSetAfterFunction(dpy_, &X11Backend::AfterRequest);
  XUnlockDisplay(dpy_);
}

// Another thread's use of the connection reads what the server sent meanwhile: the events before
// a reply go into Xlib's queue, and those that came in the same read (or while a write waited)
// stay in libxcb's. Either way the event thread's poll of the socket cannot see them, so after
// each request (Xlib calls this) and each flush or sync of another thread, the event thread is
// woken to read them (once: until it has looked, further uses need not wake it again). No Xlib
// call here: some callers of the after-function may still hold the display's lock.
int X11Backend::AfterRequest(Display* dpy) {
  X11Backend* self = g_instance;
  if (!self || self->dpy_ != dpy) return 0;
  if (self->previousAfter_) self->previousAfter_(dpy);
  self->AfterOtherIo();
  return 0;
}

void X11Backend::AfterOtherIo() {
  if (OnEventThread()) return;
  lastOtherIo_ = std::chrono::steady_clock::now().time_since_epoch().count();
  if (!wakePending_.exchange(true)) Wake();
}

void X11Backend::Flush() {
  XFlush(dpy_);
  AfterOtherIo();
}

void X11Backend::Wake() {
  if (wakeWrite_ >= 0) (void)!write(wakeWrite_, "x", 1);
}

X11Backend::~X11Backend() {
  g_instance = nullptr;
  stop_ = true;
  Wake();
  if (events_.joinable()) events_.join();
  repeater_.reset();
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
  // The display stays open: windows may still report to the backend during exit.
}

Atom X11Backend::atom(const char* name) { return XInternAtom(dpy_, name, False); }

void X11Backend::AddEventFilter(std::function<bool(XEvent&)> filter) {
  std::lock_guard<std::mutex> lock(mutex_);
  filters_.push_back(std::move(filter));
}

void X11Backend::SetWindowName(unsigned long xwin, const std::string& utf8) {
  for (const char* property : {"_NET_WM_NAME", "WM_NAME"})
    XChangeProperty(dpy_, xwin, atom(property), atom("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
}

TrayHost& X11Backend::Tray() {
  std::lock_guard<std::mutex> lock(trayMutex_);
  if (!tray_) tray_ = std::make_unique<X11Tray>(*this);
  return *tray_;
}

ClipboardHost& X11Backend::Clipboard() {
  std::lock_guard<std::mutex> lock(clipboardMutex_);
  if (!clipboard_) clipboard_ = std::make_unique<X11Clipboard>(*this);
  return *clipboard_;
}

XWin X11Backend::XWindowOf(HWND hwnd) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = windows_.find(hwnd);
  return it == windows_.end() ? 0 : it->second.xwin;
}

HWND X11Backend::HwndOf(XWin xwin) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = byXWindow_.find(xwin);
  return it == byXWindow_.end() ? nullptr : it->second;
}

bool X11Backend::NativeOf(HWND hwnd, Native& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = windows_.find(hwnd);
  if (it == windows_.end()) return false;
  out = it->second;
  return true;
}

// A 32-bit window shows text's coverage as alpha; on the default visual the key is a 1-bit shape.
TextOverKey X11Backend::TextOverColourKey(HWND hwnd) {
  Native n;
  return NativeOf(hwnd, n) && n.argb ? TextOverKey::Coverage : TextOverKey::Crisp;
}

// A compositing manager owns the screen's _NET_WM_CM_S<n> selection while it runs.
bool X11Backend::CompositorRuns() { return cmSelection_ && XGetSelectionOwner(dpy_, cmSelection_) != None; }

// ---- screen ----

// The primary monitor is the desktop, as on Windows.
RECT X11Backend::DesktopRect() {
  std::lock_guard<std::mutex> lock(mutex_);
  return LogicalRect(monitors_.empty() ? screen_ : monitors_.front(), scale_);
}

RECT X11Backend::WorkArea() { return Monitors().front().work; }

std::vector<MonitorDesc> X11Backend::Monitors() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<MonitorDesc> out = desktop_;
  if (out.empty()) out.push_back(MonitorDesc{screen_, screen_, true});
  for (MonitorDesc& m : out) {
    m.rect = LogicalRect(m.rect, scale_);
    m.work = LogicalRect(m.work, scale_);
  }
  return out;
}

bool X11Backend::WindowManagerRuns() {
  std::lock_guard<std::mutex> lock(mutex_);
  return managerRuns_;
}

// The desktop as the windows see it, kept so that asking costs no round trip: each monitor's work
// area, while a live window manager runs, is the monitor less the edges the docks on it reserve;
// with one monitor, also within the manager's work area of the current desktop (_NET_WORKAREA,
// which may hold more than docks). With several, _NET_WORKAREA is no help: it is one rectangle for
// the whole screen, which window managers shrink by a dock on any monitor. Read again when the
// monitors change, when the manager rewrites its lists, work area or check window, and when that
// window goes (a manager that ended).
void X11Backend::ReadDesktop() {
  std::vector<RECT> rects;
  RECT screen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rects = monitors_.empty() ? std::vector<RECT>{screen_} : monitors_;
    screen = screen_;
  }
  const bool manager = ProbeWindowManager();
  std::vector<std::array<long, 12>> struts;
  if (manager) struts = ReadStruts(screen);
  auto windowProp = [&](XWin w, Atom prop, Atom type, long count, std::vector<long>& out) {
    Atom actual;
    int format;
    unsigned long n, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy_, w, prop, 0, count, False, type, &actual, &format, &n, &after, &data) != Success ||
        !data || format != 32) {
      if (data) XFree(data);
      return false;
    }
    long* values = reinterpret_cast<long*>(data);
    out.assign(values, values + n);
    XFree(data);
    return true;
  };
  // Only a running window manager's work area and docks count, not what a dead manager left.
  RECT managerArea = screen;
  if (manager && rects.size() == 1) {
    std::vector<long> current, area;
    long desk = windowProp(root_, atom("_NET_CURRENT_DESKTOP"), XA_CARDINAL, 1, current) && !current.empty()
                    ? current[0]
                    : 0;
    if (desk >= 0 && windowProp(root_, atom("_NET_WORKAREA"), XA_CARDINAL, 4 * (desk + 1), area) &&
        area.size() >= static_cast<size_t>(4 * (desk + 1))) {
      const long* a = &area[4 * desk];
      managerArea = RECT{static_cast<LONG>(a[0]), static_cast<LONG>(a[1]), static_cast<LONG>(a[0] + a[2]),
                         static_cast<LONG>(a[1] + a[3])};
    }
  }
  std::vector<MonitorDesc> out;
  for (size_t i = 0; i < rects.size(); ++i) {
    const RECT& m = rects[i];
    RECT work = m;
    if (manager) {
      RECT clipped;
      if (IntersectRect(&clipped, &m, &managerArea)) work = clipped;
      for (const auto& st : struts) {
        // left, right, top, bottom, then each edge's span: left/right in y, top/bottom in x.
        if (st[0] > 0 && st[0] > m.left && st[4] < m.bottom && st[5] >= m.top)
          work.left = std::max<LONG>(work.left, st[0]);
        if (st[1] > 0 && screen.right - st[1] < m.right && st[6] < m.bottom && st[7] >= m.top)
          work.right = std::min<LONG>(work.right, screen.right - st[1]);
        if (st[2] > 0 && st[2] > m.top && st[8] < m.right && st[9] >= m.left)
          work.top = std::max<LONG>(work.top, st[2]);
        if (st[3] > 0 && screen.bottom - st[3] < m.bottom && st[10] < m.right && st[11] >= m.left)
          work.bottom = std::min<LONG>(work.bottom, screen.bottom - st[3]);
      }
      if (work.right <= work.left || work.bottom <= work.top) work = m;  // nonsense reserves nothing
    }
    out.push_back(MonitorDesc{m, work, i == 0});
  }
  std::lock_guard<std::mutex> lock(mutex_);
  desktop_ = std::move(out);
  managerRuns_ = manager;
}

// The monitors from RandR 1.5 (the primary first; the first one when none is), else Xinerama,
// else the one screen. A change of monitors or of the screen is told to the top-level windows
// with WM_DISPLAYCHANGE (the primary's size), as Windows does.
void X11Backend::ReadMonitors() {
  XWindowAttributes ra;
  XGetWindowAttributes(dpy_, root_, &ra);
  const RECT screen{0, 0, ra.width, ra.height};
  std::vector<RECT> rects;
  int count = 0;
  if (randrEvent_ >= 0) {
    if (XRRMonitorInfo* info = XRRGetMonitors(dpy_, root_, True, &count)) {
      for (int i = 0; i < count; ++i) {
        RECT r{info[i].x, info[i].y, info[i].x + info[i].width, info[i].y + info[i].height};
        if (IsRectEmpty(&r)) continue;
        if (info[i].primary)
          rects.insert(rects.begin(), r);
        else
          rects.push_back(r);
      }
      XRRFreeMonitors(info);
    }
  }
  int event, error;
  if (rects.empty() && XineramaQueryExtension(dpy_, &event, &error) && XineramaIsActive(dpy_)) {
    if (XineramaScreenInfo* info = XineramaQueryScreens(dpy_, &count)) {
      for (int i = 0; i < count; ++i)
        rects.push_back(RECT{info[i].x_org, info[i].y_org, info[i].x_org + info[i].width, info[i].y_org + info[i].height});
      XFree(info);
    }
  }
  if (rects.empty()) rects.push_back(screen);
  bool changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed = !monitors_.empty() && (!EqualRect(&screen_, &screen) || monitors_.size() != rects.size() ||
                                     !std::equal(rects.begin(), rects.end(), monitors_.begin(),
                                                 [](const RECT& a, const RECT& b) { return EqualRect(&a, &b); }));
    screen_ = screen;
    monitors_ = rects;
  }
  ReadDesktop();
  if (!changed) return;
  const RECT primary = LogicalRect(rects.front(), scale_);
  LPARAM size = MAKELPARAM(primary.right - primary.left, primary.bottom - primary.top);
  for (HWND hwnd : TopLevelWindowsInZOrder()) PostMessageW(hwnd, WM_DISPLAYCHANGE, 24, size);
}

// The edges the window manager's clients reserve (docks, panels): _NET_WM_STRUT_PARTIAL, or the
// older _NET_WM_STRUT across the whole edge.
std::vector<std::array<long, 12>> X11Backend::ReadStruts(const RECT& screen) {
  std::vector<std::array<long, 12>> struts;
  Atom actual;
  int format;
  unsigned long n = 0, after;
  unsigned char* data = nullptr;
  std::vector<XWin> clients;
  if (XGetWindowProperty(dpy_, root_, atom("_NET_CLIENT_LIST"), 0, 4096, False, XA_WINDOW, &actual, &format, &n,
                         &after, &data) == Success &&
      data && format == 32) {
    long* ids = reinterpret_cast<long*>(data);
    for (unsigned long i = 0; i < n; ++i) clients.push_back(static_cast<XWin>(ids[i]));
  }
  if (data) XFree(data);
  for (XWin client : clients) {
    for (const char* name : {"_NET_WM_STRUT_PARTIAL", "_NET_WM_STRUT"}) {
      data = nullptr;
      if (XGetWindowProperty(dpy_, client, atom(name), 0, 12, False, XA_CARDINAL, &actual, &format, &n, &after, &data) !=
              Success ||
          !data || format != 32 || n < 4) {
        if (data) XFree(data);
        continue;
      }
      long* v = reinterpret_cast<long*>(data);
      std::array<long, 12> st{v[0], v[1], v[2], v[3], 0, screen.bottom - 1, 0, screen.bottom - 1,
                              0, screen.right - 1, 0, screen.right - 1};
      if (n >= 12) std::copy(v, v + 12, st.begin());
      XFree(data);
      struts.push_back(st);
      break;
    }
  }
  return struts;
}

// A window manager runs while the window _NET_SUPPORTING_WM_CHECK names names itself; its going is
// watched (the window's DestroyNotify).
bool X11Backend::ProbeWindowManager() {
  XWin check = WindowProperty(root_, "_NET_SUPPORTING_WM_CHECK");
  const bool runs = check && WindowProperty(check, "_NET_SUPPORTING_WM_CHECK") == check;
  if (runs && check != managerCheck_) XSelectInput(dpy_, check, StructureNotifyMask);
  managerCheck_ = runs ? check : 0;
  return runs;
}

// A client message about `xwin` to the window manager, as EWMH asks (sent to the root).
void X11Backend::AskWindowManager(XWin xwin, const char* type, long l0, long l1, long l2, long l3) {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = xwin;
  ev.xclient.message_type = atom(type);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = l0;
  ev.xclient.data.l[1] = l1;
  ev.xclient.data.l[2] = l2;
  ev.xclient.data.l[3] = l3;
  XSendEvent(dpy_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
}

// A property of `w` that names one window; 0 when there is none.
XWin X11Backend::WindowProperty(XWin w, const char* name) {
  Atom actual;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  XWin named = 0;
  if (XGetWindowProperty(dpy_, w, atom(name), 0, 1, False, XA_WINDOW, &actual, &format, &n, &after, &data) ==
          Success &&
      data && format == 32 && n == 1)
    named = static_cast<XWin>(reinterpret_cast<long*>(data)[0]);
  if (data) XFree(data);
  return named;
}

// The window's parent (a window manager's frame, or the root); 0 when it is gone.
XWin X11Backend::ParentOf(XWin w) {
  XWin rootRet, parent = 0;
  XWin* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(dpy_, w, &rootRet, &parent, &children, &count)) return 0;
  if (children) XFree(children);
  return parent;
}

// Brings managed windows to the front. A window manager is asked as a pager would
// (_NET_RESTACK_WINDOW): a plain raise is a configure request that xfwm4 answers by focusing a
// window it puts above a focused full-screen one, which would take the keyboard from a game.
void X11Backend::RaiseManaged(const std::vector<XWin>& bottomFirst) {
  const bool manager = WindowManagerRuns();
  for (XWin xwin : bottomFirst) {
    if (!manager) {
      XRaiseWindow(dpy_, xwin);
      continue;
    }
    AskWindowManager(xwin, "_NET_RESTACK_WINDOW", 2, 0, Above);
  }
}

// ---- windows ----

void X11Backend::OnWindowCreated(HWND hwnd) {
  WindowState s;
  if (!GetWindowState(hwnd, s) || (s.style & WS_CHILD)) return;  // children draw into their parent
  // A layered window shown by a compositor gets a 32-bit visual: its pixels carry their alpha.
  bool argb = (s.exStyle & WS_EX_LAYERED) && argbVisual_ && CompositorRuns();
  XWin xwin = MakeXWindow(s, argb);
  Native n;
  n.xwin = xwin;
  n.argb = argb;
  if (xim_)
    n.xic = XCreateIC(xim_, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, xwin, XNFocusWindow,
                      xwin, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    windows_[hwnd] = n;
    byXWindow_[xwin] = hwnd;
  }
  Atom protocols[] = {atom("WM_DELETE_WINDOW")};
  XSetWMProtocols(dpy_, xwin, protocols, 1);
  ApplyHints(hwnd, xwin);
  OnWindowChanged(hwnd, kChangedText | kChangedLayered);
  Flush();
}

XWin X11Backend::MakeXWindow(const WindowState& s, bool argb) {
  const RECT r = Device(s.windowRect);
  int w = ClampXSize(r.right - r.left);
  int h = ClampXSize(r.bottom - r.top);
  XSetWindowAttributes attrs{};
  attrs.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                     KeyReleaseMask | FocusChangeMask | StructureNotifyMask | EnterWindowMask | LeaveWindowMask;
  // A resize keeps what is drawn (only the new part is exposed); the image follows anyway.
  attrs.bit_gravity = NorthWestGravity;
  unsigned long mask = CWBackPixel | CWEventMask | CWBitGravity;
  Visual* visual = CopyFromParent;
  int depth = CopyFromParent;
  if (argb) {
    visual = argbVisual_;
    depth = 32;
    attrs.background_pixel = 0;  // transparent until the first image arrives
    attrs.border_pixel = 0;
    attrs.colormap = argbColormap_;
    mask |= CWBorderPixel | CWColormap;
  } else {
    attrs.background_pixel = BlackPixel(dpy_, DefaultScreen(dpy_));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cursorId_) {
      attrs.cursor = cursors_[cursorId_];
      mask |= CWCursor;
    }
  }
  return XCreateWindow(dpy_, root_, ClampXPos(r.left), ClampXPos(r.top), w, h, 0, depth,
                       InputOutput, visual, mask, &attrs);
}

// The visual cannot change: a window that needs the other one gets a new X window, with its
// properties, shapes and image, in place of the old one.
void X11Backend::Rebuild(HWND hwnd, bool argb) {
  WindowState s;
  if (!GetWindowState(hwnd, s)) return;
  XWin fresh = MakeXWindow(s, argb);
  XIC xic = xim_ ? XCreateIC(xim_, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, fresh,
                             XNFocusWindow, fresh, nullptr)
                 : nullptr;
  Native old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(hwnd);
    if (it == windows_.end()) {
      if (xic) XDestroyIC(xic);
      XDestroyWindow(dpy_, fresh);
      return;
    }
    old = it->second;
    Native& n = it->second;
    n.xwin = fresh;
    n.xic = xic;
    n.mapped = n.shown = n.withheld = n.unmanaged = false;
    n.withdrawing = n.mapPending = false;
    n.netKnown = 0;
    n.argb = argb;
    n.backing = 0;  // the old one had the old visual's depth
    n.backingW = n.backingH = 0;
    byXWindow_.erase(old.xwin);
    byXWindow_[fresh] = hwnd;
  }
  {
    std::lock_guard<std::mutex> shapes(shapeMutex_);
    ShapeMemo& memo = shapeMemo_[hwnd];
    memo.bounding = SentShape();
    memo.input = SentShape();
  }
  Atom protocols[] = {atom("WM_DELETE_WINDOW")};
  XSetWMProtocols(dpy_, fresh, protocols, 1);
  ApplyHints(hwnd, fresh);
  OnWindowChanged(hwnd, kChangedText | kChangedLayered | kChangedIcon);
  // Owned windows name their owner's X window (WM_TRANSIENT_FOR).
  for (HWND other : TopLevelWindowsInZOrder()) {
    WindowState o;
    if (GetWindowState(other, o) && o.owner == hwnd)
      if (XWin x = XWindowOf(other)) ApplyHints(other, x);
  }
  if (old.xic) XDestroyIC(old.xic);
  XDestroyWindow(dpy_, old.xwin);
  if (old.backing) XFreePixmap(dpy_, old.backing);
  Flush();
  // Text over a colour key is drawn for what the new visual shows (TextOverColourKey).
  InvalidateRect(hwnd, nullptr, TRUE);
}

void X11Backend::ApplyHints(HWND hwnd, XWin xwin) {
  WindowState s;
  if (!GetWindowState(hwnd, s)) return;
  XSizeHints size{};
  size.flags = USPosition | PPosition | USSize | PSize | PWinGravity;
  const RECT r = Device(s.windowRect);
  size.x = r.left;
  size.y = r.top;
  size.width = r.right - r.left;
  size.height = r.bottom - r.top;
  size.win_gravity = StaticGravity;
  XSetWMNormalHints(dpy_, xwin, &size);
  XWMHints wm{};
  wm.flags = InputHint;
  wm.input = (s.exStyle & WS_EX_NOACTIVATE) ? False : True;
  XSetWMHints(dpy_, xwin, &wm);
  MotifHints motif{2, 0, Undecorated(s) ? 0ul : 1ul, 0, 0};  // MWM_HINTS_DECORATIONS
  Atom mwm = atom("_MOTIF_WM_HINTS");
  XChangeProperty(dpy_, xwin, mwm, mwm, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&motif), 5);
  Atom type = atom((s.exStyle & WS_EX_TOOLWINDOW) ? "_NET_WM_WINDOW_TYPE_UTILITY" : "_NET_WM_WINDOW_TYPE_NORMAL");
  XChangeProperty(dpy_, xwin, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&type), 1);
  XWin owner = s.owner ? XWindowOf(s.owner) : 0;
  if (owner) XSetTransientForHint(dpy_, xwin, owner);
  else XDeleteProperty(dpy_, xwin, XA_WM_TRANSIENT_FOR);
}

// A request that changes nothing is not sent: openbox restacks a window below the focused one at
// every state request, which would undo a raise just asked for.
void X11Backend::SetNetState(HWND hwnd, XWin xwin, NetState state, bool on, bool mapped) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Native& n = windows_[hwnd];
    if (mapped && (n.netKnown & state) && ((n.netStates & state) != 0) == on) return;
    n.netKnown |= state;
    n.netStates = on ? (n.netStates | state) : (n.netStates & ~state);
  }
  Atom netState = atom("_NET_WM_STATE");
  Atom value = atom(state == kNetAbove         ? "_NET_WM_STATE_ABOVE"
                    : state == kNetSkipTaskbar ? "_NET_WM_STATE_SKIP_TASKBAR"
                                               : "_NET_WM_STATE_SKIP_PAGER");
  if (mapped) {  // a mapped window asks the window manager (as an application: source 1)
    AskWindowManager(xwin, "_NET_WM_STATE", on ? 1 : 0, static_cast<long>(value), 0, 1);
    return;
  }
  // Before mapping, the property itself is read by the window manager.
  Atom actual;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  std::vector<Atom> states;
  if (XGetWindowProperty(dpy_, xwin, netState, 0, 32, False, XA_ATOM, &actual, &format, &n, &after, &data) == Success &&
      data) {
    Atom* a = reinterpret_cast<Atom*>(data);
    states.assign(a, a + n);
    XFree(data);
  }
  states.erase(std::remove(states.begin(), states.end(), value), states.end());
  if (on) states.push_back(value);
  XChangeProperty(dpy_, xwin, netState, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(states.data()), static_cast<int>(states.size()));
}

void X11Backend::ApplyState(HWND hwnd, XWin xwin, bool mapped) {
  WindowState s;
  if (!GetWindowState(hwnd, s)) return;
  Native n;
  if (NativeOf(hwnd, n) && n.unmanaged) mapped = false;  // no window manager reads a request for it
  SetNetState(hwnd, xwin, kNetAbove, (s.exStyle & WS_EX_TOPMOST) != 0, mapped);
  bool tool = (s.exStyle & WS_EX_TOOLWINDOW) || ((s.exStyle & WS_EX_NOACTIVATE) && s.owner);
  SetNetState(hwnd, xwin, kNetSkipTaskbar, tool, mapped);
  SetNetState(hwnd, xwin, kNetSkipPager, tool, mapped);
}

void X11Backend::ApplyOpacity(HWND hwnd, XWin xwin) {
  WindowState s;
  if (!GetWindowState(hwnd, s)) return;
  Native n;
  bool argb = NativeOf(hwnd, n) && n.argb;  // the alpha is in its pixels
  Atom opacity = atom("_NET_WM_WINDOW_OPACITY");
  if (!argb && (s.exStyle & WS_EX_LAYERED) && (s.layeredFlags & LWA_ALPHA) && s.alpha < 255) {
    unsigned long value = static_cast<unsigned long>(s.alpha) * 0xFFFFFFFFul / 255ul;
    XChangeProperty(dpy_, xwin, opacity, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
  } else {
    XDeleteProperty(dpy_, xwin, opacity);
  }
}

// The bounding shape: the window region, less the colour-key pixels of its image. A click-through
// window being shown has an empty one instead: its input region is clipped to it, and openbox
// copies it to the frame before mapping that, so neither takes a click before the frame's own input
// shape is emptied (ReleaseShape). A 32-bit window shows its key pixels transparent by itself: the
// key leaves its bounding shape alone and only keeps clicks from its key pixels (the input shape),
// as the holes of a shape do.
void X11Backend::ApplyShape(HWND hwnd, XWin xwin) {
  std::lock_guard<std::mutex> shapes(shapeMutex_);  // a release never loses to a stale empty shape
  WindowState s;
  if (!GetWindowState(hwnd, s)) return;
  bool withheld = false, argb = false, transparent = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(hwnd);
    if (it != windows_.end()) {
      withheld = it->second.withheld;
      argb = it->second.argb;
      transparent = it->second.transparent;
    }
  }
  ShapeMemo& memo = shapeMemo_[hwnd];
  if (withheld) {
    XShapeCombineRectangles(dpy_, xwin, ShapeBounding, 0, 0, nullptr, 0, ShapeSet, YXBanded);
    memo.bounding.valid = false;
    return;
  }
  const RECT device = Device(s.windowRect);
  const int w = ClampXSize(device.right - device.left);
  const int h = ClampXSize(device.bottom - device.top);
  bool keyed = (s.exStyle & WS_EX_LAYERED) && (s.layeredFlags & LWA_COLORKEY);
  if (keyed && !memo.keyFresh) {
    uint32_t key = Rgb(s.colorKey);
    memo.keyMask = ShapeMask();
    WithWindowSurface(hwnd, [&](cairo_surface_t* surface) {
      if (!surface || cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return;
      cairo_surface_flush(surface);
      int sw = std::min(w, cairo_image_surface_get_width(surface));
      int sh = std::min(h, cairo_image_surface_get_height(surface));
      memo.keyMask.Reset(w, h);
      memo.keyMask.painted = true;
      int stride = cairo_image_surface_get_stride(surface);
      const unsigned char* data = cairo_image_surface_get_data(surface);
      for (int y = 0; y < sh; ++y) {
        const uint32_t* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
        int x = 0;
        while (x < sw) {
          while (x < sw && (row[x] & 0xFFFFFF) == key) ++x;
          int start = x;
          while (x < sw && (row[x] & 0xFFFFFF) != key) ++x;
          memo.keyMask.SetRun(y, start, x);
        }
      }
    });
    memo.keyFresh = memo.keyMask.painted;
  }
  // The window region, and the colour key's pixels once the window has some.
  ShapeMask region;
  bool hasRegion = false;
  if (std::shared_ptr<Region> rgn = WindowRegionCopy(hwnd)) {
    hasRegion = true;
    region.Reset(w, h);
    int n = cairo_region_num_rectangles(rgn->rgn);
    for (int i = 0; i < n; ++i) {
      cairo_rectangle_int_t r;
      cairo_region_get_rectangle(rgn->rgn, i, &r);
      // Edges where painting the window's image puts them at its scale.
      const int x0 = DeviceCoord(r.x, scale_), x1 = DeviceCoord(r.x + r.width, scale_);
      const int y0 = DeviceCoord(r.y, scale_), y1 = DeviceCoord(r.y + r.height, scale_);
      for (int y = std::max(0, y0); y < std::min(h, y1); ++y) region.SetRun(y, x0, x1);
    }
  }
  const bool keyUsable = keyed && memo.keyMask.painted && memo.keyMask.width == w && memo.keyMask.height == h;
  auto shapeOf = [&](bool withKey, ShapeMask& out) {
    bool shaped = hasRegion;
    if (hasRegion) out = region;
    if (withKey && keyUsable) {
      if (shaped)
        out.Intersect(memo.keyMask);
      else
        out = memo.keyMask;
      shaped = true;
    }
    return shaped;
  };
  ShapeMask bounding;
  bool shaped = shapeOf(!argb, bounding);
  SendShape(xwin, ShapeBounding, bounding, shaped, memo.bounding);
  if (argb && !transparent) {
    ShapeMask input;
    bool inputShaped = shapeOf(true, input);
    SendShape(xwin, ShapeInput, input, inputShaped, memo.input);
  }
}

// One bitmap, however complex the shape: Xlib splits a large image into requests the server
// takes, where a rectangle list of more than 32k entries overflows its request's length field.
void X11Backend::SendShape(XWin xwin, int kind, ShapeMask& wanted, bool shaped, SentShape& sent) {
  if (sent.valid && sent.shaped == shaped && (!shaped || sent.mask == wanted)) return;
  Pixmap mask = None;
  if (shaped) {
    mask = XCreateBitmapFromData(dpy_, xwin, reinterpret_cast<const char*>(wanted.bits.data()),
                                 static_cast<unsigned>(wanted.width), static_cast<unsigned>(wanted.height));
    if (!mask) return;
  }
  XShapeCombineMask(dpy_, xwin, kind, 0, 0, mask, ShapeSet);
  if (mask) XFreePixmap(dpy_, mask);
  sent.mask = std::move(wanted);
  sent.shaped = shaped;
  sent.valid = true;
}

// An empty input shape lets clicks through to whatever lies below.
void X11Backend::ApplyInputShape(HWND hwnd, XWin xwin, bool empty) {
  XserverRegion region = empty ? XFixesCreateRegion(dpy_, nullptr, 0) : None;
  {
    std::lock_guard<std::mutex> shapes(shapeMutex_);
    XFixesSetWindowShapeRegion(dpy_, xwin, ShapeInput, 0, 0, region);
    shapeMemo_[hwnd].input.valid = false;
  }
  if (empty) {
    // A window manager's frame copies the client's input shape only on its own schedule; a frame
    // that exists already gets it directly.
    XWin parent = ParentOf(xwin);
    if (parent && parent != root_) XFixesSetWindowShapeRegion(dpy_, parent, ShapeInput, 0, 0, region);
    XFixesDestroyRegion(dpy_, region);
  }
}

// The window is mapped and its frame, if any, takes no input: its bounding shape may be drawn. A
// MapNotify of an earlier show, handled after a hide, finds it unmapped and leaves the shape empty
// for the MapNotify still to come.
void X11Backend::ReleaseShape(HWND hwnd, XWin xwin) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(hwnd);
    if (it == windows_.end() || !it->second.withheld) return;
  }
  XWindowAttributes a;
  if (!XGetWindowAttributes(dpy_, xwin, &a) || a.map_state == IsUnmapped) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = windows_.find(hwnd);
  if (it != windows_.end()) it->second.withheld = false;
}

void X11Backend::OnWindowChanged(HWND hwnd, unsigned changes) {
  if (changes & (kChangedSize | kChangedLayered | kChangedRegion)) {
    std::lock_guard<std::mutex> shapes(shapeMutex_);
    shapeMemo_[hwnd].keyFresh = false;
  }
  XWin xwin = XWindowOf(hwnd);
  if (!xwin) return;
  WindowState s;
  if (!GetWindowState(hwnd, s)) return;
  bool mapped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mapped = windows_[hwnd].mapped;
  }
  if (changes & (kChangedPosition | kChangedSize)) {
    const RECT r = Device(s.windowRect);
    XMoveResizeWindow(dpy_, xwin, ClampXPos(r.left), ClampXPos(r.top), ClampXSize(r.right - r.left),
                      ClampXSize(r.bottom - r.top));
    if (changes & kChangedSize) ApplyShape(hwnd, xwin);
  }
  if (changes & kChangedIcon) ApplyIcon(hwnd, xwin);
  if (changes & kChangedText) {
    std::u16string title(256, u'\0');
    title.resize(GetWindowTextW(hwnd, &title[0], 256));
    SetWindowName(xwin, ToUtf8(title));
  }
  if (changes & kChangedStyle) {
    ApplyHints(hwnd, xwin);
    ApplyState(hwnd, xwin, mapped);
  }
  if (changes & (kChangedLayered | kChangedStyle)) {
    bool transparent = (s.exStyle & WS_EX_TRANSPARENT) != 0;
    bool argb;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      windows_[hwnd].transparent = transparent;
      argb = windows_[hwnd].argb;
    }
    ApplyOpacity(hwnd, xwin);
    ApplyInputShape(hwnd, xwin, transparent);
    ApplyShape(hwnd, xwin);
    if (argb && (changes & kChangedLayered)) Blit(hwnd, xwin);  // key and alpha are in its pixels
  }
  if (changes & kChangedRegion) ApplyShape(hwnd, xwin);
  if (changes & kChangedVisibility) {
    if (s.visible && !s.iconic)
      Show(hwnd, xwin, s);
    else
      Hide(hwnd, xwin);
  }
  if (changes & kChangedZOrder) Restack();
  Flush();
}

void X11Backend::Show(HWND hwnd, XWin xwin, const WindowState& s) {
  Native n;
  if (!NativeOf(hwnd, n)) return;
  if (n.withdrawing && WindowManagerRuns() && ParentOf(xwin) != root_) {
    // ICCCM 4.1.4: a withdrawn window is mapped again once the window manager has let it go.
    std::lock_guard<std::mutex> lock(mutex_);
    Native& native = windows_[hwnd];
    if (native.withdrawing) {
      native.mapPending = true;
      return;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    windows_[hwnd].withdrawing = false;  // let go already, or by a manager that is gone
  }
  if (!n.shown) {
    // The visual follows the compositor: a window shown after one came or went gets the other.
    bool argb = (s.exStyle & WS_EX_LAYERED) && argbVisual_ && CompositorRuns();
    if (argb != n.argb) {
      Rebuild(hwnd, argb);
      if (!NativeOf(hwnd, n)) return;
      xwin = n.xwin;
    }
    // Override-redirect is read by the window manager when a window is mapped; a window it still
    // holds in its frame (hidden a moment ago) keeps what it had this time.
    bool floats = Floats(s);
    if (floats != n.unmanaged && ParentOf(xwin) == root_) {
      XSetWindowAttributes a{};
      a.override_redirect = floats ? True : False;
      XChangeWindowAttributes(dpy_, xwin, CWOverrideRedirect, &a);
      std::lock_guard<std::mutex> lock(mutex_);
      windows_[hwnd].unmanaged = n.unmanaged = floats;
    }
  }
  ApplyState(hwnd, xwin, false);
  if (ActiveWindowOfDesktop() != hwnd || AnotherProgramIsActive()) {
    long zero = 0;  // shown without activation (or under the foreground lock): not to be focused
    XChangeProperty(dpy_, xwin, atom("_NET_WM_USER_TIME"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&zero), 1);
  } else {
    XDeleteProperty(dpy_, xwin, atom("_NET_WM_USER_TIME"));
  }
  const RECT r = Device(s.windowRect);
  XMoveWindow(dpy_, xwin, ClampXPos(r.left), ClampXPos(r.top));
  bool withhold;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Native& native = windows_[hwnd];
    withhold = native.transparent && !native.mapped;  // a window already mapped shows nothing new
    if (withhold) native.withheld = true;
    native.shown = true;
  }
  if (withhold) ApplyShape(hwnd, xwin);
  XMapWindow(dpy_, xwin);
  if (n.unmanaged) KeepOnTop(false);
}

void X11Backend::Hide(HWND hwnd, XWin xwin) {
  Native n;
  if (!NativeOf(hwnd, n)) return;
  // Marked before the window manager can hear of it, so its letting go is never missed.
  const bool framed = !n.unmanaged && ParentOf(xwin) != root_ && WindowManagerRuns();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Native& native = windows_[hwnd];
    native.mapped = native.shown = native.mapPending = false;
    native.withdrawing = framed;
    native.netKnown = 0;  // a withdrawn window's state is the window manager's to drop
  }
  XUnmapWindow(dpy_, xwin);
  if (!n.unmanaged) {
    // A withdrawn window must reach the window manager as such (ICCCM 4.1.4).
    XEvent ev{};
    ev.xunmap.type = UnmapNotify;
    ev.xunmap.event = root_;
    ev.xunmap.window = xwin;
    XSendEvent(dpy_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
  }
}

// Keeps the X stacking of our windows in the model's order (topmost first): each window is raised
// in turn from the bottom, so the first ends on top. The topmost band is the window manager's
// _NET_WM_STATE_ABOVE layer; floating windows are stacked by KeepOnTop.
void X11Backend::Restack() {
  std::vector<HWND> order = TopLevelWindowsInZOrder();
  std::vector<XWin> xs;
  for (HWND h : order) {
    WindowState s;
    if (!GetWindowState(h, s) || !s.visible) continue;
    Native n;
    if (!NativeOf(h, n) || !n.xwin || n.unmanaged) continue;
    SetNetState(h, n.xwin, kNetAbove, (s.exStyle & WS_EX_TOPMOST) != 0, n.mapped);
    xs.push_back(n.xwin);
  }
  RaiseManaged(std::vector<XWin>(xs.rbegin(), xs.rend()));
  KeepOnTop(false);
}

// The floating windows, in the model's order, directly on top of the stack: above every other
// client's window and below only those of our own windows the model has above them (a menu opened
// later) while these are above everything else (a menu the window manager keeps under a focused
// full-screen window does not take them down with it). Restacks only when they are not there
// already (one XQueryTree), so a check per room message costs no restacking.
void X11Backend::KeepOnTop(bool fromEvents) {
  std::lock_guard<std::mutex> guard(stackMutex_);
  std::vector<XWin> floating, above;
  for (HWND h : TopLevelWindowsInZOrder()) {
    WindowState s;
    Native n;
    if (!GetWindowState(h, s) || !s.visible || s.iconic || !NativeOf(h, n) || !n.shown) continue;
    if (n.unmanaged)
      floating.push_back(n.xwin);
    else if (floating.empty())
      above.push_back(n.xwin);
  }
  if (floating.empty()) return;
  // Our windows above them are framed: the frame is what stands among the root's children.
  for (XWin& x : above) {
    for (XWin w = x; w && w != root_; w = ParentOf(w)) x = w;
  }
  XWin rootRet, parent;
  XWin* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(dpy_, root_, &rootRet, &parent, &children, &count)) return;
  std::vector<XWin> stack(children, children + count);  // bottom first
  if (children) XFree(children);
  std::reverse(stack.begin(), stack.end());
  auto isFloating = [&](XWin w) { return std::find(floating.begin(), floating.end(), w) != floating.end(); };
  auto isAbove = [&](XWin w) { return std::find(above.begin(), above.end(), w) != above.end(); };
  // The stack from the top down to the first window of another client that shows: windows that
  // show nothing (unmapped, input-only, off the screen as window managers keep their own) cover
  // nothing and are left out.
  RECT screen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    screen = screen_;
  }
  std::vector<XWin> top;
  for (XWin w : stack) {
    if (isFloating(w) || isAbove(w)) {
      top.push_back(w);
      continue;
    }
    XWindowAttributes a;
    if (XGetWindowAttributes(dpy_, w, &a) && a.map_state == IsViewable && a.c_class == InputOutput &&
        a.x < screen.right && a.y < screen.bottom && a.x + a.width > screen.left && a.y + a.height > screen.top) {
      top.push_back(w);
      break;
    }
  }
  // Their place: right under those of our windows above them that are on top of everything else.
  std::vector<XWin> wanted;
  for (XWin w : top) {
    if (isFloating(w)) continue;
    if (!isAbove(w)) break;
    wanted.push_back(w);
  }
  const XWin sibling = wanted.empty() ? 0 : wanted.back();
  wanted.insert(wanted.end(), floating.begin(), floating.end());
  const bool inPlace = top.size() >= wanted.size() && std::equal(wanted.begin(), wanted.end(), top.begin());
  if (inPlace) return;
  auto now = std::chrono::steady_clock::now();
  if (fromEvents) {
    // Another client that raises itself whenever we do: a few rounds a second, not a busy loop.
    constexpr size_t kRaisesPerSecond = 20;
    raises_.erase(std::remove_if(raises_.begin(), raises_.end(),
                                 [&](auto t) { return now - t >= std::chrono::seconds(1); }),
                  raises_.end());
    if (raises_.size() >= kRaisesPerSecond) {
      deferredCheck_ = raises_.front() + std::chrono::seconds(1);
      return;
    }
    raises_.push_back(now);
  }
  if (sibling) {
    XWindowChanges c{};
    c.sibling = sibling;
    c.stack_mode = Below;
    XConfigureWindow(dpy_, floating[0], CWSibling | CWStackMode, &c);
  } else {
    XRaiseWindow(dpy_, floating[0]);
  }
  if (floating.size() > 1) XRestackWindows(dpy_, floating.data(), static_cast<int>(floating.size()));
  Flush();
}

// A compositor came or went: floating windows shown now take the visual it needs at once (the
// window manager never sees them, so a new X window in place of the old is invisible to it);
// other windows follow at their next show.
void X11Backend::CompositorChanged() {
  bool runs = CompositorRuns();
  std::vector<HWND> follow;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [hwnd, n] : windows_)
      if (n.shown && n.unmanaged && n.argb != (runs && argbVisual_)) follow.push_back(hwnd);
  }
  for (HWND hwnd : follow) {
    std::shared_ptr<qvp::Window> w = FindWindowShared(hwnd);
    if (!w) continue;
    RunOnThread(w->queue, [this, hwnd] {
      WindowState s;
      Native n;
      if (!GetWindowState(hwnd, s) || !NativeOf(hwnd, n) || !n.shown || !s.visible || s.iconic) return;
      bool argb = (s.exStyle & WS_EX_LAYERED) && argbVisual_ && CompositorRuns();
      if (argb == n.argb) return;
      Hide(hwnd, n.xwin);
      Show(hwnd, n.xwin, s);  // rebuilt on the way
      Flush();
    });
  }
}

void X11Backend::OnWindowDestroyed(HWND hwnd) {
  {
    std::lock_guard<std::mutex> shapes(shapeMutex_);
    shapeMemo_.erase(hwnd);
  }
  Native n;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(hwnd);
    if (it == windows_.end()) return;
    n = it->second;
    windows_.erase(it);
    byXWindow_.erase(n.xwin);
  }
  if (n.xic) XDestroyIC(n.xic);
  XDestroyWindow(dpy_, n.xwin);
  if (n.backing) XFreePixmap(dpy_, n.backing);
  Flush();
}

namespace {

// Rows of two windows are hashed at every paint: four independent lanes of two pixels each, so
// the multiplications overlap (scalar: SSE2 has no 64-bit multiply, and vectorised it is slower).
__attribute__((optimize("no-tree-vectorize", "no-tree-slp-vectorize")))
uint64_t RowHash(const uint32_t* row, int width) {
  constexpr uint64_t kMul = 0xFF51AFD7ED558CCDull;
  auto mix = [](uint64_t h, uint64_t v) {
    h = (h ^ v) * kMul;
    return h ^ (h >> 29);
  };
  uint64_t lane[4] = {0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(width), 1, 2, 3};
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(row);
  const size_t size = static_cast<size_t>(width) * 4;
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    uint64_t v[4];
    std::memcpy(v, bytes + i, sizeof v);
    for (int k = 0; k < 4; ++k) lane[k] = mix(lane[k], v[k]);
  }
  for (; i + 4 <= size; i += 4) {
    uint32_t v;
    std::memcpy(&v, bytes + i, sizeof v);
    lane[0] = mix(lane[0], v);
  }
  return mix(mix(mix(lane[0], lane[1]), lane[2]), lane[3]);
}

}  // namespace

// The window's image goes to its backing pixmap, and from there to the window once its shape is
// set: the server clips what goes into a window by its current shape, so pixels a new shape takes
// in would otherwise wait for the server's Expose and a second trip through the program. Only the
// rows that differ from what the pixmap holds are sent (the overlay's mask is repainted alike at
// every line, the bar mostly alike).
void X11Backend::Blit(HWND hwnd, XWin xwin) {
  WindowState s;
  if (!GetWindowState(hwnd, s)) return;
  Native native;
  const bool argb = NativeOf(hwnd, native) && native.argb && native.xwin == xwin;
  const bool keyed = (s.exStyle & WS_EX_LAYERED) && (s.layeredFlags & LWA_COLORKEY);
  const RECT device = Device(s.windowRect);
  const int w = device.right - device.left, h = device.bottom - device.top;
  bool painted = false, put = false;
  WithWindowImage(hwnd, [&](cairo_surface_t* surface, const uint32_t* coverage) {
    if (!surface || cairo_image_surface_get_format(surface) != CAIRO_FORMAT_RGB24) return;
    painted = true;
    cairo_surface_flush(surface);
    const int fullWidth = cairo_image_surface_get_width(surface);
    const int sw = std::min(w, fullWidth);
    const int sh = std::min(h, cairo_image_surface_get_height(surface));
    if (sw <= 0 || sh <= 0) return;
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const uint32_t* rows = reinterpret_cast<const uint32_t*>(data);
    size_t rowPixels = static_cast<size_t>(stride) / 4;
    if (argb) {
      // Premultiplied ARGB: key pixels transparent, text over the key by its coverage, all of it
      // times the constant alpha.
      thread_local std::vector<uint32_t> pixels;
      pixels.resize(static_cast<size_t>(sw) * static_cast<size_t>(sh));
      const uint32_t key = keyed ? Rgb(s.colorKey) : 0xFFFFFFFFu;
      const unsigned alpha = (s.exStyle & WS_EX_LAYERED) && (s.layeredFlags & LWA_ALPHA) ? s.alpha : 255;
      for (int y = 0; y < sh; ++y)
        ToArgb(reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride),
               coverage ? coverage + static_cast<size_t>(y) * fullWidth : nullptr, sw, key, alpha,
               pixels.data() + static_cast<size_t>(y) * sw);
      rows = pixels.data();
      rowPixels = static_cast<size_t>(sw);
    }
    thread_local std::vector<uint64_t> hashes;
    hashes.resize(static_cast<size_t>(sh));
    for (int y = 0; y < sh; ++y) hashes[y] = RowHash(rows + y * rowPixels, sw);
    XImage* image = XCreateImage(dpy_, argb ? argbVisual_ : DefaultVisual(dpy_, DefaultScreen(dpy_)), argb ? 32 : 24,
                                 ZPixmap, 0, reinterpret_cast<char*>(const_cast<uint32_t*>(rows)),
                                 static_cast<unsigned>(sw), static_cast<unsigned>(sh), 32,
                                 static_cast<int>(rowPixels * 4));
    if (!image) return;
    Pixmap backing = None;
    GC gc = nullptr;
    int first = 0, last = sh - 1;
    if (TakeRows(hwnd, xwin, w, h, argb ? 32 : DefaultDepth(dpy_, DefaultScreen(dpy_)), hashes, sw, backing, gc, first,
                 last)) {
      put = true;
      if (first <= last)
        XPutImage(dpy_, backing, gc, image, 0, first, 0, first, static_cast<unsigned>(sw),
                  static_cast<unsigned>(last - first + 1));
    }
    image->data = nullptr;  // the pixels are the surface's or ours
    XDestroyImage(image);
  });
  if (!painted) InvalidateRect(hwnd, nullptr, TRUE);
  if (keyed) ApplyShape(hwnd, xwin);
  if (put) ShowBacking(hwnd, xwin, RECT{0, 0, w, h});
  Flush();
}

// The window's backing pixmap (at least w×h; made anew, black, when the window has outgrown it or
// shrunk to less than half of it) and its GC, and the band [first, last] of the image rows with
// `hashes` that differs from what the pixmap holds (first > last: none), which it holds from now on.
bool X11Backend::TakeRows(HWND hwnd, XWin xwin, int w, int h, int depth, const std::vector<uint64_t>& hashes,
                          int width, unsigned long& backing, GC& gc, int& first, int& last) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = windows_.find(hwnd);
  if (it == windows_.end() || it->second.xwin != xwin) return false;
  Native& n = it->second;
  // The overlay grows by a line at a time: a little room saves a pixmap per line.
  const int bw = ClampXSize(w), bh = ClampXSize((h + 63) / 64 * 64);
  if (!n.backing || bw > n.backingW || bh > n.backingH || 2 * bw <= n.backingW || 2 * bh <= n.backingH) {
    Pixmap fresh = XCreatePixmap(dpy_, xwin, static_cast<unsigned>(bw), static_cast<unsigned>(bh),
                                 static_cast<unsigned>(depth));
    if (!fresh) return false;
    // One GC per depth, made on a drawable of that depth; its copies send no GraphicsExpose or
    // NoExpose back (what a copy cannot read from a pixmap, it never lacks).
    GC& shared = depth == 32 ? argbGc_ : plainGc_;
    if (!shared) {
      XGCValues values{};
      values.graphics_exposures = False;
      shared = XCreateGC(dpy_, fresh, GCGraphicsExposures, &values);
    }
    // A new pixmap's content is undefined: black (transparent at 32 bits) where no image reaches.
    XFillRectangle(dpy_, fresh, shared, 0, 0, static_cast<unsigned>(bw), static_cast<unsigned>(bh));
    // Exposures are copied from the pixmap from now on: a background would be painted first, which
    // for a window shaped to its text is a fill per rectangle of the shape, the server's dearest work.
    if (!n.backing) XSetWindowBackgroundPixmap(dpy_, xwin, None);
    if (n.backing) XFreePixmap(dpy_, n.backing);
    n.backing = fresh;
    n.backingGc = shared;
    n.backingW = bw;
    n.backingH = bh;
    n.rowHashes.clear();
  }
  backing = n.backing;
  gc = n.backingGc;
  const int height = static_cast<int>(hashes.size());
  first = 0;
  last = height - 1;
  if (n.heldWidth == width) {
    const int common = std::min(height, static_cast<int>(n.rowHashes.size()));
    while (first < common && n.rowHashes[first] == hashes[first]) ++first;
    while (last >= first && last < common && n.rowHashes[last] == hashes[last]) --last;
  }
  n.rowHashes = hashes;
  n.heldWidth = width;
  return true;
}

// Copies a part of the window's backing pixmap, within the image it last took, to the window;
// false when it has none yet.
bool X11Backend::ShowBacking(HWND hwnd, XWin xwin, const RECT& part) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = windows_.find(hwnd);
  if (it == windows_.end() || it->second.xwin != xwin || !it->second.backing) return false;
  const Native& n = it->second;
  const int x0 = std::max(0, static_cast<int>(part.left)), y0 = std::max(0, static_cast<int>(part.top));
  const int x1 = std::min(n.heldWidth, static_cast<int>(part.right));
  const int y1 = std::min(static_cast<int>(n.rowHashes.size()), static_cast<int>(part.bottom));
  if (x1 > x0 && y1 > y0)
    XCopyArea(dpy_, n.backing, xwin, n.backingGc, x0, y0, static_cast<unsigned>(x1 - x0),
              static_cast<unsigned>(y1 - y0), x0, y0);
  return true;
}

void X11Backend::OnWindowPainted(HWND hwnd) {
  {
    std::lock_guard<std::mutex> shapes(shapeMutex_);
    shapeMemo_[hwnd].keyFresh = false;  // new pixels: the colour key's runs are scanned again
  }
  if (XWin xwin = XWindowOf(hwnd)) Blit(hwnd, xwin);
}

// _NET_WM_ICON: width, height and ARGB pixels (one CARDINAL each) for every icon the window has,
// so the taskbar and the window switcher can pick the size they show.
void X11Backend::ApplyIcon(HWND hwnd, XWin xwin) {
  WindowState state;
  if (!GetWindowState(hwnd, state)) return;
  std::vector<long> data;
  for (HICON handle : state.icons) {
    auto icon = qvp::IconImageOf(handle);
    if (!icon || icon->width <= 0 || icon->height <= 0) continue;
    data.push_back(icon->width);
    data.push_back(icon->height);
    for (uint32_t px : icon->argb) data.push_back(static_cast<long>(px));
  }
  if (data.empty())
    XDeleteProperty(dpy_, xwin, atom("_NET_WM_ICON"));
  else
    XChangeProperty(dpy_, xwin, atom("_NET_WM_ICON"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
}

// Window managers differ in when, and whether, they name their active window (xfwm4 leaves ours
// named while a game it just focused has the keyboard), so the keyboard's own window decides:
// another program is active when the input focus is in a window of another client. Only when the
// focus is nowhere, on the root or on the window manager's own window (where openbox and xfwm4
// put it while nothing has it) does the window manager's active window tell.
bool X11Backend::AnotherProgramIsActive() {
  XWin focus = None;
  int revert = 0;
  XGetInputFocus(dpy_, &focus, &revert);
  if (focus != None && focus != PointerRoot && focus != root_) {
    XWin top = focus;
    for (XWin w = focus; w && w != root_;) {
      if (HwndOf(w)) return false;
      top = w;
      w = ParentOf(w);
    }
    if (top != WindowProperty(root_, "_NET_SUPPORTING_WM_CHECK")) return true;
  }
  XWin active = WindowProperty(root_, "_NET_ACTIVE_WINDOW");
  return active != 0 && !HwndOf(active);
}

void X11Backend::OnWindowActivated(HWND hwnd) {
  Native native;
  if (!NativeOf(hwnd, native) || !native.xwin) return;
  XWin xwin = native.xwin;
  // Floating windows never take the keyboard: the program the user is in keeps it.
  if (native.unmanaged) {
    KeepOnTop(false);
    return;
  }
  // As Windows' foreground lock: a program in the background does not take the keyboard from the
  // program in front (a game, say); its window only comes to the front of the stack.
  if (AnotherProgramIsActive()) {
    RaiseManaged({xwin});
    Flush();
    return;
  }
  // From a pager: the window manager obeys rather than judges.
  AskWindowManager(xwin, "_NET_ACTIVE_WINDOW", 2, CurrentTime);
  XRaiseWindow(dpy_, xwin);
  Flush();
}

// The capture's pointer grab, once the window can take it (a frame still unmapped refuses it:
// the next MapNotify or Expose tries again).
void X11Backend::GrabWhenViewable(HWND hwnd, XWin xwin) {
  int result = XGrabPointer(dpy_, xwin, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                            GrabModeAsync, None, None, CurrentTime);
  if (result == GrabNotViewable) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (pendingGrab_ == hwnd) pendingGrab_ = nullptr;
}

void X11Backend::OnCaptureChanged(HWND hwnd) {
  XWin xwin = hwnd ? XWindowOf(hwnd) : 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingGrab_ = nullptr;
  }
  if (xwin) {
    // A window just shown (a menu) is not viewable until the window manager has mapped its frame:
    // the grab is then taken at its MapNotify.
    int result = XGrabPointer(dpy_, xwin, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                              GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    if (result == GrabNotViewable) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingGrab_ = hwnd;
      }
      // Its MapNotify may have been handled meanwhile.
      XWindowAttributes a;
      if (XGetWindowAttributes(dpy_, xwin, &a) && a.map_state == IsViewable) GrabWhenViewable(hwnd, xwin);
    }
  } else {
    XUngrabPointer(dpy_, CurrentTime);
  }
  Flush();
}

void X11Backend::OnCursorChanged(int cursorId) {
  unsigned shape = XC_left_ptr;
  if (cursorId == 32513) shape = XC_xterm;
  else if (cursorId == 32646) shape = XC_fleur;
  else if (cursorId == 32514) shape = XC_watch;
  else if (cursorId == 32515) shape = XC_crosshair;
  else if (cursorId == 32649) shape = XC_hand2;
  std::vector<XWin> xs;
  Cursor cursor;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cursors_.find(static_cast<int>(shape));
    if (it == cursors_.end()) it = cursors_.emplace(static_cast<int>(shape), XCreateFontCursor(dpy_, shape)).first;
    cursor = it->second;
    cursorId_ = static_cast<int>(shape);  // new X windows start with it
    for (auto& w : windows_) xs.push_back(w.second.xwin);
  }
  for (XWin x : xs) XDefineCursor(dpy_, x, cursor);
  Flush();
}

void X11Backend::MovePointer(POINT pt) {
  XWarpPointer(dpy_, None, root_, 0, 0, 0, 0, DeviceCoord(pt.x, scale_), DeviceCoord(pt.y, scale_));
  Flush();
}

// ---- test hooks ----

namespace {

// A shape as an Xlib region (an unshaped window's shape is its whole area).
::Region ShapeRegion(Display* dpy, XWin w, int kind) {
  ::Region region = XCreateRegion();
  int count = 0, ordering = 0;
  XRectangle* r = XShapeGetRectangles(dpy, w, kind, &count, &ordering);
  for (int i = 0; i < count; ++i) XUnionRectWithRegion(&r[i], region, region);
  if (r) XFree(r);
  return region;
}

}  // namespace

bool X11Backend::WindowInfo(HWND hwnd, unsigned long& xwin, unsigned long& frame, bool& viewable, RECT& rect,
                            bool& clickThrough, bool& drawn, int& depth, bool& unmanaged) {
  xwin = XWindowOf(hwnd);
  if (!xwin) return false;
  // One moment: neither the window manager nor anybody else changes a window between the reads.
  XGrabServer(dpy_);
  bool ok = false;
  XWindowAttributes a;
  if (XGetWindowAttributes(dpy_, xwin, &a)) {
    ok = true;
    viewable = a.map_state == IsViewable;
    depth = a.depth;
    unmanaged = a.override_redirect != False;
    int x = 0, y = 0;
    XWin child;
    XTranslateCoordinates(dpy_, xwin, root_, 0, 0, &x, &y, &child);
    rect = RECT{x, y, x + a.width, y + a.height};
    frame = 0;
    for (XWin w = xwin;;) {  // the frame is the ancestor that is a child of the root
      XWin rootRet, parent;
      XWin* children = nullptr;
      unsigned int n = 0;
      if (!XQueryTree(dpy_, w, &rootRet, &parent, &children, &n)) {
        ok = false;
        break;
      }
      if (children) XFree(children);
      if (!parent || parent == root_) break;
      frame = w = parent;
    }
    // The server hit-tests the input shape clipped to the bounding shape.
    auto takesInput = [&](XWin w) {
      ::Region bounding = ShapeRegion(dpy_, w, ShapeBounding), input = ShapeRegion(dpy_, w, ShapeInput);
      XIntersectRegion(bounding, input, input);
      bool any = !XEmptyRegion(input);
      XDestroyRegion(bounding);
      XDestroyRegion(input);
      return any;
    };
    auto isDrawn = [&](XWin w) {
      ::Region bounding = ShapeRegion(dpy_, w, ShapeBounding);
      bool any = !XEmptyRegion(bounding);
      XDestroyRegion(bounding);
      return any;
    };
    clickThrough = !takesInput(xwin) && (!frame || !takesInput(frame));
    drawn = isDrawn(xwin) && (!frame || isDrawn(frame));
  }
  XUngrabServer(dpy_);
  Flush();
  return ok;
}

bool X11Backend::Sync() {
  if (g_displayLost) return false;
  long seq;
  {
    std::lock_guard<std::mutex> lock(syncMutex_);
    seq = ++syncSent_;
  }
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = marker_;
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = seq;
  XSendEvent(dpy_, marker_, False, NoEventMask, &ev);  // comes back to us, after every earlier event
  XSync(dpy_, False);
  AfterOtherIo();
  Wake();
  std::unique_lock<std::mutex> lock(syncMutex_);
  return syncDone_.wait_for(lock, std::chrono::seconds(10), [&] { return syncSeen_ >= seq || g_displayLost; }) &&
         !g_displayLost;
}

HWND X11Backend::WindowUnderPointer(unsigned long& deepest) {
  deepest = 0;
  XWin w = root_, rootRet, child = 0;
  int rx, ry, wx, wy;
  unsigned int mask;
  HWND found = nullptr;
  while (XQueryPointer(dpy_, w, &rootRet, &child, &rx, &ry, &wx, &wy, &mask) && child) {
    if (HWND h = HwndOf(child)) found = h;
    w = deepest = child;
  }
  return found;
}

// ---- events ----

// The event thread sleeps until X events arrive or it is woken (AfterOtherIo, Wake). While other
// threads use the connection it also looks every 200 ms, in case something read events where no
// hook saw it; a second after their last use it sleeps without a time-out: an idle program does
// not wake up.
void X11Backend::EventLoop() {
  eventThread_ = std::this_thread::get_id();
  while (!stop_ && !g_displayLost) {
    using std::chrono::steady_clock;
    const bool othersBusy = steady_clock::now().time_since_epoch().count() - lastOtherIo_.load() <
                            std::chrono::duration_cast<steady_clock::duration>(std::chrono::seconds(1)).count();
    int timeout = othersBusy || wakeRead_ < 0 ? 200 : -1;
    auto until = [&](steady_clock::time_point due) {
      if (due == steady_clock::time_point{}) return;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - steady_clock::now());
      int ms = static_cast<int>(std::clamp<long long>(left.count(), 0, 200));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    };
    {
      std::lock_guard<std::mutex> guard(stackMutex_);
      until(deferredCheck_);
    }
    until(monitorsDue_);
    // Events this thread's own round trips read meanwhile are in a queue the socket does not show.
    if (XEventsQueued(dpy_, QueuedAfterReading) > 0) timeout = 0;
    pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    poll(fds, wakeRead_ >= 0 ? 2 : 1, timeout);
    if (stop_) break;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    wakePending_ = false;  // before reading: another thread's use from now on wakes the loop again
    while (!g_displayLost && XPending(dpy_)) {
      XEvent ev;
      XNextEvent(dpy_, &ev);
      if (XFilterEvent(&ev, None)) continue;  // the input method took it
      Dispatch(ev);
    }
    // Once the events at hand are handled: one look at the stack for all the restacking they told.
    bool check = stackCheckDue_;
    {
      std::lock_guard<std::mutex> guard(stackMutex_);
      if (deferredCheck_ != steady_clock::time_point{} && steady_clock::now() >= deferredCheck_) {
        deferredCheck_ = {};
        check = true;
      }
    }
    if (check && !g_displayLost) {
      stackCheckDue_ = false;
      KeepOnTop(true);
    }
    if (monitorsDue_ != steady_clock::time_point{} && steady_clock::now() >= monitorsDue_ && !g_displayLost) {
      monitorsDue_ = {};
      ReadMonitors();
    }
  }
}

// A pointer event on one of our windows in screen coordinates. On a scaled display it is taken
// from the point within the window, so that each of the window's device pixels maps into it (the
// window's edges, rounded to device pixels, need not fall where the screen's logical pixels do).
POINT X11Backend::InputPoint(HWND hwnd, int x, int y, int xRoot, int yRoot) {
  WindowState s;
  if (scale_ == 1.0 || !GetWindowState(hwnd, s)) return Logical(xRoot, yRoot);
  const POINT in = Logical(x, y);
  return POINT{s.windowRect.left + in.x, s.windowRect.top + in.y};
}

void X11Backend::HandleKey(XKeyEvent& ev, HWND) {
  KeySym sym = NoSymbol;
  char buffer[64];
  std::string utf8;
  XIC xic = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byXWindow_.find(ev.window);
    if (it != byXWindow_.end()) xic = windows_[it->second].xic;
  }
  bool down = ev.type == KeyPress;
  if (down && xic) {
    Status status;
    int n = Xutf8LookupString(xic, &ev, buffer, sizeof buffer, &sym, &status);
    if ((status == XLookupChars || status == XLookupBoth) && n > 0) utf8.assign(buffer, static_cast<size_t>(n));
    if (status == XLookupChars) sym = XkbKeycodeToKeysym(dpy_, static_cast<KeyCode>(ev.keycode), 0, 0);
  } else {
    int n = XLookupString(&ev, buffer, sizeof buffer, &sym, nullptr);
    if (down && n > 0) {
      for (int i = 0; i < n; ++i) {  // Latin-1
        unsigned char c = static_cast<unsigned char>(buffer[i]);
        if (c < 0x80) utf8 += static_cast<char>(c);
        else {
          utf8 += static_cast<char>(0xC0 | (c >> 6));
          utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
      }
    }
  }
  bool extended = false;
  UINT vk = VirtualKeyFromKeysym(sym, extended);
  if (!vk) vk = VirtualKeyFromKeysym(XkbKeycodeToKeysym(dpy_, static_cast<KeyCode>(ev.keycode), 0, 0), extended);
  if (!vk && utf8.empty()) return;
  InputKey(vk, ev.keycode - 8, extended, down, ToUtf16(utf8));
}

void X11Backend::HandleRawKey(XEvent& ev) {
  if (!XGetEventData(dpy_, &ev.xcookie)) return;
  auto* raw = static_cast<XIRawEvent*>(ev.xcookie.data);
  bool down = ev.xcookie.evtype == XI_RawKeyPress;
  KeyCode code = static_cast<KeyCode>(raw->detail);
  XFreeEventData(dpy_, &ev.xcookie);
  bool extended = false;
  UINT vk = VirtualKeyFromKeysym(XkbKeycodeToKeysym(dpy_, code, 0, 0), extended);
  if (!vk) return;
  UINT scan = code - 8u;
  InputLowLevelKey(vk, scan, extended, down, false);
  if (down) repeater_->Pressed(vk, scan, extended);
  else repeater_->Released(vk);
}

// The keyboard went elsewhere: when no window of ours has it, the active window is deactivated.
void X11Backend::HandleFocusOut() {
  XWin focus;
  int revert;
  XGetInputFocus(dpy_, &focus, &revert);
  for (XWin w = focus; w && w != root_ && w != PointerRoot; w = ParentOf(w))
    if (HwndOf(w)) return;
  HWND active = ActiveWindowOfDesktop();
  std::shared_ptr<qvp::Window> w = active ? FindWindowShared(active) : nullptr;
  if (w) RunOnThread(w->queue, [active] {
    if (ActiveWindowOfDesktop() == active) ActivateWindow(nullptr, false, WA_INACTIVE);
  });
}

void X11Backend::Dispatch(XEvent& ev) {
  if (ev.type == ClientMessage && ev.xclient.window == marker_) {
    std::lock_guard<std::mutex> lock(syncMutex_);
    syncSeen_ = std::max(syncSeen_, ev.xclient.data.l[0]);
    syncDone_.notify_all();
    return;
  }
  std::vector<std::function<bool(XEvent&)>> filters;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    filters = filters_;
  }
  for (auto& f : filters)
    if (f(ev)) return;
  if (ev.type == GenericEvent && ev.xcookie.extension == xiOpcode_) {
    HandleRawKey(ev);
    return;
  }
  // A display change comes as several events (outputs, CRTCs, the screen's size): the monitors are
  // read once they have settled, so the windows hear of one change, not of the steps between.
  if (randrEvent_ >= 0 && (ev.type == randrEvent_ + RRScreenChangeNotify || ev.type == randrEvent_ + RRNotify)) {
    XRRUpdateConfiguration(&ev);
    monitorsDue_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    return;
  }
  if (ev.type == ConfigureNotify && ev.xconfigure.window == root_) {
    monitorsDue_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    return;
  }
  if (ev.type == PropertyNotify && ev.xproperty.window == root_) {
    // The window manager lists its clients again, or redoes its work area, when a dock comes,
    // goes or changes what it reserves.
    const Atom a = ev.xproperty.atom;
    if (a == atom("_NET_CLIENT_LIST") || a == atom("_NET_WORKAREA") || a == atom("_NET_CURRENT_DESKTOP") ||
        a == atom("_NET_SUPPORTING_WM_CHECK"))
      ReadDesktop();
    return;
  }
  if (ev.type == DestroyNotify && managerCheck_ && ev.xdestroywindow.window == managerCheck_) {
    ReadDesktop();  // the window manager ended
    return;
  }
  if (fixesEvent_ >= 0 && ev.type == fixesEvent_ + XFixesSelectionNotify) {
    if (reinterpret_cast<XFixesSelectionNotifyEvent&>(ev).selection == cmSelection_) CompositorChanged();
    return;
  }
  // Another top-level window was mapped or restacked: it may cover the floating windows. (These
  // come from the root's substructure; a window's own events name the window, not the root.)
  XWin subject = 0;
  if (ev.type == ConfigureNotify && ev.xconfigure.event == root_) subject = ev.xconfigure.window;
  else if (ev.type == MapNotify && ev.xmap.event == root_) subject = ev.xmap.window;
  else if (ev.type == CirculateNotify && ev.xcirculate.event == root_) subject = ev.xcirculate.window;
  else if (ev.type == ReparentNotify && ev.xreparent.event == root_) subject = ev.xreparent.window;
  if (subject) {
    HWND ours = HwndOf(subject);
    Native n;
    if (!ours || !NativeOf(ours, n) || !n.unmanaged) stackCheckDue_ = true;  // not our own raising
    return;
  }
  HWND hwnd = HwndOf(ev.xany.window);
  if (!hwnd) return;
  switch (ev.type) {
    case Expose: {
      // Only what the server lost goes out again: a reshaped or grown window exposes a little.
      RECT part{ev.xexpose.x, ev.xexpose.y, ev.xexpose.x + ev.xexpose.width, ev.xexpose.y + ev.xexpose.height};
      auto run = exposed_.find(ev.xany.window);
      if (run != exposed_.end()) UnionRect(&part, &part, &run->second);
      if (ev.xexpose.count > 0) {
        exposed_[ev.xany.window] = part;
      } else {
        if (run != exposed_.end()) exposed_.erase(run);
        // A window's pixels are on the server already once it has a backing pixmap.
        if (!ShowBacking(hwnd, ev.xany.window, part)) Blit(hwnd, ev.xany.window);
      }
      bool grab;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        grab = pendingGrab_ == hwnd;
      }
      if (grab) GrabWhenViewable(hwnd, ev.xany.window);
      break;
    }
    case MapNotify: {
      bool transparent;
      bool grab;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        windows_[hwnd].mapped = true;
        grab = pendingGrab_ == hwnd;
        transparent = windows_[hwnd].transparent;
      }
      // The window manager framed it by now: the shapes go on again so the frame gets them. The
      // input shape goes first: set now, openbox sees it change and keeps it on the frame when it
      // resizes the frame (a shape set before it managed the window is not seen).
      ApplyState(hwnd, ev.xany.window, true);
      if (transparent) ApplyInputShape(hwnd, ev.xany.window, true);
      ReleaseShape(hwnd, ev.xany.window);
      ApplyShape(hwnd, ev.xany.window);
      if (grab) GrabWhenViewable(hwnd, ev.xany.window);
      Flush();
      break;
    }
    case ReparentNotify: {
      // Let go now, not by an older notice still in the queue.
      const bool released = ev.xreparent.parent == root_ && ParentOf(ev.xany.window) == root_;
      bool transparent, showNow = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        Native& n = windows_[hwnd];
        transparent = n.transparent;
        if (n.withdrawing && released) {
          n.withdrawing = false;
          showNow = n.mapPending;
          n.mapPending = false;
        }
      }
      if (transparent) ApplyInputShape(hwnd, ev.xany.window, true);
      if (showNow) {
        // The show that waited, then the stacking it could not get while withdrawn.
        WindowState s;
        if (GetWindowState(hwnd, s) && s.visible && !s.iconic) Show(hwnd, ev.xany.window, s);
        Restack();
        Flush();
      }
      break;
    }
    case ButtonPress:
    case ButtonRelease: {
      POINT pt = InputPoint(hwnd, ev.xbutton.x, ev.xbutton.y, ev.xbutton.x_root, ev.xbutton.y_root);
      bool down = ev.type == ButtonPress;
      switch (ev.xbutton.button) {
        case Button1: InputMouseButton(MouseButton::Left, down, pt, hwnd); break;
        case Button2: InputMouseButton(MouseButton::Middle, down, pt, hwnd); break;
        case Button3: InputMouseButton(MouseButton::Right, down, pt, hwnd); break;
        case Button4:
          if (down) InputMouseWheel(WHEEL_DELTA, pt, hwnd);
          break;
        case Button5:
          if (down) InputMouseWheel(-WHEEL_DELTA, pt, hwnd);
          break;
        default: break;
      }
      break;
    }
    case MotionNotify: {
      XEvent next;  // only the latest position of a burst matters
      while (XCheckTypedWindowEvent(dpy_, ev.xany.window, MotionNotify, &next)) ev = next;
      InputMouseMove(InputPoint(hwnd, ev.xmotion.x, ev.xmotion.y, ev.xmotion.x_root, ev.xmotion.y_root), hwnd);
      break;
    }
    case LeaveNotify:
      if (ev.xcrossing.mode == NotifyNormal) InputMouseMove(Logical(ev.xcrossing.x_root, ev.xcrossing.y_root), nullptr);
      break;
    case KeyPress:
    case KeyRelease: HandleKey(ev.xkey, hwnd); break;
    case FocusIn:
      if (ev.xfocus.mode != NotifyNormal && ev.xfocus.mode != NotifyWhileGrabbed) break;
      if (ActiveWindowOfDesktop() != hwnd) {
        std::shared_ptr<qvp::Window> w = FindWindowShared(hwnd);
        if (w) RunOnThread(w->queue, [hwnd] {
          if (IsWindow(hwnd) && ActiveWindowOfDesktop() != hwnd) ActivateWindow(hwnd, false, WA_ACTIVE);
        });
      }
      break;
    case FocusOut:
      if (ev.xfocus.mode == NotifyNormal && ev.xfocus.detail != NotifyInferior) HandleFocusOut();
      break;
    case ClientMessage:
      if (static_cast<Atom>(ev.xclient.data.l[0]) == atom("WM_DELETE_WINDOW")) PostMessageW(hwnd, WM_CLOSE, 0, 0);
      break;
    default: break;
  }
}

}  // namespace qvp::x11

BOOL QvStartDisplay() {
  std::string error;
  std::unique_ptr<qvp::x11::X11Backend> backend = qvp::x11::X11Backend::Open(error);
  if (!backend) {
    fprintf(stderr, "QvGameAssist: %s\n", error.c_str());
    return FALSE;
  }
  qvp::SetBackend(std::move(backend));
  return TRUE;
}
