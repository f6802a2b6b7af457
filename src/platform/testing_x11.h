// Test hooks of the X11 backend: what the X server holds of a window (read in one moment), a round
// trip with the backend's event thread, and the window under the pointer. Tests wait on these
// instead of on time. The program itself never calls these.
#pragma once

#include "win32/types.h"

namespace qvplatform::testing {

struct X11WindowInfo {
  unsigned long window = 0;  // the window's X window
  unsigned long frame = 0;   // the window manager's frame around it, 0 while it has none
  bool viewable = false;     // mapped with all its ancestors
  RECT rect{0, 0, 0, 0};     // where it is on the root window, in device pixels
  // Clicks pass through: neither the window nor its frame takes input anywhere (the input shape,
  // clipped to the bounding shape as the server hit-tests, is empty).
  bool clickThrough = false;
  // Something is drawn: neither the window's bounding shape nor its frame's is empty.
  bool drawn = false;
  int depth = 0;           // of its visual: 32 when its pixels carry alpha for a compositor
  bool unmanaged = false;  // override-redirect: no window manager frames or stacks it
};

// False without the X backend or when the window has no X window.
bool X11Window(HWND hwnd, X11WindowInfo& info);

// Returns once the server has processed every request the backend made so far and the backend's
// event thread has handled every event the server sent it before that; false without the X
// backend or when the display is gone.
bool X11Sync();

// The top-level window of ours whose X window (or frame) holds the pointer, or null.
HWND X11WindowUnderPointer();
// The deepest X window that holds the pointer, of any client (0 for the root).
unsigned long X11WindowAtPointer();

}  // namespace qvplatform::testing
