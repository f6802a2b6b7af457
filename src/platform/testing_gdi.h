// Test hooks of the GDI part: font configuration, object counts and pixel read-back of windows and
// of the composed headless desktop. The program itself never calls these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "win32/types.h"

namespace qvplatform::testing {

// Where the font alias file is read from (before the first text call; default: Skins/fonts.conf
// next to the executable).
void SetFontConfigFile(const std::string& path);

// GDI objects (fonts, brushes, pens, regions, bitmaps, DCs) currently alive, stock objects aside.
size_t LiveGdiObjects();
// How many times a window's DC was released after something was drawn through it (each time the
// display is given the window's new image).
size_t WindowImagesShown();
// Shaped runs and measured widths that the fonts in use keep cached (a font's go with it).
size_t CachedTextRuns();
// Bytes of rendered text coverage the fonts in use keep (a font's go with it).
size_t CachedTextMaskBytes();

// An image read back from the layer: 0x00RRGGBB pixels, rows top-down.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  COLORREF At(int x, int y) const {
    uint32_t v = pixels[static_cast<size_t>(y) * width + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  }
};

// The colour of the headless desktop where no window covers it.
constexpr COLORREF kDesktopColor = RGB(0x3A, 0x6E, 0xA5);

// A window's own image, window rectangle sized (empty when it never painted).
bool ReadWindowPixels(HWND hwnd, Image& out);
// The headless desktop as shown: visible top-level windows in z-order with their layered alpha,
// colour key and window region applied.
bool ReadDesktopPixels(Image& out);
bool SavePng(const Image& image, const std::string& path);

}  // namespace qvplatform::testing
