#include "dui/RenderEngine.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "dui/PaintManagerUI.h"
#include "platform/gdi_dib.h"
#include "platform/testing_gdi.h"
#include "support/TempFolder.h"
#include "support/WindowFixture.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF;

int R(uint32_t p) { return (p >> 16) & 0xFF; }
int G(uint32_t p) { return (p >> 8) & 0xFF; }
int B(uint32_t p) { return p & 0xFF; }

// A top-down 32-bit DIB selected into a memory DC, filled opaque white; pixels read as 0xAARRGGBB.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  uint32_t* bits = nullptr;
  int width, height;
  Canvas(int w, int h) : width(w), height(h) {
    dc = CreateCompatibleDC(nullptr);
    bitmap = TopDownDib(dc, w, h, &bits);
    old = SelectObject(dc, bitmap);
    Clear();
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  // Through GDI, not the bits: the layer takes a DIB that was never drawn on for an empty one.
  void Clear() {
    RECT all{0, 0, width, height};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  uint32_t At(int x, int y) const { return bits[y * width + x]; }
  // The bounding box of every pixel that is not white (empty when none).
  RECT Ink() const {
    RECT box{width, height, 0, 0};
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        if (At(x, y) != kWhite) box = RECT{std::min<LONG>(box.left, x), std::min<LONG>(box.top, y),
                                           std::max<LONG>(box.right, x + 1), std::max<LONG>(box.bottom, y + 1)};
    return box.right > box.left ? box : RECT{0, 0, 0, 0};
  }
  // The ink pixel with the least of one channel: the text colour where the glyphs are solid.
  uint32_t Darkest(int (*channel)(uint32_t)) const {
    uint32_t best = kWhite;
    for (int i = 0; i < width * height; ++i)
      if (channel(bits[i]) < channel(best)) best = bits[i];
    return best;
  }
};

void ExpectNear(uint32_t actual, uint32_t expected) {
  for (auto channel : {R, G, B}) EXPECT_NEAR(channel(actual), channel(expected), 2) << std::hex << actual;
}

class RenderEngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  }
  void SetUp() override {
    hwnd_ = windows_.Create(WS_POPUP, 0, nullptr, RECT{0, 0, 200, 100});
    ASSERT_NE(nullptr, hwnd_);
    pm_.Init(hwnd_);
    std::string dir = folder_.Path().string();
    CPaintManagerUI::SetResourcePath(std::u16string(dir.begin(), dir.end()).c_str());
    pm_.AddFont(u"宋体", 20, false, false, false);  // font 0, larger than the default
  }
  void TearDown() override {
    pm_.Init(nullptr);
    DestroyWindow(hwnd_);
  }

  // Writes a PNG from straight (not premultiplied) 0xAARRGGBB pixels.
  void WritePng(const char* name, int w, int h, const std::function<uint32_t(int, int)>& pixel) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    auto* data = cairo_image_surface_get_data(s);
    int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint32_t p = pixel(x, y), a = p >> 24;
        auto pm = [a](uint32_t c) { return (c * a + 127) / 255; };
        reinterpret_cast<uint32_t*>(data + y * stride)[x] = a << 24 | pm(R(p)) << 16 | pm(G(p)) << 8 | pm(B(p));
      }
    cairo_surface_mark_dirty(s);
    ASSERT_EQ(CAIRO_STATUS_SUCCESS, cairo_surface_write_to_png(s, (folder_.Path() / name).string().c_str()));
    cairo_surface_destroy(s);
  }

  // A 9x9 image of nine 3x3 blocks, each its own colour: the nine-patch pieces are easy to tell.
  static uint32_t Block(int x, int y) {
    static const uint32_t colours[9] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFF00, 0xFF00FFFF,
                                        0xFFFF00FF, 0xFF800000, 0xFF008000, 0xFF000080};
    return colours[(y / 3) * 3 + x / 3];
  }

  SIZE Extent(const char16_t* text, int font = -1) {
    return CRenderEngine::GetTextSize(canvas_.dc, &pm_, text, font, DT_SINGLELINE);
  }
  RECT Calc(const char16_t* html, RECT rc, UINT style = DT_SINGLELINE) {
    int links = 0;
    CRenderEngine::DrawHtmlText(canvas_.dc, &pm_, rc, html, 0xFF000000, nullptr, nullptr, links, style | DT_CALCRECT);
    return rc;
  }
  void Html(RECT rc, const char16_t* html, UINT style, DWORD color = 0xFF000000) {
    int links = 0;
    CRenderEngine::DrawHtmlText(canvas_.dc, &pm_, rc, html, color, nullptr, nullptr, links, style);
  }
  int LineHeight(int font = -1) { return pm_.GetFontInfo(font)->tm.tmHeight; }

  qvtest::RecordingWindows windows_;
  qvtest::TempFolder folder_{"qv-render"};
  CPaintManagerUI pm_;
  HWND hwnd_ = nullptr;
  Canvas canvas_{320, 320};
};

