// Fonts and text on Pango. One layout per font measures and draws, with hinted metrics, rounded
// glyph positions and no kerning or ligatures, so widths add up piece by piece and a string draws
// exactly as wide as it measures.
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <tuple>
#include <vector>

#include "gdi_internal.h"
#include "program_files.h"
#include "utf.h"
#include "win32.h"

namespace qvp {

// A run's coverage rendered once for one way of drawing it (crisp or anti-aliased, at one device
// scale), in device pixels: drawing the run again composites the text colour through it.
struct RunMask {
  struct Layer {
    cairo_pattern_t* pattern = nullptr;
    int left = 0, top = 0;  // its top-left device pixel from the run's cell corner
  };
  bool crisp = false;
  double scaleX = 0, scaleY = 0;  // device pixels per logical pixel
  // Separate glyph calls composite one after the other where their pixels meet: the first layer
  // has each pixel's first coverage, the next (small) ones what later parts of the run put over
  // it. Empty: the run is drawn glyph by glyph this way.
  std::vector<Layer> layers;
  size_t bytes = 0;
};

// A run of text shaped once: its glyphs, per font, at their places from the run's origin (the
// left edge, on the baseline), so drawing it again is one cairo_show_glyphs per font, or once its
// coverage is rendered, one composite through that.
struct ShapedRun {
  struct Part {
    cairo_scaled_font_t* font = nullptr;
    // The same font without anti-aliasing (same face, matrix and hinted metrics), made on first
    // use, for text drawn over a colour key.
    cairo_scaled_font_t* crisp = nullptr;
    std::vector<cairo_glyph_t> glyphs;
    double inkLeft = 0, inkTop = 0, inkRight = 0, inkBottom = 0;  // as the run's, for these glyphs
  };
  int width = 0;
  int baseline = 0;     // whole pixels from the top of the layout
  double lineY = 0;     // the line's baseline from the top, in pixels
  bool viaPango = false;  // glyphs Pango draws itself (missing-glyph boxes): drawn through it
  std::vector<Part> parts;
  std::u16string text;  // the cache's key views it
  // The box around the glyphs' outlines from the run's origin on its baseline (empty without any):
  // drawing need not clip what stays well within the cell.
  double inkLeft = 0, inkTop = 0, inkRight = 0, inkBottom = 0;
  std::vector<RunMask> masks;
  bool maskListed = false;  // in its face's list of runs holding mask memory
  bool maskUsed = false;    // drawn through a mask since the list last passed it
  bool drawnOnce = false;   // drawn where a mask could be used: the next such draw makes it
  size_t MaskBytes() const {
    size_t bytes = 0;
    for (const RunMask& mask : masks) bytes += mask.bytes;
    return bytes;
  }
  void DropMasks() {
    for (RunMask& mask : masks)
      for (RunMask::Layer& layer : mask.layers) cairo_pattern_destroy(layer.pattern);
    masks.clear();
  }
  ~ShapedRun() {
    DropMasks();
    for (Part& part : parts) {
      cairo_scaled_font_destroy(part.font);
      if (part.crisp) cairo_scaled_font_destroy(part.crisp);
    }
  }
};

struct FontFace {
  LOGFONTW logfont{};  // what it was made for
  PangoLayout* layout = nullptr;
  TEXTMETRICW tm{};
  bool decorated = false;  // underline or strike-out: drawn through Pango
  // Widths of the runs measured lately: windows measure the same texts at every paint (wrapping
  // measures every prefix of every line), and laying a run out is the expensive part.
  // Keyed by views of texts kept in `measured`, so that a look-up builds no string.
  std::unordered_map<std::u16string_view, int> widths;
  std::deque<std::u16string> measured;
  // Runs drawn lately, shaped (keyed by views of their own texts): a window draws the same lines
  // at every paint.
  std::unordered_map<std::u16string_view, std::unique_ptr<ShapedRun>> runs;
  // Runs holding masks, oldest first, and the bytes their masks take (bounded per face).
  std::deque<ShapedRun*> masked;
  size_t maskBytes = 0;
  void DropRuns() {
    masked.clear();
    maskBytes = 0;
    runs.clear();
  }
  ~FontFace() {
    if (layout) g_object_unref(layout);
  }
};

namespace {

constexpr const char* kDefaultFace = "SimSun";
constexpr double kDefaultEm = 12.0;

// Pango is not thread-safe: every text call holds this lock.
std::mutex& TextMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::mutex& GraveMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::vector<FontFace*>& Graves() {
  static auto* graves = new std::vector<FontFace*>;
  return *graves;
}

// Faces no font uses any more, their runs and widths dropped; the last few are kept for a font of
// the same description made again soon (a drawing call that makes a bold font and deletes it),
// which then finds its Pango layout ready.
std::vector<FontFace*>& Released() {
  static auto* released = new std::vector<FontFace*>;
  return *released;
}

// Called with the text lock held.
void BuryFaces() {
  std::vector<FontFace*> dead;
  {
    std::lock_guard<std::mutex> lock(GraveMutex());
    dead.swap(Graves());
  }
  constexpr size_t kKept = 16;
  auto& released = Released();
  for (FontFace* face : dead) {
    face->DropRuns();
    face->widths.clear();
    released.push_back(face);
  }
  while (released.size() > kKept) {
    delete released.front();
    released.erase(released.begin());
  }
}

// A face in use: when its last font goes, its cached runs go with it (at the next text call, under
// the text lock, since Pango is not thread-safe).
std::shared_ptr<FontFace> Revive(FontFace* face) {
  return std::shared_ptr<FontFace>(face, [](FontFace* dead) {
    std::lock_guard<std::mutex> lock(GraveMutex());
    Graves().push_back(dead);
  });
}

std::string& ConfigPath() {
  static std::string path;
  return path;
}

std::string DefaultConfigPath() { return ProgramDataFolder("Skins") + "fonts.conf"; }

// The font map and context every layout is made from, with our own fontconfig configuration.
PangoContext* TheContext() {
  static PangoContext* context = [] {
    FcConfig* config = FcInitLoadConfigAndFonts();
    std::string path = ConfigPath().empty() ? DefaultConfigPath() : ConfigPath();
    if (!config || !FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(path.c_str()), FcTrue)) {
      OutputDebugStringA(("gdi: font aliases not loaded from " + path + "\r\n").c_str());
    }
    PangoFontMap* map = pango_cairo_font_map_new_for_font_type(CAIRO_FONT_TYPE_FT);
    if (config) {
      pango_fc_font_map_set_config(PANGO_FC_FONT_MAP(map), config);
      FcConfigDestroy(config);
    }
    pango_cairo_font_map_set_resolution(PANGO_CAIRO_FONT_MAP(map), 96.0);
    PangoContext* ctx = pango_font_map_create_context(map);
    g_object_unref(map);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(ctx, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(ctx, TRUE);
    pango_context_set_language(ctx, pango_language_from_string("zh-cn"));
    return ctx;
  }();
  return context;
}

PangoFontDescription* Describe(const LOGFONTW& lf, double emPx) {
  std::u16string face(lf.lfFaceName, WideLength(lf.lfFaceName) < LF_FACESIZE ? WideLength(lf.lfFaceName) : LF_FACESIZE);
  PangoFontDescription* desc = pango_font_description_new();
  pango_font_description_set_family(desc, face.empty() ? kDefaultFace : ToUtf8(face).c_str());
  int weight = lf.lfWeight <= 0 ? FW_NORMAL : std::min<int>(lf.lfWeight, 1000);
  pango_font_description_set_weight(desc, static_cast<PangoWeight>(weight));
  pango_font_description_set_style(desc, lf.lfItalic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_font_description_set_absolute_size(desc, emPx * PANGO_SCALE);
  return desc;
}

// Ascent and descent of the face's first font per pixel of em.
void FaceRatios(const LOGFONTW& lf, double& ascent, double& descent) {
  constexpr double kProbeEm = 1000.0;
  PangoFontDescription* desc = Describe(lf, kProbeEm);
  PangoFont* font = pango_context_load_font(TheContext(), desc);
  ascent = 0.8;
  descent = 0.2;
  if (font) {
    PangoFontMetrics* m = pango_font_get_metrics(font, nullptr);
    ascent = pango_font_metrics_get_ascent(m) / (kProbeEm * PANGO_SCALE);
    descent = pango_font_metrics_get_descent(m) / (kProbeEm * PANGO_SCALE);
    pango_font_metrics_unref(m);
    g_object_unref(font);
  }
  pango_font_description_free(desc);
}

void SetText(PangoLayout* layout, const WCHAR* text, int count) {
  std::string utf8 = ToUtf8(std::u16string_view(text, count));
  pango_layout_set_text(layout, utf8.data(), static_cast<int>(utf8.size()));
}

int LayoutWidth(PangoLayout* layout) {
  PangoRectangle logical;
  pango_layout_get_extents(layout, nullptr, &logical);
  return (logical.width + PANGO_SCALE - 1) / PANGO_SCALE;
}

std::shared_ptr<FontFace> MakeFace(const LOGFONTW& lf) {
  double ascent, descent;
  FaceRatios(lf, ascent, descent);
  double em = lf.lfHeight < 0 ? -lf.lfHeight
              : lf.lfHeight > 0 ? lf.lfHeight / std::max(0.1, ascent + descent)
                                : kDefaultEm;
  auto face = Revive(new FontFace);
  face->logfont = lf;
  face->layout = pango_layout_new(TheContext());
  PangoFontDescription* desc = Describe(lf, em);
  pango_layout_set_font_description(face->layout, desc);
  pango_font_description_free(desc);
  pango_layout_set_single_paragraph_mode(face->layout, TRUE);
  PangoAttrList* attrs = pango_attr_list_new();
  pango_attr_list_insert(attrs, pango_attr_font_features_new("kern 0, liga 0, clig 0, calt 0"));
  face->decorated = lf.lfUnderline || lf.lfStrikeOut;
  if (lf.lfUnderline) pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
  if (lf.lfStrikeOut) pango_attr_list_insert(attrs, pango_attr_strikethrough_new(TRUE));
  pango_layout_set_attributes(face->layout, attrs);
  pango_attr_list_unref(attrs);

  TEXTMETRICW& tm = face->tm;
  tm.tmAscent = std::lround(ascent * em);
  if (lf.lfHeight > 0) {
    tm.tmHeight = lf.lfHeight;
    tm.tmDescent = tm.tmHeight - tm.tmAscent;
  } else {
    tm.tmDescent = std::lround(descent * em);
    tm.tmHeight = tm.tmAscent + tm.tmDescent;
  }
  tm.tmInternalLeading = std::max<LONG>(0, tm.tmHeight - std::lround(em));
  SetText(face->layout, u"x", 1);
  tm.tmAveCharWidth = LayoutWidth(face->layout);
  SetText(face->layout, u"W\u56FD", 2);
  tm.tmMaxCharWidth = LayoutWidth(face->layout);
  tm.tmWeight = lf.lfWeight <= 0 ? FW_NORMAL : lf.lfWeight;
  tm.tmDigitizedAspectX = tm.tmDigitizedAspectY = 96;
  tm.tmFirstChar = 0x20;
  tm.tmLastChar = 0xFFFF;
  tm.tmDefaultChar = 0x1F;
  tm.tmBreakChar = 0x20;
  tm.tmItalic = lf.lfItalic ? 1 : 0;
  tm.tmUnderlined = lf.lfUnderline ? 1 : 0;
  tm.tmStruckOut = lf.lfStrikeOut ? 1 : 0;
  // The low bit set means a variable-pitch font, as GDI has it.
  tm.tmPitchAndFamily = TMPF_FIXED_PITCH | TMPF_VECTOR | TMPF_TRUETYPE | FF_DONTCARE;
  tm.tmCharSet = lf.lfCharSet;
  return face;
}

using FaceKey = std::tuple<std::u16string, LONG, LONG, BYTE, BYTE, BYTE>;

FaceKey KeyOf(const LOGFONTW& lf) {
  size_t n = std::min<size_t>(WideLength(lf.lfFaceName), LF_FACESIZE);
  return FaceKey(std::u16string(lf.lfFaceName, n), lf.lfHeight, lf.lfWeight <= 0 ? FW_NORMAL : lf.lfWeight,
                 lf.lfItalic ? 1 : 0, lf.lfUnderline ? 1 : 0, lf.lfStrikeOut ? 1 : 0);
}

// Faces by description while a font uses them: fonts of one description share one.
std::map<FaceKey, std::weak_ptr<FontFace>>& Faces() {
  static auto* faces = new std::map<FaceKey, std::weak_ptr<FontFace>>;
  return *faces;
}

}  // namespace

size_t CachedTextRuns() {
  std::lock_guard<std::mutex> lock(TextMutex());
  BuryFaces();
  size_t runs = 0;
  for (auto& [key, face] : Faces())
    if (auto alive = face.lock()) runs += alive->runs.size() + alive->widths.size();
  return runs;
}

size_t CachedTextMaskBytes() {
  std::lock_guard<std::mutex> lock(TextMutex());
  BuryFaces();
  size_t bytes = 0;
  for (auto& [key, face] : Faces())
    if (auto alive = face.lock()) bytes += alive->maskBytes;
  return bytes;
}

void SetFontConfigPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(TextMutex());
  ConfigPath() = path;
}

// Called with the text lock held.
std::shared_ptr<FontFace> FaceOf(Font& font) {
  BuryFaces();
  if (font.face) return font.face;
  auto& faces = Faces();
  FaceKey key = KeyOf(font.logfont);
  std::weak_ptr<FontFace>& entry = faces[key];
  font.face = entry.lock();
  if (!font.face) {
    auto& released = Released();
    auto same = std::find_if(released.begin(), released.end(), [&](FontFace* f) { return KeyOf(f->logfont) == key; });
    if (same != released.end()) {
      font.face = Revive(*same);
      released.erase(same);
    } else {
      font.face = MakeFace(font.logfont);
    }
    entry = font.face;
  }
  if (faces.size() >= 256) {
    for (auto it = faces.begin(); it != faces.end();) it = it->second.expired() ? faces.erase(it) : std::next(it);
  }
  return font.face;
}

std::shared_ptr<Font> DefaultFont() { return LookupAs<Font>(GetStockObject(SYSTEM_FONT), GdiType::Font); }

void FaceMetrics(FontFace& face, TEXTMETRICW& tm) { tm = face.tm; }

int MeasureRun(FontFace& face, const WCHAR* text, int count) {
  if (count <= 0) return 0;
  constexpr size_t kRememberedWidths = 16384;
  auto it = face.widths.find(std::u16string_view(text, static_cast<size_t>(count)));
  if (it != face.widths.end()) return it->second;
  SetText(face.layout, text, count);
  int width = LayoutWidth(face.layout);
  if (face.widths.size() >= kRememberedWidths) {
    face.widths.clear();
    face.measured.clear();
  }
  face.widths.emplace(face.measured.emplace_back(text, static_cast<size_t>(count)), width);
  return width;
}

// Shapes text with the face's layout and keeps its glyphs (the layout keeps the text).
std::unique_ptr<ShapedRun> Shape(FontFace& face, const WCHAR* text, int count) {
  auto run = std::make_unique<ShapedRun>();
  SetText(face.layout, text, count);
  run->width = LayoutWidth(face.layout);
  run->baseline = (pango_layout_get_baseline(face.layout) + PANGO_SCALE / 2) / PANGO_SCALE;
  run->viaPango = face.decorated;
  PangoLayoutIter* iter = pango_layout_get_iter(face.layout);
  run->lineY = static_cast<double>(pango_layout_iter_get_baseline(iter)) / PANGO_SCALE;
  do {
    PangoLayoutRun* item = pango_layout_iter_get_run_readonly(iter);
    if (!item || run->viaPango) continue;
    PangoRectangle logical;
    pango_layout_iter_get_run_extents(iter, nullptr, &logical);
    cairo_scaled_font_t* font = pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(item->item->analysis.font));
    if (!font) {
      run->viaPango = true;
      continue;
    }
    ShapedRun::Part part;
    part.font = cairo_scaled_font_reference(font);
    int position = logical.x;
    for (int i = 0; i < item->glyphs->num_glyphs; ++i) {
      const PangoGlyphInfo& g = item->glyphs->glyphs[i];
      if (g.glyph & PANGO_GLYPH_UNKNOWN_FLAG) run->viaPango = true;
      if (g.glyph != PANGO_GLYPH_EMPTY && !(g.glyph & PANGO_GLYPH_UNKNOWN_FLAG)) {
        cairo_glyph_t glyph;
        glyph.index = g.glyph;
        glyph.x = static_cast<double>(position + g.geometry.x_offset) / PANGO_SCALE;
        glyph.y = static_cast<double>(g.geometry.y_offset) / PANGO_SCALE;
        part.glyphs.push_back(glyph);
      }
      position += g.geometry.width;
    }
    if (!part.glyphs.empty()) {
      cairo_text_extents_t e;
      cairo_scaled_font_glyph_extents(part.font, part.glyphs.data(), static_cast<int>(part.glyphs.size()), &e);
      if (e.width > 0 && e.height > 0) {
        // The extents are from the first glyph's place.
        const double left = part.glyphs[0].x + e.x_bearing, top = part.glyphs[0].y + e.y_bearing;
        part.inkLeft = left;
        part.inkTop = top;
        part.inkRight = left + e.width;
        part.inkBottom = top + e.height;
        const bool first = run->inkRight <= run->inkLeft;
        run->inkLeft = first ? left : std::min(run->inkLeft, left);
        run->inkTop = first ? top : std::min(run->inkTop, top);
        run->inkRight = first ? left + e.width : std::max(run->inkRight, left + e.width);
        run->inkBottom = first ? top + e.height : std::max(run->inkBottom, top + e.height);
      }
    }
    run->parts.push_back(std::move(part));
  } while (pango_layout_iter_next_run(iter));
  pango_layout_iter_free(iter);
  return run;
}

