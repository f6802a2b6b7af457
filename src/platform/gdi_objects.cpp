// The GDI handle table, stock objects, brushes, pens and the calls common to every object.
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "gdi_internal.h"
#include "win32.h"

namespace qvp {
namespace {

struct Table {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<GdiObject>> objects;
  // Handles are multiples of 8 far above small integers, so a stock index or a kernel handle
  // passed by mistake is not taken for an object.
  uintptr_t next = 0x10000;
};

Table& TheTable() {
  static Table* table = new Table;  // lives until exit: objects may be released from atexit code
  return *table;
}

std::shared_ptr<GdiObject> NewStock(int index) {
  auto brush = [](COLORREF c, bool hollow = false) {
    auto b = std::make_shared<Brush>();
    b->color = c;
    b->hollow = hollow;
    return std::static_pointer_cast<GdiObject>(b);
  };
  auto pen = [](int style, COLORREF c) {
    auto p = std::make_shared<Pen>();
    p->style = style;
    p->color = c;
    return std::static_pointer_cast<GdiObject>(p);
  };
  switch (index) {
    case WHITE_BRUSH: return brush(RGB(255, 255, 255));
    case LTGRAY_BRUSH: return brush(RGB(192, 192, 192));
    case GRAY_BRUSH: return brush(RGB(128, 128, 128));
    case DKGRAY_BRUSH: return brush(RGB(64, 64, 64));
    case BLACK_BRUSH: return brush(RGB(0, 0, 0));
    case NULL_BRUSH: return brush(0, true);
    case WHITE_PEN: return pen(PS_SOLID, RGB(255, 255, 255));
    case BLACK_PEN: return pen(PS_SOLID, RGB(0, 0, 0));
    case NULL_PEN: return pen(PS_NULL, 0);
    case OEM_FIXED_FONT:
    case ANSI_FIXED_FONT:
    case ANSI_VAR_FONT:
    case SYSTEM_FONT:
    case DEVICE_DEFAULT_FONT:
    case SYSTEM_FIXED_FONT:
    case DEFAULT_GUI_FONT: {
      // Every stock font is the default face; the program picks its real fonts by description.
      auto f = std::make_shared<Font>();
      f->logfont.lfHeight = index == DEFAULT_GUI_FONT ? -12 : 16;
      f->logfont.lfWeight = index == SYSTEM_FONT ? FW_BOLD : FW_NORMAL;
      return f;
    }
    default: return nullptr;
  }
}

}  // namespace

HGDIOBJ InsertGdiObject(std::shared_ptr<GdiObject> object) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  uintptr_t h = t.next;
  t.next += 8;
  object->handle = reinterpret_cast<HGDIOBJ>(h);
  t.objects.emplace(h, std::move(object));
  return reinterpret_cast<HGDIOBJ>(h);
}

std::shared_ptr<GdiObject> LookupGdiObject(HGDIOBJ h) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
  return it == t.objects.end() ? nullptr : it->second;
}

bool RemoveGdiObject(HGDIOBJ h) {
  std::shared_ptr<GdiObject> doomed;  // destroyed outside the lock
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
  if (it == t.objects.end() || it->second->stock) return false;
  doomed = std::move(it->second);
  t.objects.erase(it);
  return true;
}

size_t GdiObjectCount() {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  size_t n = 0;
  for (auto& entry : t.objects)
    if (!entry.second->stock) ++n;
  return n;
}

}  // namespace qvp

using namespace qvp;

HGDIOBJ GetStockObject(int i) {
  static std::mutex mutex;
  static HGDIOBJ stock[DEFAULT_GUI_FONT + 1] = {};
  if (i < 0 || i > DEFAULT_GUI_FONT) return nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  if (!stock[i]) {
    auto object = NewStock(i);
    if (!object) return nullptr;
    object->stock = true;
    stock[i] = InsertGdiObject(std::move(object));
  }
  return stock[i];
}

HBRUSH CreateSolidBrush(COLORREF color) {
  auto b = std::make_shared<Brush>();
  b->color = color & 0x00FFFFFF;
  return static_cast<HBRUSH>(InsertGdiObject(std::move(b)));
}

HPEN CreatePen(int iStyle, int cWidth, COLORREF color) {
  if (iStyle < PS_SOLID || iStyle > PS_INSIDEFRAME) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto p = std::make_shared<Pen>();
  p->style = iStyle;
  // Styled pens are one pixel wide, as on Windows.
  p->width = (iStyle >= PS_DASH && iStyle <= PS_DASHDOTDOT) ? 1 : (cWidth < 1 ? 1 : cWidth);
  p->color = color & 0x00FFFFFF;
  return static_cast<HPEN>(InsertGdiObject(std::move(p)));
}

BOOL DeleteObject(HGDIOBJ ho) {
  auto object = LookupGdiObject(ho);
  if (!object || object->type == GdiType::Dc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Stock objects are never deleted; deleting one is harmless. An object still selected into a
  // DC loses its handle now and lives on until the DC lets go of it.
  if (!object->stock) RemoveGdiObject(ho);
  return TRUE;
}

DWORD GetObjectType(HGDIOBJ h) {
  auto object = LookupGdiObject(h);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  switch (object->type) {
    case GdiType::Brush: return OBJ_BRUSH;
    case GdiType::Pen: return OBJ_PEN;
    case GdiType::Font: return OBJ_FONT;
    case GdiType::Bitmap: return OBJ_BITMAP;
    case GdiType::Region: return OBJ_REGION;
    case GdiType::Dc: return static_cast<Dc&>(*object).memory ? OBJ_MEMDC : OBJ_DC;
  }
  return 0;
}

int GetObjectW(HGDIOBJ h, int c, LPVOID pv) {
  auto object = LookupGdiObject(h);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  auto copyOut = [&](const void* data, int size) {
    if (!pv) return size;
    if (c < size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(pv, data, size);
    return size;
  };
  switch (object->type) {
    case GdiType::Font:
      return copyOut(&static_cast<Font&>(*object).logfont, sizeof(LOGFONTW));
    case GdiType::Bitmap: {
      cairo_surface_t* s = static_cast<Bitmap&>(*object).surface;
      BITMAP bm{};
      bm.bmWidth = LogicalWidth(s);
      bm.bmHeight = LogicalHeight(s);
      bm.bmWidthBytes = cairo_image_surface_get_stride(s);
      bm.bmPlanes = 1;
      bm.bmBitsPixel = 32;
      bm.bmBits = static_cast<Bitmap&>(*object).dibBits;
      return copyOut(&bm, sizeof(BITMAP));
    }
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
}