TEST_F(RenderEngineTest, ColourFillsItsRectangleOpaqueBlendedOrNotAtAll) {
  CRenderEngine::DrawColor(canvas_.dc, RECT{2, 3, 10, 12}, 0xFF102030);
  EXPECT_EQ(0xFF102030u, canvas_.At(2, 3));
  EXPECT_EQ(0xFF102030u, canvas_.At(9, 11));
  EXPECT_EQ(kWhite, canvas_.At(10, 11));
  EXPECT_EQ(kWhite, canvas_.At(1, 3));
  CRenderEngine::DrawColor(canvas_.dc, RECT{20, 20, 40, 40}, 0x00102030);
  EXPECT_EQ(kWhite, canvas_.At(30, 30));

  canvas_.Clear();
  CRenderEngine::DrawColor(canvas_.dc, RECT{0, 0, 300, 300}, 0x80FF0000);
  // Edges, the middle and both sides of any tiling seam get the same blend.
  for (POINT p : {POINT{0, 0}, POINT{299, 299}, POINT{255, 255}, POINT{256, 256}, POINT{150, 7}})
    ExpectNear(canvas_.At(p.x, p.y), 0xFFFF7F7F);
  EXPECT_EQ(kWhite, canvas_.At(300, 300));
  // Clipped to the DC: a huge rectangle blends only what the DC shows.
  CRenderEngine::DrawColor(canvas_.dc, RECT{-100000, -100000, 100000, 100000}, 0x80000000);
  ExpectNear(canvas_.At(310, 310), 0xFF7F7F7F);
}

TEST_F(RenderEngineTest, RectFramesInsideAndLinesFollowTheirEnds) {
  CRenderEngine::DrawRect(canvas_.dc, RECT{10, 10, 30, 30}, 3, 0xFF0000FF);
  EXPECT_EQ(0xFF0000FFu, canvas_.At(10, 10));
  EXPECT_EQ(0xFF0000FFu, canvas_.At(29, 29));
  EXPECT_EQ(kWhite, canvas_.At(13, 20));
  EXPECT_EQ(kWhite, canvas_.At(30, 30));
  // A blended frame is even: corners are not blended twice.
  CRenderEngine::DrawRect(canvas_.dc, RECT{50, 50, 80, 80}, 2, 0x80000000);
  EXPECT_EQ(canvas_.At(50, 50), canvas_.At(65, 50));
  EXPECT_EQ(canvas_.At(50, 50), canvas_.At(51, 65));
  EXPECT_EQ(kWhite, canvas_.At(65, 65));

  CRenderEngine::DrawLine(canvas_.dc, RECT{100, 120, 150, 120}, 1, 0xFFFF0000);
  EXPECT_EQ(0xFFFF0000u, canvas_.At(120, 120));
  EXPECT_EQ(kWhite, canvas_.At(120, 121));
  CRenderEngine::DrawLine(canvas_.dc, RECT{100, 140, 150, 140}, 1, 0x00FF0000);
  EXPECT_EQ(kWhite, canvas_.At(120, 140));
}

