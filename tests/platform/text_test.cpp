// Text conversion against the values Windows gives.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/codepages.h"
#include "platform/testing.h"
#include "platform/utf.h"
#include "platform/win32.h"

namespace qvp {
UINT CodePageForCodeset(const char* codeset);  // text.cpp's locale table
}

namespace {

const char kWelcomeUtf8[] = "\xE6\xAC\xA2\xE8\xBF\x8E\xE4\xBD\xBF\xE7\x94\xA8Qv\xE7\x9B\xB4\xE6\x92\xAD\xE5\x8A\xA9\xE6\x89\x8B";
const char16_t kWelcome[] = u"欢迎使用Qv直播助手";

std::u16string ToWide(const std::string& bytes, DWORD flags = 0) {
  int n = MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  if (n > 0) {
    EXPECT_EQ(n, MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), n));
  }
  return out;
}

std::string ToBytes(const std::u16string& wide, DWORD flags = 0) {
  int n = WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  if (n > 0) {
    EXPECT_EQ(n, WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                                     nullptr, nullptr));
  }
  return out;
}

// Plain reference encoder for one scalar value.
std::string EncodeScalar(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

TEST(Utf8ToWide, BmpCjkAndAstralMatchWindows) {
  EXPECT_EQ(ToWide("Hello"), u"Hello");
  EXPECT_EQ(ToWide("\xC3\xA9\xE2\x82\xAC"), u"\u00E9\u20AC");
  EXPECT_EQ(ToWide(kWelcomeUtf8), kWelcome);
  EXPECT_EQ(ToWide("a\xF0\x9F\x98\x80z"), std::u16string(u"a\xD83D\xDE00z"));
  EXPECT_EQ(ToWide("\xF4\x8F\xBF\xBF"), std::u16string(u"\xDBFF\xDFFF"));
  EXPECT_EQ(ToWide("\xEF\xBF\xBF"), std::u16string(1, u'\xFFFF'));
}

TEST(Utf8ToWide, EachMaximalIllFormedSubpartBecomesOneReplacement) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\xC0\x80", u"\uFFFD\uFFFD"},                  // overlong NUL
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},        // overlong three-byte
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},        // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\x80", u"\uFFFD"},                            // stray continuation
      {"a\xBF\xBF" "b", u"a\uFFFD\uFFFDb"},
      {"\xE6\xAC", u"\uFFFD"},                        // truncated at the end
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"\xE6\xAC" "A", u"\uFFFDA"},                   // broken by an ASCII byte
      {"\xF0\x9F" "\xE6\xAC\xA2", u"\uFFFD\u6B22"},   // broken by a new lead
      {"\xFF\xFE", u"\uFFFD\uFFFD"},
      {"abcdefg\x80hijklmnop\xC2", u"abcdefg\uFFFDhijklmnop\uFFFD"},  // inside and after ASCII runs
  };
  for (const Case& c : cases) EXPECT_EQ(ToWide(c.in), c.out) << "input of " << c.in.size() << " bytes";
}

TEST(Utf8ToWide, EveryScalarValueRoundTrips) {
  std::string all;
  std::u16string expected;
  for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    all += EncodeScalar(cp);
    if (cp >= 0x10000) {
      expected += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      expected += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      expected += static_cast<char16_t>(cp);
    }
  }
  std::u16string wide = ToWide(all, MB_ERR_INVALID_CHARS);
  EXPECT_TRUE(wide == expected);
  EXPECT_TRUE(ToBytes(wide, WC_ERR_INVALID_CHARS) == all);
}