// The face's shaped run of text, made on first use; the cache is bounded.
ShapedRun& RunOf(FontFace& face, const WCHAR* text, int count) {
  constexpr size_t kRememberedRuns = 4096;
  auto it = face.runs.find(std::u16string_view(text, static_cast<size_t>(count)));
  if (it != face.runs.end()) return *it->second;
  if (face.runs.size() >= kRememberedRuns) face.DropRuns();
  std::unique_ptr<ShapedRun> run = Shape(face, text, count);
  run->text.assign(text, static_cast<size_t>(count));
  std::u16string_view key(run->text);
  return *face.runs.emplace(key, std::move(run)).first->second;
}

// The part's font without anti-aliasing: cairo's own cache shares it between runs.
cairo_scaled_font_t* CrispFont(ShapedRun::Part& part) {
  if (part.crisp) return part.crisp;
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_scaled_font_get_font_options(part.font, options);
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_NONE);
  cairo_matrix_t matrix, ctm;
  cairo_scaled_font_get_font_matrix(part.font, &matrix);
  cairo_scaled_font_get_ctm(part.font, &ctm);
  part.crisp = cairo_scaled_font_create(cairo_scaled_font_get_font_face(part.font), &matrix, &ctm, options);
  cairo_font_options_destroy(options);
  if (cairo_scaled_font_status(part.crisp) != CAIRO_STATUS_SUCCESS) {
    cairo_scaled_font_destroy(part.crisp);
    part.crisp = cairo_scaled_font_reference(part.font);  // the threshold after drawing still holds
  }
  return part.crisp;
}