TEST_F(RenderEngineTest, TextDrawsInItsColourWithinItsCalculatedRectangle) {
  HGDIOBJ fontBefore = GetCurrentObject(canvas_.dc, OBJ_FONT);
  RECT calc{10, 10, 300, 200};
  CRenderEngine::DrawTextW(canvas_.dc, &pm_, calc, u"Hello 直播", 0xFF0000FF, 0, DT_SINGLELINE | DT_CALCRECT);
  EXPECT_EQ(calc.right - calc.left, Extent(u"Hello 直播", 0).cx);
  EXPECT_EQ(calc.bottom - calc.top, LineHeight(0));

  RECT rc{10, 10, 300, 200};
  CRenderEngine::DrawTextW(canvas_.dc, &pm_, rc, u"Hello 直播", 0xFF0000FF, 0, DT_SINGLELINE);
  RECT ink = canvas_.Ink();
  EXPECT_GE(ink.left, calc.left);
  EXPECT_LE(ink.right, calc.right);
  EXPECT_GE(ink.top, calc.top);
  EXPECT_LE(ink.bottom, calc.bottom);
  EXPECT_GT(ink.right - ink.left, (calc.right - calc.left) / 2);
  // ARGB blue, not GDI's BGR order.
  uint32_t darkest = canvas_.Darkest(R);
  EXPECT_LT(R(darkest), 80);
  EXPECT_GT(B(darkest), 200);
  EXPECT_EQ(fontBefore, GetCurrentObject(canvas_.dc, OBJ_FONT));

  canvas_.Clear();
  CRenderEngine::DrawTextW(canvas_.dc, &pm_, rc, nullptr, 0xFF000000, 0, 0);
  CRenderEngine::DrawTextW(canvas_.dc, nullptr, rc, u"x", 0xFF000000, 0, 0);
  EXPECT_EQ(0, canvas_.Ink().right);
  EXPECT_EQ(0, Extent(nullptr).cx);
}

TEST_F(RenderEngineTest, HtmlMeasuresLikePlainTextAndHonoursLiteralsSpacesAndUnknownTags) {
  const RECT wide{0, 0, 1000, 100};
  EXPECT_EQ(Extent(u"Hello world").cx, Calc(u"Hello world", wide).right);
  EXPECT_EQ(Extent(u"<b>").cx, Calc(u"<<b>", wide).right);
  EXPECT_EQ(Extent(u"{x 3}").cx, Calc(u"{{x 3}", wide).right);
  EXPECT_EQ(20 + Extent(u"ab").cx, Calc(u"a{x 20}b", wide).right);
  EXPECT_EQ(Extent(u"<zz>t<br>").cx, Calc(u"<zz>t<br>", wide).right);
  // <f n> switches to the manager's font n; tags themselves take no room.
  RECT big = Calc(u"<f 0>Hello</f> world", wide);
  EXPECT_EQ(Extent(u"Hello", 0).cx + Extent(u" world").cx, big.right);
  EXPECT_EQ(LineHeight(0), big.bottom);
}

