// Device contexts: memory DCs, drawing state, clipping, and the shapes drawn with brushes and pens.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "gdi_internal.h"
#include "win32.h"

namespace qvp {
namespace {

template <class T>
std::shared_ptr<T> Stock(int index, GdiType type) {
  return LookupAs<T>(GetStockObject(index), type);
}

// The bitmap a fresh memory DC holds, as on Windows: one pixel, shared, never deleted.
std::shared_ptr<Bitmap> DefaultBitmap() {
  static std::shared_ptr<Bitmap> bitmap = [] {
    auto b = std::make_shared<Bitmap>();
    b->surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    b->stock = true;
    InsertGdiObject(b);
    return b;
  }();
  return bitmap;
}

void AddRect(cairo_t* cr, int left, int top, int right, int bottom) {
  if (right <= left || bottom <= top) return;
  // Cairo's fixed-point coordinates end near 2^23; no image is that large, so clamping changes
  // nothing visible and a rectangle over the whole int range still covers everything.
  static constexpr int kLimit = 1 << 22;
  auto clamp = [](int v) { return std::clamp(v, -kLimit, kLimit); };
  left = clamp(left);
  top = clamp(top);
  right = clamp(right);
  bottom = clamp(bottom);
  cairo_rectangle(cr, left, top, right - left, bottom - top);
}

// The region the DC may draw into (device coordinates), or null for the whole target.
cairo_region_t* EffectiveClip(const Dc& dc) {
  const Region* a = dc.state.clip.get();
  const Region* b = dc.systemClip.get();
  if (!a && !b) return nullptr;
  if (!a || !b) return cairo_region_copy((a ? a : b)->rgn);
  cairo_region_t* r = cairo_region_copy(a->rgn);
  cairo_region_intersect(r, b->rgn);
  return r;
}

int ClipComplexity(const Dc& dc) {
  cairo_region_t* eff = EffectiveClip(dc);
  if (!eff) return SIMPLEREGION;
  int c = RegionComplexity(eff);
  cairo_region_destroy(eff);
  return c;
}

bool PenDraws(const Pen& pen) { return pen.style != PS_NULL; }

// Cosmetic pen patterns (on, off, ...) in pixels.
const std::vector<int>& PenPattern(int style) {
  static const std::vector<int> solid, dash{18, 6}, dot{3, 3}, dashDot{9, 6, 3, 6},
      dashDotDot{9, 3, 3, 3, 3, 3};
  switch (style) {
    case PS_DASH: return dash;
    case PS_DOT: return dot;
    case PS_DASHDOT: return dashDot;
    case PS_DASHDOTDOT: return dashDotDot;
    default: return solid;
  }
}

// A one-pixel line from (x0, y0) up to, not including, (x1, y1).
void ThinLine(cairo_t* cr, const Pen& pen, int x0, int y0, int x1, int y1) {
  const std::vector<int>& pattern = PenPattern(pen.style);
  int dx = std::abs(x1 - x0), dy = std::abs(y1 - y0);
  int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  int err = dx - dy;
  size_t segment = 0;
  int left = pattern.empty() ? 0 : pattern[0];
  while (x0 != x1 || y0 != y1) {
    if (pattern.empty() || segment % 2 == 0) cairo_rectangle(cr, x0, y0, 1, 1);
    if (!pattern.empty() && --left == 0) {
      segment = (segment + 1) % pattern.size();
      left = pattern[segment];
    }
    int e2 = 2 * err;
    if (e2 > -dy) {
      err -= dy;
      x0 += sx;
    }
    if (e2 < dx) {
      err += dx;
      y0 += sy;
    }
  }
  SetSourceColor(cr, pen.color);
  cairo_fill(cr);
}

void Line(Dc& dc, int x0, int y0, int x1, int y1) {
  const Pen& pen = *dc.state.pen;
  if (!PenDraws(pen)) return;
  if (pen.width <= 1) {
    ThinLine(dc.cr, pen, x0, y0, x1, y1);
    return;
  }
  cairo_t* cr = dc.cr;
  cairo_save(cr);
  cairo_set_line_width(cr, pen.width);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_move_to(cr, x0 + 0.5, y0 + 0.5);
  cairo_line_to(cr, x1 + 0.5, y1 + 0.5);
  SetSourceColor(cr, pen.color);
  cairo_stroke(cr);
  cairo_restore(cr);
}

// Fills `shape` with the brush and draws the pen's outline inside it, the pen's width thick.
void FillAndFrame(Dc& dc, cairo_region_t* shape, cairo_region_t* inner) {
  if (!dc.state.brush->hollow) FillRegionLogical(dc, inner, dc.state.brush->color);
  if (PenDraws(*dc.state.pen)) {
    cairo_region_t* border = cairo_region_copy(shape);
    cairo_region_subtract(border, inner);
    FillRegionLogical(dc, border, dc.state.pen->color);
    cairo_region_destroy(border);
  }
}

}  // namespace

Dc::~Dc() {
  if (cr) cairo_destroy(cr);
  if (target) cairo_surface_destroy(target);
  if (bitmap && bitmap->selectedInto == this) bitmap->selectedInto = nullptr;
}

std::shared_ptr<Dc> LookupDc(HDC hdc) {
  auto dc = LookupAs<Dc>(hdc, GdiType::Dc);
  if (!dc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return dc;
  }
  // A DIB's pixels may have been written through its bits since the last call: cairo must not
  // go on taking the surface for the untouched one it created.
  if (dc->bitmap && dc->bitmap->dibBits) cairo_surface_mark_dirty(dc->target);
  return dc;
}

void SetSourceColor(cairo_t* cr, COLORREF color) {
  cairo_set_source_rgb(cr, GetRValue(color) / 255.0, GetGValue(color) / 255.0, GetBValue(color) / 255.0);
}

double ScaleOf(cairo_surface_t* surface) {
  double x = 1.0, y = 1.0;
  cairo_surface_get_device_scale(surface, &x, &y);
  return x;
}

int LogicalWidth(cairo_surface_t* surface) {
  return LogicalPoint(cairo_image_surface_get_width(surface), 0, ScaleOf(surface)).x;
}

int LogicalHeight(cairo_surface_t* surface) {
  return LogicalPoint(0, cairo_image_surface_get_height(surface), ScaleOf(surface)).y;
}

void AttachTarget(Dc& dc, cairo_surface_t* target) {
  cairo_surface_reference(target);
  if (dc.cr) cairo_destroy(dc.cr);
  if (dc.target) cairo_surface_destroy(dc.target);
  dc.target = target;
  dc.cr = cairo_create(target);
  cairo_set_antialias(dc.cr, CAIRO_ANTIALIAS_NONE);
  ApplyClip(dc);
}

void ApplyClip(Dc& dc) {
  cairo_t* cr = dc.cr;
  cairo_identity_matrix(cr);
  cairo_translate(cr, dc.origin.x, dc.origin.y);
  cairo_reset_clip(cr);
  cairo_region_t* eff = EffectiveClip(dc);
  if (!eff) return;
  int n = cairo_region_num_rectangles(eff);
  for (int i = 0; i < n; ++i) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(eff, i, &r);
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
  }
  if (n == 0) cairo_rectangle(cr, 0, 0, 0, 0);
  cairo_clip(cr);
  cairo_region_destroy(eff);
}

