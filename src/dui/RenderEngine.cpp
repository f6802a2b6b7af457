#include "dui/RenderEngine.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "dui/ControlUI.h"
#include "dui/PaintManagerUI.h"

namespace {

BYTE AlphaOf(DWORD argb) { return static_cast<BYTE>(argb >> 24); }

COLORREF ToColorRef(DWORD argb) { return RGB((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF); }

int ClampToInt(long long v) { return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX)); }

long long Width(const RECT& rc) { return static_cast<long long>(rc.right) - rc.left; }
long long Height(const RECT& rc) { return static_cast<long long>(rc.bottom) - rc.top; }
bool IsEmpty(const RECT& rc) { return Width(rc) <= 0 || Height(rc) <= 0; }

BITMAPINFO TopDownInfo(int width, int height) {
  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = width;
  bmi.bmiHeader.biHeight = -height;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  return bmi;
}

uint32_t Premultiply(DWORD argb) {
  uint32_t a = argb >> 24;
  auto scale = [a](uint32_t c) { return (c * a + 127) / 255; };
  return a << 24 | scale((argb >> 16) & 0xFF) << 16 | scale((argb >> 8) & 0xFF) << 8 | scale(argb & 0xFF);
}

// ---------------------------------------------------------------------------------------------
// Marked-up text

bool IsCjk(char16_t c) {
  return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0xD800 && c <= 0xDBFF);
}

// Pixels of {x n}: anything wider than a screen is only a way to overflow the layout.
constexpr int kMaxSpace = 10000;

struct RunStyle {
  HFONT font;
  COLORREF color;
  int link;  // index into the links, or -1
  bool operator==(const RunStyle& o) const { return font == o.font && color == o.color && link == o.link; }
};

struct Atom {
  enum Kind : uint8_t { kChar, kSpace };
  Kind kind = kChar;
  uint8_t len = 1;  // code units in ch (2 for a surrogate pair)
  char16_t ch[2] = {0, 0};
  int style = 0;
  int width = 0;
  bool IsBlank() const { return kind == kChar && ch[0] == u' '; }
};

struct Line {
  std::vector<Atom> atoms;
  int emptyStyle = 0;  // whose font gives an empty line its height
  long long width = 0;
  int ascent = 0;
  int descent = 0;
};

// Fonts, metrics and widths for one DrawHtmlText call; derived fonts are deleted with it.
class HtmlFonts {
 public:
  explicit HtmlFonts(HDC dc) : dc_(dc) {}
  ~HtmlFonts() {
    for (HFONT f : created_) ::DeleteObject(f);
  }
  HtmlFonts(const HtmlFonts&) = delete;
  HtmlFonts& operator=(const HtmlFonts&) = delete;

  HFONT Derive(HFONT base, bool bold, bool italic, bool underline) {
    if (!base || (!bold && !italic && !underline)) return base;
    auto key = std::make_tuple(base, bold, italic, underline);
    auto it = derived_.find(key);
    if (it != derived_.end()) return it->second;
    HFONT result = base;
    LOGFONTW lf{};
    if (::GetObjectW(base, sizeof(lf), &lf) == static_cast<int>(sizeof(lf))) {
      LOGFONTW want = lf;
      if (bold) want.lfWeight = FW_BOLD;
      if (italic) want.lfItalic = TRUE;
      if (underline) want.lfUnderline = TRUE;
      if (want.lfWeight != lf.lfWeight || want.lfItalic != lf.lfItalic || want.lfUnderline != lf.lfUnderline) {
        if (HFONT made = ::CreateFontIndirectW(&want)) {
          created_.push_back(made);
          result = made;
        }
      }
    }
    derived_.emplace(key, result);
    return result;
  }

  void Select(HFONT font) {
    if (font && font != selected_) {
      ::SelectObject(dc_, font);
      selected_ = font;
    }
  }

  const TEXTMETRICW& Metrics(HFONT font) {
    auto it = metrics_.find(font);
    if (it != metrics_.end()) return it->second;
    TEXTMETRICW tm{};
    Select(font);
    ::GetTextMetricsW(dc_, &tm);
    return metrics_.emplace(font, tm).first->second;
  }

  int CharWidth(HFONT font, const char16_t* ch, int len) {
    uint32_t code = len == 2 ? (static_cast<uint32_t>(ch[0]) << 16 | ch[1]) : ch[0];
    auto key = std::make_pair(font, code);
    auto it = widths_.find(key);
    if (it != widths_.end()) return it->second;
    Select(font);
    SIZE sz{0, 0};
    ::GetTextExtentPoint32W(dc_, ch, len, &sz);
    widths_.emplace(key, static_cast<int>(sz.cx));
    return sz.cx;
  }

 private:
  HDC dc_;
  HFONT selected_ = nullptr;
  std::vector<HFONT> created_;
  std::map<std::tuple<HFONT, bool, bool, bool>, HFONT> derived_;
  std::map<HFONT, TEXTMETRICW> metrics_;
  std::map<std::pair<HFONT, uint32_t>, int> widths_;
};

