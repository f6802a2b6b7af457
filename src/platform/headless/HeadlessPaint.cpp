// Composing the headless desktop from the windows' own images, and reading pixels back for tests.
#include "platform/headless/HeadlessPaint.h"

#include <algorithm>
#include <cstring>

#include "platform/backend.h"
#include "platform/gdi_internal.h"
#include "platform/testing_gdi.h"
#include "platform/user_internal.h"
#include "platform/win32.h"

namespace qvp {
namespace {

// The window's pixels as an ARGB32 layer, its colour-keyed pixels transparent.
cairo_surface_t* WindowLayer(HWND hwnd, const WindowState& state) {
  cairo_surface_t* layer = nullptr;
  WithWindowSurface(hwnd, [&](cairo_surface_t* surface) {
    if (!surface) return;
    layer = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(surface),
                                       cairo_image_surface_get_height(surface));
    // Same scale as the window's image: copied pixel for pixel, composed in logical pixels.
    cairo_surface_set_device_scale(layer, ScaleOf(surface), ScaleOf(surface));
    cairo_t* cr = cairo_create(layer);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
  });
  if (!layer) return nullptr;
  bool layered = state.exStyle & WS_EX_LAYERED;
  if (layered && (state.layeredFlags & LWA_COLORKEY)) {
    uint32_t key = (GetRValue(state.colorKey) << 16) | (GetGValue(state.colorKey) << 8) | GetBValue(state.colorKey);
    cairo_surface_flush(layer);
    unsigned char* data = cairo_image_surface_get_data(layer);
    int stride = cairo_image_surface_get_stride(layer);
    for (int y = 0; y < cairo_image_surface_get_height(layer); ++y) {
      auto* row = reinterpret_cast<uint32_t*>(data + y * stride);
      for (int x = 0; x < cairo_image_surface_get_width(layer); ++x)
        if ((row[x] & 0x00FFFFFFu) == key) row[x] = 0;
    }
    cairo_surface_mark_dirty(layer);
  }
  return layer;
}

}  // namespace

cairo_surface_t* ComposeDesktop() {
  RECT desk = TheBackend().DesktopRect();
  cairo_surface_t* image =
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, desk.right - desk.left, desk.bottom - desk.top);
  cairo_t* cr = cairo_create(image);
  SetSourceColor(cr, qvplatform::testing::kDesktopColor);
  cairo_paint(cr);
  std::vector<HWND> windows = TopLevelWindowsInZOrder();
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    WindowState state;
    if (!GetWindowState(*it, state) || !state.visible || state.iconic) continue;
    cairo_surface_t* layer = WindowLayer(*it, state);
    if (!layer) continue;
    cairo_save(cr);
    cairo_translate(cr, state.windowRect.left - desk.left, state.windowRect.top - desk.top);
    if (auto region = WindowRegionCopy(*it)) {
      int n = cairo_region_num_rectangles(region->rgn);
      for (int i = 0; i < n; ++i) {
        cairo_rectangle_int_t r;
        cairo_region_get_rectangle(region->rgn, i, &r);
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
      }
      if (n == 0) cairo_rectangle(cr, 0, 0, 0, 0);
      cairo_clip(cr);
    }
    cairo_set_source_surface(cr, layer, 0, 0);
    bool alpha = (state.exStyle & WS_EX_LAYERED) && (state.layeredFlags & LWA_ALPHA);
    cairo_paint_with_alpha(cr, alpha ? state.alpha / 255.0 : 1.0);
    cairo_restore(cr);
    cairo_surface_destroy(layer);
  }
  cairo_destroy(cr);
  cairo_surface_flush(image);
  return image;
}

}  // namespace qvp

namespace qvplatform::testing {
namespace {

void CopyOut(cairo_surface_t* surface, Image& out) {
  cairo_surface_flush(surface);
  out.width = cairo_image_surface_get_width(surface);
  out.height = cairo_image_surface_get_height(surface);
  out.pixels.resize(static_cast<size_t>(out.width) * out.height);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < out.height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
    for (int x = 0; x < out.width; ++x) out.pixels[static_cast<size_t>(y) * out.width + x] = row[x] & 0x00FFFFFFu;
  }
}

}  // namespace

bool ReadWindowPixels(HWND hwnd, Image& out) {
  bool found = false;
  qvp::WithWindowSurface(hwnd, [&](cairo_surface_t* surface) {
    if (!surface) return;
    CopyOut(surface, out);
    found = true;
  });
  if (!found) out = Image{};
  return found;
}

bool ReadDesktopPixels(Image& out) {
  cairo_surface_t* desktop = qvp::ComposeDesktop();
  bool ok = cairo_surface_status(desktop) == CAIRO_STATUS_SUCCESS;
  if (ok) CopyOut(desktop, out);
  cairo_surface_destroy(desktop);
  return ok;
}

bool SavePng(const Image& image, const std::string& path) {
  if (image.width <= 0 || image.height <= 0) return false;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, image.width, image.height);
  unsigned char* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < image.height; ++y)
    std::memcpy(data + y * stride, &image.pixels[static_cast<size_t>(y) * image.width], image.width * 4u);
  cairo_surface_mark_dirty(s);
  bool ok = cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(s);
  return ok;
}

}  // namespace qvplatform::testing