// A mask is reused only where it gives the very pixels the glyph calls would: Cairo's image
// backend ADDs a call's glyphs, at whole device pixels, into an A8 mask and composites the source
// through it. So the run's cell corner must fall on a whole device pixel (glyphs then land at the
// same places relative to it) and the scale must be a multiple of 1/1024, as glyph positions are,
// for the positions to be exact.
constexpr size_t kMaxMaskBytes = 64 * 1024;
constexpr size_t kMaskBytesPerFace = 256 * 1024;  // 15 overlay lines take ~100 KB

bool Exact(double v) { return std::abs(v) < (1 << 20) && std::floor(v * 1024) == v * 1024; }

// Frees masks of the face's runs, those not drawn lately first, until `bytes` more fit.
void MakeRoomForMask(FontFace& face, size_t bytes) {
  while (face.maskBytes + bytes > kMaskBytesPerFace && !face.masked.empty()) {
    ShapedRun* old = face.masked.front();
    face.masked.pop_front();
    if (old->maskUsed) {
      old->maskUsed = false;
      face.masked.push_back(old);
      continue;
    }
    face.maskBytes -= old->MaskBytes();
    old->DropMasks();
    old->maskListed = false;
  }
}

cairo_surface_t* NewA8(int width, int height) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, width, height);
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) return surface;
  cairo_surface_destroy(surface);
  return nullptr;
}

