// Bitmaps, PNG images and the blits between DCs.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "gdi_internal.h"
#include "utf.h"
#include "win32.h"

namespace qvp {

Bitmap::~Bitmap() {
  if (surface) cairo_surface_destroy(surface);
}

}  // namespace qvp

using namespace qvp;

namespace {

HBITMAP InsertBitmap(cairo_surface_t* surface) {
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto bitmap = std::make_shared<Bitmap>();
  bitmap->surface = surface;
  bitmap->dibBits = cairo_image_surface_get_format(surface) == CAIRO_FORMAT_ARGB32
                        ? cairo_image_surface_get_data(surface)
                        : nullptr;
  return static_cast<HBITMAP>(InsertGdiObject(std::move(bitmap)));
}

// A surface holding the source pixels; a copy when source and destination share one, since
// Cairo cannot read and write the same image in one operation.
cairo_surface_t* SourceFor(const Dc& src, const Dc& dst) {
  if (src.target != dst.target) return cairo_surface_reference(src.target);
  cairo_surface_t* copy = cairo_surface_create_similar_image(
      src.target, cairo_image_surface_get_format(src.target), cairo_image_surface_get_width(src.target),
      cairo_image_surface_get_height(src.target));
  const double scale = ScaleOf(src.target);
  cairo_surface_set_device_scale(copy, scale, scale);
  cairo_t* cr = cairo_create(copy);
  cairo_set_source_surface(cr, src.target, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  return copy;
}

// Draws the source rectangle scaled onto the destination rectangle (logical pixels on both; a
// source drawn at another scale than the destination is filtered with `filter` at least GOOD).
void Blit(Dc& dst, int dx, int dy, int dw, int dh, cairo_surface_t* source, POINT srcOrigin, int sx, int sy,
          int sw, int sh, cairo_operator_t op, double alpha, cairo_filter_t filter) {
  cairo_t* cr = dst.cr;
  cairo_save(cr);
  cairo_rectangle(cr, std::min(dx, dx + dw), std::min(dy, dy + dh), std::abs(dw), std::abs(dh));
  cairo_clip(cr);
  cairo_translate(cr, dx, dy);
  cairo_scale(cr, static_cast<double>(dw) / sw, static_cast<double>(dh) / sh);
  cairo_translate(cr, -(sx + srcOrigin.x), -(sy + srcOrigin.y));
  // Only the source's own pixels are copied, never what lies beyond its edges.
  cairo_rectangle(cr, 0, 0, LogicalWidth(source), LogicalHeight(source));
  cairo_clip(cr);
  cairo_set_source_surface(cr, source, 0, 0);
  if (filter == CAIRO_FILTER_NEAREST && ScaleOf(source) != ScaleOf(dst.target)) filter = CAIRO_FILTER_GOOD;
  cairo_pattern_set_filter(cairo_get_source(cr), filter);
  // A filter reads past the edge pixels: their own colour, not transparency that would fade them.
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_set_operator(cr, op);
  if (alpha < 1.0)
    cairo_paint_with_alpha(cr, alpha);
  else
    cairo_paint(cr);
  cairo_restore(cr);
}

bool FillForRop(Dc& dst, int x, int y, int cx, int cy, DWORD rop) {
  COLORREF color;
  switch (rop) {
    case BLACKNESS: color = RGB(0, 0, 0); break;
    case WHITENESS: color = RGB(255, 255, 255); break;
    case PATCOPY:
      if (dst.state.brush->hollow) return true;
      color = dst.state.brush->color;
      break;
    default: return false;
  }
  cairo_rectangle(dst.cr, std::min(x, x + cx), std::min(y, y + cy), std::abs(cx), std::abs(cy));
  SetSourceColor(dst.cr, color);
  cairo_fill(dst.cr);
  return true;
}

BOOL StretchCopy(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc, int xSrc, int ySrc,
                 int wSrc, int hSrc, DWORD rop) {
  auto dst = LookupDc(hdcDest);
  if (!dst) return FALSE;
  dst->drawn = true;  // the window's image changes: ReleaseDC shows it
  if (rop != SRCCOPY) {
    if (FillForRop(*dst, xDest, yDest, wDest, hDest, rop)) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto src = LookupDc(hdcSrc);
  if (!src) return FALSE;
  if (wSrc == 0 || hSrc == 0 || wDest == 0 || hDest == 0) return TRUE;
  cairo_surface_t* source = SourceFor(*src, *dst);
  cairo_filter_t filter = dst->state.stretchMode == HALFTONE ? CAIRO_FILTER_GOOD : CAIRO_FILTER_NEAREST;
  Blit(*dst, xDest, yDest, wDest, hDest, source, src->origin, xSrc, ySrc, wSrc, hSrc, CAIRO_OPERATOR_SOURCE,
       1.0, filter);
  cairo_surface_destroy(source);
  return TRUE;
}

}  // namespace

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
  auto dc = hdc ? LookupDc(hdc) : nullptr;
  if (hdc && !dc) return nullptr;
  if (cx < 0 || cy < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A zero-sized request gets a one-pixel bitmap, as on Windows. A bitmap for a window drawn at the
  // display's scale has that scale too, so what is drawn into it stays as sharp.
  const double scale = dc ? ScaleOf(dc->target) : 1.0;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, DeviceCoord(std::max(cx, 1), scale),
                                                        DeviceCoord(std::max(cy, 1), scale));
  if (scale != 1.0) cairo_surface_set_device_scale(surface, scale, scale);
  return InsertBitmap(surface);
}

HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits, HANDLE hSection,
                         DWORD offset) {
  (void)hdc;
  (void)offset;
  if (ppvBits) *ppvBits = nullptr;
  if (!pbmi || usage != DIB_RGB_COLORS || hSection) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const BITMAPINFOHEADER& h = pbmi->bmiHeader;
  // Only top-down 32-bit pixels have the same row order as our images.
  if (h.biBitCount != 32 || h.biCompression != BI_RGB || h.biWidth <= 0 || h.biHeight >= 0 ||
      h.biHeight == INT32_MIN) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  HBITMAP bitmap = InsertBitmap(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, h.biWidth, -h.biHeight));
  if (bitmap && ppvBits) *ppvBits = LookupAs<Bitmap>(bitmap, GdiType::Bitmap)->dibBits;
  return bitmap;
}

