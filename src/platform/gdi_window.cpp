// Window DCs and window regions. Each window paints into its own image, sized to its window
// rectangle; the client area sits at the client origin's offset inside it.
#include <atomic>
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
      }
      if (surface) cairo_surface_destroy(surface);
    });
  });
}

// The window's image at its current size (a new one keeps the old pixels at the top-left);
// returned with a reference of its own.
cairo_surface_t* SurfaceFor(HWND hwnd, const WindowState& state) {
  WatchDestruction();
  int w = std::max<LONG>(1, state.windowRect.right - state.windowRect.left);
  int h = std::max<LONG>(1, state.windowRect.bottom - state.windowRect.top);
  WindowImages& im = Images();
  std::lock_guard<std::mutex> lock(im.mutex);
  cairo_surface_t*& slot = im.surfaces[hwnd];
  if (!slot || cairo_image_surface_get_width(slot) != w || cairo_image_surface_get_height(slot) != h) {
    cairo_surface_t* fresh = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    if (cairo_surface_status(fresh) != CAIRO_STATUS_SUCCESS) {
      // Too large to hold: the window draws into a pixel until it has a size that fits.
      cairo_surface_destroy(fresh);
      fresh = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    }
    if (slot) {
      cairo_t* cr = cairo_create(fresh);
      cairo_set_source_surface(cr, slot, 0, 0);
      cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
      cairo_paint(cr);
      cairo_destroy(cr);
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
  return static_cast<HDC>(InsertGdiObject(std::move(dc)));
}

}  // namespace

void WithWindowSurface(HWND hwnd, const std::function<void(cairo_surface_t*)>& fn) {
  WindowImages& im = Images();
  std::lock_guard<std::mutex> lock(im.mutex);
  auto it = im.surfaces.find(hwnd);
  fn(it == im.surfaces.end() ? nullptr : it->second);
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
