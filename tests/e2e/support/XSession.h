// A private X desktop for one test: Xvfb (or Xorg's dummy driver, for monitors) on a free display, a window manager (openbox, or xfwm4 with
// its own compositor), a tray host (trayer) and, on request, a compositor (xcompmgr) and a
// notification daemon on a private session bus. Every process is stopped by its PID (the X server, and anything left, by a reaper when the
// test process ends); caches and settings live in a temporary folder.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct _XDisplay;

namespace qve2e {

struct SessionOptions {
  int width = 1280;
  int height = 800;
  bool windowManager = true;
  // With windowManager: xfwm4 with its compositor on (on the session's private bus) instead of
  // openbox.
  bool xfwm4 = false;
  bool tray = false;
  bool compositor = false;  // xcompmgr
  bool notifications = false;
  // Monitors, left to right (width × height each), on Xorg's dummy driver: real RandR outputs
  // (DUMMY0, DUMMY1, …) that xrandr can arrange and switch off. Empty: one Xvfb screen of
  // width × height.
  std::vector<std::pair<int, int>> monitors;
  int primary = 0;  // which of the monitors is primary
  // The desktop's resolution for its clients (Xft.dpi in the root's resources, as xrdb sets it);
  // 0 leaves it unset.
  int dpi = 0;
};

// A window's pixels as the X server holds them (not the screen's), 0xAARRGGBB for a 32-bit
// visual, 0xFFRRGGBB otherwise.
struct WindowPixels {
  int width = 0, height = 0, depth = 0;
  std::vector<unsigned> argb;
  unsigned At(int x, int y) const { return argb[static_cast<size_t>(y) * width + x]; }
};

class XSession {
 public:
  explicit XSession(const SessionOptions& options = SessionOptions());
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& display() const { return display_; }  // ":N"; also exported as DISPLAY
  const std::string& folder() const { return folder_; }
  // The session's config home as XDG_CONFIG_HOME, with the program's settings folder in it.
  std::string ProgramConfigHome();

  // Starts a helper process with the session's environment; returns its PID (or -1).
  pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdoutFile = std::string());
  void Stop(pid_t pid);
  // Starts or stops the tray host alone (a tray host that goes away and comes back).
  bool StartTray();
  void StopTray();
  // Starts xcompmgr (returns once it owns the screen's compositing selection) or stops it.
  bool StartCompositor();
  void StopCompositor();
  // Whether a compositing manager owns _NET_WM_CM_S0.
  bool CompositorRuns();
  // The pixels of window `id`; false when it cannot be read (gone, unmapped).
  bool ReadWindow(unsigned long id, WindowPixels& out);

  // Returns once the window manager has handled every event the X server gave it before the call
  // (false if it does not answer within `ms`).
  bool SyncWindowManager(int ms = 10000);

  // Runs a command to its end while `pump` keeps the caller's windows alive; false on failure.
  bool Run(const std::vector<std::string>& argv, const std::function<void()>& pump, std::string* output = nullptr);
  // Changes the screen size through RandR (a mode of that size on the one output), as a display
  // change does. Xvfb cannot grow the screen past the size it started with.
  bool ResizeScreen(int width, int height);
  // Maps a dock window along the top edge that reserves `height` pixels (_NET_WM_STRUT_PARTIAL),
  // from x `left` to `right` (-1: the screen's width).
  bool Dock(int height, int left = 0, int right = -1);
  // Sets or reads a 32-bit property of the root window.
  bool SetRootProperty(const std::string& name, const std::string& type, const std::vector<long>& values);
  std::vector<long> RootProperty(const std::string& name);
  // A window of the helper connection, destroyed at once: an id that names no window any more.
  unsigned long DeadWindow();
  // Another client's pop-up: an override-redirect window of the helper connection in one colour,
  // mapped on top of the stack; returns its id.
  unsigned long Cover(int x, int y, int width, int height, unsigned long rgb);

  // The colour of a screen pixel as 0xRRGGBB, or -1.
  long Pixel(int x, int y, const std::function<void()>& pump);
  // Where a window is on the screen; found is false when there is none.
  struct Geometry {
    bool found = false;
    int x = 0, y = 0, width = 0, height = 0;
    std::string id;  // as xdotool prints it
  };
  // The geometry of an X window by id (as xdotool prints ids).
  Geometry GeometryOf(const std::string& id);
  // The largest visible window whose name matches the regular expression `pattern`.
  Geometry LargestWindow(const std::string& pattern);
  // True while some client holds a pointer grab (this session's own client cannot take one).
  bool PointerGrabbed();
  // Waits (pumping) until `done` holds or `ms` pass.
  static bool WaitFor(const std::function<bool()>& done, const std::function<void()>& pump, int ms = 5000);

 private:
  bool StartXvfb();
  bool StartXorg();
  bool StartServer(const std::vector<std::string>& argv, const char* name);
  bool StartBus();
  bool WaitForWindowManager();
  void StartReaper();
  void Remember(pid_t pid, bool forget);

  _XDisplay* Helper();

  SessionOptions options_;
  _XDisplay* helper_ = nullptr;  // stays open: what it made (a dock) lives as long as it does
  bool ok_ = false;
  std::string error_;
  std::string display_;
  std::string folder_;
  std::string busAddress_;
  int reaper_ = -1;  // write end of the reaper's pipe: PIDs to stop when this process ends
  pid_t server_ = -1, wm_ = -1, tray_ = -1, compositor_ = -1, bus_ = -1, notifier_ = -1;
};

}  // namespace qve2e
