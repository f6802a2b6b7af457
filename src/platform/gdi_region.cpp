// Regions: sets of pixels built from rectangles and rounded rectangles, combined and tested.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "gdi_internal.h"
#include "win32.h"

namespace qvp {

Region::Region() : GdiObject(GdiType::Region), rgn(cairo_region_create()) {}
Region::~Region() { cairo_region_destroy(rgn); }

std::shared_ptr<Region> NewRectRegion(int left, int top, int right, int bottom) {
  auto r = std::make_shared<Region>();
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  cairo_rectangle_int_t rect{left, top, right - left, bottom - top};
  if (rect.width > 0 && rect.height > 0) cairo_region_union_rectangle(r->rgn, &rect);
  return r;
}

cairo_region_t* RoundRectRegion(int left, int top, int right, int bottom, int w, int h) {
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  // Windows leaves out the right column and the bottom row of the given rectangle.
  right--;
  bottom--;
  if (right <= left || bottom <= top) return cairo_region_create();
  w = std::min(right - left, std::abs(w));
  h = std::min(bottom - top, std::abs(h));
  if (w < 2 || h < 2) {
    cairo_rectangle_int_t rect{left, top, right - left, bottom - top};
    return cairo_region_create_rectangle(&rect);
  }
  // One rectangle per row; a row in a corner band is inset to where the corner ellipse crosses
  // the row's centre line.
  std::vector<cairo_rectangle_int_t> rows;
  const double a = w / 2.0, b = h / 2.0;
  for (int y = top; y < bottom; ++y) {
    int fromEdge = std::min(y - top, bottom - 1 - y);
    int inset = 0;
    if (fromEdge < b) {
      double dy = (b - (fromEdge + 0.5)) / b;
      double half = a * std::sqrt(std::max(0.0, 1.0 - dy * dy));
      inset = static_cast<int>(std::floor(a - half + 0.5));
    }
    if (right - left - 2 * inset <= 0) continue;
    rows.push_back({left + inset, y, right - left - 2 * inset, 1});
  }
  return cairo_region_create_rectangles(rows.data(), static_cast<int>(rows.size()));
}

int RegionComplexity(const cairo_region_t* rgn) {
  int n = cairo_region_num_rectangles(rgn);
  return n == 0 ? NULLREGION : n == 1 ? SIMPLEREGION : COMPLEXREGION;
}

}  // namespace qvp

using namespace qvp;

namespace {

std::shared_ptr<Region> LookupRegion(HRGN h) {
  auto r = LookupAs<Region>(h, GdiType::Region);
  if (!r) SetLastError(ERROR_INVALID_HANDLE);
  return r;
}

void ReplaceRegion(Region& dst, cairo_region_t* with) {
  cairo_region_destroy(dst.rgn);
  dst.rgn = with;
}

}  // namespace

HRGN CreateRectRgn(int x1, int y1, int x2, int y2) {
  return static_cast<HRGN>(InsertGdiObject(NewRectRegion(x1, y1, x2, y2)));
}

HRGN CreateRectRgnIndirect(const RECT* lprect) {
  if (!lprect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateRectRgn(lprect->left, lprect->top, lprect->right, lprect->bottom);
}

HRGN CreateRoundRectRgn(int x1, int y1, int x2, int y2, int w, int h) {
  auto r = std::make_shared<Region>();
  ReplaceRegion(*r, RoundRectRegion(x1, y1, x2, y2, w, h));
  return static_cast<HRGN>(InsertGdiObject(std::move(r)));
}

int CombineRgn(HRGN hrgnDst, HRGN hrgnSrc1, HRGN hrgnSrc2, int iMode) {
  auto dst = LookupRegion(hrgnDst);
  auto src1 = LookupRegion(hrgnSrc1);
  if (!dst || !src1) return ERROR;
  std::shared_ptr<Region> src2;
  if (iMode != RGN_COPY) {
    src2 = LookupRegion(hrgnSrc2);
    if (!src2) return ERROR;
  }
  cairo_region_t* result = cairo_region_copy(src1->rgn);
  cairo_status_t status = CAIRO_STATUS_SUCCESS;
  switch (iMode) {
    case RGN_AND: status = cairo_region_intersect(result, src2->rgn); break;
    case RGN_OR: status = cairo_region_union(result, src2->rgn); break;
    case RGN_XOR: status = cairo_region_xor(result, src2->rgn); break;
    case RGN_DIFF: status = cairo_region_subtract(result, src2->rgn); break;
    case RGN_COPY: break;
    default:
      cairo_region_destroy(result);
      SetLastError(ERROR_INVALID_PARAMETER);
      return ERROR;
  }
  if (status != CAIRO_STATUS_SUCCESS) {
    cairo_region_destroy(result);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return ERROR;
  }
  ReplaceRegion(*dst, result);
  return RegionComplexity(dst->rgn);
}

int OffsetRgn(HRGN hrgn, int x, int y) {
  auto r = LookupRegion(hrgn);
  if (!r) return ERROR;
  cairo_region_translate(r->rgn, x, y);
  return RegionComplexity(r->rgn);
}

BOOL SetRectRgn(HRGN hrgn, int left, int top, int right, int bottom) {
  auto r = LookupRegion(hrgn);
  if (!r) return FALSE;
  auto fresh = NewRectRegion(left, top, right, bottom);
  std::swap(r->rgn, fresh->rgn);
  return TRUE;
}

BOOL PtInRegion(HRGN hrgn, int x, int y) {
  auto r = LookupRegion(hrgn);
  return r && cairo_region_contains_point(r->rgn, x, y) ? TRUE : FALSE;
}

BOOL EqualRgn(HRGN hrgn1, HRGN hrgn2) {
  auto a = LookupRegion(hrgn1);
  auto b = LookupRegion(hrgn2);
  return a && b && cairo_region_equal(a->rgn, b->rgn) ? TRUE : FALSE;
}

int GetRgnBox(HRGN hrgn, LPRECT lprc) {
  auto r = LookupRegion(hrgn);
  if (!r || !lprc) return ERROR;
  cairo_rectangle_int_t e;
  cairo_region_get_extents(r->rgn, &e);
  if (cairo_region_is_empty(r->rgn)) e = {0, 0, 0, 0};
  *lprc = {e.x, e.y, e.x + e.width, e.y + e.height};
  return RegionComplexity(r->rgn);
}
