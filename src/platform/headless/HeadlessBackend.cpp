#include "HeadlessBackend.h"

#include "platform/testing.h"
#include "platform/user_internal.h"
#include "platform/win32/user.h"

namespace qvp {

RECT HeadlessBackend::DesktopRect() {
  std::lock_guard<std::mutex> lock(mutex_);
  return desktop_;
}

RECT HeadlessBackend::WorkArea() {
  std::lock_guard<std::mutex> lock(mutex_);
  return workArea_;
}

void HeadlessBackend::SetDesktop(const RECT& desktop, const RECT& workArea) {
  bool resized;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resized = desktop.right - desktop.left != desktop_.right - desktop_.left ||
              desktop.bottom - desktop.top != desktop_.bottom - desktop_.top;
    desktop_ = desktop;
    workArea_ = workArea;
  }
  if (!resized) return;
  LPARAM size = MAKELPARAM(desktop.right - desktop.left, desktop.bottom - desktop.top);
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

}  // namespace qvplatform::testing
