// Text speed: GetTextExtentPoint32W on a 20-character mixed CJK/Latin line (the overlay measures
// every prefix of every line on each paint), TextOutW of the same line, and TextOutW of lines never
// drawn before (each one shaped and its coverage rendered: what a new chat message costs).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/testing_gdi.h"
#include "platform/win32.h"

namespace {

template <class Fn>
double CallsPerSecond(int calls, Fn fn) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) fn(i);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return calls / took.count();
}

}  // namespace

int main() {
  qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  const std::u16string line = u"主播Anchor说今天PK赢了吗？ok!";  // 20 UTF-16 units
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, 400, 40);
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  LOGFONTW lf{};
  lf.lfHeight = 13;
  lf.lfFaceName[0] = u'宋';
  lf.lfFaceName[1] = u'体';
  HFONT font = CreateFontIndirectW(&lf);
  HGDIOBJ oldFont = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);

  const int n = static_cast<int>(line.size());
  SIZE size;
  double whole = CallsPerSecond(20000, [&](int) { GetTextExtentPoint32W(dc, line.data(), n, &size); });
  double prefixes = CallsPerSecond(20000, [&](int i) { GetTextExtentPoint32W(dc, line.data(), 1 + i % n, &size); });
  double drawn = CallsPerSecond(100000, [&](int i) { TextOutW(dc, i % 50, 10, line.data(), n); });
  // Distinct lines of the same length: every call misses the font's caches.
  std::vector<std::u16string> fresh;
  for (int i = 0; i < 3000; ++i) {
    std::u16string digits;
    for (int v = i + 1000; v > 0; v /= 10) digits.insert(digits.begin(), static_cast<char16_t>(u'0' + v % 10));
    fresh.push_back(u"主播Anchor说PK赢了吗" + digits + u"ok!");
  }
  double first = CallsPerSecond(static_cast<int>(fresh.size()), [&](int i) {
    TextOutW(dc, i % 50, 10, fresh[i].data(), static_cast<int>(fresh[i].size()));
  });
  std::printf("line: %d UTF-16 units, %ld px wide at height 13\n", n, static_cast<long>(size.cx));
  std::printf("GetTextExtentPoint32W, whole line: %.0f calls/s\n", whole);
  std::printf("GetTextExtentPoint32W, every prefix: %.0f calls/s (%.0f full overlay wraps of 15 lines/s)\n",
              prefixes, prefixes / (15.0 * n));
  std::printf("TextOutW, whole line: %.0f calls/s\n", drawn);
  std::printf("TextOutW, first draw of a line: %.0f calls/s\n", first);

  SelectObject(dc, oldFont);
  SelectObject(dc, oldBitmap);
  DeleteObject(font);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return 0;
}