HANDLE LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad) {
  (void)hInst;
  if (!name || type != IMAGE_BITMAP || !(fuLoad & LR_LOADFROMFILE) || cx < 0 || cy < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string path = ToUtf8(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  if (access(path.c_str(), R_OK) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
  if (cairo_surface_status(png) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(png);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Always 32-bit premultiplied pixels, scaled when the caller asked for a size.
  int w = cairo_image_surface_get_width(png), h = cairo_image_surface_get_height(png);
  int outW = cx ? cx : w, outH = cy ? cy : h;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, outW, outH);
  cairo_t* cr = cairo_create(image);
  cairo_scale(cr, static_cast<double>(outW) / w, static_cast<double>(outH) / h);
  cairo_set_source_surface(cr, png, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_destroy(png);
  cairo_surface_flush(image);
  return InsertBitmap(image);
}

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop) {
  return StretchCopy(hdc, x, y, cx, cy, hdcSrc, x1, y1, cx, cy, rop);
}

BOOL StretchBlt(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc, int xSrc, int ySrc,
                int wSrc, int hSrc, DWORD rop) {
  return StretchCopy(hdcDest, xDest, yDest, wDest, hDest, hdcSrc, xSrc, ySrc, wSrc, hSrc, rop);
}

BOOL AlphaBlend(HDC hdcDest, int xoriginDest, int yoriginDest, int wDest, int hDest, HDC hdcSrc,
                int xoriginSrc, int yoriginSrc, int wSrc, int hSrc, BLENDFUNCTION ftn) {
  auto dst = LookupDc(hdcDest);
  auto src = LookupDc(hdcSrc);
  if (!dst || !src) return FALSE;
  dst->drawn = true;  // the window's image changes: ReleaseDC shows it
  int srcW = LogicalWidth(src->target) - src->origin.x;
  int srcH = LogicalHeight(src->target) - src->origin.y;
  // Compared as differences so that huge widths cannot wrap past the check.
  if (ftn.BlendOp != AC_SRC_OVER || wDest < 0 || hDest < 0 || wSrc < 0 || hSrc < 0 || xoriginSrc < 0 ||
      yoriginSrc < 0 || xoriginSrc > srcW || yoriginSrc > srcH || wSrc > srcW - xoriginSrc ||
      hSrc > srcH - yoriginSrc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (wSrc == 0 || hSrc == 0 || wDest == 0 || hDest == 0 || ftn.SourceConstantAlpha == 0) return TRUE;
  cairo_surface_t* source = SourceFor(*src, *dst);
  if (!(ftn.AlphaFormat & AC_SRC_ALPHA) && cairo_image_surface_get_format(source) == CAIRO_FORMAT_ARGB32) {
    // Without AC_SRC_ALPHA the source's alpha bytes are ignored: read the same pixels as opaque.
    cairo_surface_flush(source);
    cairo_surface_t* opaque = cairo_image_surface_create_for_data(
        cairo_image_surface_get_data(source), CAIRO_FORMAT_RGB24, cairo_image_surface_get_width(source),
        cairo_image_surface_get_height(source), cairo_image_surface_get_stride(source));
    cairo_surface_set_device_scale(opaque, ScaleOf(source), ScaleOf(source));
    Blit(*dst, xoriginDest, yoriginDest, wDest, hDest, opaque, src->origin, xoriginSrc, yoriginSrc, wSrc, hSrc,
         CAIRO_OPERATOR_OVER, ftn.SourceConstantAlpha / 255.0, CAIRO_FILTER_GOOD);
    cairo_surface_destroy(opaque);
  } else {
    Blit(*dst, xoriginDest, yoriginDest, wDest, hDest, source, src->origin, xoriginSrc, yoriginSrc, wSrc, hSrc,
         CAIRO_OPERATOR_OVER, ftn.SourceConstantAlpha / 255.0, CAIRO_FILTER_GOOD);
  }
  cairo_surface_destroy(source);
  return TRUE;
}
