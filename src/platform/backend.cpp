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

// A hair below each whole pixel, so that 1.5 * 200 stays 300 despite rounding in the product.
constexpr double kSlack = 1e-6;

int ToInt(double v) { return static_cast<int>(std::clamp(v, -2147483648.0, 2147483647.0)); }

int DevicePos(long logical, double scale) { return ToInt(std::round(static_cast<double>(logical) * scale)); }

int DeviceLength(long logical, double scale) { return ToInt(std::ceil(static_cast<double>(logical) * scale - kSlack)); }

RECT DeviceRect(const RECT& r, double scale) {
  if (scale == 1.0) return r;
  const int left = DevicePos(r.left, scale), top = DevicePos(r.top, scale);
  return RECT{left, top, left + DeviceLength(r.right - r.left, scale), top + DeviceLength(r.bottom - r.top, scale)};
}

POINT LogicalPoint(long x, long y, double scale) {
  if (scale == 1.0) return POINT{static_cast<LONG>(x), static_cast<LONG>(y)};
  return POINT{ToInt(std::floor(x / scale + kSlack)), ToInt(std::floor(y / scale + kSlack))};
}

RECT LogicalRect(const RECT& r, double scale) {
  if (scale == 1.0) return r;
  auto in = [&](long v) { return ToInt(std::ceil(v / scale - kSlack)); };
  auto out = [&](long v) { return ToInt(std::floor(v / scale + kSlack)); };
  return RECT{in(r.left), in(r.top), out(r.right), out(r.bottom)};
}

void SetBackend(std::unique_ptr<Backend> backend) {
  std::lock_guard<std::mutex> lock(g_backendMutex);
  g_backend = backend.release();
}

}  // namespace qvp