TEST_F(RenderEngineTest, HtmlBreaksLinesAndWrapsAtSpacesAndBetweenCjk) {
  EXPECT_EQ(2 * LineHeight(), Calc(u"one<n>two", RECT{0, 0, 1000, 100}, 0).bottom);
  EXPECT_EQ(3 * LineHeight(), Calc(u"one<n><n>two", RECT{0, 0, 1000, 100}, 0).bottom);
  EXPECT_EQ(LineHeight(), Calc(u"one<n>two", RECT{0, 0, 1000, 100}, DT_SINGLELINE).bottom);

  int fit = Extent(u"aaa bbb").cx;
  RECT wrapped = Calc(u"aaa bbb ccc", RECT{0, 0, fit, 100}, DT_WORDBREAK);
  EXPECT_EQ(2 * LineHeight(), wrapped.bottom);
  EXPECT_EQ(fit, wrapped.right);
  EXPECT_EQ(LineHeight(), Calc(u"aaa bbb ccc", RECT{0, 0, fit, 100}, 0).bottom);
  // A word wider than the line is split, never drawn past the right edge.
  RECT longWord = Calc(u"abcdefghijklmnopqrstuvwxyz", RECT{0, 0, 40, 100}, DT_WORDBREAK);
  EXPECT_LE(longWord.right, 40);
  EXPECT_GT(longWord.bottom, 2 * LineHeight());

  int twoCjk = Extent(u"测试").cx;
  EXPECT_EQ(3 * LineHeight(), Calc(u"测试测试测试", RECT{0, 0, twoCjk, 100}, DT_WORDBREAK).bottom);
  // Between CJK and a Latin word is a break too: the word moves down whole.
  RECT mixed = Calc(u"测试abc", RECT{0, 0, Extent(u"测试ab").cx, 100}, DT_WORDBREAK);
  EXPECT_EQ(2 * LineHeight(), mixed.bottom);
  EXPECT_EQ(std::max(twoCjk, static_cast<int>(Extent(u"abc").cx)), mixed.right);
  // Styled runs inside one word do not open a break.
  EXPECT_EQ(2 * LineHeight(), Calc(u"aaa b<c #FFFF0000>b</c>b ccc", RECT{0, 0, fit, 100}, DT_WORDBREAK).bottom);
}

TEST_F(RenderEngineTest, HtmlColoursBoldAndAlignment) {
  Html(RECT{0, 0, 320, 100}, u"<f 0><c #FFFF0000>red</c></f>", DT_SINGLELINE, 0xFF0000FF);
  uint32_t darkest = canvas_.Darkest(G);
  EXPECT_GT(R(darkest), 200);
  EXPECT_LT(B(darkest), 80);

  // Bold text is derived from the current font: more ink than the same text plain.
  auto inkCount = [&](const char16_t* html) {
    canvas_.Clear();
    Html(RECT{0, 0, 320, 100}, html, DT_SINGLELINE);
    int dark = 0;
    for (int i = 0; i < canvas_.width * canvas_.height; ++i) dark += 255 - G(canvas_.bits[i]);
    return dark;
  };
  EXPECT_GT(inkCount(u"<f 0><b>Bold text</b></f>"), inkCount(u"<f 0>Bold text</f>") * 11 / 10);

  canvas_.Clear();
  Html(RECT{20, 20, 300, 200}, u"centre<n>me", DT_CENTER | DT_VCENTER);
  RECT ink = canvas_.Ink();
  EXPECT_NEAR((ink.left + ink.right) / 2, 160, 3);
  EXPECT_NEAR((ink.top + ink.bottom) / 2, 110, LineHeight() / 2);

  canvas_.Clear();
  Html(RECT{20, 20, 300, 200}, u"corner", DT_RIGHT | DT_BOTTOM | DT_SINGLELINE);
  ink = canvas_.Ink();
  EXPECT_GE(ink.right, 297);
  EXPECT_LE(ink.right, 300);
  EXPECT_GE(ink.bottom, 200 - LineHeight());
  EXPECT_LE(ink.bottom, 200);
}