// Turns the markup into atoms (characters and spaces, each with its style) and line breaks.
class HtmlParser {
 public:
  HtmlParser(CPaintManagerUI* pm, HtmlFonts& fonts, DWORD textColor, bool singleLine)
      : pm_(pm), fonts_(fonts), singleLine_(singleLine) {
    fontStack_.push_back(-1);
    colorStack_.push_back(ToColorRef(textColor));
    paragraphs_.emplace_back();
  }

  void Parse(std::u16string_view t) {
    size_t i = 0;
    const size_t n = t.size();
    while (i < n) {
      char16_t c = t[i];
      if (c == u'<') {
        if (i + 1 < n && t[i + 1] == u'<') {
          AddChar(u'<');
          i += 2;
          continue;
        }
        // A tag ends at the next '>' before any other '<'; otherwise the '<' is text.
        size_t j = i + 1;
        while (j < n && t[j] != u'>' && t[j] != u'<') ++j;
        if (j < n && t[j] == u'>' && Tag(t.substr(i + 1, j - i - 1))) {
          i = j + 1;
          continue;
        }
        AddChar(u'<');
        ++i;
      } else if (c == u'{') {
        if (i + 1 < n && t[i + 1] == u'{') {
          AddChar(u'{');
          i += 2;
          continue;
        }
        size_t end = Space(t, i);
        if (end != 0) {
          i = end;
          continue;
        }
        AddChar(u'{');
        ++i;
      } else if (c == u'\n') {
        Break();
        ++i;
      } else if (c == u'\r') {
        ++i;
      } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
        AddAtom(Atom::kChar, c, t[i + 1], 2, 0);
        i += 2;
      } else {
        AddChar(c);
        ++i;
      }
    }
    endStyle_ = CurrentStyle();
    if (paragraphs_.back().empty()) paragraphEmptyStyle_.push_back(endStyle_);
  }

  std::vector<std::vector<Atom>>& Paragraphs() { return paragraphs_; }
  // The style in effect where each empty paragraph ends (indexed like the empty ones, in order).
  int EmptyParagraphStyle(size_t nth) const {
    return nth < paragraphEmptyStyle_.size() ? paragraphEmptyStyle_[nth] : endStyle_;
  }
  const std::vector<RunStyle>& Styles() const { return styles_; }
  const std::vector<CDuiString>& LinkNames() const { return linkNames_; }

 private:
  static bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

  static std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
  }

  static bool HasDigit(std::u16string_view s) {
    return std::any_of(s.begin(), s.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
  }

  static bool HasHexDigit(std::u16string_view s) {
    return std::any_of(s.begin(), s.end(), [](char16_t c) {
      return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    });
  }

  // Handles the inside of <...>; false when it is not a tag we know (then it is drawn as text).
  bool Tag(std::u16string_view content) {
    // "a < b" is text: a tag's name follows the '<' directly.
    while (!content.empty() && IsSpace(content.back())) content.remove_suffix(1);
    bool closing = !content.empty() && content.front() == u'/';
    if (closing) content.remove_prefix(1);
    size_t nameEnd = 0;
    while (nameEnd < content.size() && !IsSpace(content[nameEnd])) ++nameEnd;
    if (nameEnd != 1) return false;
    char16_t name = content[0];
    if (name >= u'A' && name <= u'Z') name = static_cast<char16_t>(name - u'A' + u'a');
    std::u16string_view arg = Trim(content.substr(nameEnd));
    std::u16string argText(arg);
    switch (name) {
      case u'b': Adjust(bold_, closing); return true;
      case u'i': Adjust(italic_, closing); return true;
      case u'u': Adjust(underline_, closing); return true;
      case u'n':
        if (closing) return false;
        if (!singleLine_) Break();
        return true;
      case u'c':
        if (closing) {
          if (colorStack_.size() > 1) colorStack_.pop_back();
        } else {
          colorStack_.push_back(HasHexDigit(arg) ? ToColorRef(dui::ParseColor(argText.c_str()))
                                                 : colorStack_.front());
        }
        return true;
      case u'f':
        if (closing) {
          if (fontStack_.size() > 1) fontStack_.pop_back();
        } else {
          fontStack_.push_back(HasDigit(arg) ? dui::ParseInt(argText.c_str()) : -1);
        }
        return true;
      case u'a':
        if (closing) {
          link_ = -1;
        } else {
          link_ = static_cast<int>(linkNames_.size());
          linkNames_.emplace_back(argText.c_str());
        }
        return true;
      default: return false;
    }
  }

  static void Adjust(int& depth, bool closing) {
    if (closing)
      depth = std::max(0, depth - 1);
    else
      ++depth;
  }

  // {x n} at t[i]: the index past it, or 0 when it is not one.
  size_t Space(std::u16string_view t, size_t i) {
    size_t j = i + 1;
    if (j >= t.size() || (t[j] != u'x' && t[j] != u'X')) return 0;
    ++j;
    while (j < t.size() && IsSpace(t[j])) ++j;
    long long value = 0;
    size_t digits = 0;
    while (j < t.size() && t[j] >= u'0' && t[j] <= u'9') {
      value = std::min<long long>(value * 10 + (t[j] - u'0'), kMaxSpace);
      ++j;
      ++digits;
    }
    while (j < t.size() && IsSpace(t[j])) ++j;
    if (digits == 0 || j >= t.size() || t[j] != u'}') return 0;
    AddAtom(Atom::kSpace, 0, 0, 0, static_cast<int>(value));
    return j + 1;
  }

  int CurrentStyle() {
    HFONT base = pm_->GetFont(fontStack_.back());
    RunStyle s{fonts_.Derive(base, bold_ > 0, italic_ > 0, underline_ > 0), colorStack_.back(), link_};
    if (styles_.empty() || !(styles_.back() == s)) styles_.push_back(s);
    return static_cast<int>(styles_.size()) - 1;
  }

  void AddChar(char16_t c) { AddAtom(Atom::kChar, c, 0, 1, 0); }

  void AddAtom(Atom::Kind kind, char16_t c0, char16_t c1, uint8_t len, int width) {
    Atom a;
    a.kind = kind;
    a.ch[0] = c0;
    a.ch[1] = c1;
    a.len = len;
    a.style = CurrentStyle();
    a.width = kind == Atom::kSpace ? width : fonts_.CharWidth(styles_[a.style].font, a.ch, len);
    paragraphs_.back().push_back(a);
  }

  void Break() {
    if (singleLine_) return;
    if (paragraphs_.back().empty()) paragraphEmptyStyle_.push_back(CurrentStyle());
    paragraphs_.emplace_back();
  }

  CPaintManagerUI* pm_;
  HtmlFonts& fonts_;
  bool singleLine_;
  int bold_ = 0, italic_ = 0, underline_ = 0;
  int link_ = -1;
  std::vector<int> fontStack_;
  std::vector<COLORREF> colorStack_;
  std::vector<RunStyle> styles_;
  std::vector<CDuiString> linkNames_;
  std::vector<std::vector<Atom>> paragraphs_;
  std::vector<int> paragraphEmptyStyle_;
  int endStyle_ = 0;
};

