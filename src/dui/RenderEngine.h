// Drawing for controls, on the GDI subset: colours with alpha, lines, rectangles, plain and
// lightly marked-up text, and image descriptions.
#pragma once

#include "dui/DuiString.h"
#include "platform/win32.h"

class CPaintManagerUI;
struct TImageInfo;

class CRenderEngine {
 public:
  // Loads a PNG file (a full path) into a 32-bit premultiplied bitmap; null when it cannot.
  // Pixels of colour dwMask (0xAARRGGBB with a non-zero alpha) become fully transparent.
  static TImageInfo* LoadImage(LPCWSTR pstrPath, DWORD dwMask = 0);
  static void FreeImage(TImageInfo* pImage);

  // Draws the part rcBmpPart of the bitmap into rc, clipped to rcPaint. rcCorners keeps the
  // corners unscaled (nine-patch); uFade scales the alpha; bHole leaves the middle out.
  static void DrawImage(HDC hDC, HBITMAP hBitmap, const RECT& rc, const RECT& rcPaint, const RECT& rcBmpPart,
                        const RECT& rcCorners, bool bAlpha, BYTE uFade = 255, bool bHole = false,
                        bool bTiledX = false, bool bTiledY = false);
  // An image description: a bare file name, or file='…' with restype, dest, source, corner, mask,
  // fade, hole, xtiled and ytiled. pStrModify is read after it and overrides it. The image goes
  // into rcItem (or dest, relative to rcItem). False when the image cannot be found or loaded.
  static bool DrawImageString(HDC hDC, CPaintManagerUI* pManager, const RECT& rcItem, const RECT& rcPaint,
                              LPCWSTR pStrImage, LPCWSTR pStrModify = nullptr);

  // Colours are 0xAARRGGBB; an alpha below 255 blends, 0 draws nothing.
  static void DrawColor(HDC hDC, const RECT& rc, DWORD color);
  static void DrawLine(HDC hDC, const RECT& rc, int nSize, DWORD dwPenColor, int nStyle = PS_SOLID);
  static void DrawRect(HDC hDC, const RECT& rc, int nSize, DWORD dwPenColor);

  // Text in the manager's font iFont (-1: the default font) with the DT_* style. With
  // DT_CALCRECT only the rectangle is computed.
  static void DrawTextW(HDC hDC, CPaintManagerUI* pManager, RECT& rc, LPCWSTR pstrText, DWORD dwTextColor,
                        int iFont, UINT uStyle);
  // Text with markup: <b> </b>, <i> </i>, <u> </u>, <c #AARRGGBB> </c>, <f n> </f> (font index),
  // <n> (line break), <a> </a> (a link, whose rectangles are returned), {x n} (n pixels of space);
  // "<<" and "{{" stand for the characters themselves. Lines wrap at spaces with DT_WORDBREAK unless
  // DT_SINGLELINE. With DT_CALCRECT only the rectangle is computed.
  static void DrawHtmlText(HDC hDC, CPaintManagerUI* pManager, RECT& rc, LPCWSTR pstrText, DWORD dwTextColor,
                           RECT* pLinks, CDuiString* sLinks, int& nLinkRects, UINT uStyle);
  static SIZE GetTextSize(HDC hDC, CPaintManagerUI* pManager, LPCWSTR pstrText, int iFont, UINT uStyle);
};