TEST_F(RenderEngineTest, HtmlLinksReportOneRectanglePerLineUpToTheCapacity) {
  RECT rc{10, 5, 1000, 100};
  RECT links[4];
  CDuiString names[4];
  int count = 4;
  CRenderEngine::DrawHtmlText(canvas_.dc, &pm_, rc, u"go <a one>here</a> and <a>there</a>", 0xFF000000, links,
                              names, count, DT_SINGLELINE);
  ASSERT_EQ(2, count);
  EXPECT_EQ(CDuiString(u"one"), names[0]);
  EXPECT_TRUE(names[1].IsEmpty());
  EXPECT_EQ(10 + Extent(u"go ").cx, links[0].left);
  EXPECT_EQ(Extent(u"here").cx, links[0].right - links[0].left);
  EXPECT_EQ(5 + LineHeight(), links[0].bottom);
  EXPECT_EQ(10 + Extent(u"go here and ").cx, links[1].left);

  count = 1;
  CRenderEngine::DrawHtmlText(canvas_.dc, &pm_, rc, u"{x 30}<a x>a</a><a y>b</a>", 0xFF000000, links, names, count, 0);
  EXPECT_EQ(1, count);
  EXPECT_EQ(CDuiString(u"x"), names[0]);
  EXPECT_EQ(10 + 30, links[0].left);

  // A link wrapped over two lines has a rectangle on each.
  RECT narrow{0, 0, Extent(u"aa bb").cx, 100};
  count = 4;
  CRenderEngine::DrawHtmlText(canvas_.dc, &pm_, narrow, u"aa <a>bb cc</a>", 0xFF000000, links, names, count,
                              DT_WORDBREAK);
  ASSERT_EQ(2, count);
  EXPECT_EQ(links[0].bottom, links[1].top);
  EXPECT_EQ(0, links[1].left);

  count = 4;
  CRenderEngine::DrawHtmlText(canvas_.dc, &pm_, rc, u"<a>x</a>", 0xFF000000, nullptr, nullptr, count, 0);
  EXPECT_EQ(0, count);
}

TEST_F(RenderEngineTest, MalformedHtmlIsDrawnAsTextWithoutReadingPastTheString) {
  const RECT wide{0, 0, 1000, 100};
  EXPECT_EQ(Extent(u"<c").cx, Calc(u"<c", wide).right);
  EXPECT_EQ(Extent(u"<c #FF0000 x").cx, Calc(u"<c #FF0000 x", wide).right);
  EXPECT_EQ(Extent(u"{x 12").cx, Calc(u"{x 12", wide).right);
  EXPECT_EQ(Extent(u"a<b").cx, Calc(u"a<b<i>", wide).right);
  EXPECT_EQ(Extent(u"1 < b > 2").cx, Calc(u"1 < b > 2", wide).right);
  EXPECT_EQ(Extent(u"x").cx, Calc(u"<f 99999999999999999999>x</f></f></c></b></a>", wide).right);
  EXPECT_LE(Calc(u"{x 99999999999999999999}", wide).right, 100000);

  std::u16string many(20000, u'<');
  many += u"{x 9999}{x 9999}<c #FFFF0000><n>\xD800";
  for (const char16_t* text : {u"<", u"{", u"<>", u"</>", u"<a", u"{x}", u"\xDC00\xD800", many.c_str()}) {
    Html(RECT{0, 0, 100, 50}, text, DT_WORDBREAK | DT_END_ELLIPSIS);
    EXPECT_GE(Calc(text, RECT{0, 0, 100, 50}, DT_WORDBREAK).right, 0);
  }
  EXPECT_LE(canvas_.Ink().right, 100) << "drawing stays inside its rectangle";
}

TEST_F(RenderEngineTest, LoadImageMasksAColourAndReportsAlpha) {
  WritePng("opaque.png", 4, 4, [](int x, int) { return x < 2 ? 0xFFFF00FFu : 0xFF00FF00u; });
  WritePng("soft.png", 2, 2, [](int x, int) { return x == 0 ? 0x80FF0000u : 0xFFFF0000u; });
  folder_.Put("fake.png", "not a png at all");
  auto path = [&](const char* name) {
    std::string p = (folder_.Path() / name).string();
    return std::u16string(p.begin(), p.end());
  };

  TImageInfo* plain = CRenderEngine::LoadImage(path("opaque.png").c_str());
  ASSERT_NE(nullptr, plain);
  EXPECT_EQ(4, plain->nX);
  EXPECT_FALSE(plain->bAlpha);
  TImageInfo* masked = CRenderEngine::LoadImage(path("opaque.png").c_str(), 0xFFFF00FF);
  ASSERT_NE(nullptr, masked);
  EXPECT_TRUE(masked->bAlpha);
  RECT all{0, 0, 4, 4}, none{0, 0, 0, 0};
  CRenderEngine::DrawImage(canvas_.dc, masked->hBitmap, RECT{0, 0, 4, 4}, all, all, none, masked->bAlpha);
  EXPECT_EQ(kWhite, canvas_.At(0, 0));
  EXPECT_EQ(0xFF00FF00u, canvas_.At(3, 3));
  // A mask without alpha is no mask.
  TImageInfo* unmasked = CRenderEngine::LoadImage(path("opaque.png").c_str(), 0x00FF00FF);
  EXPECT_FALSE(unmasked->bAlpha);

  TImageInfo* soft = CRenderEngine::LoadImage(path("soft.png").c_str());
  ASSERT_NE(nullptr, soft);
  EXPECT_TRUE(soft->bAlpha);

  EXPECT_EQ(nullptr, CRenderEngine::LoadImage(path("missing.png").c_str()));
  EXPECT_EQ(nullptr, CRenderEngine::LoadImage(path("fake.png").c_str()));
  EXPECT_EQ(nullptr, CRenderEngine::LoadImage(nullptr));
  for (TImageInfo* image : {plain, masked, unmasked, soft}) CRenderEngine::FreeImage(image);
}

