// The display behind the window model. The window model (user) keeps every window's state; the
// backend is told what changed and shows it: on a real X display or on the headless desktop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "win32/types.h"

namespace qvp {

enum WindowChange : unsigned {
  kChangedPosition = 1u << 0,
  kChangedSize = 1u << 1,
  kChangedVisibility = 1u << 2,
  kChangedZOrder = 1u << 3,
  kChangedStyle = 1u << 4,
  kChangedLayered = 1u << 5,
  kChangedRegion = 1u << 6,
  kChangedText = 1u << 7,
  kChangedIcon = 1u << 8,
};

// How text drawn over a layered window's colour key is shown: blended into the key as GDI draws
// it (the headless desktop composes window images as Windows does); crisp, each pixel the key or
// ink, for a display that cuts the key out with a 1-bit shape (blended edge pixels would survive
// the key as a dark fringe); or anti-aliased with its coverage kept as alpha, for a display that
// shows per-pixel alpha.
enum class TextOverKey { Blended, Crisp, Coverage };

// A monitor: its rectangle and work area in screen coordinates.
struct MonitorDesc {
  RECT rect;
  RECT work;
  bool primary;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* Name() const = 0;

  // Device pixels per logical pixel. Everything above the backend sees 96-dpi logical pixels;
  // window images are drawn at this scale and shown 1:1.
  virtual double Scale() { return 1.0; }

  // Screen geometry in screen coordinates (logical pixels).
  virtual RECT DesktopRect() = 0;
  virtual RECT WorkArea() = 0;
  // Every monitor, the primary first; DesktopRect and WorkArea are the primary's.
  virtual std::vector<MonitorDesc> Monitors() { return {MonitorDesc{DesktopRect(), WorkArea(), true}}; }

  // Called by the window model on the window's own thread, after the model has changed.
  virtual void OnWindowCreated(HWND) {}
  virtual void OnWindowChanged(HWND, unsigned /*WindowChange bits*/) {}
  virtual void OnWindowDestroyed(HWND) {}
  // A window's image changed (EndPaint, ReleaseDC of a window DC): show it.
  virtual void OnWindowPainted(HWND) {}
  // The model made the window active: the display gives it the keyboard and raises it.
  virtual void OnWindowActivated(HWND) {}
  // How this colour-keyed window shows text drawn over its key (asked when a DC is made for it).
  virtual TextOverKey TextOverColourKey(HWND) { return TextOverKey::Blended; }

  // Input: the pointer follows the capture window (null releases it), the cursor shape (an IDC_
  // number) and SetCursorPos.
  virtual void OnCaptureChanged(HWND) {}
  virtual void OnCursorChanged(int /*cursorId*/) {}
  virtual void MovePointer(POINT) {}
};

// The scale for a desktop's resolution: dpi/96 to the nearest quarter, 1 below 120 dpi (a
// desktop a little over 96 dpi keeps pixel-exact windows).
double ScaleForDpi(double dpi);
// Logical and device pixels at a scale. Cairo puts an edge that falls on a half pixel at the pixel
// below (anti-aliasing off), so logical coordinate v begins at device pixel ceil(v * scale - 0.5):
// positions and lengths (a length is where it ends, counted from 0) follow that one rule, and a
// window's image is exactly as large as what its painting covers. Coming back, a device pixel
// belongs to the logical pixel whose span holds its centre, and a device rectangle (a monitor, a
// work area) becomes the logical pixels that begin within it.
int DeviceCoord(long logical, double scale);
RECT DeviceRect(const RECT& logical, double scale);
POINT LogicalPoint(long x, long y, double scale);
RECT LogicalRect(const RECT& device, double scale);

// Input from the display, in screen coordinates; any thread may call these. The window that gets
// it is found by capture, hit testing (WM_NCHITTEST) and focus, and the messages arrive in its
// thread's queue. `hint` names the top-level window the display found under the pointer; null
// makes the model find it in its own z-order.
enum class MouseButton { Left, Right, Middle };
void InputMouseMove(POINT screen, HWND hint);
void InputMouseButton(MouseButton button, bool down, POINT screen, HWND hint);
void InputMouseWheel(int delta, POINT screen, HWND hint);
// A key as the low-level hooks see it: updates the physical key state and calls the hooks. With
// `wait`, returns true when a hook kept the key from this program's windows.
bool InputLowLevelKey(UINT vk, UINT scan, bool extended, bool down, bool wait);
// A key for the focus window (the active window when nothing has the focus). `text` is what the
// keyboard (or input method) typed with it, delivered as WM_CHAR where TranslateMessage would not.
void InputKey(UINT vk, UINT scan, bool extended, bool down, const std::u16string& text);

// The backend in use. Until one is chosen, the headless desktop (1920x1080) serves.
Backend& TheBackend();
void SetBackend(std::unique_ptr<Backend> backend);

}  // namespace qvp