TEST(WideToUtf8, CjkAndAstralMatchWindows) {
  EXPECT_EQ(ToBytes(kWelcome), kWelcomeUtf8);
  EXPECT_EQ(ToBytes(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(ToBytes(u"\u00E9"), "\xC3\xA9");
}

TEST(WideToUtf8, UnpairedSurrogatesBecomeReplacement) {
  EXPECT_EQ(ToBytes(std::u16string(u"\xD800" u"a")), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(ToBytes(std::u16string(u"a\xDC00")), "a\xEF\xBF\xBD");
  EXPECT_EQ(ToBytes(std::u16string(u"\xDE00\xD83D")), "\xEF\xBF\xBD\xEF\xBF\xBD");  // reversed pair
  EXPECT_EQ(ToBytes(std::u16string(u"\xD83D")), "\xEF\xBF\xBD");                  // high one at the end
}

TEST(Conversion, StrictFlagsRejectIllFormedInput) {
  char16_t wide[8];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC0\x80", 3, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xE6\xAC", 2, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());

  char bytes[8];
  const char16_t lone[] = {u'a', 0xD800, u'b'};
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, bytes, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST(Conversion, MinusOneCountsAndWritesTheTerminator) {
  EXPECT_EQ(11, MultiByteToWideChar(CP_UTF8, 0, kWelcomeUtf8, -1, nullptr, 0));
  char16_t wide[11];
  std::fill(std::begin(wide), std::end(wide), u'#');
  ASSERT_EQ(11, MultiByteToWideChar(CP_UTF8, 0, kWelcomeUtf8, -1, wide, 11));
  EXPECT_EQ(std::u16string(wide), kWelcome);
  EXPECT_EQ(u'\0', wide[10]);

  EXPECT_EQ(27, WideCharToMultiByte(CP_UTF8, 0, kWelcome, -1, nullptr, 0, nullptr, nullptr));
  char bytes[27];
  std::fill(std::begin(bytes), std::end(bytes), '#');
  ASSERT_EQ(27, WideCharToMultiByte(CP_UTF8, 0, kWelcome, -1, bytes, 27, nullptr, nullptr));
  EXPECT_STREQ(kWelcomeUtf8, bytes);

  // With an explicit length nothing is added, and embedded NULs are ordinary characters.
  char16_t three[4] = {u'#', u'#', u'#', u'#'};
  ASSERT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "a\0b", 3, three, 4));
  EXPECT_EQ(std::u16string(three, 4), std::u16string(u"a\0b#", 4));
  char out[4] = {'#', '#', '#', '#'};
  ASSERT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, u"x\0y", 3, out, 4, nullptr, nullptr));
  EXPECT_EQ(std::string(out, 4), std::string("x\0y#", 4));
}

TEST(Conversion, TooSmallBufferFailsAndExactFitSucceeds) {
  char16_t wide[16];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 3));  // no room for the NUL
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 4));
  // A surrogate pair needs both units.
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  char bytes[16];
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"\u6B22", 1, bytes, 2, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, u"\u6B22", 1, bytes, 3, nullptr, nullptr));
}

TEST(Conversion, BadArgumentsFailWithInvalidParameter) {
  char16_t wide[8];
  char bytes[8];
  BOOL used = FALSE;
  auto expectInvalid = [](int result) {
    EXPECT_EQ(0, result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
  };
  expectInvalid(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8));
  expectInvalid(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8));
  expectInvalid(MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 8));
  expectInvalid(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 8));
  expectInvalid(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, -1));
  expectInvalid(WideCharToMultiByte(CP_UTF8, 0, u"abc", 0, bytes, 8, nullptr, nullptr));
  expectInvalid(WideCharToMultiByte(CP_UTF8, 0, nullptr, 3, bytes, 8, nullptr, nullptr));
  expectInvalid(WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, nullptr, 8, nullptr, nullptr));
  // UTF-8 never needs a default character.
  expectInvalid(WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, bytes, 8, "?", nullptr));
  expectInvalid(WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, bytes, 8, nullptr, &used));
  // Source and destination overlap.
  char shared[16] = "abcdefgh";
  expectInvalid(MultiByteToWideChar(CP_UTF8, 0, shared, 8, reinterpret_cast<char16_t*>(shared + 2), 4));
  char16_t sharedWide[8] = u"abcdefg";
  expectInvalid(WideCharToMultiByte(CP_UTF8, 0, sharedWide, 7, reinterpret_cast<char*>(sharedWide + 1), 8,
                                    nullptr, nullptr));
}

TEST(Conversion, Utf8RejectsFlagsOtherThanTheStrictOne) {
  char16_t wide[8];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
  char bytes[8];
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"abc", 3, bytes, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
}

TEST(AnsiCodePage, TestHookOverridesAndCpAcpFollowsIt) {
  qvplatform::testing::SetACP(65001);
  EXPECT_EQ(65001u, GetACP());
  char16_t wide[16];
  ASSERT_EQ(3, MultiByteToWideChar(CP_ACP, 0, "\xE6\xAC\xA2\xE8\xBF\x8E\xC0", 7, wide, 16));
  EXPECT_EQ(std::u16string(wide, 3), u"欢迎\uFFFD");
  char bytes[16];
  EXPECT_EQ(6, WideCharToMultiByte(CP_ACP, 0, u"欢迎", 2, bytes, 16, nullptr, nullptr));

  // A code page nobody knows is a bad parameter.
  qvplatform::testing::SetACP(12345);
  EXPECT_EQ(12345u, GetACP());
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, 16));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, u"abc", 3, bytes, 16, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  qvplatform::testing::SetACP(0);
}

