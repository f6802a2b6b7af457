// Monitors: which monitor a window, point or rectangle is on, monitor information and enumeration.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "user_internal.h"
#include "win32/kernel.h"
#include "win32/user.h"

namespace qvp {
namespace {

// An HMONITOR is the monitor's 1-based index in the backend's list (low 16 bits) and the generation
// of that list (above). Any change of the monitors' count, rectangles or primary starts a new
// generation, so a handle from before the change fails instead of naming another monitor.
constexpr int kIndexBits = 16;
constexpr size_t kMaxMonitors = (size_t{1} << kIndexBits) - 1;

struct Snapshot {
  std::vector<MonitorDesc> monitors;
  uintptr_t generation = 0;
};

bool SameLayout(const std::vector<MonitorDesc>& a, const std::vector<MonitorDesc>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!EqualRect(&a[i].rect, &b[i].rect) || a[i].primary != b[i].primary) return false;
  }
  return true;
}

// The backend's monitors now, with the generation their handles carry.
Snapshot CurrentMonitors() {
  static std::mutex mutex;
  static Snapshot last;
  std::vector<MonitorDesc> now = TheBackend().Monitors();
  if (now.empty()) now.push_back(MonitorDesc{TheBackend().DesktopRect(), TheBackend().WorkArea(), true});
  if (now.size() > kMaxMonitors) now.resize(kMaxMonitors);
  std::lock_guard<std::mutex> lock(mutex);
  if (last.generation == 0 || !SameLayout(last.monitors, now)) ++last.generation;
  last.monitors = std::move(now);
  return last;
}

HMONITOR HandleOf(const Snapshot& s, size_t index) {
  return reinterpret_cast<HMONITOR>((s.generation << kIndexBits) | (index + 1));
}

// The index named by `h` in `s`, or -1 for a handle of another generation or no monitor.
int IndexOf(const Snapshot& s, HMONITOR h) {
  auto value = reinterpret_cast<uintptr_t>(h);
  size_t index = value & kMaxMonitors;
  if (value >> kIndexBits != s.generation || index == 0 || index > s.monitors.size()) return -1;
  return static_cast<int>(index - 1);
}

// Pixels between two rectangles along one axis (0 when their spans overlap).
int64_t Gap(LONG aFrom, LONG aTo, LONG bFrom, LONG bTo) {
  int64_t gap = 0;
  if (int64_t{bFrom} - (int64_t{aTo} - 1) > gap) gap = int64_t{bFrom} - (int64_t{aTo} - 1);
  if (int64_t{aFrom} - (int64_t{bTo} - 1) > gap) gap = int64_t{aFrom} - (int64_t{bTo} - 1);
  return gap;
}

HMONITOR FromRect(RECT r, DWORD flags) {
  if (flags > MONITOR_DEFAULTTONEAREST) {
    SetLastError(ERROR_INVALID_FLAGS);
    return nullptr;
  }
  // An empty rectangle stands for the pixel at its top-left corner.
  if (r.right <= r.left) r.right = r.left + 1;
  if (r.bottom <= r.top) r.bottom = r.top + 1;
  Snapshot s = CurrentMonitors();
  int64_t bestArea = 0;
  size_t best = 0;
  for (size_t i = 0; i < s.monitors.size(); ++i) {
    RECT both;
    if (!IntersectRect(&both, &r, &s.monitors[i].rect)) continue;
    int64_t area = int64_t{both.right - both.left} * (both.bottom - both.top);
    if (area > bestArea) {
      bestArea = area;
      best = i;
    }
  }
  if (bestArea > 0) return HandleOf(s, best);
  if (flags == MONITOR_DEFAULTTONULL) return nullptr;
  if (flags == MONITOR_DEFAULTTOPRIMARY) return HandleOf(s, 0);
  int64_t bestDistance = -1;
  for (size_t i = 0; i < s.monitors.size(); ++i) {
    const RECT& m = s.monitors[i].rect;
    int64_t dx = Gap(r.left, r.right, m.left, m.right);
    int64_t dy = Gap(r.top, r.bottom, m.top, m.bottom);
    int64_t distance = dx * dx + dy * dy;
    if (bestDistance < 0 || distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return HandleOf(s, best);
}

}  // namespace
}  // namespace qvp

using namespace qvp;

HMONITOR MonitorFromRect(LPCRECT lprc, DWORD dwFlags) {
  if (!lprc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return FromRect(*lprc, dwFlags);
}

HMONITOR MonitorFromPoint(POINT pt, DWORD dwFlags) { return FromRect(RECT{pt.x, pt.y, pt.x + 1, pt.y + 1}, dwFlags); }

HMONITOR MonitorFromWindow(HWND hwnd, DWORD dwFlags) {
  WindowState state;
  if (GetWindowState(hwnd, state)) return FromRect(state.windowRect, dwFlags);  // iconic: its normal place
  if (dwFlags > MONITOR_DEFAULTTONEAREST) {
    SetLastError(ERROR_INVALID_FLAGS);
    return nullptr;
  }
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  if (dwFlags == MONITOR_DEFAULTTONULL) return nullptr;
  return HandleOf(CurrentMonitors(), 0);  // nothing to be near: the primary
}

BOOL GetMonitorInfoW(HMONITOR hMonitor, LPMONITORINFO lpmi) {
  if (!lpmi || (lpmi->cbSize != sizeof(MONITORINFO) && lpmi->cbSize != sizeof(MONITORINFOEXW))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Snapshot s = CurrentMonitors();
  int index = IndexOf(s, hMonitor);
  if (index < 0) {
    SetLastError(ERROR_INVALID_MONITOR_HANDLE);
    return FALSE;
  }
  const MonitorDesc& m = s.monitors[index];
  lpmi->rcMonitor = m.rect;
  lpmi->rcWork = m.work;
  lpmi->dwFlags = m.primary ? MONITORINFOF_PRIMARY : 0;
  if (lpmi->cbSize == sizeof(MONITORINFOEXW)) {
    std::string number = std::to_string(index + 1);
    std::u16string name = u"\\\\.\\DISPLAY" + std::u16string(number.begin(), number.end());
    WCHAR* device = static_cast<MONITORINFOEXW*>(lpmi)->szDevice;
    size_t n = name.copy(device, CCHDEVICENAME - 1);
    device[n] = 0;
  }
  return TRUE;
}

BOOL EnumDisplayMonitors(HDC hdc, LPCRECT lprcClip, MONITORENUMPROC lpfnEnum, LPARAM dwData) {
  // Only the whole virtual screen is enumerated: a DC's visible part is not tracked in screen terms.
  if (hdc || !lpfnEnum) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Snapshot s = CurrentMonitors();
  for (size_t i = 0; i < s.monitors.size(); ++i) {
    RECT part = s.monitors[i].rect;
    if (lprcClip && !IntersectRect(&part, &part, lprcClip)) continue;
    if (!lpfnEnum(HandleOf(s, i), nullptr, &part, dwData)) return FALSE;
  }
  return TRUE;
}
