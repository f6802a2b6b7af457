// The display behind the window model. The window model (user) keeps every window's state; the
// backend is told what changed and shows it: on a real X display or on the headless desktop.
#pragma once

#include <memory>

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
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* Name() const = 0;

  // Screen geometry in screen coordinates.
  virtual RECT DesktopRect() = 0;
  virtual RECT WorkArea() = 0;

  // Called by the window model on the window's own thread, after the model has changed.
  virtual void OnWindowCreated(HWND) {}
  virtual void OnWindowChanged(HWND, unsigned /*WindowChange bits*/) {}
  virtual void OnWindowDestroyed(HWND) {}
  // A window's image changed (EndPaint, ReleaseDC of a window DC): show it.
  virtual void OnWindowPainted(HWND) {}
};

// The backend in use. Until one is chosen, the headless desktop (1920x1080) serves.
Backend& TheBackend();
void SetBackend(std::unique_ptr<Backend> backend);

}  // namespace qvp
