// Window DCs and window regions. Each window paints into its own image, sized to its window
// rectangle; the client area sits at the client origin's offset inside it.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "backend.h"
#include "gdi_internal.h"
#include "user_internal.h"
#include "win32.h"

namespace qvp {
namespace {

struct WindowImages {
  std::mutex mutex;
  std::unordered_map<HWND, cairo_surface_t*> surfaces;
  std::unordered_map<HWND, std::shared_ptr<Region>> regions;  // window coordinates
  // Coverage of text over the colour key, one entry per surface pixel (see WithWindowImage).
  std::unordered_map<HWND, std::vector<uint32_t>> coverage;
};

WindowImages& Images() {
  static WindowImages* images = new WindowImages;
  return *images;
}

// Frees a window's image and region when the window goes away.
void WatchDestruction() {
  static std::once_flag once;
  std::call_once(once, [] {
    AddWindowDestroyHook([](HWND hwnd) {
      cairo_surface_t* surface = nullptr;
      std::shared_ptr<Region> region;
      {
        WindowImages& im = Images();
        std::lock_guard<std::mutex> lock(im.mutex);
        auto it = im.surfaces.find(hwnd);
        if (it != im.surfaces.end()) {
          surface = it->second;
          im.surfaces.erase(it);
        }
        auto r = im.regions.find(hwnd);
        if (r != im.regions.end()) {
          region = std::move(r->second);
          im.regions.erase(r);
        }
        im.coverage.erase(hwnd);
      }
      if (surface) cairo_surface_destroy(surface);
    });
  });
}

// The pixels of a window's image. Surfaces share them (each holds a reference), so that a window
// whose height changes keeps its memory: the overlay changes height with nearly every message,
// and a new image each time cost a fresh allocation, its page faults and a copy.
struct Pixels {
  // calloc: large blocks come as fresh zero pages, resident only once drawn on (a window DC made
  // at a size the window never paints at costs no memory).
  explicit Pixels(size_t bytes) : data(static_cast<unsigned char*>(std::calloc(bytes, 1))) {}
  struct Free {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char[], Free> data;
  int stride = 0, rows = 0;
};
const cairo_user_data_key_t kPixelsKey{};

// An RGB24 image of w x h on `pixels`, or null when it cannot be made.
cairo_surface_t* ImageOn(const std::shared_ptr<Pixels>& pixels, int w, int h) {
  cairo_surface_t* s = cairo_image_surface_create_for_data(pixels->data.get(), CAIRO_FORMAT_RGB24, w, h, pixels->stride);
  auto* held = new std::shared_ptr<Pixels>(pixels);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_set_user_data(s, &kPixelsKey, held,
                                  [](void* p) { delete static_cast<std::shared_ptr<Pixels>*>(p); }) !=
          CAIRO_STATUS_SUCCESS) {
    delete held;
    cairo_surface_destroy(s);
    return nullptr;
  }
  return s;
}

// New pixels for w x h (zeroed), or null when they cannot be had.
std::shared_ptr<Pixels> NewPixels(int w, int h) {
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, w);
  if (stride <= 0 || h <= 0 || static_cast<size_t>(h) > SIZE_MAX / static_cast<size_t>(stride)) return nullptr;
  auto pixels = std::make_shared<Pixels>(static_cast<size_t>(stride) * static_cast<size_t>(h));
  if (!pixels->data) return nullptr;
  pixels->stride = stride;
  pixels->rows = h;
  return pixels;
}

std::shared_ptr<Pixels> PixelsOf(cairo_surface_t* s) {
  auto* held = static_cast<std::shared_ptr<Pixels>*>(cairo_surface_get_user_data(s, &kPixelsKey));
  return held ? *held : nullptr;
}

// The window's image at its current size, in device pixels at the display's scale (a new one
// keeps the old pixels at the top-left); returned with a reference of its own.
cairo_surface_t* SurfaceFor(HWND hwnd, const WindowState& state) {
  WatchDestruction();
  const double scale = TheBackend().Scale();
  int w = DeviceCoord(std::max<LONG>(1, state.windowRect.right - state.windowRect.left), scale);
  int h = DeviceCoord(std::max<LONG>(1, state.windowRect.bottom - state.windowRect.top), scale);
  WindowImages& im = Images();
  std::lock_guard<std::mutex> lock(im.mutex);
  cairo_surface_t*& slot = im.surfaces[hwnd];
  if (!slot || cairo_image_surface_get_width(slot) != w || cairo_image_surface_get_height(slot) != h) {
    // Of the same width and no taller than its pixels have ever been, it stays on them: the rows
    // kept are in place and the rows gained are cleared.
    std::shared_ptr<Pixels> pixels = slot ? PixelsOf(slot) : nullptr;
    if (pixels && cairo_image_surface_get_width(slot) == w && h <= pixels->rows) {
      cairo_surface_flush(slot);
      const int kept = cairo_image_surface_get_height(slot);
      if (h > kept)
        std::fill(pixels->data.get() + static_cast<size_t>(kept) * pixels->stride,
                  pixels->data.get() + static_cast<size_t>(h) * pixels->stride, 0);
      if (cairo_surface_t* same = ImageOn(pixels, w, h)) {
        cairo_surface_set_device_scale(same, scale, scale);
        auto record = im.coverage.find(hwnd);  // its rows stay where they are too
        if (record != im.coverage.end()) {
          if (record->second.size() == static_cast<size_t>(w) * static_cast<size_t>(kept))
            record->second.resize(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
          else
            im.coverage.erase(record);
        }
        cairo_surface_destroy(slot);
        slot = same;
        return cairo_surface_reference(slot);
      }
    }
    std::shared_ptr<Pixels> made = NewPixels(w, h);
    cairo_surface_t* fresh = made ? ImageOn(made, w, h) : nullptr;
    if (!fresh) {
      // Too large to hold: the window draws into a pixel until it has a size that fits.
      fresh = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    }
    cairo_surface_set_device_scale(fresh, scale, scale);
    if (slot) {
      cairo_t* cr = cairo_create(fresh);
      cairo_set_source_surface(cr, slot, 0, 0);
      cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
      cairo_paint(cr);
      cairo_destroy(cr);
      auto record = im.coverage.find(hwnd);
      if (record != im.coverage.end()) {  // the kept pixels keep their coverage
        int ow = cairo_image_surface_get_width(slot), oh = cairo_image_surface_get_height(slot);
        int nw = cairo_image_surface_get_width(fresh), nh = cairo_image_surface_get_height(fresh);
        std::vector<uint32_t> moved(static_cast<size_t>(nw) * static_cast<size_t>(nh), 0);
        if (record->second.size() == static_cast<size_t>(ow) * static_cast<size_t>(oh))
          for (int y = 0; y < std::min(oh, nh); ++y)
            std::copy_n(record->second.begin() + static_cast<ptrdiff_t>(y) * ow, std::min(ow, nw),
                        moved.begin() + static_cast<ptrdiff_t>(y) * nw);
        record->second = std::move(moved);
      }
      cairo_surface_destroy(slot);
    }
    slot = fresh;
  }
  return cairo_surface_reference(slot);
}

// A DC on the window's client area, limited to `paint` (client coordinates) when given.
HDC MakeWindowDc(HWND hwnd, const RECT* paint) {
  WindowState state;
  if (!GetWindowState(hwnd, state)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  cairo_surface_t* surface = SurfaceFor(hwnd, state);
  auto dc = NewDc(surface);
  cairo_surface_destroy(surface);  // the DC holds its own reference
  dc->hwnd = hwnd;
  dc->origin = {state.clientRect.left - state.windowRect.left, state.clientRect.top - state.windowRect.top};
  auto clip = NewRectRegion(0, 0, state.clientRect.right - state.clientRect.left,
                            state.clientRect.bottom - state.clientRect.top);
  if (auto region = WindowRegionCopy(hwnd)) {
    cairo_region_translate(region->rgn, -dc->origin.x, -dc->origin.y);
    cairo_region_intersect(clip->rgn, region->rgn);
  }
  if (paint) {
    cairo_rectangle_int_t r{paint->left, paint->top, paint->right - paint->left, paint->bottom - paint->top};
    if (r.width < 0 || r.height < 0) r.width = r.height = 0;
    cairo_region_intersect_rectangle(clip->rgn, &r);
  }
  dc->systemClip = clip;
  ApplyClip(*dc);
  if ((state.exStyle & WS_EX_LAYERED) && (state.layeredFlags & LWA_COLORKEY)) {
    dc->keyedText = TheBackend().TextOverColourKey(hwnd);
    dc->key = state.colorKey;
  }
  return static_cast<HDC>(InsertGdiObject(std::move(dc)));
}

uint32_t Rgb(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

// How much of `ink` a drawing laid over `under` to give `pixel` (0..255), read on the channel
// where ink and what was under differ most.
unsigned InkCoverage(uint32_t pixel, uint32_t under, uint32_t ink) {
  int best = 0, shift = 0;
  for (int s : {16, 8, 0}) {
    int d = static_cast<int>((ink >> s) & 0xFF) - static_cast<int>((under >> s) & 0xFF);
    if (std::abs(d) > std::abs(best)) {
      best = d;
      shift = s;
    }
  }
  if (best == 0) return 0;
  int moved = static_cast<int>((pixel >> shift) & 0xFF) - static_cast<int>((under >> shift) & 0xFF);
  return static_cast<unsigned>(std::clamp((moved * 255 + best / 2) / best, 0, 255));
}

}  // namespace

void WithWindowSurface(HWND hwnd, const std::function<void(cairo_surface_t*)>& fn) {
  WindowImages& im = Images();
  std::lock_guard<std::mutex> lock(im.mutex);
  auto it = im.surfaces.find(hwnd);
  fn(it == im.surfaces.end() ? nullptr : it->second);
}

void WithWindowImage(HWND hwnd, const std::function<void(cairo_surface_t*, const uint32_t*)>& fn) {
  WindowImages& im = Images();
  std::lock_guard<std::mutex> lock(im.mutex);
  auto it = im.surfaces.find(hwnd);
  cairo_surface_t* surface = it == im.surfaces.end() ? nullptr : it->second;
  const uint32_t* coverage = nullptr;
  auto record = im.coverage.find(hwnd);
  if (surface && record != im.coverage.end() &&
      record->second.size() == static_cast<size_t>(cairo_image_surface_get_width(surface)) *
                                   static_cast<size_t>(cairo_image_surface_get_height(surface)))
    coverage = record->second.data();
  fn(surface, coverage);
}

void KeepKeyedArea(Dc& dc, int x, int y, int width, int height, KeyedTextArea& area) {
  cairo_surface_t* s = dc.target;
  const int sw = cairo_image_surface_get_width(s), sh = cairo_image_surface_get_height(s);
  // Logical to target pixels, every device pixel the rectangle touches; cairo's own coordinates
  // never reach past 2^23, so neither do these.
  const double scale = ScaleOf(s);
  const long left = static_cast<long>(x) + dc.origin.x, top = static_cast<long>(y) + dc.origin.y;
  const long x0 = std::max<long>(0, static_cast<long>(std::floor(left * scale)));
  const long y0 = std::max<long>(0, static_cast<long>(std::floor(top * scale)));
  const long x1 = std::min<long>(sw, static_cast<long>(std::ceil((left + width) * scale)));
  const long y1 = std::min<long>(sh, static_cast<long>(std::ceil((top + height) * scale)));
  area.x = static_cast<int>(x0);
  area.y = static_cast<int>(y0);
  area.width = static_cast<int>(std::max<long>(0, x1 - x0));
  area.height = static_cast<int>(std::max<long>(0, y1 - y0));
  area.before.resize(static_cast<size_t>(area.width) * static_cast<size_t>(area.height));
  if (area.before.empty()) return;
  cairo_surface_flush(s);
  const unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int r = 0; r < area.height; ++r)
    std::copy_n(reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(area.y + r) * stride) + area.x, area.width,
                area.before.begin() + static_cast<ptrdiff_t>(r) * area.width);
}

void FinishKeyedText(Dc& dc, const KeyedTextArea& area, COLORREF inkColor) {
  if (area.before.empty() || dc.keyedText == TextOverKey::Blended) return;
  const uint32_t key = Rgb(dc.key), ink = Rgb(inkColor);
  if (ink == key) return;  // ink of the key's colour is the key: nothing shows
  cairo_surface_t* s = dc.target;
  cairo_surface_flush(s);
  unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  auto pixelAt = [&](int r, int c) -> uint32_t& {
    return reinterpret_cast<uint32_t*>(data + static_cast<size_t>(area.y + r) * stride)[area.x + c];
  };
  if (dc.keyedText == TextOverKey::Crisp) {
    // A key pixel the text touched becomes ink where the glyph covered most of it, else the key.
    bool changed = false;
    for (int r = 0; r < area.height; ++r)
      for (int c = 0; c < area.width; ++c) {
        uint32_t before = area.before[static_cast<size_t>(r) * area.width + c] & 0xFFFFFF;
        uint32_t& px = pixelAt(r, c);
        uint32_t now = px & 0xFFFFFF;
        if (before != key || now == key || now == ink) continue;
        px = (px & 0xFF000000u) | (InkCoverage(now, key, ink) >= 128 ? ink : key);
        changed = true;
      }
    if (changed) cairo_surface_mark_dirty_rectangle(s, area.x, area.y, area.width, area.height);
    return;
  }
  WindowImages& im = Images();
  std::lock_guard<std::mutex> lock(im.mutex);
  auto it = im.surfaces.find(dc.hwnd);
  if (it == im.surfaces.end() || it->second != s) return;  // the window has a new size: a repaint follows
  const size_t sw = static_cast<size_t>(cairo_image_surface_get_width(s));
  std::vector<uint32_t>& record = im.coverage[dc.hwnd];
  record.resize(sw * static_cast<size_t>(cairo_image_surface_get_height(s)), 0);
  for (int r = 0; r < area.height; ++r)
    for (int c = 0; c < area.width; ++c) {
      uint32_t before = area.before[static_cast<size_t>(r) * area.width + c] & 0xFFFFFF;
      uint32_t now = pixelAt(r, c) & 0xFFFFFF;
      if (now == before) continue;
      uint32_t& entry = record[static_cast<size_t>(area.y + r) * sw + static_cast<size_t>(area.x + c)];
      // What lay there: the key (nothing), text recorded earlier and still there, or opaque pixels
      // (over which the blend is simply the new pixel).
      unsigned under = 255;
      if (before == key) under = 0;
      else if (entry && (entry & 0xFFFFFF) == before) under = entry >> 24;
      if (under == 255) {
        entry = 0;
        continue;
      }
      unsigned a = InkCoverage(now, before, ink);
      unsigned total = a + (255 - a) * under / 255;
      entry = total >= 255 ? 0 : (total << 24) | now;
    }
}

std::shared_ptr<Region> WindowRegionCopy(HWND hwnd) {
  WindowImages& im = Images();
  std::lock_guard<std::mutex> lock(im.mutex);
  auto it = im.regions.find(hwnd);
  if (it == im.regions.end()) return nullptr;
  auto copy = std::make_shared<Region>();
  cairo_region_union(copy->rgn, it->second->rgn);
  return copy;
}

bool WindowRegionContains(HWND hwnd, POINT ptWindow) {
  WindowImages& im = Images();
  std::lock_guard<std::mutex> lock(im.mutex);
  auto it = im.regions.find(hwnd);
  return it == im.regions.end() || cairo_region_contains_point(it->second->rgn, ptWindow.x, ptWindow.y);
}

}  // namespace qvp