// Device pixels around an ink box (from the run's corner) that surely hold its coverage.
struct PixelBox {
  int left, top, right, bottom;
};
PixelBox AroundInk(double left, double top, double right, double bottom, double scaleX, double scaleY) {
  const int pad = 2 + static_cast<int>(std::ceil(std::max(scaleX, scaleY)));
  return {static_cast<int>(std::floor(scaleX * left)) - pad, static_cast<int>(std::floor(scaleY * top)) - pad,
          static_cast<int>(std::ceil(scaleX * right)) + pad, static_cast<int>(std::ceil(scaleY * bottom)) + pad};
}

// Renders the run's coverage as drawn at cell corner (x, y) through `cr`, which puts that corner on
// the target's whole pixel (ox, oy). Leaves `mask.layers` empty when the run is better drawn
// glyph by glyph.
void RenderMask(cairo_t* cr, ShapedRun& run, int x, int y, double baseY, double ox, double oy, RunMask& mask) {
  constexpr int kMaxLayers = 4;
  if (run.inkRight <= run.inkLeft) return;  // nothing to draw
  const double rise = baseY - y;
  const PixelBox all = AroundInk(run.inkLeft, rise + run.inkTop, run.inkRight, rise + run.inkBottom, mask.scaleX,
                                 mask.scaleY);
  const int width = all.right - all.left, height = all.bottom - all.top;
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_A8, width);
  const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(height);
  if (stride <= 0 || size > kMaxMaskBytes) return;
  cairo_surface_t* scratch = NewA8(width, height);
  if (!scratch) return;

  // Each part on its own, where the target has it less the box's corner (whole pixels), then its
  // coverage spread over the layers: a pixel's first coverage to the first layer, and so on.
  cairo_surface_t* target = cairo_get_group_target(cr);
  double scaleX, scaleY, offX, offY;
  cairo_surface_get_device_scale(target, &scaleX, &scaleY);
  cairo_surface_get_device_offset(target, &offX, &offY);
  cairo_surface_set_device_scale(scratch, scaleX, scaleY);
  cairo_surface_set_device_offset(scratch, offX - (ox + all.left), offY - (oy + all.top));
  cairo_matrix_t ctm;
  cairo_get_matrix(cr, &ctm);
  cairo_t* mcr = cairo_create(scratch);
  cairo_set_matrix(mcr, &ctm);
  cairo_set_operator(mcr, CAIRO_OPERATOR_ADD);  // what Cairo does with one call's glyphs
  cairo_set_source_rgba(mcr, 0, 0, 0, 1);
  unsigned char* data = cairo_image_surface_get_data(scratch);
  thread_local std::vector<unsigned char> planes, depth;
  planes.assign(size * kMaxLayers, 0);
  depth.assign(size, 0);
  int layers = 0;
  PixelBox covered[kMaxLayers];  // each layer's covered pixels
  for (PixelBox& b : covered) b = {width, height, 0, 0};
  bool ok = true;
  thread_local std::vector<cairo_glyph_t> placed;
  for (ShapedRun::Part& part : run.parts) {
    if (part.inkRight <= part.inkLeft) continue;
    PixelBox box = AroundInk(part.inkLeft, rise + part.inkTop, part.inkRight, rise + part.inkBottom, mask.scaleX,
                             mask.scaleY);
    box = {std::max(box.left, all.left) - all.left, std::max(box.top, all.top) - all.top,
           std::min(box.right, all.right) - all.left, std::min(box.bottom, all.bottom) - all.top};
    if (box.right - box.left < 2 || box.bottom - box.top < 2) continue;
    cairo_surface_flush(scratch);
    for (int j = box.top; j < box.bottom; ++j)
      std::fill_n(data + static_cast<size_t>(j) * stride + box.left, box.right - box.left, 0);
    cairo_surface_mark_dirty(scratch);
    placed.assign(part.glyphs.begin(), part.glyphs.end());
    for (cairo_glyph_t& g : placed) {
      g.x += x;
      g.y += baseY;
    }
    cairo_set_scaled_font(mcr, mask.crisp ? CrispFont(part) : part.font);
    cairo_show_glyphs(mcr, placed.data(), static_cast<int>(placed.size()));
    cairo_surface_flush(scratch);
    if (cairo_status(mcr) != CAIRO_STATUS_SUCCESS) {
      ok = false;
      break;
    }
    for (int j = box.top; ok && j < box.bottom; ++j) {
      const size_t row = static_cast<size_t>(j) * stride;
      // Coverage on the box's edge may have been cut off: the outlines reach beyond their ink box.
      const bool edge = j == box.top || j == box.bottom - 1;
      for (int i = box.left; i < box.right; ++i) {
        uint64_t eight;  // most of a glyph's box is blank
        if (i + 8 <= box.right && (std::memcpy(&eight, data + row + i, 8), eight == 0)) {
          i += 7;
          continue;
        }
        const unsigned char c = data[row + i];
        if (!c) continue;
        unsigned char& d = depth[row + i];
        if (edge || i == box.left || i == box.right - 1 || d == kMaxLayers) {
          ok = false;
          break;
        }
        planes[d * size + row + i] = c;
        PixelBox& b = covered[d];
        b = {std::min(b.left, i), std::min(b.top, j), std::max(b.right, i + 1), std::max(b.bottom, j + 1)};
        layers = std::max(layers, static_cast<int>(++d));
      }
    }
    if (!ok) break;
  }
  cairo_destroy(mcr);
  cairo_surface_destroy(scratch);

  // Each layer keeps the box of what it covers (compositing costs by the pixel).
  for (int l = 0; ok && l < layers; ++l) {
    const unsigned char* plane = planes.data() + static_cast<size_t>(l) * size;
    const int x0 = covered[l].left, y0 = covered[l].top, x1 = covered[l].right, y1 = covered[l].bottom;
    cairo_surface_t* kept = NewA8(x1 - x0, y1 - y0);
    if (!kept) {
      ok = false;
      break;
    }
    const int keptStride = cairo_image_surface_get_stride(kept);
    unsigned char* to = cairo_image_surface_get_data(kept);
    for (int j = y0; j < y1; ++j)
      std::copy_n(plane + static_cast<size_t>(j) * stride + x0, x1 - x0, to + static_cast<size_t>(j - y0) * keptStride);
    cairo_surface_mark_dirty(kept);
    RunMask::Layer layer;
    layer.pattern = cairo_pattern_create_for_surface(kept);
    cairo_pattern_set_filter(layer.pattern, CAIRO_FILTER_NEAREST);
    cairo_pattern_set_extend(layer.pattern, CAIRO_EXTEND_NONE);
    layer.left = all.left + x0;
    layer.top = all.top + y0;
    mask.layers.push_back(layer);
    mask.bytes += static_cast<size_t>(keptStride) * static_cast<size_t>(y1 - y0);
    cairo_surface_destroy(kept);
  }
  if (!ok || mask.bytes > kMaxMaskBytes) {
    for (RunMask::Layer& layer : mask.layers) cairo_pattern_destroy(layer.pattern);
    mask.layers.clear();
    mask.bytes = 0;
  }
  if (size > 16 * 1024) {  // the scratch of a rare large run is not kept
    std::vector<unsigned char>().swap(planes);
    std::vector<unsigned char>().swap(depth);
  }
}

