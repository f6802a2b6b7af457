// Shapes, clipping, regions, images and object lifetimes on memory DCs.
#include <gtest/gtest.h>
#include <climits>

#include <cstdlib>
#include <string>

#include "gdi_dib.h"
#include "platform/testing_gdi.h"
#include "platform/win32.h"

namespace {

// A memory DC with a bitmap of its own, filled white.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  Canvas(int w, int h) {
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateCompatibleBitmap(dc, w, h);
    old = SelectObject(dc, bitmap);
    RECT all{0, 0, w, h};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  COLORREF At(int x, int y) const { return GetPixel(dc, x, y); }
};

const COLORREF kWhite = RGB(255, 255, 255);

void ExpectNear(COLORREF actual, COLORREF expected, int tolerance) {
  EXPECT_NEAR(GetRValue(actual), GetRValue(expected), tolerance) << std::hex << actual;
  EXPECT_NEAR(GetGValue(actual), GetGValue(expected), tolerance) << std::hex << actual;
  EXPECT_NEAR(GetBValue(actual), GetBValue(expected), tolerance) << std::hex << actual;
}

std::u16string DataPath(const char* name) {
  std::string p = std::string(QV_SOURCE_DIR) + "/tests/platform/data/" + name;
  return std::u16string(p.begin(), p.end());
}

}  // namespace

TEST(GdiShapes, FillRectColoursAreExactAndExcludeRightAndBottomEdges) {
  Canvas c(20, 20);
  HBRUSH brush = CreateSolidBrush(RGB(254, 232, 191));
  RECT r{2, 3, 10, 12};
  EXPECT_NE(0, FillRect(c.dc, &r, brush));
  EXPECT_EQ(RGB(254, 232, 191), c.At(2, 3));
  EXPECT_EQ(RGB(254, 232, 191), c.At(9, 11));
  EXPECT_EQ(kWhite, c.At(10, 11));
  EXPECT_EQ(kWhite, c.At(9, 12));
  EXPECT_EQ(kWhite, c.At(1, 3));
  // An inverted rectangle draws nothing.
  RECT inverted{15, 15, 12, 12};
  FillRect(c.dc, &inverted, brush);
  EXPECT_EQ(kWhite, c.At(13, 13));
  DeleteObject(brush);
}

TEST(GdiShapes, FrameRectRectangleAndLines) {
  Canvas c(30, 30);
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
  RECT r{1, 1, 6, 6};
  FrameRect(c.dc, &r, red);
  EXPECT_EQ(RGB(255, 0, 0), c.At(1, 1));
  EXPECT_EQ(RGB(255, 0, 0), c.At(5, 5));
  EXPECT_EQ(kWhite, c.At(3, 3));
  EXPECT_EQ(kWhite, c.At(6, 6));

  HPEN blue = CreatePen(PS_SOLID, 1, RGB(0, 0, 255));
  HGDIOBJ oldPen = SelectObject(c.dc, blue);
  HGDIOBJ oldBrush = SelectObject(c.dc, red);
  Rectangle(c.dc, 10, 10, 15, 15);
  EXPECT_EQ(RGB(0, 0, 255), c.At(10, 10));
  EXPECT_EQ(RGB(0, 0, 255), c.At(14, 14));
  EXPECT_EQ(RGB(255, 0, 0), c.At(12, 12));
  EXPECT_EQ(kWhite, c.At(15, 15));

  // LineTo leaves out the end point and moves the current position.
  MoveToEx(c.dc, 0, 20, nullptr);
  LineTo(c.dc, 8, 20);
  EXPECT_EQ(RGB(0, 0, 255), c.At(0, 20));
  EXPECT_EQ(RGB(0, 0, 255), c.At(7, 20));
  EXPECT_EQ(kWhite, c.At(8, 20));
  POINT pos;
  MoveToEx(c.dc, 0, 0, &pos);
  EXPECT_EQ(8, pos.x);
  EXPECT_EQ(20, pos.y);
  MoveToEx(c.dc, 20, 0, nullptr);
  LineTo(c.dc, 25, 5);
  EXPECT_EQ(RGB(0, 0, 255), c.At(22, 2));
  EXPECT_EQ(kWhite, c.At(25, 5));

  // A null pen draws no outline.
  SelectObject(c.dc, GetStockObject(NULL_PEN));
  Rectangle(c.dc, 20, 20, 24, 24);
  EXPECT_EQ(RGB(255, 0, 0), c.At(20, 20));
  EXPECT_EQ(blue, SelectObject(c.dc, oldPen) == GetStockObject(NULL_PEN) ? blue : nullptr);
  SelectObject(c.dc, oldBrush);
  DeleteObject(blue);
  DeleteObject(red);
}

