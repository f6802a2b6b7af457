// What the other parts of the layer (GDI, backends) may read of the window model.
#pragma once

#include <functional>
#include <vector>

#include "win32/types.h"

namespace qvp {

struct WindowState {
  DWORD threadId = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  HWND parent = nullptr;  // WS_CHILD windows
  HWND owner = nullptr;   // owned top-level windows
  RECT windowRect{};      // screen coordinates
  RECT clientRect{};      // screen coordinates
  bool visible = false;   // WS_VISIBLE of the window itself
  bool iconic = false;
  // SetLayeredWindowAttributes; meaningful while WS_EX_LAYERED is set.
  DWORD layeredFlags = 0;  // LWA_COLORKEY | LWA_ALPHA
  BYTE alpha = 255;
  COLORREF colorKey = 0;
  HICON icons[2] = {nullptr, nullptr};  // WM_SETICON: [ICON_SMALL], [ICON_BIG]
};

// A copy of the window's state; false for a window that does not exist.
bool GetWindowState(HWND hwnd, WindowState& out);

// Top-level windows, topmost first (the topmost band, then the others; owned windows above their
// owner).
std::vector<HWND> TopLevelWindowsInZOrder();

// The pending update region's bounding box in client coordinates, emptied by the call
// (BeginPaint). `erase` tells whether an InvalidateRect asked for the background to be erased.
bool TakeUpdateRect(HWND hwnd, RECT& rect, bool& erase);

// Runs `hook(hwnd)` whenever a window is finally destroyed, after WM_NCDESTROY, on its thread:
// the GDI parts release what they keep per window (surfaces, regions).
void AddWindowDestroyHook(std::function<void(HWND)> hook);

}  // namespace qvp