TEST_F(RenderEngineTest, ImageStringDrawsANinePatchWithUnscaledCornersAndAnOptionalHole) {
  WritePng("nine.png", 9, 9, Block);
  const RECT item{10, 10, 40, 40}, paint{0, 0, 320, 320};
  ASSERT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, u"file='nine.png' corner='3,3,3,3'"));
  EXPECT_EQ(Block(0, 0), canvas_.At(10, 10));
  EXPECT_EQ(Block(3, 0), canvas_.At(13, 10));
  EXPECT_EQ(Block(3, 0), canvas_.At(36, 12));
  EXPECT_EQ(Block(6, 0), canvas_.At(37, 10));
  EXPECT_EQ(Block(3, 3), canvas_.At(25, 25));
  EXPECT_EQ(Block(8, 8), canvas_.At(39, 39));
  EXPECT_EQ(kWhite, canvas_.At(40, 40));

  canvas_.Clear();
  ASSERT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, u"file='nine.png' corner='3,3,3,3'",
                                             u"hole='true'"));
  EXPECT_EQ(kWhite, canvas_.At(25, 25));
  EXPECT_EQ(Block(3, 0), canvas_.At(25, 11));

  // Clipped to rcPaint; a piece outside it leaves the canvas alone.
  canvas_.Clear();
  ASSERT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, RECT{20, 20, 30, 30}, u"nine.png"));
  EXPECT_EQ(kWhite, canvas_.At(19, 25));
  EXPECT_EQ(kWhite, canvas_.At(30, 25));
  EXPECT_NE(kWhite, canvas_.At(25, 25));
  EXPECT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, RECT{100, 100, 120, 120}, u"nine.png"));
}

TEST_F(RenderEngineTest, ImageStringDestSourceFadeTilingAndModify) {
  WritePng("nine.png", 9, 9, Block);
  WritePng("stripes.png", 2, 1, [](int x, int) { return x == 0 ? 0xFFFF0000u : 0xFF0000FFu; });
  const RECT item{100, 100, 200, 200}, paint{0, 0, 320, 320};

  ASSERT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint,
                                             u"file='nine.png' dest='10,10,20,20' source='3,3,6,6'"));
  EXPECT_EQ(Block(3, 3), canvas_.At(110, 110));
  EXPECT_EQ(Block(3, 3), canvas_.At(119, 119));
  EXPECT_EQ(kWhite, canvas_.At(109, 110));

  // The modifier overrides the description's dest; a dest past the item is cut to it.
  canvas_.Clear();
  ASSERT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, u"file='nine.png' dest='0,0,5,5'",
                                             u"dest='90,90,150,150' source='-5,-5,3,3'"));
  EXPECT_EQ(kWhite, canvas_.At(102, 102));
  EXPECT_EQ(Block(0, 0), canvas_.At(195, 195));
  EXPECT_EQ(kWhite, canvas_.At(200, 200));

  canvas_.Clear();
  ASSERT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, u"file='nine.png' source='0,0,3,3' fade='128'"));
  ExpectNear(canvas_.At(150, 150), 0xFFFF7F7F);

  canvas_.Clear();
  ASSERT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, RECT{0, 0, 9, 3}, paint,
                                             u"file='stripes.png' xtiled='true'"));
  for (int x = 0; x < 9; ++x) EXPECT_EQ(x % 2 ? 0xFF0000FFu : 0xFFFF0000u, canvas_.At(x, 1)) << x;
  EXPECT_EQ(kWhite, canvas_.At(9, 1));
}