TEST(GdiShapes, SelectObjectReturnsThePreviousObjectOfItsKind) {
  Canvas c(4, 4);
  HBRUSH a = CreateSolidBrush(RGB(1, 2, 3));
  HBRUSH b = CreateSolidBrush(RGB(4, 5, 6));
  HGDIOBJ stock = SelectObject(c.dc, a);
  EXPECT_EQ(GetStockObject(WHITE_BRUSH), stock);
  EXPECT_EQ(a, SelectObject(c.dc, b));
  EXPECT_EQ(b, GetCurrentObject(c.dc, OBJ_BRUSH));
  EXPECT_EQ(static_cast<DWORD>(OBJ_BRUSH), GetObjectType(a));
  EXPECT_EQ(static_cast<DWORD>(OBJ_MEMDC), GetObjectType(c.dc));
  SelectObject(c.dc, stock);
  DeleteObject(a);
  DeleteObject(b);
  EXPECT_FALSE(DeleteObject(a));  // stale handles fail
  EXPECT_EQ(nullptr, SelectObject(c.dc, a));
}

TEST(GdiShapes, DeletingASelectedBrushKeepsTheDcUsable) {
  Canvas c(4, 4);
  HBRUSH brush = CreateSolidBrush(RGB(9, 9, 9));
  HGDIOBJ old = SelectObject(c.dc, brush);
  EXPECT_TRUE(DeleteObject(brush));
  EXPECT_TRUE(Rectangle(c.dc, 0, 0, 4, 4));
  EXPECT_EQ(RGB(9, 9, 9), c.At(2, 2));
  SelectObject(c.dc, old);
}

TEST(GdiClip, IntersectClipRectAndSaveRestore) {
  Canvas c(20, 20);
  HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  int level = SaveDC(c.dc);
  EXPECT_EQ(1, level);
  EXPECT_EQ(SIMPLEREGION, IntersectClipRect(c.dc, 5, 5, 10, 10));
  RECT box;
  EXPECT_EQ(SIMPLEREGION, GetClipBox(c.dc, &box));
  EXPECT_EQ(5, box.left);
  EXPECT_EQ(10, box.bottom);
  RECT all{0, 0, 20, 20};
  FillRect(c.dc, &all, black);
  EXPECT_EQ(RGB(0, 0, 0), c.At(5, 5));
  EXPECT_EQ(CLR_INVALID, GetPixel(c.dc, 0, 0));  // outside the clip
  EXPECT_TRUE(RestoreDC(c.dc, -1));
  EXPECT_FALSE(RestoreDC(c.dc, -1));  // nothing left to restore
  EXPECT_EQ(kWhite, c.At(4, 5));
  EXPECT_EQ(kWhite, c.At(10, 9));
  FillRect(c.dc, &all, black);
  EXPECT_EQ(RGB(0, 0, 0), c.At(0, 0));
}

