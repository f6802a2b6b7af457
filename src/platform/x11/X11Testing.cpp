#include "platform/testing_x11.h"

#include "platform/backend.h"
#include "X11Backend.h"

namespace qvplatform::testing {
namespace {

qvp::x11::X11Backend* X() { return dynamic_cast<qvp::x11::X11Backend*>(&qvp::TheBackend()); }

}  // namespace

bool X11Window(HWND hwnd, X11WindowInfo& info) {
  auto* x = X();
  info = X11WindowInfo{};
  return x && x->WindowInfo(hwnd, info.window, info.frame, info.viewable, info.rect, info.clickThrough, info.drawn,
                                info.depth, info.unmanaged);
}

bool X11Sync() {
  auto* x = X();
  return x && x->Sync();
}

HWND X11WindowUnderPointer() {
  auto* x = X();
  unsigned long deepest = 0;
  return x ? x->WindowUnderPointer(deepest) : nullptr;
}

unsigned long X11WindowAtPointer() {
  auto* x = X();
  unsigned long deepest = 0;
  if (x) x->WindowUnderPointer(deepest);
  return deepest;
}

}  // namespace qvplatform::testing