// Draws the run's glyphs through its cached coverage, made at the run's second draw; false at its
// first or where a mask would not give the glyph calls' pixels: the caller draws the glyphs.
bool DrawMasked(cairo_t* cr, FontFace& face, ShapedRun& run, int x, int y, double baseY, bool crisp) {
  cairo_surface_t* target = cairo_get_group_target(cr);
  if (cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE) return false;
  cairo_matrix_t ctm;
  cairo_get_matrix(cr, &ctm);
  if (ctm.xy != 0 || ctm.yx != 0 || ctm.xx <= 0 || ctm.yy <= 0) return false;
  // Cairo's device space is the target's before its device scale and offset: the pixel is after.
  double ox = x, oy = y, deviceX, deviceY, offX, offY;
  cairo_user_to_device(cr, &ox, &oy);
  cairo_surface_get_device_scale(target, &deviceX, &deviceY);
  cairo_surface_get_device_offset(target, &offX, &offY);
  const double scaleX = ctm.xx * deviceX, scaleY = ctm.yy * deviceY;
  if (!Exact(scaleX) || !Exact(scaleY) || !Exact(ctm.x0 * deviceX) || !Exact(ctm.y0 * deviceY) || !Exact(offX) ||
      !Exact(offY))
    return false;
  ox = ox * deviceX + offX;
  oy = oy * deviceY + offY;
  if (ox != std::floor(ox) || oy != std::floor(oy) || std::abs(ox) >= (1 << 20) || std::abs(oy) >= (1 << 20))
    return false;

  RunMask* mask = nullptr;
  for (RunMask& m : run.masks)
    if (m.crisp == crisp && m.scaleX == scaleX && m.scaleY == scaleY) mask = &m;
  if (!mask) {
    // Made at the second draw: in a flood most lines are drawn once before they are pushed out.
    if (!run.drawnOnce) {
      run.drawnOnce = true;
      return false;
    }
    RunMask made;
    made.crisp = crisp;
    made.scaleX = scaleX;
    made.scaleY = scaleY;
    RenderMask(cr, run, x, y, baseY, ox, oy, made);
    if (made.bytes > 0) {
      MakeRoomForMask(face, made.bytes);  // may drop this run's other masks
      face.maskBytes += made.bytes;
      if (!run.maskListed) {
        face.masked.push_back(&run);
        run.maskListed = true;
      }
    }
    run.masks.push_back(std::move(made));
    mask = &run.masks.back();
  }
  if (mask->layers.empty()) return false;
  run.maskUsed = true;
  // From user space to the layer's pixels: the device pixel less the layer's corner.
  const double userX = deviceX * ctm.x0 + offX - ox, userY = deviceY * ctm.y0 + offY - oy;
  for (RunMask::Layer& layer : mask->layers) {
    cairo_matrix_t toLayer;
    cairo_matrix_init(&toLayer, scaleX, 0, 0, scaleY, userX - layer.left, userY - layer.top);
    cairo_pattern_set_matrix(layer.pattern, &toLayer);
    cairo_mask(cr, layer.pattern);
  }
  return true;
}