void FillRegionLogical(Dc& dc, const cairo_region_t* rgn, COLORREF color) {
  int n = cairo_region_num_rectangles(rgn);
  if (n == 0) return;
  for (int i = 0; i < n; ++i) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(rgn, i, &r);
    cairo_rectangle(dc.cr, r.x, r.y, r.width, r.height);
  }
  SetSourceColor(dc.cr, color);
  cairo_fill(dc.cr);
}

// A DC in its initial state drawing into `target`.
std::shared_ptr<Dc> NewDc(cairo_surface_t* target) {
  auto dc = std::make_shared<Dc>();
  dc->state.brush = Stock<Brush>(WHITE_BRUSH, GdiType::Brush);
  dc->state.pen = Stock<Pen>(BLACK_PEN, GdiType::Pen);
  dc->state.font = DefaultFont();
  AttachTarget(*dc, target);
  return dc;
}

}  // namespace qvp

using namespace qvp;

HDC CreateCompatibleDC(HDC hdc) {
  if (hdc && !LookupDc(hdc)) return nullptr;
  auto bitmap = DefaultBitmap();
  auto dc = NewDc(bitmap->surface);
  dc->memory = true;
  dc->bitmap = bitmap;
  return static_cast<HDC>(InsertGdiObject(std::move(dc)));
}

