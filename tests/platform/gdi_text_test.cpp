// Fonts and text: metrics, measuring that adds up, drawing within the measured extent, DrawTextW.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/testing.h"
#include "platform/testing_gdi.h"
#include "platform/win32.h"
#include "support/WindowFixture.h"

namespace {

const char16_t kWelcome[] = u"欢迎使用Qv直播助手";

HFONT MakeFont(LONG height, const char16_t* face = u"宋体", LONG weight = 0) {
  LOGFONTW lf{};
  lf.lfHeight = height;
  lf.lfWeight = weight;
  std::u16string f(face);
  std::copy(f.begin(), f.end(), lf.lfFaceName);
  return CreateFontIndirectW(&lf);
}

// A white memory DC with a font selected, black text, transparent background.
class TextCanvas : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  }
  void SetUp() override { Make(400, 60, 13); }
  void TearDown() override { Release(); }
  void Make(int w, int h, LONG height) {
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateCompatibleBitmap(dc_, w, h);
    oldBitmap_ = SelectObject(dc_, bitmap_);
    font_ = MakeFont(height);
    oldFont_ = SelectObject(dc_, font_);
    w_ = w;
    h_ = h;
    Clear();
    SetBkMode(dc_, TRANSPARENT);
    SetTextColor(dc_, RGB(0, 0, 0));
  }
  void Release() {
    SelectObject(dc_, oldFont_);
    SelectObject(dc_, oldBitmap_);
    DeleteObject(font_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  void Clear() {
    RECT all{0, 0, w_, h_};
    FillRect(dc_, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  // White with a dark and a light band across the middle: text is blended over several colours.
  void Backdrop() {
    Clear();
    for (auto [left, colour] : {std::pair<int, COLORREF>{60, RGB(20, 60, 160)}, {120, RGB(250, 200, 0)}}) {
      RECT band{left, 0, left + 60, h_};
      HBRUSH brush = CreateSolidBrush(colour);
      FillRect(dc_, &band, brush);
      DeleteObject(brush);
    }
  }
  SIZE Measure(const std::u16string& s) {
    SIZE size{-1, -1};
    EXPECT_TRUE(GetTextExtentPoint32W(dc_, s.data(), static_cast<int>(s.size()), &size));
    return size;
  }
  // The bounding box of the non-white pixels.
  RECT Ink() {
    RECT ink{w_, h_, -1, -1};
    for (int y = 0; y < h_; ++y)
      for (int x = 0; x < w_; ++x)
        if (GetPixel(dc_, x, y) != RGB(255, 255, 255)) {
          ink.left = std::min<LONG>(ink.left, x);
          ink.top = std::min<LONG>(ink.top, y);
          ink.right = std::max<LONG>(ink.right, x + 1);
          ink.bottom = std::max<LONG>(ink.bottom, y + 1);
        }
    return ink;
  }
  void Draw(int x, int y, const std::u16string& s) {
    ASSERT_TRUE(TextOutW(dc_, x, y, s.data(), static_cast<int>(s.size())));
  }
  std::vector<COLORREF> Pixels() {
    std::vector<COLORREF> out;
    for (int y = 0; y < h_; ++y)
      for (int x = 0; x < w_; ++x) out.push_back(GetPixel(dc_, x, y));
    return out;
  }
  bool RowsInked(int top, int bottom) {
    for (int y = std::max(0, top); y < std::min(h_, bottom); ++y)
      if (InkPixelsInRow(y)) return true;
    return false;
  }
  int InkPixelsInRow(int y) {
    int n = 0;
    for (int x = 0; x < w_; ++x) n += GetPixel(dc_, x, y) != RGB(255, 255, 255);
    return n;
  }
  int InkPixels(int left, int right) {
    int n = 0;
    for (int y = 0; y < h_; ++y)
      for (int x = left; x < right; ++x) n += GetPixel(dc_, x, y) != RGB(255, 255, 255);
    return n;
  }

  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HFONT font_ = nullptr;
  HGDIOBJ oldBitmap_ = nullptr, oldFont_ = nullptr;
  int w_ = 0, h_ = 0;
};

}  // namespace

TEST_F(TextCanvas, PositiveHeightIsTheCellHeightAndNegativeTheEmHeight) {
  TEXTMETRICW tm{};
  ASSERT_TRUE(GetTextMetricsW(dc_, &tm));
  EXPECT_EQ(13, tm.tmHeight);
  EXPECT_EQ(tm.tmHeight, tm.tmAscent + tm.tmDescent);
  EXPECT_GT(tm.tmAveCharWidth, 0);
  HFONT em = MakeFont(-13);
  HGDIOBJ old = SelectObject(dc_, em);
  TEXTMETRICW tm2{};
  GetTextMetricsW(dc_, &tm2);
  EXPECT_GE(tm2.tmHeight, 13);
  EXPECT_EQ(tm2.tmHeight - tm2.tmInternalLeading, 13);
  SelectObject(dc_, old);
  DeleteObject(em);
  LOGFONTW back{};
  ASSERT_EQ(static_cast<int>(sizeof(LOGFONTW)), GetObjectW(font_, sizeof(back), &back));
  EXPECT_EQ(13, back.lfHeight);
  EXPECT_EQ(std::u16string(u"宋体"), std::u16string(back.lfFaceName));
}

TEST_F(TextCanvas, WidthsAddUpPieceByPieceAndPrefixesNeverExceedTheWhole) {
  for (std::u16string s : {std::u16string(kWelcome), std::u16string(u"Hello, world! WAVE fi ffl"),
                           std::u16string(u"主播Anchor说：今天PK赢了吗？ok")}) {
    SIZE whole = Measure(s);
    int sum = 0;
    for (size_t i = 0; i < s.size(); ++i) sum += Measure(s.substr(i, 1)).cx;
    EXPECT_EQ(whole.cx, sum) << std::string(s.begin(), s.end()).size();
    for (size_t cut = 1; cut < s.size(); ++cut) {
      SIZE prefix = Measure(s.substr(0, cut));
      EXPECT_LE(prefix.cx, whole.cx);
      EXPECT_EQ(prefix.cx + Measure(s.substr(cut)).cx, whole.cx);
      EXPECT_EQ(whole.cy, prefix.cy);
    }
  }
  EXPECT_EQ(0, Measure(u"").cx);
  EXPECT_EQ(13, Measure(u"").cy);
  EXPECT_EQ(13, Measure(u"gÅ").cy);
}

TEST_F(TextCanvas, SurrogatePairsMeasureAsOneCharacter) {
  std::u16string pair = u"\U0001F600";  // outside the BMP
  ASSERT_EQ(2u, pair.size());
  SIZE both = Measure(pair);
  EXPECT_GT(both.cx, 0);
  EXPECT_EQ(Measure(u"a" + pair + u"b").cx, Measure(u"a").cx + both.cx + Measure(u"b").cx);
  // A lone surrogate is measured as a replacement character, never read past.
  EXPECT_GT(Measure(pair.substr(0, 1)).cx, 0);
}

TEST_F(TextCanvas, CjkTextDrawsGlyphsInsideItsMeasuredExtent) {
  SIZE size = Measure(kWelcome);
  ASSERT_GT(size.cx, 9 * 8);  // 8 ideographs, each about an em wide
  ASSERT_TRUE(TextOutW(dc_, 10, 20, kWelcome, static_cast<int>(std::u16string(kWelcome).size())));
  RECT ink = Ink();
  ASSERT_LT(ink.left, ink.right) << "nothing drawn";
  EXPECT_GE(ink.left, 10);
  EXPECT_LE(ink.right, 10 + size.cx);
  EXPECT_GE(ink.top, 20);
  EXPECT_LE(ink.bottom, 20 + size.cy);
  EXPECT_GT(ink.right - ink.left, size.cx - 4);
  // Each ideograph cell holds a glyph of its own shape: different ideographs differ in ink, and
  // none is an empty or a hollow box.
  int cell = Measure(u"欢").cx;
  int first = InkPixels(10, 10 + cell);
  int second = InkPixels(10 + cell, 10 + 2 * cell);
  EXPECT_GT(first, 15);
  EXPECT_GT(second, 15);
  Clear();
  TextOutW(dc_, 10, 20, u"一", 1);
  int one = InkPixels(0, w_);
  Clear();
  TextOutW(dc_, 10, 20, u"播", 1);
  int bo = InkPixels(0, w_);
  EXPECT_LT(one * 2, bo) << "the ideographs look alike: a fallback box?";
}

TEST_F(TextCanvas, OpaqueBackgroundFillsTheMeasuredCell) {
  SetBkMode(dc_, OPAQUE);
  SetBkColor(dc_, RGB(255, 0, 0));
  SetTextColor(dc_, RGB(0, 0, 255));
  SIZE size = Measure(u"Qv");
  TextOutW(dc_, 5, 5, u"Qv", 2);
  const COLORREF red = RGB(255, 0, 0), white = RGB(255, 255, 255);
  EXPECT_EQ(red, GetPixel(dc_, 5, 5));
  EXPECT_EQ(red, GetPixel(dc_, 5 + size.cx - 1, 5));
  EXPECT_EQ(red, GetPixel(dc_, 5, 5 + size.cy - 1));
  EXPECT_EQ(white, GetPixel(dc_, 4, 5));
  EXPECT_EQ(white, GetPixel(dc_, 5 + size.cx, 5));
  EXPECT_EQ(white, GetPixel(dc_, 5, 5 + size.cy));
  RECT ink = Ink();
  EXPECT_EQ(5 + size.cy, ink.bottom);  // glyphs never leave the cell's rows
}

TEST_F(TextCanvas, DrawTextCalcRectAndCentring) {
  SIZE size = Measure(u"连接房间失败");
  RECT calc{10, 10, 10, 10};
  int h = DrawTextW(dc_, u"连接房间失败", -1, &calc, DT_SINGLELINE | DT_CALCRECT);
  EXPECT_EQ(size.cy, h);
  EXPECT_EQ(10 + size.cx, calc.right);
  EXPECT_EQ(10 + size.cy, calc.bottom);
  EXPECT_EQ(RGB(255, 255, 255), GetPixel(dc_, 15, 15)) << "DT_CALCRECT draws nothing";

  RECT box{0, 0, 300, 40};
  DrawTextW(dc_, u"连接房间失败", -1, &box, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  RECT ink = Ink();
  int left = (300 - size.cx) / 2, top = (40 - size.cy) / 2;
  EXPECT_GE(ink.left, left);
  EXPECT_LE(ink.right, left + size.cx);
  EXPECT_GE(ink.top, top);
  EXPECT_LE(ink.bottom, top + size.cy);
  EXPECT_LE(std::abs((ink.left + ink.right) - 300), 3);

  Clear();
  DrawTextW(dc_, u"abc", -1, &box, DT_SINGLELINE | DT_RIGHT | DT_BOTTOM);
  ink = Ink();
  EXPECT_LE(ink.right, 300);
  EXPECT_GE(ink.left, 300 - Measure(u"abc").cx);
  EXPECT_GE(ink.top, 40 - size.cy);
}

TEST_F(TextCanvas, DrawTextWordBreakWrapsAtSpacesAndBetweenIdeographs) {
  int widest = std::max({Measure(u"alpha").cx, Measure(u"beta").cx, Measure(u"gamma").cx});
  RECT calc{0, 0, widest + Measure(u" b").cx - 1, 0};
  int h = DrawTextW(dc_, u"alpha beta gamma", -1, &calc, DT_WORDBREAK | DT_CALCRECT);
  EXPECT_EQ(3 * 13, h);
  EXPECT_EQ(widest, calc.right);
  // A word wider than the rectangle stays whole on a line of its own.
  RECT tight{0, 0, 5, 0};
  EXPECT_EQ(2 * 13, DrawTextW(dc_, u"alpha beta", -1, &tight, DT_WORDBREAK | DT_CALCRECT));

  int ideograph = Measure(u"直").cx;
  RECT narrow{0, 0, ideograph * 3, 0};
  EXPECT_EQ(3 * 13, DrawTextW(dc_, u"欢迎使用直播助手", -1, &narrow, DT_WORDBREAK | DT_CALCRECT));
  EXPECT_EQ(ideograph * 3, narrow.right);
  // Explicit line breaks count without DT_WORDBREAK, and not with DT_SINGLELINE.
  RECT lines{0, 0, 200, 0};
  EXPECT_EQ(2 * 13, DrawTextW(dc_, u"one\r\ntwo", -1, &lines, DT_CALCRECT));
  EXPECT_EQ(13, DrawTextW(dc_, u"one\r\ntwo", -1, &lines, DT_CALCRECT | DT_SINGLELINE));
}

TEST_F(TextCanvas, DrawTextEllipsisAndPrefixes) {
  RECT box{0, 0, Measure(u"abcdef").cx, 20};
  RECT calc = box;
  DrawTextW(dc_, u"abcdefghijklmnop", -1, &calc, DT_SINGLELINE | DT_END_ELLIPSIS | DT_CALCRECT);
  EXPECT_LE(calc.right, box.right);
  DrawTextW(dc_, u"abcdefghijklmnop", -1, &box, DT_SINGLELINE | DT_END_ELLIPSIS);
  EXPECT_LE(Ink().right, box.right);

  // "&&" is one ampersand; with DT_NOPREFIX the text stands as written.
  RECT a{0, 0, 200, 20}, b{0, 0, 200, 20};
  DrawTextW(dc_, u"R&&D", -1, &a, DT_SINGLELINE | DT_CALCRECT);
  DrawTextW(dc_, u"R&&D", -1, &b, DT_SINGLELINE | DT_CALCRECT | DT_NOPREFIX);
  EXPECT_EQ(Measure(u"R&D").cx, a.right);
  EXPECT_EQ(Measure(u"R&&D").cx, b.right);
  // "&F" underlines F below the baseline.
  Clear();
  RECT c{0, 0, 200, 30};
  DrawTextW(dc_, u"&File", -1, &c, DT_SINGLELINE);
  TEXTMETRICW tm;
  GetTextMetricsW(dc_, &tm);
  EXPECT_NE(RGB(255, 255, 255), GetPixel(dc_, 1, tm.tmAscent + 1));
}

TEST(GdiFonts, EveryStringOfOneFontHasTheSameHeight) {
  qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  HDC dc = CreateCompatibleDC(nullptr);
  for (LONG height : {12, 13, -12, 20}) {
    HFONT font = MakeFont(height);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE a, b, c;
    GetTextExtentPoint32W(dc, u"a", 1, &a);
    GetTextExtentPoint32W(dc, u"国", 1, &b);
    GetTextExtentPoint32W(dc, u"\U0001F600gÉ", 4, &c);
    EXPECT_EQ(a.cy, b.cy);
    EXPECT_EQ(a.cy, c.cy);
    if (height > 0) {
      EXPECT_EQ(height, a.cy);
    }
    SelectObject(dc, old);
    DeleteObject(font);
  }
  DeleteDC(dc);
}

TEST(GdiFonts, BadArgumentsFailCleanly) {
  HDC dc = CreateCompatibleDC(nullptr);
  SIZE size;
  EXPECT_FALSE(GetTextExtentPoint32W(dc, u"a", -1, &size));
  EXPECT_FALSE(GetTextExtentPoint32W(dc, nullptr, 3, &size));
  EXPECT_FALSE(TextOutW(dc, 0, 0, nullptr, 2));
  EXPECT_EQ(nullptr, CreateFontIndirectW(nullptr));
  DeleteDC(dc);
  EXPECT_FALSE(GetTextExtentPoint32W(dc, u"a", 1, &size));
}

// A font's shaped runs and measured widths are cached while it lives and go with it; a font of the
// same description made again draws the same pixels.
TEST(GdiFonts, CachedRunsGoWithTheirFont) {
  qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, 120, 20);
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  auto drawOnce = [&](std::vector<COLORREF>& pixels) {
    HFONT font = MakeFont(-17);  // a size no other test uses
    HGDIOBJ old = SelectObject(dc, font);
    RECT all{0, 0, 120, 20};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    TextOutW(dc, 0, 0, u"缓存的字形run", 8);
    SIZE size;
    GetTextExtentPoint32W(dc, u"缓存", 2, &size);
    size_t withFont = qvplatform::testing::CachedTextRuns();
    pixels.clear();
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 120; ++x) pixels.push_back(GetPixel(dc, x, y));
    SelectObject(dc, old);
    DeleteObject(font);
    return withFont;
  };
  const size_t before = qvplatform::testing::CachedTextRuns();
  std::vector<COLORREF> first, second;
  EXPECT_GE(drawOnce(first), before + 2);  // the drawn run and the measured width
  EXPECT_EQ(before, qvplatform::testing::CachedTextRuns());
  drawOnce(second);
  EXPECT_EQ(first, second);
  EXPECT_EQ(before, qvplatform::testing::CachedTextRuns());
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
}

// Ideographs and Latin whose glyphs' ink boxes meet ("ok!", "fij"): a run of several parts, drawn
// from its cache after the first time.
const char16_t kMixed[] = u"主播Anchor说今天PK赢了吗？ok! fij";
const char16_t kTall[] = u"\u1EAA\u01FA";  // Ẫ Ǻ: two marks above rise past the cell's top

TEST_F(TextCanvas, ARunDrawsTheSameEveryTimeAndAtEveryPlace) {
  Draw(10, 20, kMixed);
  const std::vector<COLORREF> first = Pixels();
  ASSERT_TRUE(RowsInked(20, 40)) << "nothing drawn";
  Clear();
  Draw(10, 20, kMixed);
  EXPECT_EQ(Pixels(), first) << "drawn again from the cache, the run differs";
  for (int dx : {1, 3, 8})
    for (int dy : {0, 5}) {
      Clear();
      Draw(10 + dx, 20 + dy, kMixed);
      const std::vector<COLORREF> moved = Pixels();
      int differing = 0;
      for (int y = 0; y + dy < h_; ++y)
        for (int x = 0; x + dx < w_; ++x)
          differing += first[static_cast<size_t>(y) * w_ + x] != moved[static_cast<size_t>(y + dy) * w_ + x + dx];
      EXPECT_EQ(differing, 0) << "moved by " << dx << "," << dy;
    }
}

// The cell holds its glyphs: ink beyond its rows is cut off, and the cut leaves later text alone.
TEST_F(TextCanvas, InkBeyondTheCellRowsIsCutOffAndTheCutEndsWithTheRun) {
  TEXTMETRICW tm{};
  ASSERT_TRUE(GetTextMetricsW(dc_, &tm));
  const int top = 30;
  for (const std::u16string& s : {std::u16string(kTall), u"ok " + std::u16string(kTall) + u" 主播"}) {
    Clear();
    Draw(20, top, s);
    EXPECT_FALSE(RowsInked(0, top)) << "ink above the cell";
    EXPECT_FALSE(RowsInked(top + tm.tmHeight, h_)) << "ink below the cell";
    EXPECT_TRUE(RowsInked(top, top + 1)) << "the marks do not reach the cell's top row";
  }
  Draw(20, 5, kMixed);  // wholly above the cut run's cell
  EXPECT_TRUE(RowsInked(5, 18));
}

namespace {

size_t Differing(const std::vector<COLORREF>& a, const std::vector<COLORREF>& b) {
  if (a.size() != b.size()) return std::max(a.size(), b.size());
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
  return n;
}

const std::u16string kLines[] = {kMixed, u"ok " + std::u16string(kTall) + u" 主播"};

}  // namespace

// A run drawn again comes from the coverage its second draw rendered: wherever it lands, in any
// colour, over any background, the pixels are those of its glyphs (what a first draw gives).
TEST_F(TextCanvas, ARunDrawnFromItsCoverageMatchesItsGlyphsPixelForPixel) {
  const int xs[] = {0, 7, 10, 33};
  const COLORREF colours[] = {RGB(0, 0, 0), RGB(230, 40, 120)};
  auto paint = [&](HFONT font, const std::u16string& line, int x, COLORREF colour) {
    HGDIOBJ old = SelectObject(dc_, font);
    Backdrop();
    SetTextColor(dc_, colour);
    Draw(x, 20, line);
    SelectObject(dc_, old);
    return Pixels();
  };
  for (const std::u16string& line : kLines) {
    // The glyphs: each by a font of its own (a size no other test keeps), so each is a first draw.
    std::vector<std::vector<COLORREF>> glyphs;
    for (COLORREF colour : colours)
      for (int x : xs) {
        HFONT fresh = MakeFont(-15);
        glyphs.push_back(paint(fresh, line, x, colour));
        DeleteObject(fresh);
      }
    HFONT font = MakeFont(-15);
    const size_t before = qvplatform::testing::CachedTextMaskBytes();
    paint(font, line, 20, colours[1]);
    EXPECT_EQ(qvplatform::testing::CachedTextMaskBytes(), before) << "coverage kept of a line drawn once";
    paint(font, line, 20, colours[1]);
    EXPECT_GT(qvplatform::testing::CachedTextMaskBytes(), before) << "no coverage kept";
    size_t i = 0;
    for (COLORREF colour : colours)
      for (int x : xs)
        EXPECT_EQ(0u, Differing(paint(font, line, x, colour), glyphs[i++]))
            << "at x " << x << ", colour " << std::hex << colour << ", line " << std::dec << line.size();
    DeleteObject(font);
  }
}

// At a display scale of 1.5 an odd logical x is a half device pixel: such a run is drawn from its
// glyphs (coverage rendered at whole pixels would land half a pixel off), an even x from its
// coverage; both give the glyphs' pixels.
TEST(GdiTextAtScale, OddAndEvenPlacesAtAFractionalScaleDrawTheirGlyphs) {
  qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  ASSERT_TRUE(qvplatform::testing::SetHeadlessScale(1.5));
  struct Unscale {
    ~Unscale() { qvplatform::testing::SetHeadlessScale(1.0); }
  } unscale;
  qvtest::RecordingWindows windows;
  HWND hwnd = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, RECT{10, 10, 310, 60});
  auto paint = [&](HFONT font, const std::u16string& line, int x, int y) {
    HDC dc = GetDC(hwnd);
    RECT all{0, 0, 300, 50};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(20, 20, 90));
    TextOutW(dc, x, y, line.data(), static_cast<int>(line.size()));
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    qvplatform::testing::Image image;
    EXPECT_TRUE(qvplatform::testing::ReadWindowPixels(hwnd, image));
    EXPECT_EQ(450, image.width);
    return image.pixels;
  };
  const std::pair<int, int> places[] = {{10, 8}, {11, 8}, {14, 8}, {17, 8}, {12, 9}};
  for (const std::u16string& line : kLines) {
    std::vector<std::vector<uint32_t>> glyphs;
    for (auto [x, y] : places) {
      HFONT fresh = MakeFont(-15);
      const size_t before = qvplatform::testing::CachedTextMaskBytes();
      glyphs.push_back(paint(fresh, line, x, y));
      paint(fresh, line, x, y);  // the second draw makes the coverage where it can
      const bool whole = x % 2 == 0 && y % 2 == 0;
      EXPECT_EQ(whole, qvplatform::testing::CachedTextMaskBytes() > before) << "at " << x << "," << y;
      DeleteObject(fresh);
    }
    HFONT font = MakeFont(-15);
    paint(font, line, 10, 8);
    size_t i = 0;
    for (auto [x, y] : places) {
      const std::vector<uint32_t> drawn = paint(font, line, x, y);
      size_t differing = 0;
      for (size_t p = 0; p < drawn.size() && p < glyphs[i].size(); ++p) differing += drawn[p] != glyphs[i][p];
      EXPECT_EQ(0u, differing) << "at " << x << "," << y << ", line " << line.size();
      ++i;
    }
    DeleteObject(font);
  }
}