// A line may end before atoms[i] (after atoms[i - 1]).
bool CanBreakBefore(const std::vector<Atom>& atoms, size_t i) {
  const Atom& prev = atoms[i - 1];
  const Atom& cur = atoms[i];
  if (cur.IsBlank()) return false;
  if (prev.IsBlank()) return true;
  return (prev.kind == Atom::kChar && IsCjk(prev.ch[0])) || (cur.kind == Atom::kChar && IsCjk(cur.ch[0]));
}

// Greedy wrapping: the longest piece ending at a break opportunity that fits; a word wider than
// the whole line is split between characters so that it stays inside. Blanks at a wrap hang.
void WrapParagraph(const std::vector<Atom>& atoms, long long maxWidth, bool wrap, std::vector<Line>& out) {
  size_t pos = 0;
  const size_t n = atoms.size();
  while (true) {
    Line line;
    size_t end = n;
    bool wrapped = false;
    if (wrap) {
      long long w = 0;
      size_t lastBreak = 0;
      for (size_t j = pos; j < n; ++j) {
        if (j > pos && CanBreakBefore(atoms, j)) lastBreak = j;
        if (j > pos && !atoms[j].IsBlank() && w + atoms[j].width > maxWidth) {
          end = lastBreak > pos ? lastBreak : j;
          wrapped = true;
          break;
        }
        w += atoms[j].width;
      }
    }
    line.atoms.assign(atoms.begin() + static_cast<std::ptrdiff_t>(pos), atoms.begin() + static_cast<std::ptrdiff_t>(end));
    if (wrapped)
      while (!line.atoms.empty() && line.atoms.back().IsBlank()) line.atoms.pop_back();
    out.push_back(std::move(line));
    pos = end;
    if (!wrapped) break;
    while (pos < n && atoms[pos].IsBlank()) ++pos;
    if (pos >= n) break;
  }
}