BOOL DeleteDC(HDC hdc) {
  auto dc = LookupDc(hdc);
  if (!dc) return FALSE;
  if (!dc->memory) {  // window and screen DCs go back with ReleaseDC/EndPaint
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return RemoveGdiObject(hdc) ? TRUE : FALSE;
}

int SaveDC(HDC hdc) {
  auto dc = LookupDc(hdc);
  if (!dc) return 0;
  dc->saved.push_back(dc->state);
  // A saved clip must not change with the current one.
  if (dc->state.clip) {
    auto copy = std::make_shared<Region>();
    cairo_region_union(copy->rgn, dc->state.clip->rgn);
    dc->saved.back().clip = copy;
  }
  return static_cast<int>(dc->saved.size());
}

BOOL RestoreDC(HDC hdc, int nSavedDC) {
  auto dc = LookupDc(hdc);
  if (!dc) return FALSE;
  int depth = static_cast<int>(dc->saved.size());
  int level = nSavedDC < 0 ? depth + nSavedDC + 1 : nSavedDC;
  if (nSavedDC == 0 || level < 1 || level > depth) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  dc->state = dc->saved[level - 1];
  dc->saved.resize(level - 1);
  ApplyClip(*dc);
  return TRUE;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  auto dc = LookupDc(hdc);
  auto object = LookupGdiObject(h);
  if (!dc || !object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto swap = [&](auto& slot) {
    using T = typename std::decay_t<decltype(slot)>::element_type;
    HGDIOBJ previous = slot->handle;
    slot = std::static_pointer_cast<T>(object);
    return previous;
  };
  switch (object->type) {
    case GdiType::Brush: return swap(dc->state.brush);
    case GdiType::Pen: return swap(dc->state.pen);
    case GdiType::Font: return swap(dc->state.font);
    case GdiType::Region: return reinterpret_cast<HGDIOBJ>(static_cast<intptr_t>(SelectClipRgn(hdc, static_cast<HRGN>(h))));
    case GdiType::Bitmap: {
      auto bitmap = std::static_pointer_cast<Bitmap>(object);
      if (!dc->memory || (bitmap->selectedInto && bitmap->selectedInto != dc.get())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      HGDIOBJ previous = dc->bitmap->handle;
      if (dc->bitmap->selectedInto == dc.get()) dc->bitmap->selectedInto = nullptr;
      if (!bitmap->stock) bitmap->selectedInto = dc.get();
      dc->bitmap = bitmap;
      AttachTarget(*dc, bitmap->surface);
      return previous;
    }
    case GdiType::Dc: break;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

HGDIOBJ GetCurrentObject(HDC hdc, UINT type) {
  auto dc = LookupDc(hdc);
  if (!dc) return nullptr;
  switch (type) {
    case OBJ_PEN: return dc->state.pen->handle;
    case OBJ_BRUSH: return dc->state.brush->handle;
    case OBJ_FONT: return dc->state.font->handle;
    case OBJ_BITMAP: return dc->bitmap ? dc->bitmap->handle : nullptr;
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
  }
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
  auto dc = LookupDc(hdc);
  if (!dc) return CLR_INVALID;
  return std::exchange(dc->state.textColor, color & 0x00FFFFFF);
}

COLORREF GetTextColor(HDC hdc) {
  auto dc = LookupDc(hdc);
  return dc ? dc->state.textColor : CLR_INVALID;
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
  auto dc = LookupDc(hdc);
  if (!dc) return CLR_INVALID;
  return std::exchange(dc->state.bkColor, color & 0x00FFFFFF);
}

COLORREF GetBkColor(HDC hdc) {
  auto dc = LookupDc(hdc);
  return dc ? dc->state.bkColor : CLR_INVALID;
}

int SetBkMode(HDC hdc, int mode) {
  auto dc = LookupDc(hdc);
  if (!dc) return 0;
  if (mode != TRANSPARENT && mode != OPAQUE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return std::exchange(dc->state.bkMode, mode);
}

int GetBkMode(HDC hdc) {
  auto dc = LookupDc(hdc);
  return dc ? dc->state.bkMode : 0;
}

int SetStretchBltMode(HDC hdc, int mode) {
  auto dc = LookupDc(hdc);
  if (!dc) return 0;
  if (mode < BLACKONWHITE || mode > HALFTONE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return std::exchange(dc->state.stretchMode, mode);
}

int IntersectClipRect(HDC hdc, int left, int top, int right, int bottom) {
  auto dc = LookupDc(hdc);
  if (!dc) return ERROR;
  auto rect = NewRectRegion(left, top, right, bottom);
  if (dc->state.clip) cairo_region_intersect(rect->rgn, dc->state.clip->rgn);
  dc->state.clip = rect;
  ApplyClip(*dc);
  return ClipComplexity(*dc);
}

int SelectClipRgn(HDC hdc, HRGN hrgn) {
  auto dc = LookupDc(hdc);
  if (!dc) return ERROR;
  if (!hrgn) {
    dc->state.clip = nullptr;
  } else {
    auto src = LookupAs<Region>(hrgn, GdiType::Region);
    if (!src) {
      SetLastError(ERROR_INVALID_HANDLE);
      return ERROR;
    }
    auto copy = std::make_shared<Region>();  // the DC keeps a copy; the caller still owns hrgn
    cairo_region_union(copy->rgn, src->rgn);
    dc->state.clip = copy;
  }
  ApplyClip(*dc);
  return ClipComplexity(*dc);
}

int GetClipBox(HDC hdc, LPRECT lprect) {
  auto dc = LookupDc(hdc);
  if (!dc || !lprect) return ERROR;
  cairo_region_t* eff = EffectiveClip(*dc);
  if (!eff) {
    *lprect = {-dc->origin.x, -dc->origin.y, LogicalWidth(dc->target) - dc->origin.x,
               LogicalHeight(dc->target) - dc->origin.y};
    return SIMPLEREGION;
  }
  cairo_rectangle_int_t e{0, 0, 0, 0};
  if (!cairo_region_is_empty(eff)) cairo_region_get_extents(eff, &e);
  *lprect = {e.x, e.y, e.x + e.width, e.y + e.height};
  int c = RegionComplexity(eff);
  cairo_region_destroy(eff);
  return c;
}

int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
  auto dc = LookupDc(hDC);
  auto brush = LookupAs<Brush>(hbr, GdiType::Brush);
  if (!dc || !brush || !lprc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (brush->hollow) return 1;
  dc->drawn = true;  // the window's image changes: ReleaseDC shows it
  AddRect(dc->cr, lprc->left, lprc->top, lprc->right, lprc->bottom);
  SetSourceColor(dc->cr, brush->color);
  cairo_fill(dc->cr);
  return 1;
}

int FrameRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
  auto dc = LookupDc(hDC);
  auto brush = LookupAs<Brush>(hbr, GdiType::Brush);
  if (!dc || !brush || !lprc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const RECT& r = *lprc;
  if (brush->hollow || r.right <= r.left || r.bottom <= r.top) return 1;
  dc->drawn = true;  // the window's image changes: ReleaseDC shows it
  cairo_t* cr = dc->cr;
  AddRect(cr, r.left, r.top, r.right, r.top + 1);
  AddRect(cr, r.left, r.bottom - 1, r.right, r.bottom);
  AddRect(cr, r.left, r.top + 1, r.left + 1, r.bottom - 1);
  AddRect(cr, r.right - 1, r.top + 1, r.right, r.bottom - 1);
  SetSourceColor(cr, brush->color);
  cairo_fill(cr);
  return 1;
}

BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom) {
  auto dc = LookupDc(hdc);
  if (!dc) return FALSE;
  dc->drawn = true;  // the window's image changes: ReleaseDC shows it
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  int w = PenDraws(*dc->state.pen) ? dc->state.pen->width : 0;
  cairo_rectangle_int_t outer{left, top, right - left, bottom - top};
  cairo_rectangle_int_t inner{left + w, top + w, right - left - 2 * w, bottom - top - 2 * w};
  cairo_region_t* shape = cairo_region_create_rectangle(&outer);
  cairo_region_t* in = inner.width > 0 && inner.height > 0 ? cairo_region_create_rectangle(&inner)
                                                           : cairo_region_create();
  FillAndFrame(*dc, shape, in);
  cairo_region_destroy(in);
  cairo_region_destroy(shape);
  return TRUE;
}

BOOL RoundRect(HDC hdc, int left, int top, int right, int bottom, int width, int height) {
  auto dc = LookupDc(hdc);
  if (!dc) return FALSE;
  dc->drawn = true;  // the window's image changes: ReleaseDC shows it
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  int w = PenDraws(*dc->state.pen) ? dc->state.pen->width : 0;
  // The same corners as CreateRoundRectRgn, with the right column and bottom row drawn.
  cairo_region_t* shape = RoundRectRegion(left, top, right + 1, bottom + 1, width, height);
  cairo_region_t* in = RoundRectRegion(left + w, top + w, right + 1 - w, bottom + 1 - w, width - 2 * w,
                                       height - 2 * w);
  FillAndFrame(*dc, shape, in);
  cairo_region_destroy(in);
  cairo_region_destroy(shape);
  return TRUE;
}

BOOL MoveToEx(HDC hdc, int x, int y, LPPOINT lppt) {
  auto dc = LookupDc(hdc);
  if (!dc) return FALSE;
  if (lppt) *lppt = dc->state.pos;
  dc->state.pos = {x, y};
  return TRUE;
}

BOOL LineTo(HDC hdc, int x, int y) {
  auto dc = LookupDc(hdc);
  if (!dc) return FALSE;
  dc->drawn = true;  // the window's image changes: ReleaseDC shows it
  Line(*dc, dc->state.pos.x, dc->state.pos.y, x, y);
  dc->state.pos = {x, y};
  return TRUE;
}

namespace {

// The target pixel for a logical point (the one under its centre on a scaled target), or null
// outside the target or the clip.
uint32_t* PixelAt(Dc& dc, int x, int y) {
  cairo_region_t* eff = EffectiveClip(dc);
  bool inside = !eff || cairo_region_contains_point(eff, x, y);
  if (eff) cairo_region_destroy(eff);
  cairo_surface_t* s = dc.target;
  const double scale = ScaleOf(s);
  long px = x + dc.origin.x, py = y + dc.origin.y;
  if (scale != 1.0) {
    px = static_cast<long>(std::floor((px + 0.5) * scale));
    py = static_cast<long>(std::floor((py + 0.5) * scale));
  }
  if (!inside || px < 0 || py < 0 || px >= cairo_image_surface_get_width(s) ||
      py >= cairo_image_surface_get_height(s))
    return nullptr;
  cairo_surface_flush(s);
  unsigned char* row = cairo_image_surface_get_data(s) + py * cairo_image_surface_get_stride(s);
  return reinterpret_cast<uint32_t*>(row) + px;
}

}  // namespace

COLORREF GetPixel(HDC hdc, int x, int y) {
  auto dc = LookupDc(hdc);
  uint32_t* p = dc ? PixelAt(*dc, x, y) : nullptr;
  if (!p) return CLR_INVALID;
  uint32_t v = *p;  // 0xAARRGGBB, premultiplied: GDI reports the stored colour bytes
  return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color) {
  auto dc = LookupDc(hdc);
  uint32_t* p = dc ? PixelAt(*dc, x, y) : nullptr;
  if (!p) return CLR_INVALID;
  dc->drawn = true;  // the window's image changes: ReleaseDC shows it
  if (ScaleOf(dc->target) != 1.0) {
    // A logical pixel is several device pixels: filled as a rectangle, within the clip.
    cairo_rectangle(dc->cr, x, y, 1, 1);
    SetSourceColor(dc->cr, color);
    cairo_fill(dc->cr);
    return color & 0x00FFFFFF;
  }
  *p = 0xFF000000u | (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
  cairo_surface_mark_dirty(dc->target);
  return color & 0x00FFFFFF;
}