void DrawRun(Dc& dc, FontFace& face, int x, int y, const WCHAR* text, int count) {
  if (count <= 0) return;
  ShapedRun& run = RunOf(face, text, count);
  cairo_t* cr = dc.cr;
  if (dc.state.bkMode == OPAQUE) {
    cairo_rectangle(cr, x, y, run.width, face.tm.tmHeight);
    SetSourceColor(cr, dc.state.bkColor);
    cairo_fill(cr);
  }
  // Over a colour key, what the glyphs do to key pixels is looked at afterwards.
  thread_local KeyedTextArea keyed;
  const bool overKey = dc.keyedText != TextOverKey::Blended;
  if (overKey) KeepKeyedArea(dc, x - face.tm.tmHeight, y, run.width + 2 * face.tm.tmHeight, face.tm.tmHeight, keyed);
  SetSourceColor(cr, dc.state.textColor);
  const double top = y + face.tm.tmAscent - run.baseline;
  // The ink stays within the cell's rows, as GDI's cells hold their glyphs. The clip costs more
  // than the glyphs of a short run, so it is left out where the outlines keep a pixel (for
  // hinting and anti-aliasing) inside the cell.
  const double baseY = top + run.lineY;
  const int cellLeft = x - face.tm.tmHeight, cellRight = x + run.width + face.tm.tmHeight;
  const bool clip = run.viaPango || (run.inkRight > run.inkLeft &&
                                     (x + run.inkLeft - 1 < cellLeft || x + run.inkRight + 1 > cellRight ||
                                      baseY + run.inkTop - 1 < y || baseY + run.inkBottom + 1 > y + face.tm.tmHeight));
  if (clip) {
    cairo_save(cr);
    cairo_rectangle(cr, cellLeft, y, cellRight - cellLeft, face.tm.tmHeight);
    cairo_clip(cr);
  }
  if (run.viaPango) {
    SetText(face.layout, text, count);
    cairo_move_to(cr, x, top);
    pango_cairo_show_layout(cr, face.layout);
  } else if (!DrawMasked(cr, face, run, x, y, baseY, dc.keyedText == TextOverKey::Crisp)) {
    thread_local std::vector<cairo_glyph_t> placed;
    for (ShapedRun::Part& part : run.parts) {
      placed.assign(part.glyphs.begin(), part.glyphs.end());
      for (cairo_glyph_t& g : placed) {
        g.x += x;
        g.y += baseY;
      }
      cairo_set_scaled_font(cr, dc.keyedText == TextOverKey::Crisp ? CrispFont(part) : part.font);
      cairo_show_glyphs(cr, placed.data(), static_cast<int>(placed.size()));
    }
  }
  if (clip) cairo_restore(cr);
  if (overKey) FinishKeyedText(dc, keyed, dc.state.textColor);
}

}  // namespace qvp