// Rendered coverage takes bounded memory: a font keeps well under a megabyte of it however many
// lines it draws, and none for a run too large; a line whose coverage was dropped draws the same.
TEST_F(TextCanvas, CachedCoverageStaysBoundedPerFont) {
  const size_t before = qvplatform::testing::CachedTextMaskBytes();
  HFONT font = MakeFont(-15);
  HGDIOBJ old = SelectObject(dc_, font);
  Draw(0, 20, kMixed);
  const std::vector<COLORREF> first = Pixels();
  size_t most = 0;
  for (int i = 0; i < 400; ++i) {
    std::u16string line = u"第000条：主播Anchor说今天PK赢了吗？ok!";  // each line another
    line[1] = static_cast<char16_t>(u'0' + i / 100);
    line[2] = static_cast<char16_t>(u'0' + i / 10 % 10);
    line[3] = static_cast<char16_t>(u'0' + i % 10);
    Draw(0, 20, line);
    Draw(0, 20, line);  // the second draw keeps the coverage
    most = std::max(most, qvplatform::testing::CachedTextMaskBytes() - before);
  }
  EXPECT_GT(most, 100u * 1024) << "lines drawn keep no coverage";
  EXPECT_LT(most, 1024u * 1024);
  Clear();
  Draw(0, 20, kMixed);
  EXPECT_EQ(0u, Differing(Pixels(), first));
  Clear();
  Draw(0, 20, kMixed);
  EXPECT_EQ(0u, Differing(Pixels(), first));
  SelectObject(dc_, old);
  DeleteObject(font);

  HFONT huge = MakeFont(-120);
  old = SelectObject(dc_, huge);
  const size_t without = qvplatform::testing::CachedTextMaskBytes();
  Clear();
  Draw(0, 0, u"欢迎使用Qv直播助手");
  const std::vector<COLORREF> once = Pixels();
  Clear();
  Draw(0, 0, u"欢迎使用Qv直播助手");
  EXPECT_EQ(without, qvplatform::testing::CachedTextMaskBytes());
  EXPECT_EQ(0u, Differing(Pixels(), once));
  SelectObject(dc_, old);
  DeleteObject(huge);
}