TEST(GdiClip, SelectClipRgnCopiesTheRegion) {
  Canvas c(20, 20);
  HRGN rgn = CreateRectRgn(0, 0, 5, 5);
  HRGN other = CreateRectRgn(10, 10, 15, 15);
  CombineRgn(rgn, rgn, other, RGN_OR);
  EXPECT_EQ(COMPLEXREGION, SelectClipRgn(c.dc, rgn));
  SetRectRgn(rgn, 0, 0, 20, 20);  // the DC keeps its own copy
  RECT all{0, 0, 20, 20};
  FillRect(c.dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  EXPECT_EQ(RGB(0, 0, 0), c.At(12, 12));
  EXPECT_EQ(CLR_INVALID, c.At(7, 7));
  EXPECT_EQ(SIMPLEREGION, SelectClipRgn(c.dc, nullptr));
  EXPECT_EQ(kWhite, c.At(7, 7));
  DeleteObject(rgn);
  DeleteObject(other);
}

TEST(GdiRegion, CombineModesAndBoxes) {
  HRGN a = CreateRectRgn(0, 0, 10, 10);
  HRGN b = CreateRectRgn(5, 5, 15, 15);
  HRGN d = CreateRectRgn(0, 0, 0, 0);
  RECT box;
  EXPECT_EQ(SIMPLEREGION, CombineRgn(d, a, b, RGN_AND));
  GetRgnBox(d, &box);
  EXPECT_EQ((RECT{5, 5, 10, 10}).left, box.left);
  EXPECT_EQ(10, box.right);
  EXPECT_EQ(COMPLEXREGION, CombineRgn(d, a, b, RGN_OR));
  EXPECT_TRUE(PtInRegion(d, 14, 14));
  EXPECT_FALSE(PtInRegion(d, 14, 2));
  EXPECT_EQ(COMPLEXREGION, CombineRgn(d, a, b, RGN_XOR));
  EXPECT_FALSE(PtInRegion(d, 7, 7));
  EXPECT_EQ(COMPLEXREGION, CombineRgn(d, a, b, RGN_DIFF));
  EXPECT_TRUE(PtInRegion(d, 2, 2));
  EXPECT_FALSE(PtInRegion(d, 7, 7));
  EXPECT_EQ(NULLREGION, CombineRgn(d, a, a, RGN_DIFF));
  EXPECT_EQ(NULLREGION, GetRgnBox(d, &box));
  EXPECT_EQ(0, box.right);
  EXPECT_EQ(SIMPLEREGION, CombineRgn(d, b, nullptr, RGN_COPY));
  EXPECT_TRUE(EqualRgn(d, b));
  EXPECT_EQ(SIMPLEREGION, OffsetRgn(d, -5, -5));
  EXPECT_TRUE(EqualRgn(d, a));
  EXPECT_EQ(ERROR, CombineRgn(d, a, b, 42));
  DeleteObject(a);
  DeleteObject(b);
  DeleteObject(d);
  EXPECT_EQ(ERROR, CombineRgn(d, a, b, RGN_OR));
}

TEST(GdiRegion, RoundRectRegionLeavesOutRightAndBottomAndRoundsCorners) {
  // The program's window shape: (0, 0, width + 1, height + 1) with 4 x 4 corners covers the window.
  HRGN rgn = CreateRoundRectRgn(0, 0, 273, 199, 4, 4);
  RECT box;
  EXPECT_EQ(COMPLEXREGION, GetRgnBox(rgn, &box));
  EXPECT_EQ(0, box.left);
  EXPECT_EQ(0, box.top);
  EXPECT_EQ(272, box.right);
  EXPECT_EQ(198, box.bottom);
  EXPECT_FALSE(PtInRegion(rgn, 0, 0));
  EXPECT_FALSE(PtInRegion(rgn, 271, 197));
  EXPECT_FALSE(PtInRegion(rgn, 0, 197));
  EXPECT_TRUE(PtInRegion(rgn, 1, 0));
  EXPECT_TRUE(PtInRegion(rgn, 0, 1));
  EXPECT_TRUE(PtInRegion(rgn, 136, 100));
  DeleteObject(rgn);
  // Larger corners cut deeper, symmetrically.
  rgn = CreateRoundRectRgn(0, 0, 41, 41, 20, 20);
  EXPECT_FALSE(PtInRegion(rgn, 2, 2));
  EXPECT_FALSE(PtInRegion(rgn, 37, 37));
  EXPECT_TRUE(PtInRegion(rgn, 10, 0));
  EXPECT_TRUE(PtInRegion(rgn, 29, 39));
  DeleteObject(rgn);
  // Corners too small to round give a plain rectangle.
  rgn = CreateRoundRectRgn(0, 0, 11, 11, 1, 1);
  EXPECT_EQ(SIMPLEREGION, GetRgnBox(rgn, &box));
  EXPECT_EQ(10, box.right);
  DeleteObject(rgn);
}

TEST(GdiShapes, RoundRectDrawsTheRoundedShapeWithItsOutline) {
  Canvas c(30, 30);
  HPEN pen = CreatePen(PS_SOLID, 1, RGB(0, 0, 255));
  HBRUSH brush = CreateSolidBrush(RGB(0, 255, 0));
  HGDIOBJ oldPen = SelectObject(c.dc, pen), oldBrush = SelectObject(c.dc, brush);
  RoundRect(c.dc, 0, 0, 20, 20, 8, 8);
  EXPECT_EQ(kWhite, c.At(0, 0));
  EXPECT_EQ(RGB(0, 0, 255), c.At(10, 0));
  EXPECT_EQ(RGB(0, 0, 255), c.At(10, 19));
  EXPECT_EQ(RGB(0, 255, 0), c.At(10, 10));
  EXPECT_EQ(kWhite, c.At(20, 10));
  SelectObject(c.dc, oldPen);
  SelectObject(c.dc, oldBrush);
  DeleteObject(pen);
  DeleteObject(brush);
}

TEST(GdiImage, BitBltAndStretchBltCopyPixels) {
  Canvas src(4, 4), dst(16, 16);
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
  RECT half{0, 0, 2, 4};
  FillRect(src.dc, &half, red);
  EXPECT_TRUE(BitBlt(dst.dc, 1, 1, 4, 4, src.dc, 0, 0, SRCCOPY));
  EXPECT_EQ(RGB(255, 0, 0), dst.At(1, 1));
  EXPECT_EQ(RGB(255, 0, 0), dst.At(2, 4));
  EXPECT_EQ(kWhite, dst.At(3, 1));
  EXPECT_EQ(kWhite, dst.At(0, 0));
  EXPECT_TRUE(StretchBlt(dst.dc, 8, 8, 8, 8, src.dc, 0, 0, 4, 4, SRCCOPY));
  EXPECT_EQ(RGB(255, 0, 0), dst.At(11, 15));
  EXPECT_EQ(kWhite, dst.At(12, 8));
  // Overlapping copy within one bitmap.
  EXPECT_TRUE(BitBlt(dst.dc, 2, 1, 4, 4, dst.dc, 1, 1, SRCCOPY));
  EXPECT_EQ(RGB(255, 0, 0), dst.At(3, 1));
  EXPECT_EQ(kWhite, dst.At(4, 1));
  EXPECT_FALSE(BitBlt(dst.dc, 0, 0, 1, 1, src.dc, 0, 0, 0x00EE0086));  // SRCPAINT is not ours
  DeleteObject(red);
}

TEST(GdiImage, PngWithAlphaBlendsOverABackground) {
  HBITMAP png = static_cast<HBITMAP>(LoadImageW(nullptr, DataPath("half_red.png").c_str(), IMAGE_BITMAP, 0, 0,
                                                LR_LOADFROMFILE | LR_CREATEDIBSECTION));
  ASSERT_NE(nullptr, png);
  BITMAP bm;
  ASSERT_EQ(static_cast<int>(sizeof(bm)), GetObjectW(png, sizeof(bm), &bm));
  EXPECT_EQ(8, bm.bmWidth);
  EXPECT_EQ(8, bm.bmHeight);
  EXPECT_EQ(32, bm.bmBitsPixel);

  Canvas dst(20, 20);
  HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
  RECT all{0, 0, 20, 20};
  FillRect(dst.dc, &all, blue);
  HDC src = CreateCompatibleDC(dst.dc);
  HGDIOBJ old = SelectObject(src, png);
  BLENDFUNCTION bf{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  EXPECT_TRUE(AlphaBlend(dst.dc, 0, 0, 8, 8, src, 0, 0, 8, 8, bf));
  ExpectNear(dst.At(3, 3), RGB(128, 0, 127), 2);
  EXPECT_EQ(RGB(0, 0, 255), dst.At(8, 8));
  // Constant alpha on top of the pixel alpha; stretched to a larger rectangle.
  bf.SourceConstantAlpha = 128;
  EXPECT_TRUE(AlphaBlend(dst.dc, 10, 10, 10, 10, src, 0, 0, 8, 8, bf));
  ExpectNear(dst.At(15, 15), RGB(64, 0, 191), 2);
  // A source rectangle beyond the bitmap fails.
  EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 8, 8, src, 4, 0, 8, 8, bf));
  SelectObject(src, old);
  DeleteDC(src);
  DeleteObject(png);
  DeleteObject(blue);
}

