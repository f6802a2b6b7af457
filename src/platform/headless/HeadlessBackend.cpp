#include "HeadlessBackend.h"

#include <algorithm>

#include "platform/testing.h"
#include "platform/user_internal.h"
#include "platform/win32/user.h"

namespace qvp {

RECT HeadlessBackend::DesktopRect() {
  std::lock_guard<std::mutex> lock(mutex_);
  return monitors_.front().rect;
}

RECT HeadlessBackend::WorkArea() {
  std::lock_guard<std::mutex> lock(mutex_);
  return monitors_.front().work;
}

std::vector<MonitorDesc> HeadlessBackend::Monitors() {
  std::lock_guard<std::mutex> lock(mutex_);
  return monitors_;
}

void HeadlessBackend::SetDesktop(const RECT& desktop, const RECT& workArea) {
  SetMonitors({MonitorDesc{desktop, workArea, true}});
}

void HeadlessBackend::SetMonitors(std::vector<MonitorDesc> monitors) {
  if (monitors.empty()) return;
  bool changed;
  RECT primary = monitors.front().rect;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed = monitors.size() != monitors_.size();
    for (size_t i = 0; !changed && i < monitors.size(); ++i) {
      changed = !EqualRect(&monitors[i].rect, &monitors_[i].rect) || monitors[i].primary != monitors_[i].primary;
    }
    monitors_ = std::move(monitors);
  }
  if (!changed) return;
  LPARAM size = MAKELPARAM(primary.right - primary.left, primary.bottom - primary.top);
  for (HWND hwnd : TopLevelWindowsInZOrder()) PostMessageW(hwnd, WM_DISPLAYCHANGE, 32, size);
}

}  // namespace qvp

namespace qvplatform::testing {

bool SetHeadlessDesktop(int width, int height, int workLeft, int workTop, int workRight, int workBottom) {
  auto* headless = dynamic_cast<qvp::HeadlessBackend*>(&qvp::TheBackend());
  if (!headless) return false;
  headless->SetDesktop(RECT{0, 0, width, height}, RECT{workLeft, workTop, workRight, workBottom});
  return true;
}

bool SetHeadlessScale(double scale) {
  auto* headless = dynamic_cast<qvp::HeadlessBackend*>(&qvp::TheBackend());
  if (!headless || !(scale >= 1.0 && scale <= 8.0)) return false;
  headless->SetScale(scale);
  return true;
}

bool SetHeadlessMonitors(const std::vector<MonitorSpec>& monitors) {
  auto* headless = dynamic_cast<qvp::HeadlessBackend*>(&qvp::TheBackend());
  if (!headless) return false;
  auto bad = [](const MonitorSpec& m) {
    const RECT &r = m.rect, &w = m.work;
    return r.right <= r.left || r.bottom <= r.top || w.right <= w.left || w.bottom <= w.top || w.left < r.left ||
           w.top < r.top || w.right > r.right || w.bottom > r.bottom;
  };
  auto primaries = std::count_if(monitors.begin(), monitors.end(), [](const MonitorSpec& m) { return m.primary; });
  if (primaries != 1 || std::any_of(monitors.begin(), monitors.end(), bad)) return false;
  std::vector<qvp::MonitorDesc> descs;
  for (const MonitorSpec& m : monitors) descs.push_back(qvp::MonitorDesc{m.rect, m.work, m.primary});
  std::stable_partition(descs.begin(), descs.end(), [](const qvp::MonitorDesc& m) { return m.primary; });
  headless->SetMonitors(std::move(descs));
  return true;
}

}  // namespace qvplatform::testing