TEST_F(RenderEngineTest, ImageStringRefusesWhatCannotBeDrawnAndSurvivesGarbage) {
  WritePng("nine.png", 9, 9, Block);
  WritePng("keyed.png", 8, 8, [](int x, int) { return x < 4 ? 0xFFFF00FFu : 0xFF00FF00u; });
  const RECT item{0, 0, 40, 40}, paint{0, 0, 320, 320};
  EXPECT_FALSE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, u"missing.png"));
  EXPECT_FALSE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, u""));
  EXPECT_FALSE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, nullptr));
  EXPECT_FALSE(CRenderEngine::DrawImageString(canvas_.dc, nullptr, item, paint, u"nine.png"));
  EXPECT_FALSE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, u"dest='0,0,5,5' fade='10'"));
  EXPECT_EQ(kWhite, canvas_.At(2, 2));

  // An unterminated quote runs to the end of the text.
  EXPECT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, u"file='nine.png"));
  EXPECT_EQ(Block(0, 0), canvas_.At(0, 0));

  canvas_.Clear();
  EXPECT_TRUE(CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint,
                                             u"file='keyed.png' mask='0xFFFF00FF' dest='0,0,8,8'"));
  EXPECT_EQ(kWhite, canvas_.At(1, 5));
  EXPECT_EQ(0xFF00FF00u, canvas_.At(6, 5));

  for (const char16_t* text :
       {u"file='nine.png' dest='99999999999999999999,-99999999999999999,x,'", u"file='nine.png' corner='50,50,50,50'",
        u"'''===", u"=", u"file= nine.png fade=abc", u"file='nine.png' source='9,9,0,0' corner='-1,-1,-1,-1'",
        u"file=\"nine.png\" xtiled='true' ytiled='true' source='4,4,5,5'"}) {
    CRenderEngine::DrawImageString(canvas_.dc, &pm_, item, paint, text);
  }
}

TEST_F(RenderEngineTest, NoGdiObjectOutlivesAnyDrawingCall) {
  WritePng("nine.png", 9, 9, Block);
  auto drawAll = [&] {
    RECT rc{0, 0, 200, 100};
    RECT links[2];
    CDuiString names[2];
    int count = 2;
    CRenderEngine::DrawColor(canvas_.dc, rc, 0x80123456);
    CRenderEngine::DrawColor(canvas_.dc, rc, 0xFF123456);
    CRenderEngine::DrawRect(canvas_.dc, rc, 2, 0x80123456);
    CRenderEngine::DrawLine(canvas_.dc, rc, 3, 0xFF123456, PS_DASH);
    CRenderEngine::DrawTextW(canvas_.dc, &pm_, rc, u"text", 0xFF000000, 0, DT_WORDBREAK);
    CRenderEngine::GetTextSize(canvas_.dc, &pm_, u"text", -1, 0);
    CRenderEngine::DrawHtmlText(canvas_.dc, &pm_, rc, u"<b><i><u>a</u></i></b><f 0><b>b</b><a>c</a>", 0xFF000000, links,
                                names, count, DT_WORDBREAK);
    CRenderEngine::DrawImageString(canvas_.dc, &pm_, rc, rc, u"file='nine.png' corner='2,2,2,2' fade='200'");
  };
  drawAll();  // loads the image and the default font once
  size_t before = qvplatform::testing::LiveGdiObjects();
  for (int i = 0; i < 20; ++i) drawAll();
  EXPECT_EQ(before, qvplatform::testing::LiveGdiObjects());
}

}  // namespace
