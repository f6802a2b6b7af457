// The GDI object table and the objects behind GDI handles, shared by the gdi*.cpp files and the
// backends. Cairo and Pango stay inside the layer.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "win32/gdi.h"

typedef struct _PangoLayout PangoLayout;

namespace qvp {

enum class GdiType { Brush, Pen, Font, Bitmap, Region, Dc };
struct Dc;

struct GdiObject {
  explicit GdiObject(GdiType t) : type(t) {}
  virtual ~GdiObject() = default;
  GdiType type;
  HGDIOBJ handle = nullptr;  // stays set after DeleteObject; SelectObject returns it
  bool stock = false;
};

struct Brush : GdiObject {
  Brush() : GdiObject(GdiType::Brush) {}
  COLORREF color = 0;
  bool hollow = false;
};

struct Pen : GdiObject {
  Pen() : GdiObject(GdiType::Pen) {}
  int style = PS_SOLID;
  int width = 1;
  COLORREF color = 0;
};

// A region is a set of pixels, kept as y-x banded rectangles.
struct Region : GdiObject {
  Region();
  ~Region() override;
  cairo_region_t* rgn;
};

struct Bitmap : GdiObject {
  Bitmap() : GdiObject(GdiType::Bitmap) {}
  ~Bitmap() override;
  cairo_surface_t* surface = nullptr;  // ARGB32 (premultiplied) or RGB24
  void* dibBits = nullptr;             // CreateDIBSection's pixels (the surface's data)
  Dc* selectedInto = nullptr;          // a bitmap is selected into one memory DC at most
};

// A font's resolved face and GDI-like metrics; fonts with the same description share one.
struct FontFace;

struct Font : GdiObject {
  Font() : GdiObject(GdiType::Font) {}
  LOGFONTW logfont{};
  std::shared_ptr<FontFace> face;  // resolved on first use
};

// Drawing state that SaveDC/RestoreDC keep.
struct DcState {
  std::shared_ptr<Brush> brush;
  std::shared_ptr<Pen> pen;
  std::shared_ptr<Font> font;
  std::shared_ptr<Region> clip;  // device coordinates; null = no clip of the application's own
  COLORREF textColor = RGB(0, 0, 0);
  COLORREF bkColor = RGB(255, 255, 255);
  int bkMode = OPAQUE;
  int stretchMode = BLACKONWHITE;
  POINT pos{0, 0};
};

struct Dc : GdiObject {
  Dc() : GdiObject(GdiType::Dc) {}
  ~Dc() override;
  HWND hwnd = nullptr;             // window DCs
  bool memory = false;             // memory DCs: the selected bitmap is the target
  std::shared_ptr<Bitmap> bitmap;  // memory DCs
  cairo_surface_t* target = nullptr;
  cairo_t* cr = nullptr;
  bool drawn = false;  // something was drawn through this DC (window DCs: show it on release)
  POINT origin{0, 0};  // logical (0,0) in target pixels (a window DC's client origin)
  // What the system lets the DC touch, in device coordinates (window DCs: the client area, the
  // window region, the update area); null = the whole target.
  std::shared_ptr<Region> systemClip;
  DcState state;
  std::vector<DcState> saved;
  // Window DCs of colour-keyed layered windows: how text over the key is drawn (Backend).
  TextOverKey keyedText = TextOverKey::Blended;
  COLORREF key = 0;  // the window's colour key
};

// Handle table. Handles are never reused, so a deleted handle stays invalid. Inserting sets the
// object's handle.
HGDIOBJ InsertGdiObject(std::shared_ptr<GdiObject> object);
std::shared_ptr<GdiObject> LookupGdiObject(HGDIOBJ h);
bool RemoveGdiObject(HGDIOBJ h);
size_t GdiObjectCount();

template <class T>
std::shared_ptr<T> LookupAs(HGDIOBJ h, GdiType type) {
  auto object = LookupGdiObject(h);
  if (!object || object->type != type) return nullptr;
  return std::static_pointer_cast<T>(object);
}
// Counts ReleaseDC calls that showed a window's new image (for tests).
size_t WindowImagesShown();
// Shaped runs and measured widths the fonts in use keep.
size_t CachedTextRuns();
size_t CachedTextMaskBytes();
std::shared_ptr<Dc> LookupDc(HDC hdc);  // sets ERROR_INVALID_HANDLE when missing

// A DC in its initial state drawing into `target` (not yet in the handle table).
std::shared_ptr<Dc> NewDc(cairo_surface_t* target);
// Points the DC at a new target surface and re-applies the clip.
void AttachTarget(Dc& dc, cairo_surface_t* target);
// A surface's device pixels per logical pixel: window images, and bitmaps made compatible with
// them, are drawn at the display's scale (Backend::Scale) through Cairo's device scale.
double ScaleOf(cairo_surface_t* surface);
// A surface's size in logical pixels.
int LogicalWidth(cairo_surface_t* surface);
int LogicalHeight(cairo_surface_t* surface);
// Re-applies the DC's effective clip (application clip ∩ system clip) to its cairo context.
void ApplyClip(Dc& dc);
// Fills a region given in logical coordinates with a colour, honouring the clip.
void FillRegionLogical(Dc& dc, const cairo_region_t* rgn, COLORREF color);
void SetSourceColor(cairo_t* cr, COLORREF color);

// Region helpers.
std::shared_ptr<Region> NewRectRegion(int left, int top, int right, int bottom);
cairo_region_t* RoundRectRegion(int left, int top, int right, int bottom, int w, int h);
int RegionComplexity(const cairo_region_t* rgn);

// Fonts: the font a DC draws with and the layout that measures and draws a run of text.
std::shared_ptr<FontFace> FaceOf(Font& font);
std::shared_ptr<Font> DefaultFont();
void FaceMetrics(FontFace& face, TEXTMETRICW& tm);
// Width of a UTF-16 run in pixels.
int MeasureRun(FontFace& face, const WCHAR* text, int count);
// Draws a run with its top-left cell corner at (x, y) in the DC's logical coordinates.
void DrawRun(Dc& dc, FontFace& face, int x, int y, const WCHAR* text, int count);

// Window surfaces: each window paints into its own image, sized to its window rectangle.
// Calls `fn` with the window's surface (null when the window never painted) under the surface lock.
void WithWindowSurface(HWND hwnd, const std::function<void(cairo_surface_t*)>& fn);
// The same with the coverage of text drawn over the window's colour key (TextOverKey::Coverage): per
// pixel of the surface, coverage << 24 | the RGB the text left there, 0 where none was recorded.
// A pixel whose RGB differs from its record has been drawn over since: it is opaque. The record is
// null when the window has none.
void WithWindowImage(HWND hwnd, const std::function<void(cairo_surface_t*, const uint32_t* coverage)>& fn);

// Text over a colour key: the target's pixels under a rectangle (logical coordinates) are kept
// before the text is drawn, then FinishKeyedText turns what the drawing did to key pixels into
// crisp ink (TextOverKey::Crisp) or into recorded coverage (TextOverKey::Coverage).
struct KeyedTextArea {
  int x = 0, y = 0, width = 0, height = 0;  // target pixels
  std::vector<uint32_t> before;
};
void KeepKeyedArea(Dc& dc, int x, int y, int width, int height, KeyedTextArea& area);
void FinishKeyedText(Dc& dc, const KeyedTextArea& area, COLORREF ink);
// The window region in window coordinates, copied; null when the window has none.
std::shared_ptr<Region> WindowRegionCopy(HWND hwnd);
// Hit-testing: whether a point in window coordinates lies inside the window's region (true when
// the window has no region).
bool WindowRegionContains(HWND hwnd, POINT ptWindow);

// Where the fontconfig alias file is (default: Skins/fonts.conf next to the executable).
void SetFontConfigPath(const std::string& path);

}  // namespace qvp