#if defined(__SANITIZE_ADDRESS__)
// Fontconfig keeps its caches for the whole process behind offset-encoded pointers, which the
// leak checker cannot follow. OpenSSL (under libcurl) frees a thread's state when the thread's
// keys are destroyed, which for a thread ending as the process exits can come after the check.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libcrypto.so\n";
}
#endif

using namespace qvp;

namespace {

// The DC's font face, with the text lock held by the caller.
std::shared_ptr<FontFace> DcFace(Dc& dc) { return FaceOf(*dc.state.font); }

struct Line {
  std::u16string text;
  std::vector<size_t> underlined;  // indexes of '&'-prefixed characters
  int width = 0;
};

bool IsCjk(char16_t c) {
  return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0xD800 && c <= 0xDBFF);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// Whether a line may end after text[i - 1] (before text[i]).
bool CanBreakBefore(const std::u16string& text, size_t i) {
  if (i == 0 || i >= text.size()) return i >= text.size();
  char16_t prev = text[i - 1], cur = text[i];
  if (IsHighSurrogate(prev)) return false;
  if (prev == u' ' && cur != u' ') return true;
  return (IsCjk(prev) || IsCjk(cur)) && cur != u' ';
}

// Greedy word wrapping: the longest run ending at a break opportunity that fits; a run that does
// not fit even alone is placed on its own line.
std::vector<Line> WrapLine(FontFace& face, const Line& paragraph, int maxWidth) {
  constexpr size_t npos = std::u16string::npos;
  std::vector<Line> out;
  const std::u16string& t = paragraph.text;
  size_t start = 0;
  while (true) {
    size_t fitEnd = npos, fitNext = npos, firstEnd = npos, firstNext = npos;
    for (size_t i = start + 1; i <= t.size(); ++i) {
      if (!CanBreakBefore(t, i)) continue;
      size_t visible = i;
      while (visible > start && t[visible - 1] == u' ') --visible;  // trailing spaces hang
      if (firstEnd == npos) {
        firstEnd = visible;
        firstNext = i;
      }
      if (MeasureRun(face, t.data() + start, static_cast<int>(visible - start)) > maxWidth) break;
      fitEnd = visible;
      fitNext = i;
    }
    if (fitEnd == npos) {
      fitEnd = firstEnd == npos ? t.size() : firstEnd;
      fitNext = firstNext == npos ? t.size() : firstNext;
    }
    Line line;
    line.text = t.substr(start, fitEnd - start);
    for (size_t u : paragraph.underlined)
      if (u >= start && u < fitEnd) line.underlined.push_back(u - start);
    out.push_back(std::move(line));
    start = fitNext;
    while (start < t.size() && t[start] == u' ') ++start;
    if (start >= t.size()) break;
  }
  return out;
}

void Ellipsize(FontFace& face, Line& line, int maxWidth) {
  if (MeasureRun(face, line.text.data(), static_cast<int>(line.text.size())) <= maxWidth) return;
  static const std::u16string kDots = u"...";
  size_t keep = line.text.size();
  while (keep > 0) {
    --keep;
    if (keep > 0 && IsHighSurrogate(line.text[keep - 1])) --keep;
    std::u16string candidate = line.text.substr(0, keep) + kDots;
    if (MeasureRun(face, candidate.data(), static_cast<int>(candidate.size())) <= maxWidth) break;
  }
  line.text = line.text.substr(0, keep) + kDots;
  line.underlined.erase(std::remove_if(line.underlined.begin(), line.underlined.end(),
                                       [&](size_t u) { return u >= keep; }),
                        line.underlined.end());
}

// Removes '&' prefixes: "&&" is one '&', "&x" underlines x.
Line StripPrefixes(const std::u16string& text) {
  Line out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'&' && i + 1 < text.size()) {
      ++i;
      if (text[i] != u'&') out.underlined.push_back(out.text.size());
    } else if (text[i] == u'&') {
      continue;
    }
    out.text.push_back(text[i]);
  }
  return out;
}

