// Window DCs on the headless desktop: painting, update areas, layered windows, window regions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "gdi_dib.h"
#include "platform/testing.h"
#include "platform/testing_gdi.h"
#include "platform/win32.h"
#include "support/WindowFixture.h"

using qvplatform::testing::Image;
using qvplatform::testing::kDesktopColor;
using qvplatform::testing::ReadDesktopPixels;
using qvplatform::testing::ReadWindowPixels;

namespace {

// Windows whose WM_PAINT fills the paint area with their colour, with a hook for extra drawing.
class PaintedWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    windows_.OnMessage([this](HWND hwnd, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
      if (m != WM_PAINT) return 0;
      handled = true;
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      lastPaint_ = ps.rcPaint;
      RECT client;
      GetClientRect(hwnd, &client);
      HBRUSH brush = CreateSolidBrush(colour_[hwnd]);
      FillRect(dc, &client, brush);
      DeleteObject(brush);
      if (extra_) extra_(hwnd, dc);
      EndPaint(hwnd, &ps);
      return 0;
    });
  }
  HWND Make(COLORREF colour, RECT rect, DWORD exStyle = 0) {
    HWND w = windows_.Create(WS_POPUP | WS_VISIBLE, exStyle, nullptr, rect);
    colour_[w] = colour;
    return w;
  }
  static Image Desktop() {
    Image img;
    EXPECT_TRUE(ReadDesktopPixels(img));
    return img;
  }

  qvtest::RecordingWindows windows_;
  std::map<HWND, COLORREF> colour_;
  std::function<void(HWND, HDC)> extra_;
  RECT lastPaint_{};
};

void ExpectNear(COLORREF actual, COLORREF expected, int tolerance) {
  EXPECT_NEAR(GetRValue(actual), GetRValue(expected), tolerance) << std::hex << actual;
  EXPECT_NEAR(GetGValue(actual), GetGValue(expected), tolerance) << std::hex << actual;
  EXPECT_NEAR(GetBValue(actual), GetBValue(expected), tolerance) << std::hex << actual;
}

}  // namespace

TEST_F(PaintedWindows, APaintedWindowShowsOnTheDesktopAtItsPlace) {
  HWND w = Make(RGB(200, 10, 20), RECT{100, 100, 200, 150});
  UpdateWindow(w);
  Image own;
  ASSERT_TRUE(ReadWindowPixels(w, own));
  EXPECT_EQ(100, own.width);
  EXPECT_EQ(50, own.height);
  EXPECT_EQ(RGB(200, 10, 20), own.At(0, 0));
  EXPECT_EQ(RGB(200, 10, 20), own.At(99, 49));
  Image desk = Desktop();
  EXPECT_EQ(RGB(200, 10, 20), desk.At(100, 100));
  EXPECT_EQ(RGB(200, 10, 20), desk.At(199, 149));
  EXPECT_EQ(kDesktopColor, desk.At(99, 100));
  EXPECT_EQ(kDesktopColor, desk.At(200, 149));
  ShowWindow(w, SW_HIDE);
  EXPECT_EQ(kDesktopColor, Desktop().At(150, 120));
}

TEST_F(PaintedWindows, BeginPaintDrawsOnlyTheUpdateArea) {
  HWND w = Make(RGB(255, 0, 0), RECT{0, 0, 60, 40});
  UpdateWindow(w);
  colour_[w] = RGB(0, 0, 255);
  RECT part{0, 0, 10, 10};
  InvalidateRect(w, &part, FALSE);
  UpdateWindow(w);
  EXPECT_EQ(0, lastPaint_.left);
  EXPECT_EQ(10, lastPaint_.right);
  Image own;
  ASSERT_TRUE(ReadWindowPixels(w, own));
  EXPECT_EQ(RGB(0, 0, 255), own.At(9, 9));
  EXPECT_EQ(RGB(255, 0, 0), own.At(10, 9));
  EXPECT_EQ(RGB(255, 0, 0), own.At(30, 30));
  // A window DC from GetDC reaches the whole client area.
  HDC dc = GetDC(w);
  ASSERT_NE(nullptr, dc);
  RECT all{0, 0, 60, 40};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  EXPECT_FALSE(DeleteDC(dc));  // window DCs go back with ReleaseDC
  EXPECT_EQ(1, ReleaseDC(w, dc));
  ASSERT_TRUE(ReadWindowPixels(w, own));
  EXPECT_EQ(RGB(255, 255, 255), own.At(30, 30));
}