TEST(GdiImage, TransparentPngPixelsLeaveTheBackground) {
  HBITMAP png = static_cast<HBITMAP>(
      LoadImageW(nullptr, DataPath("blue_left.png").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
  ASSERT_NE(nullptr, png);
  Canvas dst(8, 8);
  HDC src = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(src, png);
  BLENDFUNCTION bf{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  EXPECT_TRUE(AlphaBlend(dst.dc, 0, 0, 8, 8, src, 0, 0, 8, 8, bf));
  EXPECT_EQ(RGB(0, 0, 255), dst.At(1, 1));
  EXPECT_EQ(kWhite, dst.At(6, 1));
  SelectObject(src, old);
  DeleteDC(src);
  DeleteObject(png);
}

TEST(GdiImage, LoadImageReportsMissingAndInvalidFiles) {
  SetLastError(0);
  EXPECT_EQ(nullptr, LoadImageW(nullptr, u"/nonexistent/x.png", IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  std::string self = std::string(QV_SOURCE_DIR) + "/tests/platform/gdi.cmake";
  EXPECT_EQ(nullptr, LoadImageW(nullptr, std::u16string(self.begin(), self.end()).c_str(), IMAGE_BITMAP, 0, 0,
                                LR_LOADFROMFILE));
}

TEST(GdiImage, DibSectionPixelsAreTheBitmap) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = 4;
  bi.bmiHeader.biHeight = -4;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(nullptr, dib);
  ASSERT_NE(nullptr, bits);
  static_cast<uint32_t*>(bits)[4 * 2 + 1] = 0xFF102030u;  // BGRA bytes: R=0x10 G=0x20 B=0x30
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, dib);
  EXPECT_EQ(RGB(0x10, 0x20, 0x30), GetPixel(dc, 1, 2));
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(dib);
  bi.bmiHeader.biHeight = 4;  // bottom-up rows are refused, not misdrawn
  EXPECT_EQ(nullptr, CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
}

TEST(GdiImage, BitsWrittenIntoAFreshDibAreWhatBlitsAndBlendsCopy) {
  uint32_t* bits = nullptr;
  HBITMAP dib = TopDownDib(nullptr, 2, 2, &bits);
  ASSERT_NE(nullptr, dib);
  // Half-transparent black, premultiplied; never drawn on through GDI before.
  for (int i = 0; i < 4; ++i) bits[i] = 0x80000000u;
  HDC src = CreateCompatibleDC(nullptr);
  HGDIOBJ oldSrc = SelectObject(src, dib);
  HDC dst = CreateCompatibleDC(nullptr);
  HBITMAP canvas = CreateCompatibleBitmap(dst, 4, 4);
  HGDIOBJ oldDst = SelectObject(dst, canvas);
  RECT all{0, 0, 4, 4};
  FillRect(dst, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  ASSERT_TRUE(AlphaBlend(dst, 0, 0, 2, 2, src, 0, 0, 2, 2, blend));
  EXPECT_NEAR(GetRValue(GetPixel(dst, 1, 1)), 127, 2) << "the written pixels were taken for empty ones";
  // Bits changed again after GDI has used the DIB are seen too.
  for (int i = 0; i < 4; ++i) bits[i] = 0xFF0000FFu;
  ASSERT_TRUE(BitBlt(dst, 2, 2, 2, 2, src, 0, 0, SRCCOPY));
  EXPECT_EQ(RGB(0, 0, 255), GetPixel(dst, 3, 3));
  SelectObject(src, oldSrc);
  SelectObject(dst, oldDst);
  DeleteDC(src);
  DeleteDC(dst);
  DeleteObject(dib);
  DeleteObject(canvas);
}

// A stretched image is smoothed inside but its edges keep their own colours: what lies beyond the
// image does not bleed in (a skin's stretched pieces would show seams of the background).
TEST(GdiImage, AStretchedImageKeepsItsEdgesSolid) {
  uint32_t* bits = nullptr;
  HBITMAP dib = TopDownDib(nullptr, 2, 1, &bits);
  ASSERT_NE(nullptr, dib);
  bits[0] = 0xFF000000u;
  bits[1] = 0xFFFFFFFFu;
  HDC src = CreateCompatibleDC(nullptr);
  HGDIOBJ oldSrc = SelectObject(src, dib);
  HDC dst = CreateCompatibleDC(nullptr);
  HBITMAP canvas = CreateCompatibleBitmap(dst, 8, 3);
  HGDIOBJ oldDst = SelectObject(dst, canvas);
  RECT all{0, 0, 8, 3};
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
  FillRect(dst, &all, red);
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  ASSERT_TRUE(AlphaBlend(dst, 0, 0, 8, 3, src, 0, 0, 2, 1, blend));
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(RGB(0, 0, 0), GetPixel(dst, 0, y)) << y;
    EXPECT_EQ(RGB(255, 255, 255), GetPixel(dst, 7, y)) << y;
  }
  COLORREF middle = GetPixel(dst, 4, 1);
  EXPECT_TRUE(GetRValue(middle) == GetGValue(middle) && middle != RGB(0, 0, 0) && middle != RGB(255, 255, 255))
      << std::hex << middle;
  SelectObject(src, oldSrc);
  SelectObject(dst, oldDst);
  DeleteObject(red);
  DeleteDC(src);
  DeleteDC(dst);
  DeleteObject(dib);
  DeleteObject(canvas);
}

TEST(GdiImage, ExtremeCoordinatesAreHandledWithoutOverflow) {
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bmp = CreateCompatibleBitmap(dc, 8, 8);
  HGDIOBJ old = SelectObject(dc, bmp);
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
  RECT everything{INT_MIN, 0, INT_MAX, 4};
  EXPECT_TRUE(FillRect(dc, &everything, red));
  EXPECT_EQ(RGB(255, 0, 0), GetPixel(dc, 3, 2)) << "a rectangle over the whole int range covers the bitmap";
  // A source window that would wrap around past the bitmap's edge is refused.
  HDC src = CreateCompatibleDC(nullptr);
  HBITMAP srcBmp = CreateCompatibleBitmap(dc, 8, 8);
  HGDIOBJ srcOld = SelectObject(src, srcBmp);
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, 0};
  EXPECT_FALSE(AlphaBlend(dc, 0, 0, 4, 4, src, 5, 0, INT_MAX, 4, blend));
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = 4;
  bi.bmiHeader.biHeight = INT_MIN;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  EXPECT_EQ(nullptr, CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
  SelectObject(src, srcOld);
  DeleteObject(srcBmp);
  DeleteDC(src);
  SelectObject(dc, old);
  DeleteObject(red);
  DeleteObject(bmp);
  DeleteDC(dc);
}

TEST(GdiObjects, ABitmapIsSelectedIntoOneDcAtATime) {
  HDC a = CreateCompatibleDC(nullptr), b = CreateCompatibleDC(nullptr);
  HBITMAP bmp = CreateCompatibleBitmap(a, 2, 2);
  HGDIOBJ oldA = SelectObject(a, bmp);
  EXPECT_NE(nullptr, oldA);
  EXPECT_EQ(nullptr, SelectObject(b, bmp));
  SelectObject(a, oldA);
  HGDIOBJ oldB = SelectObject(b, bmp);
  EXPECT_NE(nullptr, oldB);
  SelectObject(b, oldB);
  DeleteObject(bmp);
  DeleteDC(a);
  DeleteDC(b);
}

TEST(GdiObjects, HundredThousandFontsBrushesAndDcsLeaveNothingBehind) {
  size_t before = qvplatform::testing::LiveGdiObjects();
  LOGFONTW lf{};
  lf.lfHeight = 13;
  const char16_t face[] = u"宋体";
  std::copy(face, face + 3, lf.lfFaceName);
  for (int i = 0; i < 100000; ++i) {
    HFONT font = CreateFontIndirectW(&lf);
    HBRUSH brush = CreateSolidBrush(RGB(i & 255, 0, 0));
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ oldFont = SelectObject(dc, font);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBrush);
    ASSERT_TRUE(DeleteDC(dc));
    ASSERT_TRUE(DeleteObject(font));
    ASSERT_TRUE(DeleteObject(brush));
  }
  EXPECT_EQ(before, qvplatform::testing::LiveGdiObjects());
}