std::vector<Line> SplitParagraphs(const Line& all) {
  std::vector<Line> out(1);
  for (size_t i = 0; i < all.text.size(); ++i) {
    char16_t c = all.text[i];
    if (c == u'\r' || c == u'\n') {
      if (c == u'\r' && i + 1 < all.text.size() && all.text[i + 1] == u'\n') ++i;
      out.emplace_back();
      continue;
    }
    for (size_t u : all.underlined)
      if (u == i) out.back().underlined.push_back(out.back().text.size());
    out.back().text.push_back(c);
  }
  return out;
}

}  // namespace

HFONT CreateFontIndirectW(const LOGFONTW* lplf) {
  if (!lplf) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto font = std::make_shared<Font>();
  font->logfont = *lplf;
  font->logfont.lfFaceName[LF_FACESIZE - 1] = 0;
  return static_cast<HFONT>(InsertGdiObject(std::move(font)));
}

BOOL GetTextMetricsW(HDC hdc, LPTEXTMETRICW lptm) {
  auto dc = LookupDc(hdc);
  if (!dc || !lptm) return FALSE;
  std::lock_guard<std::mutex> lock(TextMutex());
  FaceMetrics(*DcFace(*dc), *lptm);
  return TRUE;
}

BOOL GetTextExtentPoint32W(HDC hdc, LPCWSTR lpString, int c, LPSIZE psizl) {
  auto dc = LookupDc(hdc);
  if (!dc) return FALSE;
  if (!psizl || c < 0 || (c > 0 && !lpString)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(TextMutex());
  auto face = DcFace(*dc);
  psizl->cx = MeasureRun(*face, lpString, c);
  psizl->cy = face->tm.tmHeight;
  return TRUE;
}

BOOL TextOutW(HDC hdc, int x, int y, LPCWSTR lpString, int c) {
  auto dc = LookupDc(hdc);
  if (!dc) return FALSE;
  if (c < 0 || (c > 0 && !lpString)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  dc->drawn = true;  // the window's image changes: ReleaseDC shows it
  std::lock_guard<std::mutex> lock(TextMutex());
  DrawRun(*dc, *DcFace(*dc), x, y, lpString, c);
  return TRUE;
}

int DrawTextW(HDC hdc, LPCWSTR lpchText, int cchText, LPRECT lprc, UINT format) {
  auto dc = LookupDc(hdc);
  if (!dc) return 0;
  if (!lprc || (cchText != 0 && !lpchText) || cchText < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cchText == -1 ? WideLength(lpchText) : static_cast<size_t>(cchText);
  std::u16string text(lpchText ? lpchText : u"", n);
  if (!(format & DT_CALCRECT)) dc->drawn = true;  // the window's image changes: ReleaseDC shows it
  std::lock_guard<std::mutex> lock(TextMutex());
  auto face = DcFace(*dc);
  const int lineHeight = face->tm.tmHeight;
  const int maxWidth = lprc->right - lprc->left;

  Line all;
  if (format & DT_NOPREFIX)
    all.text = text;
  else
    all = StripPrefixes(text);
  std::vector<Line> lines;
  if (format & DT_SINGLELINE) {
    lines.push_back(all);
  } else {
    for (Line& paragraph : SplitParagraphs(all)) {
      if (format & DT_WORDBREAK) {
        for (Line& l : WrapLine(*face, paragraph, maxWidth)) lines.push_back(std::move(l));
      } else {
        lines.push_back(std::move(paragraph));
      }
    }
  }
  int widest = 0;
  for (Line& l : lines) {
    if (format & DT_END_ELLIPSIS) Ellipsize(*face, l, maxWidth);
    l.width = MeasureRun(*face, l.text.data(), static_cast<int>(l.text.size()));
    widest = std::max(widest, l.width);
  }
  const int total = lineHeight * static_cast<int>(lines.size());

  if (format & DT_CALCRECT) {
    lprc->right = lprc->left + widest;
    lprc->bottom = lprc->top + total;
    return total;
  }

  int y = lprc->top;
  if (format & DT_SINGLELINE) {
    if (format & DT_VCENTER)
      y = lprc->top + (lprc->bottom - lprc->top - lineHeight) / 2;
    else if (format & DT_BOTTOM)
      y = lprc->bottom - lineHeight;
  }
  const int result = (format & DT_SINGLELINE) && (format & (DT_VCENTER | DT_BOTTOM)) ? y - lprc->top + total
                                                                                     : total;
  cairo_t* cr = dc->cr;
  cairo_save(cr);
  if (!(format & DT_NOCLIP)) {
    cairo_rectangle(cr, lprc->left, lprc->top, std::max(0, maxWidth), std::max<LONG>(0, lprc->bottom - lprc->top));
    cairo_clip(cr);
  }
  for (const Line& l : lines) {
    int x = lprc->left;
    if (format & DT_CENTER)
      x = lprc->left + (maxWidth - l.width) / 2;
    else if (format & DT_RIGHT)
      x = lprc->right - l.width;
    DrawRun(*dc, *face, x, y, l.text.data(), static_cast<int>(l.text.size()));
    for (size_t u : l.underlined) {
      int len = IsHighSurrogate(l.text[u]) && u + 1 < l.text.size() ? 2 : 1;
      int ux = x + MeasureRun(*face, l.text.data(), static_cast<int>(u));
      int uw = MeasureRun(*face, l.text.data() + u, len);
      cairo_rectangle(cr, ux, y + face->tm.tmAscent + 1, uw, 1);
      SetSourceColor(cr, dc->state.textColor);
      cairo_fill(cr);
    }
    y += lineHeight;
  }
  cairo_restore(cr);
  return result;
}