// GetACP in a fresh process whose environment names `lcAll`.
UINT AcpInChild(const char* lcAll) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  pid_t pid = fork();
  if (pid == 0) {
    setenv("LC_ALL", lcAll, 1);
    UINT cp = GetACP();
    ssize_t w = write(fds[1], &cp, sizeof cp);
    _exit(w == sizeof cp ? 0 : 1);
  }
  close(fds[1]);
  UINT cp = 0;
  if (read(fds[0], &cp, sizeof cp) != sizeof cp) cp = 0;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return cp;
}

TEST(AnsiCodePage, FollowsTheLocale) {
  EXPECT_EQ(65001u, AcpInChild("C.UTF-8"));
  EXPECT_EQ(65001u, AcpInChild("C"));  // plain ASCII counts as UTF-8
  EXPECT_EQ(936u, qvp::CodePageForCodeset("GBK"));
  EXPECT_EQ(54936u, qvp::CodePageForCodeset("GB18030"));
  EXPECT_EQ(950u, qvp::CodePageForCodeset("BIG5"));
  EXPECT_EQ(28591u, qvp::CodePageForCodeset("ISO-8859-1"));
  EXPECT_EQ(28605u, qvp::CodePageForCodeset("ISO-8859-15"));
  EXPECT_EQ(1252u, qvp::CodePageForCodeset("CP1252"));
  EXPECT_EQ(65001u, qvp::CodePageForCodeset("ANSI_X3.4-1968"));
}

TEST(AnsiCodePage, GbkGoesThroughTheCodePageTables) {
  std::u16string probe;
  if (qvp::DecodeCodePage(936, "a", 1, false, probe) == qvp::CodePageResult::Unsupported)
    GTEST_SKIP() << "code page 936 is not available in this build";
  qvplatform::testing::SetACP(936);
  const char gbk[] = "\xBB\xB6\xD3\xAD";  // 欢迎
  char16_t wide[8];
  ASSERT_EQ(3, MultiByteToWideChar(CP_ACP, 0, gbk, -1, wide, 8));
  EXPECT_EQ(std::u16string(wide), u"欢迎");
  char bytes[8];
  BOOL used = TRUE;
  ASSERT_EQ(5, WideCharToMultiByte(CP_ACP, 0, u"欢迎", -1, bytes, 8, nullptr, &used));
  EXPECT_STREQ(gbk, bytes);
  EXPECT_FALSE(used);
  qvplatform::testing::SetACP(0);
}

TEST(Utf, InternalHelpersReplaceOrStop) {
  std::u16string wide = u"stale";
  EXPECT_TRUE(qvp::Utf8ToUtf16("ok", wide));
  EXPECT_EQ(wide, u"ok");
  EXPECT_FALSE(qvp::Utf8ToUtf16("a\xFF", wide, true));
  std::string bytes;
  EXPECT_FALSE(qvp::Utf16ToUtf8(std::u16string(u"\xDC00"), bytes, true));
  EXPECT_EQ(qvp::ToUtf8(kWelcome), kWelcomeUtf8);
  EXPECT_EQ(qvp::ToUtf16(""), u"");
}

}  // namespace

TEST(WideNumbers, ParseLikeTheRuntimeAndSaturate) {
  EXPECT_EQ(_wtoi(u"12345"), 12345);
  EXPECT_EQ(_wtoi(u"  -007x"), -7);
  EXPECT_EQ(_wtoi(u"+42"), 42);
  EXPECT_EQ(_wtoi(u"abc"), 0);
  EXPECT_EQ(_wtoi(u""), 0);
  EXPECT_EQ(_wtoi(nullptr), 0);
  EXPECT_EQ(_wtoi(u"99999999999999999999999"), INT_MAX);
  EXPECT_EQ(_wtoi(u"-99999999999999999999999"), INT_MIN);
  errno = 0;
  EXPECT_EQ(_wtol(u"-9223372036854775808"), LONG_MIN);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(_wtol(u"9223372036854775808"), LONG_MAX);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(_wtol(u"99999999999999999999999999999999999999"), LONG_MAX) << "no wrap-around";
}