using namespace qvp;

HDC GetDC(HWND hWnd) {
  if (hWnd) return MakeWindowDc(hWnd, nullptr);
  // The screen DC: good for measuring text; what is drawn on it is not shown.
  static cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
  return static_cast<HDC>(InsertGdiObject(NewDc(scratch)));
}

namespace {
std::atomic<size_t> g_imagesShown{0};
}  // namespace

size_t qvp::WindowImagesShown() { return g_imagesShown.load(std::memory_order_relaxed); }

int ReleaseDC(HWND hWnd, HDC hDC) {
  auto dc = LookupAs<Dc>(hDC, GdiType::Dc);
  if (!dc || dc->memory || dc->hwnd != hWnd) return 0;
  // Measuring through a window's DC changes nothing on screen: only drawing is shown.
  bool drawn = dc->drawn;
  RemoveGdiObject(hDC);
  dc.reset();
  if (hWnd && drawn) {
    g_imagesShown.fetch_add(1, std::memory_order_relaxed);
    TheBackend().OnWindowPainted(hWnd);
  }
  return 1;
}

HDC BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
  RECT update{};
  bool erase = false;
  if (!lpPaint || !TakeUpdateRect(hWnd, update, erase)) {
    SetLastError(lpPaint ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HDC hdc = MakeWindowDc(hWnd, &update);
  if (!hdc) return nullptr;
  *lpPaint = PAINTSTRUCT{};
  lpPaint->hdc = hdc;
  lpPaint->rcPaint = update;
  // The window erases its background itself when WM_ERASEBKGND did not.
  if (erase) lpPaint->fErase = SendMessageW(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0) ? FALSE : TRUE;
  return hdc;
}

BOOL EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint) {
  if (!lpPaint) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ReleaseDC(hWnd, lpPaint->hdc) ? TRUE : FALSE;
}

int SetWindowRgn(HWND hWnd, HRGN hRgn, BOOL bRedraw) {
  WindowState state;
  if (!GetWindowState(hWnd, state)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::shared_ptr<Region> region;
  if (hRgn) {
    region = LookupAs<Region>(hRgn, GdiType::Region);
    if (!region) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    RemoveGdiObject(hRgn);  // the window owns the region from now on
  }
  WatchDestruction();
  {
    WindowImages& im = Images();
    std::lock_guard<std::mutex> lock(im.mutex);
    if (region)
      im.regions[hWnd] = region;
    else
      im.regions.erase(hWnd);
  }
  TheBackend().OnWindowChanged(hWnd, kChangedRegion);
  if (bRedraw) InvalidateRect(hWnd, nullptr, TRUE);
  return 1;
}

int GetWindowRgn(HWND hWnd, HRGN hRgn) {
  auto dst = LookupAs<Region>(hRgn, GdiType::Region);
  auto region = WindowRegionCopy(hWnd);
  if (!dst || !region) return ERROR;
  std::swap(dst->rgn, region->rgn);
  return RegionComplexity(dst->rgn);
}
