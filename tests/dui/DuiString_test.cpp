#include "dui/DuiString.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

std::u16string S(const CDuiString& s) { return std::u16string(s.GetData(), static_cast<size_t>(s.GetLength())); }

TEST(DuiString, ConstructsFromWideTextNullAndPrefix) {
  EXPECT_EQ(S(CDuiString()), u"");
  EXPECT_TRUE(CDuiString().IsEmpty());
  EXPECT_EQ(S(CDuiString(u"直播abc")), u"直播abc");
  EXPECT_EQ(CDuiString(u"直播abc").GetLength(), 5);
  EXPECT_EQ(S(CDuiString(static_cast<LPCWSTR>(nullptr))), u"");
  EXPECT_EQ(S(CDuiString(u"abcdef", 3)), u"abc");
  const WCHAR unterminated[2] = {u'x', u'y'};  // nothing past the length is read (ASan watches)
  EXPECT_EQ(S(CDuiString(unterminated, 2)), u"xy");
  EXPECT_EQ(S(CDuiString(u"ab\0cd", 5)), u"ab");
  EXPECT_EQ(S(CDuiString(u"ab", 10)), u"ab");
  EXPECT_EQ(S(CDuiString(u"ab", -1)), u"ab");
  EXPECT_EQ(S(CDuiString(u'x')), u"x");
  // Characters outside the BMP are two code units.
  EXPECT_EQ(CDuiString(u"😀").GetLength(), 2);
}

TEST(DuiString, GetDataIsTerminatedAndEmptyClears) {
  CDuiString s(u"hello");
  EXPECT_EQ(s.GetData()[5], u'\0');
  EXPECT_EQ(s.GetAt(1), u'e');
  EXPECT_EQ(s[4], u'o');
  EXPECT_EQ(s.GetAt(5), u'\0');
  EXPECT_EQ(s.GetAt(-1), u'\0');
  s.Empty();
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(s.GetData()[0], u'\0');
}

TEST(DuiString, ComparesOrdinallyBothWays) {
  CDuiString a(u"abc");
  EXPECT_TRUE(a == u"abc");
  EXPECT_TRUE(u"abc" == a);
  EXPECT_TRUE(a == CDuiString(u"abc"));
  EXPECT_TRUE(a != u"abd");
  EXPECT_TRUE(u"abd" != a);
  EXPECT_TRUE(a < u"abd");
  EXPECT_TRUE(a > u"ab");
  EXPECT_TRUE(a <= u"abc");
  EXPECT_TRUE(a >= u"abc");
  EXPECT_LT(a.Compare(u"b"), 0);
  EXPECT_GT(a.Compare(nullptr), 0);
  EXPECT_EQ(CDuiString().Compare(nullptr), 0);
  // Not equal to a longer text that shares its start.
  EXPECT_FALSE(a == u"abcd");
}

TEST(DuiString, ConcatenatesAndSelfAppends) {
  CDuiString a(u"Ann");
  CDuiString b = a + u" 说:" + CDuiString(u"hi");
  EXPECT_EQ(S(b), u"Ann 说:hi");
  EXPECT_EQ(S(u"<" + a), u"<Ann");
  a += a;
  EXPECT_EQ(S(a), u"AnnAnn");
  a += u'!';
  a += static_cast<LPCWSTR>(nullptr);
  EXPECT_EQ(S(a), u"AnnAnn!");
  a = a.GetData() + 3;  // assigning a tail of itself
  EXPECT_EQ(S(a), u"Ann!");
}

TEST(DuiString, ReplaceChangesEveryOccurrenceOnce) {
  CDuiString s(u"a[x]b[x][x]");
  EXPECT_EQ(s.Replace(u"[x]", u"[鼓掌]"), 3);
  EXPECT_EQ(S(s), u"a[鼓掌]b[鼓掌][鼓掌]");
  // The replacement itself contains the pattern: it is not replaced again.
  CDuiString t(u"aa");
  EXPECT_EQ(t.Replace(u"a", u"aa"), 2);
  EXPECT_EQ(S(t), u"aaaa");
  // Overlapping candidates are taken left to right.
  CDuiString u(u"aaa");
  EXPECT_EQ(u.Replace(u"aa", u"b"), 1);
  EXPECT_EQ(S(u), u"ba");
  CDuiString v(u"abc");
  EXPECT_EQ(v.Replace(u"b", u""), 1);
  EXPECT_EQ(S(v), u"ac");
  EXPECT_EQ(v.Replace(u"", u"z"), 0);
  EXPECT_EQ(v.Replace(u"q", u"z"), 0);
  EXPECT_EQ(v.Replace(u"a", nullptr), 1);
  EXPECT_EQ(S(v), u"c");
}

TEST(DuiString, FindReportsPositionOrMinusOne) {
  CDuiString s(u"hi[x_01good]");
  EXPECT_EQ(s.Find(u"[x_"), 2);
  EXPECT_EQ(s.Find(u"[x_", 3), -1);
  EXPECT_EQ(s.Find(u"zz"), -1);
  EXPECT_EQ(s.Find(u"h", 99), -1);
}

TEST(DuiString, FormatsIntegersOfEveryWidth) {
  CDuiString s;
  EXPECT_EQ(s.Format(u"%d%%", 57), 3);
  EXPECT_EQ(S(s), u"57%");
  s.Format(u"%d|%d|%i", 0, -42, INT_MIN);
  EXPECT_EQ(S(s), u"0|-42|-2147483648");
  s.Format(u"%03d|%03d|%03d|%3d|%-3d|", 7, 1234, -5, 7, 7);
  EXPECT_EQ(S(s), u"007|1234|-05|  7|7  |");
  s.Format(u"%I64d|%I64d|%I64d", static_cast<long long>(INT64_MAX), static_cast<long long>(INT64_MIN),
           static_cast<long long>(-1));
  EXPECT_EQ(S(s), u"9223372036854775807|-9223372036854775808|-1");
  s.Format(u"%lld|%u|%x|%X|%+d", 5LL, 4000000000u, 255u, 255u, 3);
  EXPECT_EQ(S(s), u"5|4000000000|ff|FF|+3");
  s.Format(u"dest='%d,%d,%d,%d'", 1, 2, 3, 4);
  EXPECT_EQ(S(s), u"dest='1,2,3,4'");
  s.Format(u"%*d|%.3d", 4, 9, 9);
  EXPECT_EQ(S(s), u"   9|009");
}

TEST(DuiString, FormatsWideTextAndCharacters) {
  CDuiString s;
  CDuiString name(u"玫瑰");
  s.Format(u" 送出 %I64d%s%s", 12LL, u"个", name.GetData());
  EXPECT_EQ(S(s), u" 送出 12个玫瑰");
  s.Format(u"[%s][%5s][%-4s][%.1s]", u"", u"ab", u"ab", u"xyz");
  EXPECT_EQ(S(s), u"[][   ab][ab  ][x]");
  s.Format(u"%s", static_cast<LPCWSTR>(nullptr));
  EXPECT_EQ(S(s), u"(null)");
  s.Format(u"%c%c", u'A', u'说');
  EXPECT_EQ(S(s), u"A说");
  // A format that is the string's own text.
  s = u"%d!";
  s.Format(s.GetData(), 5);
  EXPECT_EQ(S(s), u"5!");
}

TEST(DuiString, FormatKeepsUnknownConversionsAndTrailingPercent) {
  CDuiString s;
  s.Format(u"%q %d %", 3);
  EXPECT_EQ(S(s), u"%q 3 %");
  s.Format(nullptr);
  EXPECT_TRUE(s.IsEmpty());
}

}  // namespace