// Cuts the line so that it fits with "..." after it.
void Ellipsize(Line& line, long long maxWidth, HtmlFonts& fonts, const std::vector<RunStyle>& styles) {
  long long w = 0;
  for (const Atom& a : line.atoms) w += a.width;
  if (w <= maxWidth || line.atoms.empty()) return;
  int style = line.atoms.back().style;
  Atom dot;
  dot.ch[0] = u'.';
  while (!line.atoms.empty()) {
    style = line.atoms.back().style;
    dot.width = fonts.CharWidth(styles[style].font, dot.ch, 1);
    w -= line.atoms.back().width;
    line.atoms.pop_back();
    if (w + 3LL * dot.width <= maxWidth) break;
  }
  dot.style = style;
  dot.width = fonts.CharWidth(styles[style].font, dot.ch, 1);
  line.atoms.insert(line.atoms.end(), 3, dot);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Images

TImageInfo* CRenderEngine::LoadImage(LPCWSTR pstrPath, DWORD dwMask) {
  if (!pstrPath || !*pstrPath) return nullptr;
  HBITMAP png = static_cast<HBITMAP>(::LoadImageW(nullptr, pstrPath, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
  if (!png) return nullptr;
  BITMAP bm{};
  if (::GetObjectW(png, sizeof(bm), &bm) != static_cast<int>(sizeof(bm)) || bm.bmWidth <= 0 || bm.bmHeight <= 0) {
    ::DeleteObject(png);
    return nullptr;
  }
  // Our own DIB section holds the pixels, so that they can be read and edited.
  BITMAPINFO bmi = TopDownInfo(bm.bmWidth, bm.bmHeight);
  void* bits = nullptr;
  HBITMAP dib = ::CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  BITMAP dibInfo{};
  if (!dib || !bits || ::GetObjectW(dib, sizeof(dibInfo), &dibInfo) != static_cast<int>(sizeof(dibInfo))) {
    if (dib) ::DeleteObject(dib);
    ::DeleteObject(png);
    return nullptr;
  }
  HDC src = ::CreateCompatibleDC(nullptr);
  HDC dst = ::CreateCompatibleDC(nullptr);
  HGDIOBJ oldSrc = ::SelectObject(src, png);
  HGDIOBJ oldDst = ::SelectObject(dst, dib);
  BOOL copied = oldSrc && oldDst && ::BitBlt(dst, 0, 0, bm.bmWidth, bm.bmHeight, src, 0, 0, SRCCOPY);
  if (oldSrc) ::SelectObject(src, oldSrc);
  if (oldDst) ::SelectObject(dst, oldDst);
  ::DeleteDC(src);
  ::DeleteDC(dst);
  ::DeleteObject(png);
  if (!copied) {
    ::DeleteObject(dib);
    return nullptr;
  }

  const bool useMask = AlphaOf(dwMask) != 0;
  const uint32_t maskRgb = dwMask & 0x00FFFFFF;
  bool anyAlpha = false;
  auto* base = static_cast<unsigned char*>(bits);
  for (int y = 0; y < bm.bmHeight; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(base + static_cast<size_t>(y) * dibInfo.bmWidthBytes);
    for (int x = 0; x < bm.bmWidth; ++x) {
      uint32_t p = row[x];
      uint32_t a = p >> 24;
      if (useMask && a != 0) {
        uint32_t rgb = p & 0x00FFFFFF;
        if (a != 255) {
          // Compare the colour as drawn, not as stored premultiplied.
          auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
          rgb = un((p >> 16) & 0xFF) << 16 | un((p >> 8) & 0xFF) << 8 | un(p & 0xFF);
        }
        if (rgb == maskRgb) {
          row[x] = 0;
          a = 0;
        }
      }
      if (a != 255) anyAlpha = true;
    }
  }

  auto* info = new TImageInfo;
  info->hBitmap = dib;
  info->nX = bm.bmWidth;
  info->nY = bm.bmHeight;
  info->bAlpha = anyAlpha;
  info->dwMask = dwMask;
  return info;
}

void CRenderEngine::FreeImage(TImageInfo* pImage) {
  if (!pImage) return;
  if (pImage->hBitmap) ::DeleteObject(pImage->hBitmap);
  delete pImage;
}

void CRenderEngine::DrawImage(HDC hDC, HBITMAP hBitmap, const RECT& rc, const RECT& rcPaint, const RECT& rcBmpPart,
                              const RECT& rcCorners, bool bAlpha, BYTE uFade, bool bHole, bool bTiledX,
                              bool bTiledY) {
  if (!hDC || !hBitmap || uFade == 0 || IsEmpty(rc)) return;
  RECT visible{};
  if (!::IntersectRect(&visible, &rc, &rcPaint)) return;
  BITMAP bm{};
  if (::GetObjectW(hBitmap, sizeof(bm), &bm) != static_cast<int>(sizeof(bm))) return;

  RECT part{std::max<LONG>(rcBmpPart.left, 0), std::max<LONG>(rcBmpPart.top, 0),
            std::min<LONG>(rcBmpPart.right, bm.bmWidth), std::min<LONG>(rcBmpPart.bottom, bm.bmHeight)};
  if (IsEmpty(part)) return;
  const long long partW = Width(part), partH = Height(part);
  // Source corners fit the part; destination corners fit rc (scaled down when rc is smaller).
  const long long sl = std::clamp<long long>(rcCorners.left, 0, partW);
  const long long sr = std::clamp<long long>(rcCorners.right, 0, partW - sl);
  const long long st = std::clamp<long long>(rcCorners.top, 0, partH);
  const long long sb = std::clamp<long long>(rcCorners.bottom, 0, partH - st);
  const long long destW = Width(rc), destH = Height(rc);
  const long long dl = std::min(sl, destW);
  const long long dr = std::min(sr, destW - dl);
  const long long dt = std::min(st, destH);
  const long long db = std::min(sb, destH - dt);

  HDC mem = ::CreateCompatibleDC(hDC);
  if (!mem) return;
  HGDIOBJ oldBitmap = ::SelectObject(mem, hBitmap);
  if (!oldBitmap) {
    ::DeleteDC(mem);
    return;
  }
  int saved = ::SaveDC(hDC);
  ::IntersectClipRect(hDC, visible.left, visible.top, visible.right, visible.bottom);

  const bool blend = bAlpha || uFade < 255;
  const BLENDFUNCTION bf{AC_SRC_OVER, 0, uFade, static_cast<BYTE>(bAlpha ? AC_SRC_ALPHA : 0)};
  auto blit = [&](long long dx, long long dy, long long dw, long long dh, long long sx, long long sy, long long sw,
                  long long sh) {
    if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
    if (dx >= visible.right || dy >= visible.bottom || dx + dw <= visible.left || dy + dh <= visible.top) return;
    if (dw > INT_MAX || dh > INT_MAX || dx < INT_MIN || dy < INT_MIN) return;
    int x = static_cast<int>(dx), y = static_cast<int>(dy), w = static_cast<int>(dw), h = static_cast<int>(dh);
    int u = static_cast<int>(sx), v = static_cast<int>(sy), uw = static_cast<int>(sw), vh = static_cast<int>(sh);
    if (blend)
      ::AlphaBlend(hDC, x, y, w, h, mem, u, v, uw, vh, bf);
    else if (w == uw && h == vh)
      ::BitBlt(hDC, x, y, w, h, mem, u, v, SRCCOPY);
    else
      ::StretchBlt(hDC, x, y, w, h, mem, u, v, uw, vh, SRCCOPY);
  };

  const long long x0 = rc.left, x1 = x0 + dl, x3 = rc.right, x2 = x3 - dr;
  const long long y0 = rc.top, y1 = y0 + dt, y3 = rc.bottom, y2 = y3 - db;
  const long long u0 = part.left, u1 = u0 + sl, u3 = part.right, u2 = u3 - sr;
  const long long v0 = part.top, v1 = v0 + st, v3 = part.bottom, v2 = v3 - sb;

  // Corners, then edges, then the middle.
  blit(x0, y0, dl, dt, u0, v0, sl, st);
  blit(x2, y0, dr, dt, u2, v0, sr, st);
  blit(x0, y2, dl, db, u0, v2, sl, sb);
  blit(x2, y2, dr, db, u2, v2, sr, sb);
  blit(x1, y0, x2 - x1, dt, u1, v0, u2 - u1, st);
  blit(x1, y2, x2 - x1, db, u1, v2, u2 - u1, sb);
  blit(x0, y1, dl, y2 - y1, u0, v1, sl, v2 - v1);
  blit(x2, y1, dr, y2 - y1, u2, v1, sr, v2 - v1);

  if (!bHole) {
    const long long midW = x2 - x1, midH = y2 - y1, srcW = u2 - u1, srcH = v2 - v1;
    if (!bTiledX && !bTiledY) {
      blit(x1, y1, midW, midH, u1, v1, srcW, srcH);
    } else if (midW > 0 && midH > 0 && srcW > 0 && srcH > 0) {
      // Tiles at the source's size along the tiled axes; only those that can be seen are drawn.
      const long long tileW = bTiledX ? srcW : midW;
      const long long tileH = bTiledY ? srcH : midH;
      const long long firstX = x1 + std::max<long long>(0, (visible.left - x1) / tileW) * tileW;
      const long long firstY = y1 + std::max<long long>(0, (visible.top - y1) / tileH) * tileH;
      const long long lastX = std::min<long long>(x2, visible.right);
      const long long lastY = std::min<long long>(y2, visible.bottom);
      for (long long y = firstY; y < lastY; y += tileH) {
        const long long h = std::min(tileH, y2 - y);
        for (long long x = firstX; x < lastX; x += tileW) {
          const long long w = std::min(tileW, x2 - x);
          blit(x, y, w, h, u1, v1, bTiledX ? w : srcW, bTiledY ? h : srcH);
        }
      }
    }
  }

  ::RestoreDC(hDC, saved);
  ::SelectObject(mem, oldBitmap);
  ::DeleteDC(mem);
}

namespace {

struct ImageDescription {
  CDuiString file;
  CDuiString restype;
  RECT dest{0, 0, 0, 0};
  bool hasDest = false;
  RECT source{0, 0, 0, 0};
  bool hasSource = false;
  RECT corner{0, 0, 0, 0};
  DWORD mask = 0;
  BYTE fade = 255;
  bool hole = false;
  bool xtiled = false;
  bool ytiled = false;
};

bool IsWhite(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsKeyChar(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

const char16_t* const kImageKeys[] = {u"file", u"restype", u"dest", u"source", u"corner",
                                      u"mask", u"fade",    u"hole", u"xtiled", u"ytiled"};

bool IsImageKey(std::u16string_view key) {
  return std::any_of(std::begin(kImageKeys), std::end(kImageKeys), [&](const char16_t* k) { return key == k; });
}

void ApplyImageKey(std::u16string_view key, const std::u16string& value, ImageDescription& d) {
  LPCWSTR v = value.c_str();
  if (key == u"file") {
    d.file = v;
  } else if (key == u"restype") {
    d.restype = v;
  } else if (key == u"dest") {
    d.dest = dui::ParseRect(v);
    d.hasDest = true;
  } else if (key == u"source") {
    d.source = dui::ParseRect(v);
    d.hasSource = true;
  } else if (key == u"corner") {
    d.corner = dui::ParseRect(v);
  } else if (key == u"mask") {
    while (*v == u' ') ++v;
    if (v[0] == u'0' && (v[1] == u'x' || v[1] == u'X')) v += 2;
    d.mask = dui::ParseColor(v);
  } else if (key == u"fade") {
    d.fade = static_cast<BYTE>(std::clamp(dui::ParseInt(v), 0, 255));
  } else if (key == u"hole") {
    d.hole = dui::ParseBool(v);
  } else if (key == u"xtiled") {
    d.xtiled = dui::ParseBool(v);
  } else if (key == u"ytiled") {
    d.ytiled = dui::ParseBool(v);
  }
}

// A bare file name, or key='value' pairs (quotes ' or "; an unquoted value ends at a blank).
void ParseImageDescription(LPCWSTR text, ImageDescription& d) {
  std::u16string_view s(text);
  while (!s.empty() && IsWhite(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsWhite(s.back())) s.remove_suffix(1);
  if (s.empty()) return;

  // Key-value form when it starts with a known key and '=', or any key and ='.
  size_t k = 0;
  while (k < s.size() && IsKeyChar(s[k])) ++k;
  size_t e = k;
  while (e < s.size() && IsWhite(s[e])) ++e;
  bool pairs = false;
  if (k > 0 && e < s.size() && s[e] == u'=') {
    size_t q = e + 1;
    while (q < s.size() && IsWhite(s[q])) ++q;
    pairs = IsImageKey(s.substr(0, k)) || (q < s.size() && (s[q] == u'\'' || s[q] == u'"'));
  }
  if (!pairs) {
    d.file = CDuiString(s.data(), static_cast<int>(s.size()));
    return;
  }

  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsWhite(s[i])) ++i;
    size_t keyStart = i;
    while (i < s.size() && IsKeyChar(s[i])) ++i;
    if (i == keyStart) {
      ++i;  // stray character
      continue;
    }
    std::u16string_view key = s.substr(keyStart, i - keyStart);
    while (i < s.size() && IsWhite(s[i])) ++i;
    if (i >= s.size() || s[i] != u'=') continue;
    ++i;
    while (i < s.size() && IsWhite(s[i])) ++i;
    std::u16string value;
    if (i < s.size() && (s[i] == u'\'' || s[i] == u'"')) {
      char16_t quote = s[i++];
      size_t close = s.find(quote, i);
      if (close == std::u16string_view::npos) close = s.size();
      value.assign(s.substr(i, close - i));
      i = close < s.size() ? close + 1 : close;
    } else {
      size_t start = i;
      while (i < s.size() && !IsWhite(s[i])) ++i;
      value.assign(s.substr(start, i - start));
    }
    ApplyImageKey(key, value, d);
  }
}

}  // namespace

bool CRenderEngine::DrawImageString(HDC hDC, CPaintManagerUI* pManager, const RECT& rcItem, const RECT& rcPaint,
                                    LPCWSTR pStrImage, LPCWSTR pStrModify) {
  if (!pManager || !pStrImage || !*pStrImage) return false;
  ImageDescription d;
  ParseImageDescription(pStrImage, d);
  if (pStrModify) ParseImageDescription(pStrModify, d);
  if (d.file.IsEmpty()) return false;

  const TImageInfo* image = pManager->GetImageEx(d.file, d.restype.IsEmpty() ? nullptr : d.restype.GetData(), d.mask);
  if (!image || !image->hBitmap) return false;

  RECT dest = rcItem;
  if (d.hasDest) {
    // Relative to the item, and never outside it.
    RECT rel{ClampToInt(static_cast<long long>(rcItem.left) + d.dest.left),
             ClampToInt(static_cast<long long>(rcItem.top) + d.dest.top),
             ClampToInt(static_cast<long long>(rcItem.left) + d.dest.right),
             ClampToInt(static_cast<long long>(rcItem.top) + d.dest.bottom)};
    if (!::IntersectRect(&dest, &rel, &rcItem)) return true;
  }
  RECT source{0, 0, image->nX, image->nY};
  if (d.hasSource) {
    source = RECT{std::max<LONG>(d.source.left, 0), std::max<LONG>(d.source.top, 0),
                  std::min<LONG>(d.source.right, image->nX), std::min<LONG>(d.source.bottom, image->nY)};
    if (IsEmpty(source)) return true;
  }
  DrawImage(hDC, image->hBitmap, dest, rcPaint, source, d.corner, image->bAlpha, d.fade, d.hole, d.xtiled, d.ytiled);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Colours and shapes

void CRenderEngine::DrawColor(HDC hDC, const RECT& rc, DWORD color) {
  const BYTE alpha = AlphaOf(color);
  if (!hDC || alpha == 0 || IsEmpty(rc)) return;
  if (alpha == 255) {
    HBRUSH brush = ::CreateSolidBrush(ToColorRef(color));
    if (!brush) return;
    ::FillRect(hDC, &rc, brush);
    ::DeleteObject(brush);
    return;
  }
  // Blended with a premultiplied tile copied 1:1 (a stretched pixel would be filtered at its edges).
  RECT clip{};
  if (::GetClipBox(hDC, &clip) == ERROR) return;
  RECT area{};
  if (!::IntersectRect(&area, &rc, &clip)) return;
  const int areaW = area.right - area.left, areaH = area.bottom - area.top;
  const int tileW = std::min(areaW, 256), tileH = std::min(areaH, 256);
  BITMAPINFO bmi = TopDownInfo(tileW, tileH);
  void* bits = nullptr;
  HBITMAP tile = ::CreateDIBSection(hDC, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!tile || !bits) {
    if (tile) ::DeleteObject(tile);
    return;
  }
  BITMAP bm{};
  ::GetObjectW(tile, sizeof(bm), &bm);
  HDC mem = ::CreateCompatibleDC(hDC);
  HGDIOBJ old = mem ? ::SelectObject(mem, tile) : nullptr;
  if (old) {
    const uint32_t pixel = Premultiply(color);
    for (int y = 0; y < tileH; ++y) {
      auto* row =
          reinterpret_cast<uint32_t*>(static_cast<unsigned char*>(bits) + static_cast<size_t>(y) * bm.bmWidthBytes);
      std::fill(row, row + tileW, pixel);
    }
    const BLENDFUNCTION bf{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    for (int y = area.top; y < area.bottom; y += tileH) {
      const int h = std::min(tileH, area.bottom - y);
      for (int x = area.left; x < area.right; x += tileW) {
        const int w = std::min(tileW, area.right - x);
        ::AlphaBlend(hDC, x, y, w, h, mem, 0, 0, w, h, bf);
      }
    }
    ::SelectObject(mem, old);
  }
  if (mem) ::DeleteDC(mem);
  ::DeleteObject(tile);
}

void CRenderEngine::DrawLine(HDC hDC, const RECT& rc, int nSize, DWORD dwPenColor, int nStyle) {
  // A pen has no alpha: a partly transparent colour draws opaque, a transparent one not at all.
  if (!hDC || AlphaOf(dwPenColor) == 0) return;
  HPEN pen = ::CreatePen(nStyle, std::max(nSize, 1), ToColorRef(dwPenColor));
  if (!pen) return;
  HGDIOBJ old = ::SelectObject(hDC, pen);
  POINT previous{0, 0};
  ::MoveToEx(hDC, rc.left, rc.top, &previous);
  ::LineTo(hDC, rc.right, rc.bottom);
  ::MoveToEx(hDC, previous.x, previous.y, nullptr);
  if (old) ::SelectObject(hDC, old);
  ::DeleteObject(pen);
}

void CRenderEngine::DrawRect(HDC hDC, const RECT& rc, int nSize, DWORD dwPenColor) {
  if (!hDC || nSize <= 0 || IsEmpty(rc)) return;
  const long long n = nSize;
  if (2 * n >= Width(rc) || 2 * n >= Height(rc)) {
    DrawColor(hDC, rc, dwPenColor);
    return;
  }
  // Four strips that do not overlap, so that a blended frame is even.
  const LONG s = nSize;
  DrawColor(hDC, RECT{rc.left, rc.top, rc.right, rc.top + s}, dwPenColor);
  DrawColor(hDC, RECT{rc.left, rc.bottom - s, rc.right, rc.bottom}, dwPenColor);
  DrawColor(hDC, RECT{rc.left, rc.top + s, rc.left + s, rc.bottom - s}, dwPenColor);
  DrawColor(hDC, RECT{rc.right - s, rc.top + s, rc.right, rc.bottom - s}, dwPenColor);
}

// ---------------------------------------------------------------------------------------------
// Text

void CRenderEngine::DrawTextW(HDC hDC, CPaintManagerUI* pManager, RECT& rc, LPCWSTR pstrText, DWORD dwTextColor,
                              int iFont, UINT uStyle) {
  if (!hDC || !pManager || !pstrText) return;
  HFONT font = pManager->GetFont(iFont);
  HGDIOBJ oldFont = font ? ::SelectObject(hDC, font) : nullptr;
  if (uStyle & DT_CALCRECT) {
    ::DrawTextW(hDC, pstrText, -1, &rc, uStyle | DT_NOPREFIX);
  } else {
    int oldMode = ::SetBkMode(hDC, TRANSPARENT);
    COLORREF oldColor = ::SetTextColor(hDC, ToColorRef(dwTextColor));
    ::DrawTextW(hDC, pstrText, -1, &rc, uStyle | DT_NOPREFIX);
    ::SetTextColor(hDC, oldColor);
    if (oldMode) ::SetBkMode(hDC, oldMode);
  }
  if (oldFont) ::SelectObject(hDC, oldFont);
}

SIZE CRenderEngine::GetTextSize(HDC hDC, CPaintManagerUI* pManager, LPCWSTR pstrText, int iFont, UINT uStyle) {
  (void)uStyle;  // always measured as one line
  SIZE size{0, 0};
  if (!hDC || !pManager || !pstrText) return size;
  HFONT font = pManager->GetFont(iFont);
  HGDIOBJ oldFont = font ? ::SelectObject(hDC, font) : nullptr;
  int length = static_cast<int>(std::min<size_t>(std::char_traits<char16_t>::length(pstrText), INT_MAX));
  if (!::GetTextExtentPoint32W(hDC, pstrText, length, &size)) size = SIZE{0, 0};
  if (oldFont) ::SelectObject(hDC, oldFont);
  return size;
}

void CRenderEngine::DrawHtmlText(HDC hDC, CPaintManagerUI* pManager, RECT& rc, LPCWSTR pstrText, DWORD dwTextColor,
                                 RECT* pLinks, CDuiString* sLinks, int& nLinkRects, UINT uStyle) {
  const int linkCapacity = pLinks ? std::max(nLinkRects, 0) : 0;
  nLinkRects = 0;
  if (!hDC || !pManager || !pstrText) return;

  const bool calcOnly = (uStyle & DT_CALCRECT) != 0;
  const bool singleLine = (uStyle & DT_SINGLELINE) != 0;
  const long long maxWidth = Width(rc);
  const bool wrap = (uStyle & DT_WORDBREAK) && !singleLine && maxWidth > 0;

  HGDIOBJ oldFont = ::GetCurrentObject(hDC, OBJ_FONT);
  const int saved = ::SaveDC(hDC);
  {
    HtmlFonts fonts(hDC);
    HtmlParser parser(pManager, fonts, dwTextColor, singleLine);
    parser.Parse(std::u16string_view(pstrText));
    const std::vector<RunStyle>& styles = parser.Styles();

    std::vector<Line> lines;
    size_t emptyCount = 0;
    for (std::vector<Atom>& paragraph : parser.Paragraphs()) {
      if (paragraph.empty()) {
        Line line;
        line.emptyStyle = parser.EmptyParagraphStyle(emptyCount++);
        lines.push_back(std::move(line));
        continue;
      }
      WrapParagraph(paragraph, maxWidth, wrap, lines);
    }

    long long widest = 0, total = 0;
    for (Line& line : lines) {
      if ((uStyle & DT_END_ELLIPSIS) && maxWidth > 0 && !wrap) Ellipsize(line, maxWidth, fonts, styles);
      for (const Atom& a : line.atoms) {
        line.width += a.width;
        const TEXTMETRICW& tm = fonts.Metrics(styles[a.style].font);
        line.ascent = std::max<int>(line.ascent, tm.tmAscent);
        line.descent = std::max<int>(line.descent, tm.tmHeight - tm.tmAscent);
      }
      if (line.atoms.empty()) {
        const TEXTMETRICW& tm = fonts.Metrics(styles[line.emptyStyle].font);
        line.ascent = tm.tmAscent;
        line.descent = tm.tmHeight - tm.tmAscent;
      }
      widest = std::max(widest, line.width);
      total += line.ascent + line.descent;
    }

    if (calcOnly) {
      rc.right = ClampToInt(rc.left + widest);
      rc.bottom = ClampToInt(rc.top + total);
    } else {
      ::IntersectClipRect(hDC, rc.left, rc.top, rc.right, rc.bottom);
      ::SetBkMode(hDC, TRANSPARENT);
      long long top = rc.top;
      if (uStyle & DT_VCENTER)
        top = rc.top + (Height(rc) - total) / 2;
      else if (uStyle & DT_BOTTOM)
        top = rc.bottom - total;

      const std::vector<CDuiString>& linkNames = parser.LinkNames();
      std::u16string run;
      for (const Line& line : lines) {
        const long long lineHeight = line.ascent + line.descent;
        long long x = rc.left;
        if (uStyle & DT_CENTER)
          x = rc.left + (maxWidth - line.width) / 2;
        else if (uStyle & DT_RIGHT)
          x = rc.right - line.width;

        int linkOpen = -1;
        long long linkStart = 0;
        auto closeLink = [&](long long end) {
          if (linkOpen < 0) return;
          if (nLinkRects < linkCapacity) {
            pLinks[nLinkRects] = RECT{ClampToInt(linkStart), ClampToInt(top), ClampToInt(end),
                                      ClampToInt(top + lineHeight)};
            if (sLinks) sLinks[nLinkRects] = linkNames[linkOpen];
            ++nLinkRects;
          }
          linkOpen = -1;
        };

        for (size_t i = 0; i < line.atoms.size();) {
          const Atom& first = line.atoms[i];
          const RunStyle& style = styles[first.style];
          if (style.link != linkOpen) {
            closeLink(x);
            if (style.link >= 0) {
              linkOpen = style.link;
              linkStart = x;
            }
          }
          if (first.kind == Atom::kSpace) {
            x += first.width;
            ++i;
            continue;
          }
          // One TextOutW per run of characters in one style.
          run.clear();
          long long runWidth = 0;
          size_t j = i;
          while (j < line.atoms.size() && line.atoms[j].kind == Atom::kChar && line.atoms[j].style == first.style) {
            run.append(line.atoms[j].ch, line.atoms[j].len);
            runWidth += line.atoms[j].width;
            ++j;
          }
          const TEXTMETRICW& tm = fonts.Metrics(style.font);
          fonts.Select(style.font);
          ::SetTextColor(hDC, style.color);
          ::TextOutW(hDC, ClampToInt(x), ClampToInt(top + line.ascent - tm.tmAscent), run.data(),
                     static_cast<int>(run.size()));
          x += runWidth;
          i = j;
        }
        closeLink(x);
        top += lineHeight;
      }
    }
    ::RestoreDC(hDC, saved);
    if (oldFont) ::SelectObject(hDC, oldFont);
  }  // derived fonts are deleted here, no longer selected anywhere
}
