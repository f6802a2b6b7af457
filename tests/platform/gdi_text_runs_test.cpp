// Text drawn from cached shaped runs: a run draws the same however often and wherever it is drawn,
// ink reaching beyond the cell's rows is still cut off there, and that cut leaves later text alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/testing_gdi.h"
#include "platform/win32.h"

namespace {

// A white DIB section with a 13-pixel font selected, black text, transparent background.
class RunCanvas : public ::testing::Test {
 protected:
  static constexpr int kWidth = 320, kHeight = 70;

  static void SetUpTestSuite() {
    qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  }
  void SetUp() override {
    dc_ = CreateCompatibleDC(nullptr);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = kWidth;
    bi.bmiHeader.biHeight = -kHeight;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    bitmap_ = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    ASSERT_NE(bitmap_, nullptr);
    oldBitmap_ = SelectObject(dc_, bitmap_);
    LOGFONTW lf{};
    lf.lfHeight = 13;
    lf.lfFaceName[0] = u'宋';
    lf.lfFaceName[1] = u'体';
    font_ = CreateFontIndirectW(&lf);
    oldFont_ = SelectObject(dc_, font_);
    SetBkMode(dc_, TRANSPARENT);
    SetTextColor(dc_, RGB(0, 0, 0));
    Clear();
  }
  void TearDown() override {
    SelectObject(dc_, oldFont_);
    SelectObject(dc_, oldBitmap_);
    DeleteObject(font_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  void Clear() {
    RECT all{0, 0, kWidth, kHeight};
    FillRect(dc_, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  void Draw(int x, int y, const std::u16string& s) {
    ASSERT_TRUE(TextOutW(dc_, x, y, s.data(), static_cast<int>(s.size())));
  }
  std::vector<uint32_t> Pixels() const {
    std::vector<uint32_t> out(bits_, bits_ + kWidth * kHeight);
    for (uint32_t& p : out) p &= 0xFFFFFF;
    return out;
  }
  bool Inked(int x, int y) const { return (bits_[y * kWidth + x] & 0xFFFFFF) != 0xFFFFFF; }
  bool RowsInked(int top, int bottom) const {
    for (int y = std::max(0, top); y < std::min(kHeight, bottom); ++y)
      for (int x = 0; x < kWidth; ++x)
        if (Inked(x, y)) return true;
    return false;
  }

  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HFONT font_ = nullptr;
  HGDIOBJ oldBitmap_ = nullptr, oldFont_ = nullptr;
  uint32_t* bits_ = nullptr;
};

// Ideographs, Latin with glyphs whose ink boxes meet ("ok!", "fij"), and a space: a run of several
// parts in several scripts.
const std::u16string kMixed = u"主播Anchor说今天PK赢了吗？ok! fij";
const char16_t kTall[] = u"\u1EAA\u01FA";  // Ẫ Ǻ

TEST_F(RunCanvas, ARunDrawsTheSameEveryTimeAndAtEveryPlace) {
  Draw(10, 20, kMixed);
  const std::vector<uint32_t> first = Pixels();
  ASSERT_TRUE(RowsInked(20, 40)) << "nothing drawn";
  Clear();
  Draw(10, 20, kMixed);
  EXPECT_EQ(Pixels(), first) << "drawn again from the cache, the run differs";
  for (int dx : {1, 3, 8})
    for (int dy : {0, 5}) {
      Clear();
      Draw(10 + dx, 20 + dy, kMixed);
      int differing = 0;
      for (int y = 0; y + dy < kHeight; ++y)
        for (int x = 0; x + dx < kWidth; ++x)
          differing += (first[y * kWidth + x] != (bits_[(y + dy) * kWidth + x + dx] & 0xFFFFFF));
      EXPECT_EQ(differing, 0) << "moved by " << dx << "," << dy;
    }
}

TEST_F(RunCanvas, InkBeyondTheCellRowsIsCutOff) {
  TEXTMETRICW tm{};
  ASSERT_TRUE(GetTextMetricsW(dc_, &tm));
  const int top = 30;
  // Capitals with two marks above rise above the cell's top at this size.
  for (const std::u16string& s : {std::u16string(kTall), u"ok " + std::u16string(kTall) + u" 主播"}) {
    Clear();
    Draw(20, top, s);
    EXPECT_FALSE(RowsInked(0, top)) << "ink above the cell";
    EXPECT_FALSE(RowsInked(top + tm.tmHeight, kHeight)) << "ink below the cell";
    EXPECT_TRUE(RowsInked(top, top + 1)) << "the marks do not reach the cell's top row";
  }
}

TEST_F(RunCanvas, TextAfterACutRunIsNotCut) {
  Draw(20, 40, kTall);
  ASSERT_FALSE(RowsInked(0, 40));
  Draw(20, 5, kMixed);  // wholly above the first run's cell
  EXPECT_TRUE(RowsInked(5, 20));
}

}  // namespace