TEST_F(PaintedWindows, AColourKeyedWindowShowsTheWindowBelowThroughItsKeyPixels) {
  HWND below = Make(RGB(0, 160, 0), RECT{300, 300, 400, 360});
  HWND overlay = Make(RGB(0, 0, 0), RECT{300, 300, 400, 360}, WS_EX_LAYERED);
  ASSERT_TRUE(SetLayeredWindowAttributes(overlay, RGB(0, 0, 0), 255, LWA_COLORKEY | LWA_ALPHA));
  SetWindowPos(overlay, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  extra_ = [&](HWND hwnd, HDC dc) {
    if (hwnd != overlay) return;
    RECT text{0, 0, 20, 10};
    FillRect(dc, &text, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  };
  UpdateWindow(below);
  UpdateWindow(overlay);
  Image desk = Desktop();
  EXPECT_EQ(RGB(255, 255, 255), desk.At(305, 305));
  EXPECT_EQ(RGB(0, 160, 0), desk.At(350, 340));
}

TEST_F(PaintedWindows, AWindowWithConstantAlphaBlendsWithWhatIsBelow) {
  HWND below = Make(RGB(255, 255, 255), RECT{500, 500, 600, 560});
  HWND mask = Make(RGB(119, 121, 125), RECT{500, 500, 600, 560}, WS_EX_LAYERED);
  ASSERT_TRUE(SetLayeredWindowAttributes(mask, 0, 100, LWA_ALPHA));
  SetWindowPos(mask, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  UpdateWindow(below);
  UpdateWindow(mask);
  auto blend = [](int top, int bottom) { return (top * 100 + bottom * 155 + 127) / 255; };
  ExpectNear(Desktop().At(550, 530), RGB(blend(119, 255), blend(121, 255), blend(125, 255)), 1);
  ExpectNear(Desktop().At(499, 530), kDesktopColor, 0);
}

TEST_F(PaintedWindows, ARoundedRegionShapesPaintingShowingAndHitTesting) {
  HWND w = Make(RGB(250, 200, 0), RECT{700, 100, 800, 180});
  HRGN rgn = CreateRoundRectRgn(0, 0, 101, 81, 20, 20);
  ASSERT_NE(0, SetWindowRgn(w, rgn, TRUE));
  EXPECT_FALSE(DeleteObject(rgn)) << "the window owns the region";
  UpdateWindow(w);
  Image own;
  ASSERT_TRUE(ReadWindowPixels(w, own));
  EXPECT_NE(RGB(250, 200, 0), own.At(0, 0)) << "painting outside the region";
  EXPECT_EQ(RGB(250, 200, 0), own.At(50, 40));
  Image desk = Desktop();
  EXPECT_EQ(kDesktopColor, desk.At(700, 100));
  EXPECT_EQ(kDesktopColor, desk.At(799, 179));
  EXPECT_EQ(RGB(250, 200, 0), desk.At(750, 100));
  // Hit-testing reads the same shape.
  HRGN copy = CreateRectRgn(0, 0, 0, 0);
  EXPECT_EQ(COMPLEXREGION, GetWindowRgn(w, copy));
  EXPECT_FALSE(PtInRegion(copy, 1, 1));
  EXPECT_TRUE(PtInRegion(copy, 50, 40));
  DeleteObject(copy);
  // Removing the region shows the whole window again.
  EXPECT_NE(0, SetWindowRgn(w, nullptr, TRUE));
  UpdateWindow(w);
  EXPECT_EQ(RGB(250, 200, 0), Desktop().At(700, 100));
  HRGN none = CreateRectRgn(0, 0, 0, 0);
  EXPECT_EQ(ERROR, GetWindowRgn(w, none));
  DeleteObject(none);
}

TEST_F(PaintedWindows, ADestroyedWindowLeavesNoImageOrDcBehind) {
  size_t before = qvplatform::testing::LiveGdiObjects();
  HWND w = Make(RGB(1, 2, 3), RECT{0, 0, 30, 30});
  UpdateWindow(w);
  SetWindowRgn(w, CreateRoundRectRgn(0, 0, 31, 31, 6, 6), FALSE);
  Image own;
  ASSERT_TRUE(ReadWindowPixels(w, own));
  ASSERT_TRUE(DestroyWindow(w));
  EXPECT_FALSE(ReadWindowPixels(w, own));
  EXPECT_EQ(nullptr, GetDC(w));
  PAINTSTRUCT ps;
  EXPECT_EQ(nullptr, BeginPaint(w, &ps));
  EXPECT_EQ(0, SetWindowRgn(w, nullptr, FALSE));
  EXPECT_EQ(before, qvplatform::testing::LiveGdiObjects());
}

TEST_F(PaintedWindows, TheDesktopSavesAsPngThatLoadsBack) {
  HWND w = Make(RGB(10, 20, 30), RECT{40, 40, 80, 80});
  UpdateWindow(w);
  Image desk = Desktop();
  std::string path = ::testing::TempDir() + "qv_desktop_" + std::to_string(reinterpret_cast<uintptr_t>(w)) + ".png";
  ASSERT_TRUE(qvplatform::testing::SavePng(desk, path));
  HBITMAP png = static_cast<HBITMAP>(
      LoadImageW(nullptr, std::u16string(path.begin(), path.end()).c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
  std::remove(path.c_str());
  ASSERT_NE(nullptr, png);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, png);
  EXPECT_EQ(RGB(10, 20, 30), GetPixel(dc, 50, 50));
  EXPECT_EQ(kDesktopColor, GetPixel(dc, 85, 85));
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(png);
}

TEST(GdiScreenDc, TheScreenDcMeasuresTextAndIsReleased) {
  HDC dc = GetDC(nullptr);
  ASSERT_NE(nullptr, dc);
  SIZE size;
  EXPECT_TRUE(GetTextExtentPoint32W(dc, u"Qv", 2, &size));
  EXPECT_GT(size.cx, 0);
  EXPECT_EQ(1, ReleaseDC(nullptr, dc));
  EXPECT_EQ(0, ReleaseDC(nullptr, dc));
}

namespace {

LRESULT CALLBACK PaintWithDefaults(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT) {  // paint nothing: the erase alone shows
    PAINTSTRUCT ps;
    BeginPaint(hwnd, &ps);
    EndPaint(hwnd, &ps);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

TEST(GdiErase, TheDefaultProcedureErasesWithTheClassBackgroundBrush) {
  HBRUSH green = CreateSolidBrush(RGB(0, 128, 0));
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = PaintWithDefaults;
  wc.hbrBackground = green;
  wc.lpszClassName = u"QvErasedWindow";
  ASSERT_NE(RegisterClassExW(&wc), 0);
  HWND w = CreateWindowExW(0, u"QvErasedWindow", u"", WS_POPUP | WS_VISIBLE, 10, 10, 40, 30, nullptr, nullptr,
                           nullptr, nullptr);
  ASSERT_NE(w, nullptr);
  UpdateWindow(w);
  Image img;
  ASSERT_TRUE(ReadWindowPixels(w, img));
  ASSERT_EQ(img.width, 40);
  EXPECT_EQ(img.At(20, 15), RGB(0, 128, 0));
  DestroyWindow(w);
  DeleteObject(green);
}

}  // namespace

TEST_F(PaintedWindows, OnlyDrawingThroughAWindowDcShowsANewImage) {
  HWND w = Make(RGB(10, 20, 30), {100, 100, 300, 200});
  UpdateWindow(w);
  size_t shown = qvplatform::testing::WindowImagesShown();
  // Measuring text through the window's DC (as wrapping does for every prefix) shows nothing.
  HDC dc = GetDC(w);
  SIZE size;
  ASSERT_TRUE(GetTextExtentPoint32W(dc, u"欢迎", 2, &size));
  RECT calc{0, 0, 100, 0};
  DrawTextW(dc, u"measure only", -1, &calc, DT_CALCRECT | DT_SINGLELINE);
  ReleaseDC(w, dc);
  EXPECT_EQ(qvplatform::testing::WindowImagesShown(), shown);
  // Drawing does, whether on a DC of its own or in WM_PAINT.
  dc = GetDC(w);
  TextOutW(dc, 0, 0, u"x", 1);
  ReleaseDC(w, dc);
  EXPECT_EQ(qvplatform::testing::WindowImagesShown(), shown + 1);
  InvalidateRect(w, nullptr, FALSE);
  UpdateWindow(w);
  EXPECT_EQ(qvplatform::testing::WindowImagesShown(), shown + 2);
}

namespace {

// The headless display at a scale for one test.
struct DisplayScale {
  explicit DisplayScale(double scale) { EXPECT_TRUE(qvplatform::testing::SetHeadlessScale(scale)); }
  ~DisplayScale() { qvplatform::testing::SetHeadlessScale(1.0); }
};

bool Dark(COLORREF c) { return GetRValue(c) < 60 && GetGValue(c) < 60 && GetBValue(c) < 60; }

}  // namespace

// At a display scale of 2 a window's image has twice its logical size in each direction and text
// is drawn at that resolution, while every call keeps speaking logical pixels: the clip box, pixels
// read and written, bitmap sizes, blits between DCs of the same scale (pixel for pixel), and the
// desktop the windows are composed on.
TEST_F(PaintedWindows, AtTheDisplaysScaleImagesHaveDevicePixelsAndCallsStayLogical) {
  DisplayScale scale(2.0);
  const COLORREF white = RGB(255, 255, 255), blue = RGB(0, 0, 200), red = RGB(220, 0, 0);
  RECT clip{};
  COLORREF read = 0;
  BITMAP bm{};
  extra_ = [&](HWND, HDC dc) {
    GetClipBox(dc, &clip);
    LOGFONTW lf{};
    lf.lfHeight = 13;
    HFONT font = CreateFontIndirectW(&lf);
    HGDIOBJ oldFont = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    TextOutW(dc, 4, 4, u"国", 1);
    SelectObject(dc, oldFont);
    DeleteObject(font);
    SetPixel(dc, 90, 40, red);
    read = GetPixel(dc, 90, 40);
    // Off screen first, as the UI framework paints: a one-pixel blue column in a compatible bitmap.
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 10, 10);
    GetObjectW(bitmap, sizeof bm, &bm);
    HGDIOBJ old = SelectObject(mem, bitmap);
    RECT all{0, 0, 10, 10}, column{3, 0, 4, 10};
    HBRUSH w = CreateSolidBrush(white), b = CreateSolidBrush(blue);
    FillRect(mem, &all, w);
    FillRect(mem, &column, b);
    BitBlt(dc, 60, 10, 10, 10, mem, 0, 0, SRCCOPY);
    DeleteObject(w);
    DeleteObject(b);
    // A 96-dpi image (black, white) is scaled up with a filter: grey between, solid edges.
    uint32_t* bits = nullptr;
    HBITMAP dib = TopDownDib(dc, 2, 1, &bits);
    ASSERT_TRUE(bits);
    bits[0] = 0xFF000000u;
    bits[1] = 0xFFFFFFFFu;
    SelectObject(mem, dib);
    BitBlt(dc, 20, 40, 2, 1, mem, 0, 0, SRCCOPY);
    SelectObject(mem, old);
    DeleteObject(bitmap);
    DeleteObject(dib);
    DeleteDC(mem);
  };
  HWND hwnd = Make(white, RECT{100, 100, 200, 150});
  UpdateWindow(hwnd);
  EXPECT_EQ(0, clip.left);
  EXPECT_EQ(100, clip.right);
  EXPECT_EQ(50, clip.bottom);
  EXPECT_EQ(red, read);
  EXPECT_EQ(10, bm.bmWidth);
  EXPECT_EQ(10, bm.bmHeight);

  Image own;
  ASSERT_TRUE(ReadWindowPixels(hwnd, own));
  ASSERT_EQ(200, own.width);
  ASSERT_EQ(100, own.height);
  // The logical pixel SetPixel wrote is a 2x2 block.
  for (int dy = 0; dy < 2; ++dy)
    for (int dx = 0; dx < 2; ++dx) EXPECT_EQ(red, own.At(180 + dx, 80 + dy));
  EXPECT_EQ(white, own.At(182, 80));
  // The blitted column is exactly two device pixels wide: copied, not resampled.
  for (int x = 120; x < 140; ++x) EXPECT_EQ(x == 126 || x == 127 ? blue : white, own.At(x, 30)) << x;
  EXPECT_EQ(RGB(0, 0, 0), own.At(40, 80));
  EXPECT_EQ(white, own.At(43, 81));
  EXPECT_TRUE(own.At(41, 80) != RGB(0, 0, 0) && own.At(41, 80) != white) << std::hex << own.At(41, 80);
  // The glyph's ink spans the rows of a 26-pixel font, with grey edges of its own (drawn at this
  // resolution, not a 13-pixel glyph with every pixel doubled).
  int top = own.height, bottom = -1, oddEdges = 0;
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 50; ++x) {
      if (!Dark(own.At(x, y))) continue;
      top = std::min(top, y);
      bottom = std::max(bottom, y);
      if (x % 2 == 1 && own.At(x - 1, y) != own.At(x, y)) ++oddEdges;
    }
  EXPECT_GE(bottom - top + 1, 17) << top << ".." << bottom;
  EXPECT_LE(bottom - top + 1, 28) << top << ".." << bottom;
  EXPECT_GT(oddEdges, 0) << "every ink pixel pairs with its left neighbour: a stretched image";
  // The desktop is composed in logical pixels.
  Image desk = Desktop();
  EXPECT_EQ(red, desk.At(190, 140));
  EXPECT_EQ(blue, desk.At(163, 115));
  EXPECT_EQ(white, desk.At(164, 115));
}

// At 1.5 an odd size ends on a half pixel: the image ends where painting ends, so its last
// column and row are painted, also through an off-screen bitmap blitted back.
TEST_F(PaintedWindows, AtAFractionalScaleTheImageEndsWhereItsPaintingEnds) {
  DisplayScale scale(1.5);
  const COLORREF blue = RGB(0, 0, 200);
  extra_ = [&](HWND hwnd, HDC dc) {
    RECT client;
    GetClientRect(hwnd, &client);
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    HGDIOBJ old = SelectObject(mem, bitmap);
    HBRUSH b = CreateSolidBrush(blue);
    FillRect(mem, &client, b);
    BitBlt(dc, 0, 0, client.right, client.bottom, mem, 0, 0, SRCCOPY);
    DeleteObject(b);
    SelectObject(mem, old);
    DeleteObject(bitmap);
    DeleteDC(mem);
  };
  HWND hwnd = Make(RGB(0, 0, 0), RECT{11, 11, 112, 62});  // 101 x 51
  UpdateWindow(hwnd);
  Image own;
  ASSERT_TRUE(ReadWindowPixels(hwnd, own));
  EXPECT_EQ(151, own.width);
  EXPECT_EQ(76, own.height);
  for (int y = 0; y < own.height; ++y) ASSERT_EQ(blue, own.At(own.width - 1, y)) << "last column, row " << y;
  for (int x = 0; x < own.width; ++x) ASSERT_EQ(blue, own.At(x, own.height - 1)) << "last row, column " << x;
}
