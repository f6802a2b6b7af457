// Code pages other than UTF-8 through the public conversion functions.
#include <gtest/gtest.h>

#include <string>

#include "platform/testing.h"
#include "platform/win32.h"

namespace {

std::u16string Decode(UINT cp, const std::string& bytes, DWORD flags = 0) {
  int n = MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return u"<error>";
  std::u16string out(static_cast<size_t>(n), u'\0');
  EXPECT_EQ(MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), &out[0], n), n);
  return out;
}

std::string Encode(UINT cp, const std::u16string& text, BOOL* usedDefault = nullptr, const char* defaultChar = nullptr) {
  int n = WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, defaultChar, usedDefault);
  if (n <= 0) return "<error>";
  std::string out(static_cast<size_t>(n), '\0');
  EXPECT_EQ(WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), &out[0], n, defaultChar,
                                usedDefault),
            n);
  return out;
}

TEST(CodePages, ChineseJapaneseKoreanRoundTrip) {
  struct Row {
    UINT cp;
    std::string bytes;
    std::u16string text;
  } rows[] = {
      {936, "\xD6\xD0\xCE\xC4", u"\u4e2d\u6587"},
      {950, "\xA4\xA4\xA4\xE5", u"\u4e2d\u6587"},
      {932, "\x93\xfa\x96\x7b", u"\u65e5\u672c"},
      {949, "\xC7\xD1\xB1\xB9", u"\ud55c\uad6d"},
      {54936, "\x81\x30\x81\x30\x95\x32\x82\x36", u"\u0080\U00020000"},
      {1252, "\x80\xE9", u"\u20ac\u00e9"},
      {1251, "\xCF\xF0", u"\u041f\u0440"},
      {28591, "\xE9\xFF", u"\u00e9\u00ff"},
      {20127, "plain", u"plain"},
      {20866, "\xF0", u"\u041f"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Decode(row.cp, row.bytes), row.text) << row.cp;
    EXPECT_EQ(Encode(row.cp, row.text), row.bytes) << row.cp;
  }
}

TEST(CodePages, BytesWithoutMappingBecomeTheDefaultCharacterUnlessStrict) {
  EXPECT_EQ(Decode(936, "a\xFF" "b"), u"a?b");
  EXPECT_EQ(Decode(932, "a\xA0"), u"a\u30fb");
  EXPECT_EQ(Decode(20127, "\xE9"), u"?");
  EXPECT_EQ(Decode(936, "\xD6"), u"?");  // cut-off double-byte character
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, "a\xFF", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(CodePages, CharactersWithoutMappingUseTheDefaultCharacter) {
  BOOL used = FALSE;
  EXPECT_EQ(Encode(1252, u"a\u4e2db", &used), "a?b");
  EXPECT_TRUE(used);
  used = FALSE;
  EXPECT_EQ(Encode(1252, u"abc", &used), "abc");
  EXPECT_FALSE(used);
  EXPECT_EQ(Encode(28591, u"\U0001F600", &used, "#"), "#");  // a pair is one character
  EXPECT_TRUE(used);
  EXPECT_EQ(Encode(936, u"x\xD800y", &used), "x?y");  // an unpaired surrogate
}

TEST(CodePages, StatefulEncodingsEndInTheirInitialState) {
  std::string bytes = Encode(50220, u"\u65e5a");
  EXPECT_EQ(bytes, "\x1b$BF|\x1b(Ba");
  EXPECT_EQ(Decode(50220, bytes), u"\u65e5a");
}

TEST(CodePages, UnknownCodePageIsRefused) {
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(12345, 0, "a", 1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(12345, 0, u"a", 1, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CodePages, AnsiCodePageFollowsTheTestHook) {
  qvplatform::testing::SetACP(936);
  EXPECT_EQ(Decode(CP_ACP, "\xD6\xD0"), u"\u4e2d");
  qvplatform::testing::SetACP(1252);
  EXPECT_EQ(Decode(CP_ACP, "\xD6\xD0"), u"\u00d6\u00d0");
  qvplatform::testing::SetACP(0);
}

}  // namespace
