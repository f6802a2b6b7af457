#include "backend.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "headless/HeadlessBackend.h"

namespace qvp {
namespace {

std::mutex g_backendMutex;
Backend* g_backend = nullptr;  // never freed: windows may report to it during exit

}  // namespace

Backend& TheBackend() {
  std::lock_guard<std::mutex> lock(g_backendMutex);
  if (!g_backend) g_backend = new HeadlessBackend;
  return *g_backend;
}

double ScaleForDpi(double dpi) {
  if (!(dpi >= 120.0)) return 1.0;  // also NaN
  return std::min(std::round(dpi / 96.0 * 4.0) / 4.0, 8.0);
}

int ToInt(double v) { return static_cast<int>(std::clamp(v, -2147483648.0, 2147483647.0)); }

// Quarter-step scales keep every product and quotient below exact.
int DeviceCoord(long logical, double scale) { return ToInt(std::ceil(static_cast<double>(logical) * scale - 0.5)); }

RECT DeviceRect(const RECT& r, double scale) {
  if (scale == 1.0) return r;
  const long long left = DeviceCoord(r.left, scale), top = DeviceCoord(r.top, scale);
  return RECT{static_cast<LONG>(left), static_cast<LONG>(top),
              ToInt(static_cast<double>(left + DeviceCoord(static_cast<long>(r.right) - r.left, scale))),
              ToInt(static_cast<double>(top + DeviceCoord(static_cast<long>(r.bottom) - r.top, scale)))};
}

POINT LogicalPoint(long x, long y, double scale) {
  if (scale == 1.0) return POINT{static_cast<LONG>(x), static_cast<LONG>(y)};
  return POINT{ToInt(std::floor((x + 0.5) / scale)), ToInt(std::floor((y + 0.5) / scale))};
}

RECT LogicalRect(const RECT& r, double scale) {
  if (scale == 1.0) return r;
  auto first = [&](long v) { return ToInt(std::floor((v - 0.5) / scale) + 1); };  // begins at v or after
  auto end = [&](long v) { return ToInt(std::floor((v + 0.5) / scale)); };        // begins at v or before
  return RECT{first(r.left), first(r.top), end(r.right), end(r.bottom)};
}

void SetBackend(std::unique_ptr<Backend> backend) {
  std::lock_guard<std::mutex> lock(g_backendMutex);
  g_backend = backend.release();
}

}  // namespace qvp
